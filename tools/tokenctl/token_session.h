// What every tokenctl command that talks to a token needs: a parsed token number, a connected
// device handle released on every path, and one way of reporting a failure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tokenapi.h"

namespace tokenctl {

// A key API result in words, for people: known codes by name, token status words by meaning,
// anything else in hexadecimal.
std::string describeResult(int32_t result);

// Prints "tokenctl: <what>: <describeResult(result)>" to stderr; returns kExitFailed.
int fail(std::string_view what, int32_t result);
// Prints "tokenctl: <message>" to stderr; returns kExitUsage.
int usage(std::string_view message);

std::optional<uint32_t> parseNumber(std::string_view text);

class TokenSession {
  public:
    // Enumerates and connects token `number`; on failure prints why (no token, no such
    // number, lost) and leaves exitCode() set.
    explicit TokenSession(std::string_view numberText);
    ~TokenSession();
    TokenSession(const TokenSession&) = delete;
    TokenSession& operator=(const TokenSession&) = delete;

    explicit operator bool() const { return device_ != nullptr; }
    DeviceHandle* device() const { return device_; }
    int exitCode() const { return exitCode_; }

  private:
    DeviceHandle* device_ = nullptr;
    int exitCode_ = 0;
};

}  // namespace tokenctl
