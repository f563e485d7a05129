#include "hex_text.h"

#include <cctype>

namespace tokenctl {

std::optional<std::vector<uint8_t>> parseHex(std::span<const std::string> pieces) {
    std::string digits;
    for (const auto& piece : pieces) {
        for (char c : piece) {
            if (c == ' ' || c == ':') continue;
            if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
            digits.push_back(c);
        }
    }
    if (digits.empty() || digits.size() % 2 != 0) return {};
    std::vector<uint8_t> out;
    out.reserve(digits.size() / 2);
    for (size_t i = 0; i < digits.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string toHexUpper(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0x0F]);
    }
    return out;
}

}  // namespace tokenctl
