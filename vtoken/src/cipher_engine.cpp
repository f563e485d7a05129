#include "vtoken/cipher_engine.h"

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace vtoken::cipher {
namespace {

constexpr std::array<Algorithm, 4> kAlgorithms = {{
    {0x00, 16, 16, "SM4"},
    {0x01, 8, 8, "DES"},
    {0x02, 16, 16, "AES-128 (in place of SSF33)"},
    {0x03, 16, 16, "Camellia-128 (in place of SM1)"},
}};

struct CipherFree {
    void operator()(EVP_CIPHER* c) const noexcept { EVP_CIPHER_free(c); }
};
using Cipher = std::unique_ptr<EVP_CIPHER, CipherFree>;

// OpenSSL's ciphers, fetched once from a library context of the token's own: single DES lives
// in the legacy provider, which the process-wide context does not load.
class Library {
  public:
    static const Library& instance() {
        static const Library library;
        return library;
    }

    const EVP_CIPHER* cipher(std::uint8_t code, bool cbc) const {
        const EVP_CIPHER* c = ciphers_.at(code)[cbc ? 1 : 0].get();
        if (c == nullptr) throw std::runtime_error("cipher not available from OpenSSL");
        return c;
    }

  private:
    Library()
        : context_(OSSL_LIB_CTX_new()),
          default_(context_ ? OSSL_PROVIDER_load(context_.get(), "default") : nullptr),
          legacy_(context_ ? OSSL_PROVIDER_load(context_.get(), "legacy") : nullptr) {
        static const char* const kNames[4][2] = {{"SM4-ECB", "SM4-CBC"},
                                                 {"DES-ECB", "DES-CBC"},
                                                 {"AES-128-ECB", "AES-128-CBC"},
                                                 {"CAMELLIA-128-ECB", "CAMELLIA-128-CBC"}};
        for (std::size_t code = 0; code < ciphers_.size(); ++code) {
            for (std::size_t mode = 0; mode < 2; ++mode) {
                if (context_) {
                    ciphers_[code][mode].reset(
                        EVP_CIPHER_fetch(context_.get(), kNames[code][mode], nullptr));
                }
            }
        }
    }

    struct ContextFree {
        void operator()(OSSL_LIB_CTX* c) const noexcept { OSSL_LIB_CTX_free(c); }
    };
    struct ProviderUnload {
        void operator()(OSSL_PROVIDER* p) const noexcept { OSSL_PROVIDER_unload(p); }
    };
    // Built in this order and released in reverse: ciphers, providers, context.
    std::unique_ptr<OSSL_LIB_CTX, ContextFree> context_;
    std::unique_ptr<OSSL_PROVIDER, ProviderUnload> default_;
    std::unique_ptr<OSSL_PROVIDER, ProviderUnload> legacy_;
    std::array<std::array<Cipher, 2>, 4> ciphers_;
};

struct ContextFree {
    void operator()(EVP_CIPHER_CTX* c) const noexcept { EVP_CIPHER_CTX_free(c); }
};

}  // namespace

const Algorithm* algorithmFor(std::uint8_t code) {
    auto found = std::find_if(kAlgorithms.begin(), kAlgorithms.end(),
                              [&](const Algorithm& a) { return a.code == code; });
    return found == kAlgorithms.end() ? nullptr : &*found;
}

void apply(const Algorithm& algorithm, ByteView key, const std::optional<InitialValue>& iv,
           Direction direction, ByteView in, std::span<std::uint8_t> out) {
    if (key.size() != algorithm.keyLength || in.size() % algorithm.blockLength != 0 ||
        out.size() != in.size()) {
        throw std::invalid_argument("cipher lengths do not fit the algorithm");
    }
    if (in.empty()) return;
    const EVP_CIPHER* c = Library::instance().cipher(algorithm.code, iv.has_value());
    std::unique_ptr<EVP_CIPHER_CTX, ContextFree> context(EVP_CIPHER_CTX_new());
    const int encrypt = direction == Direction::Encrypt ? 1 : 0;
    int written = 0;
    int last = 0;
    if (!context ||
        EVP_CipherInit_ex2(context.get(), c, key.data(), iv ? iv->data() : nullptr, encrypt,
                           nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1 ||
        EVP_CipherUpdate(context.get(), out.data(), &written, in.data(),
                         static_cast<int>(in.size())) != 1 ||
        EVP_CipherFinal_ex(context.get(), out.data() + written, &last) != 1 ||
        static_cast<std::size_t>(written + last) != in.size()) {
        throw std::runtime_error("the token's cipher failed");
    }
}

}  // namespace vtoken::cipher
