#include "vtoken/registers.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace vtoken {

struct Sm3Digest::Context {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx{EVP_MD_CTX_new(), EVP_MD_CTX_free};
};

Sm3Digest::Sm3Digest() : context_(std::make_unique<Context>()) {
    if (!context_->ctx || EVP_DigestInit_ex(context_->ctx.get(), EVP_sm3(), nullptr) != 1) {
        throw std::runtime_error("SM3 is not available");
    }
}

Sm3Digest::Sm3Digest(const Sm3Digest& other) : context_(std::make_unique<Context>()) {
    if (!context_->ctx || EVP_MD_CTX_copy_ex(context_->ctx.get(), other.context_->ctx.get()) != 1) {
        throw std::runtime_error("cannot copy an SM3 digest");
    }
}

Sm3Digest& Sm3Digest::operator=(const Sm3Digest& other) {
    if (this != &other) *this = Sm3Digest(other);
    return *this;
}

Sm3Digest::Sm3Digest(Sm3Digest&&) noexcept = default;
Sm3Digest& Sm3Digest::operator=(Sm3Digest&&) noexcept = default;
Sm3Digest::~Sm3Digest() = default;

void Sm3Digest::update(ByteView data) {
    if (EVP_DigestUpdate(context_->ctx.get(), data.data(), data.size()) != 1) {
        throw std::runtime_error("SM3 update failed");
    }
}

std::array<std::uint8_t, Sm3Digest::kLength> Sm3Digest::value() const {
    Sm3Digest copy(*this);
    std::array<std::uint8_t, kLength> out{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(copy.context_->ctx.get(), out.data(), &length) != 1 ||
        length != kLength) {
        throw std::runtime_error("SM3 final failed");
    }
    return out;
}

}  // namespace vtoken
