// MD2 (RFC 1319): digest identifier 3. OpenSSL builds without MD2, so it is computed here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tokenapi::crypto {

// The streaming state: 16-byte state, 16-byte checksum, 16-byte block buffer and the count
// of buffered bytes. A new state is initialised (all zero). final writes the value and wipes
// the state, which leaves it initialised again for the next message.
class Md2State {
  public:
    static constexpr std::size_t kSize = 16;
    static constexpr std::size_t kBlockSize = 16;
    using Value = std::array<std::uint8_t, kSize>;
    using Block = std::array<std::uint8_t, kBlockSize>;

    Md2State() = default;
    Md2State(const Md2State&) = default;
    Md2State& operator=(const Md2State&) = default;
    ~Md2State();

    void init();
    void update(std::span<const std::uint8_t> data);
    void final(std::span<std::uint8_t, kSize> out);
    Value final();

    const Block& state() const { return state_; }
    const Block& checksum() const { return checksum_; }
    const Block& buffer() const { return buffer_; }
    std::uint32_t count() const { return count_; }

  private:
    void transform(std::span<const std::uint8_t, kBlockSize> block);

    Block state_{};
    Block checksum_{};
    Block buffer_{};
    std::uint32_t count_ = 0;
};

Md2State::Value md2(std::span<const std::uint8_t> data);
void md2(std::span<const std::uint8_t> data, std::span<std::uint8_t, Md2State::kSize> out);

}  // namespace tokenapi::crypto
