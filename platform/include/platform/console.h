// Secrets typed by a person at the terminal, read with echo off so that a PIN never shows on
// the screen or in the terminal's scroll-back, and kept only in storage that is wiped on every
// path: a line given up half-way (the input ended, the read failed, the line was too long)
// leaves nothing of what was typed behind.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

namespace platform {

// Overwrites the bytes with zeros in a way the optimiser cannot drop.
void wipeSecret(std::span<char> bytes) noexcept;

// A typed secret in fixed storage: it never grows, so no reallocation leaves a copy of the
// first characters in freed memory, and it is wiped when it goes. Not copyable or movable:
// every copy would be one more place to wipe.
class SecretText {
  public:
    static constexpr std::size_t kCapacity = 256;

    SecretText() = default;
    ~SecretText() { wipe(); }
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;

    std::string_view view() const { return {storage_.data(), size_}; }
    const char* data() const { return storage_.data(); }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    void wipe() noexcept {
        wipeSecret(storage_);
        size_ = 0;
    }

    // For the readers that fill it.
    std::span<char> storage() { return storage_; }
    void setSize(std::size_t size) { size_ = size; }

  private:
    std::array<char, kCapacity> storage_{};
    std::size_t size_ = 0;
};

enum class SecretRead {
    Read,        // a whole line, without its end-of-line characters
    NoTerminal,  // no terminal to ask (a script, a service), or echo could not be turned off
    Ended,       // the input ended or failed before the end of the line
    TooLong,     // the line does not fit (the rest of it was read and dropped)
};

// Writes the prompt to the terminal, reads one line with echo off and restores the terminal on
// every path. Anything but Read leaves `secret` empty and wiped.
SecretRead readSecret(std::string_view prompt, SecretText& secret);

// How every system's readSecret assembles a line: bytes from `next` (nothing when the input
// ended or failed) until '\n', '\r' dropped. On success `length` is the line's length in
// `storage`; on any other outcome every byte of `storage` is wiped, and a line too long for it
// is read to its end (so that its tail is not taken as the next answer) but not kept.
SecretRead collectSecretLine(const std::function<std::optional<char>()>& next,
                             std::span<char> storage, std::size_t& length);

// Makes standard input and output carry bytes unchanged: on Windows they translate line ends
// and stop at a Ctrl-Z byte unless told otherwise, which would damage binary data piped
// through a tool. Nothing to do elsewhere.
void useBinaryStandardStreams();

}  // namespace platform
