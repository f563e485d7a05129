// The text by which a PC/SC token identifies itself to callers and names its device lock.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace pcsclink {

// Lower-case hex ("%02x" per byte) of the ATR from its fifth byte on: the first four bytes
// (TS, T0 and the interface bytes of a typical token ATR) are the same for every token,
// the historical bytes that follow are what tells two tokens apart.
std::string identificationFromAtr(std::span<const std::uint8_t> atr);

}  // namespace pcsclink
