#include "evp_digest.h"

#include <openssl/evp.h>

#include "openssl_library.h"

namespace tokenapi::crypto::detail {
namespace {

const EVP_MD* algorithmOf(EvpDigestKind kind) {
    return kind == EvpDigestKind::md5 ? md5Algorithm() : sha1Algorithm();
}

EVP_MD_CTX* newContext() {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (ctx == nullptr) throw CryptoError("out of memory for a digest state");
    return ctx;
}

}  // namespace

// EVP_MD_CTX_free hands the provider's state to OPENSSL_clear_free: nothing hashed is left
// in freed memory.
void EvpDigestContext::Free::operator()(evp_md_ctx_st* ctx) const noexcept {
    EVP_MD_CTX_free(ctx);
}

EvpDigestContext::EvpDigestContext(EvpDigestKind kind, std::size_t size)
    : kind_(kind), size_(size), ctx_(newContext()) {
    init();
}

EvpDigestContext::EvpDigestContext(const EvpDigestContext& other)
    : kind_(other.kind_), size_(other.size_), ctx_(newContext()) {
    if (other.ctx_ == nullptr) {
        init();
    } else if (EVP_MD_CTX_copy_ex(ctx_.get(), other.ctx_.get()) != 1) {
        throw CryptoError("cannot copy a digest state");
    }
}

EvpDigestContext& EvpDigestContext::operator=(const EvpDigestContext& other) {
    if (this != &other) *this = EvpDigestContext(other);
    return *this;
}

EvpDigestContext::~EvpDigestContext() = default;

void EvpDigestContext::init() {
    if (ctx_ == nullptr) ctx_.reset(newContext());
    if (EVP_DigestInit_ex2(ctx_.get(), algorithmOf(kind_), nullptr) != 1) {
        throw CryptoError("cannot initialise a digest state");
    }
}

void EvpDigestContext::update(std::span<const std::uint8_t> data) {
    if (ctx_ == nullptr) init();
    if (data.empty()) return;
    if (EVP_DigestUpdate(ctx_.get(), data.data(), data.size()) != 1) {
        throw CryptoError("digest update failed");
    }
}

void EvpDigestContext::final(std::span<std::uint8_t> out) {
    if (ctx_ == nullptr) init();
    if (out.size() != size_) throw CryptoError("digest output of the wrong size");
    unsigned int written = 0;
    if (EVP_DigestFinal_ex(ctx_.get(), out.data(), &written) != 1 || written != size_) {
        throw CryptoError("digest final failed");
    }
    // Re-initialising overwrites the chaining values that the final leaves behind.
    init();
}

}  // namespace tokenapi::crypto::detail
