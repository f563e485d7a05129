#include "vtoken/pin_crypto.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>
#include <stdexcept>

namespace vtoken {

KeyRecord keyRecordFromPin(ByteView pin) {
    if (pin.size() > kMaxPinLength) throw std::invalid_argument("PIN longer than 16 bytes");
    KeyRecord record;
    record.fill(0xFF);
    record[0] = 0x00;
    record[1] = 0x10;
    for (std::size_t i = 0; i < pin.size(); ++i) {
        record[2 + i] = static_cast<std::uint8_t>(pin[i] << 1);
    }
    return record;
}

Bytes pinFromKeyRecord(const KeyRecord& record) {
    Bytes pin;
    for (std::size_t i = 2; i < record.size() && record[i] != 0xFF; ++i) {
        pin.push_back(static_cast<std::uint8_t>(record[i] >> 1));
    }
    return pin;
}

Challenge pinCryptogram(ByteView pin, const Challenge& challenge) {
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
    unsigned int digestLength = 0;
    if (EVP_Digest(pin.data(), pin.size(), digest.data(), &digestLength, EVP_md5(), nullptr) != 1 ||
        digestLength != 16) {
        throw std::runtime_error("MD5 failed");
    }

    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> cipher(EVP_CIPHER_CTX_new(),
                                                                           EVP_CIPHER_CTX_free);
    Challenge out{};
    int written = 0;
    if (!cipher ||
        EVP_EncryptInit_ex(cipher.get(), EVP_des_ede_ecb(), nullptr, digest.data(), nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(cipher.get(), 0) != 1 ||
        EVP_EncryptUpdate(cipher.get(), out.data(), &written, challenge.data(),
                          static_cast<int>(challenge.size())) != 1 ||
        written != static_cast<int>(out.size())) {
        throw std::runtime_error("triple DES failed");
    }
    OPENSSL_cleanse(digest.data(), digest.size());
    return out;
}

Challenge randomChallenge() {
    Challenge challenge{};
    if (RAND_bytes(challenge.data(), static_cast<int>(challenge.size())) != 1) {
        throw std::runtime_error("no random bytes");
    }
    return challenge;
}

}  // namespace vtoken
