#include "vtoken/atr.h"

namespace vtoken {

Bytes makeAtr(const std::array<std::uint8_t, kSerialLength>& serial) {
    Bytes historical = {'V', 'T'};
    historical.insert(historical.end(), serial.begin(), serial.end());
    Bytes atr = {0x3B, static_cast<std::uint8_t>(0x80 | historical.size()), 0x80, 0x01};
    atr.insert(atr.end(), historical.begin(), historical.end());
    // TCK: XOR of T0 through the last historical byte, required once T=1 is offered.
    std::uint8_t check = 0;
    for (std::size_t i = 1; i < atr.size(); ++i) check ^= atr[i];
    atr.push_back(check);
    return atr;
}

}  // namespace vtoken
