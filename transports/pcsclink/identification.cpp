#include "identification.h"

namespace pcsclink {

std::string identificationFromAtr(std::span<const std::uint8_t> atr) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    if (atr.size() <= 4) return text;
    text.reserve(2 * (atr.size() - 4));
    for (std::uint8_t b : atr.subspan(4)) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0f]);
    }
    return text;
}

}  // namespace pcsclink
