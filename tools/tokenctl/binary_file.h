// Whole files in and out for the commands that move data to and from a token.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tokenctl {

// The file's bytes; nothing (after saying why on stderr) when it cannot be read or holds more
// than `limit` bytes.
std::optional<std::vector<uint8_t>> readWholeFile(const std::string& path, size_t limit);
// Writes the bytes to the file, or to standard output for "-"; false (after saying why) when
// that fails.
bool writeWholeFile(const std::string& path, std::span<const uint8_t> bytes);

}  // namespace tokenctl
