// The algorithm and the key of the cipher commands. The key comes, in this order of
// preference, from --key-file (hex text or the raw key bytes), from --key (hexadecimal on the
// command line, where other users of the machine can see it: only when a person asks for it),
// from TOKEN_CIPHER_KEY, or typed at the terminal with echo off.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "secret_buffer.h"

namespace tokenctl {

inline constexpr char kCipherKeyVariable[] = "TOKEN_CIPHER_KEY";

struct CipherAlgorithm {
    uint32_t identifier;
    size_t keyLength;
    bool cbc;  // the token chains blocks for it when given an initial value
};

// "1", "16", "256" or "ssf33", "4096" or "sm1"; nothing for anything else.
std::optional<CipherAlgorithm> parseCipherAlgorithm(std::string_view text);

struct KeySource {
    std::optional<std::string> hex;   // --key
    std::optional<std::string> file;  // --key-file
};

// The key, exactly `length` bytes; nothing (after saying why, never showing the key) when it
// cannot be had or has another length.
std::optional<SecretBuffer> readCipherKey(const KeySource& source, size_t length);

// An initial value in hex, or the 16 bytes (or hex text) of a file; nothing after saying why.
std::optional<std::vector<uint8_t>> readInitialValue(const KeySource& source);

}  // namespace tokenctl
