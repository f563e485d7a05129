// Streaming digest states over OpenSSL (MD5, SHA-1), as value types that a digest session
// can hold, copy and move. OpenSSL keeps the state on the heap; the object owns it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

struct evp_md_ctx_st;

namespace tokenapi::crypto {
namespace detail {

enum class EvpDigestKind { md5, sha1 };

// Throws CryptoError when OpenSSL fails, which only happens when memory runs out or the
// installation lacks the algorithm; a digest has no other failure path.
class EvpDigestContext {
  public:
    EvpDigestContext(EvpDigestKind kind, std::size_t size);
    EvpDigestContext(const EvpDigestContext& other);
    EvpDigestContext& operator=(const EvpDigestContext& other);
    EvpDigestContext(EvpDigestContext&& other) noexcept = default;
    EvpDigestContext& operator=(EvpDigestContext&& other) noexcept = default;
    ~EvpDigestContext();

    void init();
    void update(std::span<const std::uint8_t> data);
    // out.size() must be the digest's size. Leaves the context wiped and initialised again.
    void final(std::span<std::uint8_t> out);

  private:
    struct Free {
        void operator()(evp_md_ctx_st* ctx) const noexcept;
    };

    EvpDigestKind kind_;
    std::size_t size_;
    // Null only in a moved-from object; the next use starts it afresh.
    std::unique_ptr<evp_md_ctx_st, Free> ctx_;
};

}  // namespace detail

// init/update/final. A new state is initialised; final writes the value and wipes the
// state back to its initial value, so the same object can hash the next message.
template <detail::EvpDigestKind Kind, std::size_t Size>
class EvpDigestState {
  public:
    static constexpr std::size_t kSize = Size;
    using Value = std::array<std::uint8_t, Size>;

    EvpDigestState() : ctx_(Kind, Size) {}

    // Drops whatever was hashed so far.
    void init() { ctx_.init(); }
    void update(std::span<const std::uint8_t> data) { ctx_.update(data); }
    void final(std::span<std::uint8_t, Size> out) { ctx_.final(out); }
    Value final() {
        Value v;
        ctx_.final(v);
        return v;
    }

  private:
    detail::EvpDigestContext ctx_;
};

}  // namespace tokenapi::crypto
