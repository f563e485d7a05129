#include "des.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <memory>

#include "openssl_library.h"
#include "secure_bytes.h"

namespace tokenapi::crypto {
namespace {

struct CipherCtxFree {
    // EVP_CIPHER_CTX_free clears the key schedule before releasing it.
    void operator()(EVP_CIPHER_CTX* c) const noexcept { EVP_CIPHER_CTX_free(c); }
};

const EVP_CIPHER* cipherFor(std::size_t keySize) {
    switch (keySize) {
        case kDesKeySize:
            return detail::desEcbCipher();
        case kTripleDesKeySize:
            return detail::desEdeEcbCipher();
        default:
            return nullptr;
    }
}

bool cipherBlock(std::span<const std::uint8_t> key, std::span<const std::uint8_t, kDesBlockSize> in,
                 std::span<std::uint8_t, kDesBlockSize> out, bool encrypt) {
    const EVP_CIPHER* cipher = cipherFor(key.size());
    if (cipher == nullptr || EVP_CIPHER_get_key_length(cipher) != static_cast<int>(key.size())) {
        return false;
    }
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return false;

    // Worked on a copy so that a failure leaves out untouched and in == out is harmless.
    std::array<std::uint8_t, kDesBlockSize> result;
    std::array<std::uint8_t, kDesBlockSize> spill;  // padding is off: the final writes nothing
    WipeGuard wipeResult(result);
    WipeGuard wipeSpill(spill);
    int written = 0;
    int tail = 0;
    const bool ok =
        EVP_CipherInit_ex2(ctx.get(), cipher, key.data(), nullptr, encrypt ? 1 : 0, nullptr) == 1 &&
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
        EVP_CipherUpdate(ctx.get(), result.data(), &written, in.data(),
                         static_cast<int>(in.size())) == 1 &&
        written == static_cast<int>(kDesBlockSize) &&
        EVP_CipherFinal_ex(ctx.get(), spill.data(), &tail) == 1 && tail == 0;
    if (ok) std::copy(result.begin(), result.end(), out.begin());
    return ok;
}

}  // namespace

bool desEncryptBlock(std::span<const std::uint8_t> key,
                     std::span<const std::uint8_t, kDesBlockSize> in,
                     std::span<std::uint8_t, kDesBlockSize> out) {
    return cipherBlock(key, in, out, true);
}

bool desDecryptBlock(std::span<const std::uint8_t> key,
                     std::span<const std::uint8_t, kDesBlockSize> in,
                     std::span<std::uint8_t, kDesBlockSize> out) {
    return cipherBlock(key, in, out, false);
}

}  // namespace tokenapi::crypto
