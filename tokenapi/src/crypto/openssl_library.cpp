#include "openssl_library.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <memory>
#include <mutex>
#include <string>

namespace tokenapi::crypto::detail {
namespace {

struct LibCtxFree {
    void operator()(OSSL_LIB_CTX* c) const noexcept { OSSL_LIB_CTX_free(c); }
};
struct ProviderUnload {
    void operator()(OSSL_PROVIDER* p) const noexcept { OSSL_PROVIDER_unload(p); }
};
struct MdFree {
    void operator()(EVP_MD* m) const noexcept { EVP_MD_free(m); }
};
struct CipherFree {
    void operator()(EVP_CIPHER* c) const noexcept { EVP_CIPHER_free(c); }
};

// Members are declared in the order they are built, so that they are released in reverse:
// algorithms before the providers that implement them, providers before their context.
class Library {
  public:
    static Library& instance() {
        // Constructed after OpenSSL has registered its own exit handler (the constructor
        // starts by initialising OpenSSL), so this destructor runs before OpenSSL tears down.
        static Library library;
        return library;
    }

    const EVP_MD* md5() const { return md5_.get(); }
    const EVP_MD* sha1() const { return sha1_.get(); }
    const EVP_CIPHER* desEde() const { return desEde_.get(); }

    const EVP_CIPHER* des() {
        std::call_once(legacyOnce_, [this] {
            legacy_.reset(OSSL_PROVIDER_load(ctx_.get(), "legacy"));
            if (legacy_) des_.reset(EVP_CIPHER_fetch(ctx_.get(), "DES-ECB", nullptr));
        });
        return des_.get();
    }

  private:
    Library()
        : initialised_(OPENSSL_init_crypto(0, nullptr) == 1),
          ctx_(initialised_ ? OSSL_LIB_CTX_new() : nullptr),
          default_(ctx_ ? OSSL_PROVIDER_load(ctx_.get(), "default") : nullptr),
          md5_(default_ ? EVP_MD_fetch(ctx_.get(), "MD5", nullptr) : nullptr),
          sha1_(default_ ? EVP_MD_fetch(ctx_.get(), "SHA1", nullptr) : nullptr),
          desEde_(default_ ? EVP_CIPHER_fetch(ctx_.get(), "DES-EDE-ECB", nullptr) : nullptr) {}

    bool initialised_;
    std::unique_ptr<OSSL_LIB_CTX, LibCtxFree> ctx_;
    std::unique_ptr<OSSL_PROVIDER, ProviderUnload> default_;
    std::unique_ptr<EVP_MD, MdFree> md5_;
    std::unique_ptr<EVP_MD, MdFree> sha1_;
    std::unique_ptr<EVP_CIPHER, CipherFree> desEde_;
    std::once_flag legacyOnce_;
    std::unique_ptr<OSSL_PROVIDER, ProviderUnload> legacy_;
    std::unique_ptr<EVP_CIPHER, CipherFree> des_;
};

const EVP_MD* required(const EVP_MD* md, const char* name) {
    if (md == nullptr) throw CryptoError(std::string(name) + " is not available from OpenSSL");
    return md;
}

}  // namespace

const EVP_MD* md5Algorithm() {
    return required(Library::instance().md5(), "MD5");
}
const EVP_MD* sha1Algorithm() {
    return required(Library::instance().sha1(), "SHA-1");
}
const EVP_CIPHER* desEcbCipher() {
    return Library::instance().des();
}
const EVP_CIPHER* desEdeEcbCipher() {
    return Library::instance().desEde();
}

}  // namespace tokenapi::crypto::detail
