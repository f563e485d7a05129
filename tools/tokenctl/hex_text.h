#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tokenctl {

// Joins the pieces ("00 A4 0000", "02", "3F00") and reads them as hexadecimal bytes; empty
// when a character is not a hex digit or the digit count is odd.
std::optional<std::vector<uint8_t>> parseHex(std::span<const std::string> pieces);
std::string toHexUpper(std::span<const uint8_t> bytes);

}  // namespace tokenctl
