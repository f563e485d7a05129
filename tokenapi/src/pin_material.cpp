#include "pin_material.h"

#include <algorithm>

#include "crypto/des.h"
#include "crypto/md5.h"

namespace tokenapi::pin {

crypto::SecureBytes verificationKey(ByteView pin) {
    crypto::SecureBytes key(crypto::Md5State::kSize);
    crypto::md5(pin, std::span<uint8_t, crypto::Md5State::kSize>(key.data(), key.size()));
    return key;
}

std::optional<std::array<uint8_t, kChallengeLength>> answerChallenge(ByteView key,
                                                                     ByteView challenge) {
    if (challenge.size() != kChallengeLength) return std::nullopt;
    std::array<uint8_t, kChallengeLength> out{};
    if (!crypto::desEncryptBlock(
            key, std::span<const uint8_t, crypto::kDesBlockSize>(challenge.data(), 8), out)) {
        return std::nullopt;
    }
    return out;
}

bool storableAsKeyRecord(ByteView pin) {
    return !pin.empty() &&
           std::none_of(pin.begin(), pin.end(), [](uint8_t b) { return b >= 0x80; });
}

crypto::SecureBytes keyRecord(ByteView pin) {
    crypto::SecureBytes record(kKeyRecordLength, 0xFF);
    record[0] = 0x00;
    record[1] = 0x10;
    for (size_t i = 0; i < pin.size() && i < kMaxPinLength; ++i) {
        record[2 + i] = static_cast<uint8_t>(pin[i] << 1);
    }
    return record;
}

}  // namespace tokenapi::pin
