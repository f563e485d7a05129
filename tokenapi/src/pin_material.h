// What the host derives from a PIN. Verification never sends the PIN: the token hands out a
// challenge and the host enciphers it under MD5(PIN) as a two-key triple-DES key. A PIN
// change sends the new PIN as the token's key record: 00 10, then the PIN bytes each shifted
// left by one bit, padded with FF to 16 bytes. Everything derived here is secret and lives in
// wiping buffers.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "apdu.h"
#include "crypto/secure_bytes.h"

namespace tokenapi::pin {

inline constexpr size_t kMaxPinLength = 16;
inline constexpr size_t kKeyRecordLength = 18;
inline constexpr size_t kChallengeLength = 8;

// MD5 of the PIN bytes: K1 is its first half, K2 its second.
crypto::SecureBytes verificationKey(ByteView pin);

// The 8-byte answer to a challenge: E(K1) D(K2) E(K1) of the one block. Empty when the
// challenge is not 8 bytes or the cipher is unavailable.
std::optional<std::array<uint8_t, kChallengeLength>> answerChallenge(ByteView key,
                                                                     ByteView challenge);

// The shift of the key record drops each byte's top bit, so a PIN with a byte of 0x80 or
// more would be stored as a different PIN that no one can ever verify again. An empty PIN
// would leave the token's keys behind no PIN at all (an unset variable in a script is the
// usual way to get one), so it is not taken either.
bool storableAsKeyRecord(ByteView pin);

// The 18-byte key record of a new PIN of at most 16 bytes.
crypto::SecureBytes keyRecord(ByteView pin);

}  // namespace tokenapi::pin
