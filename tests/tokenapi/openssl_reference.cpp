#include "openssl_reference.h"

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <memory>
#include <stdexcept>

namespace reference {
namespace {

// Single DES is in the legacy provider: a library context of the test's own loads it.
OSSL_LIB_CTX* context() {
    static OSSL_LIB_CTX* ctx = [] {
        OSSL_LIB_CTX* c = OSSL_LIB_CTX_new();
        if (c == nullptr || OSSL_PROVIDER_load(c, "default") == nullptr ||
            OSSL_PROVIDER_load(c, "legacy") == nullptr) {
            throw std::runtime_error("OpenSSL providers not available");
        }
        return c;
    }();
    return ctx;
}

}  // namespace

Bytes run(Cipher cipher, bool encrypt, const Bytes& key, const std::optional<Bytes>& iv,
          const Bytes& data, bool padding) {
    const char* name =
        cipher == Cipher::Des ? (iv ? "DES-CBC" : "DES-ECB") : (iv ? "SM4-CBC" : "SM4-ECB");
    std::unique_ptr<EVP_CIPHER, decltype(&EVP_CIPHER_free)> algorithm(
        EVP_CIPHER_fetch(context(), name, nullptr), EVP_CIPHER_free);
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        EVP_CIPHER_CTX_free);
    Bytes out(data.size() + 32);
    int written = 0;
    int last = 0;
    if (!algorithm || !ctx ||
        EVP_CipherInit_ex2(ctx.get(), algorithm.get(), key.data(), iv ? iv->data() : nullptr,
                           encrypt ? 1 : 0, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), padding ? 1 : 0) != 1 ||
        EVP_CipherUpdate(ctx.get(), out.data(), &written, data.data(),
                         static_cast<int>(data.size())) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), out.data() + written, &last) != 1) {
        throw std::runtime_error(std::string("OpenSSL ") + name + " failed");
    }
    out.resize(static_cast<size_t>(written + last));
    return out;
}

}  // namespace reference
