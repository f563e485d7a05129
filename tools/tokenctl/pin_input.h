// PINs for tokenctl: from an environment variable when a script sets it, otherwise typed at the
// terminal with echo off; never from the command line, where other users and the shell history
// would see them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tokenapi.h"

namespace tokenctl {

// A PIN that is wiped from memory when it goes.
class Pin {
  public:
    explicit Pin(std::string_view text) : text_(text) {}
    ~Pin();
    // Copies and wipes rather than moves: a moved-from short string keeps its characters in
    // its inline buffer, where nothing would wipe them.
    Pin(Pin&& other) : text_(other.text_) { other.wipe(); }
    Pin& operator=(Pin&&) = delete;
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;

    const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(text_.data()); }
    uint32_t size() const { return static_cast<uint32_t>(text_.size()); }
    bool operator==(const Pin& other) const { return text_ == other.text_; }

  private:
    void wipe();
    std::string text_;
};

inline constexpr char kPinVariable[] = "TOKEN_PIN";
inline constexpr char kNewPinVariable[] = "TOKEN_NEW_PIN";
inline constexpr char kAdminPinVariable[] = "TOKEN_ADMIN_PIN";

// The variable's value when it is set, else what the person types after the prompt. Nothing
// (after saying why on stderr) when neither is available.
std::optional<Pin> askPin(const char* variable, std::string_view prompt);

// A new PIN: the variable's value, or typed twice at the terminal (nothing when they differ).
std::optional<Pin> askNewPin(const char* variable, std::string_view prompt);

// Makes sure the token has the user PIN verified in its current directory, asking for it only
// when it has not. Returns the key API's result, or kNoPin when no PIN could be had.
inline constexpr int32_t kNoPin = -2;
int32_t ensureUserVerified(DeviceHandle* device);

// Prints why a PIN was refused ("wrong PIN, 3 tries left") and returns kExitFailed.
int failPin(std::string_view what, int32_t result, uint32_t triesLeft);

}  // namespace tokenctl
