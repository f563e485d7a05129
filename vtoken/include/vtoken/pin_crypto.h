#pragma once

#include <array>
#include <cstdint>

#include "vtoken/bytes.h"
#include "vtoken/token_state.h"

namespace vtoken {

inline constexpr std::size_t kMaxPinLength = 16;
using Challenge = std::array<std::uint8_t, 8>;

// WRITE KEY's record: 00 10, then every PIN byte shifted left by one bit, padded with FF.
KeyRecord keyRecordFromPin(ByteView pin);

// The PIN bytes back from a key record: the bytes before the first FF, each shifted right.
Bytes pinFromKeyRecord(const KeyRecord& record);

// What the host sends to EXTERNAL AUTHENTICATE: the challenge enciphered with two-key
// triple DES (EDE) under MD5(pin).
Challenge pinCryptogram(ByteView pin, const Challenge& challenge);

Challenge randomChallenge();

}  // namespace vtoken
