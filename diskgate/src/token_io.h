// The two conversations the service has with an open token: the identification probe that
// tells a token from any other disk, and one command exchange.
#pragma once

#include <cstdint>
#include <span>

#include "device_io.h"

namespace diskgate {

// The error of a pass-through that was asked to move `requested` bytes, or 0 when it moved
// some. A call that reports success but moved nothing, or more than it was given room for,
// is a failure of the device, never a success.
SystemError transferError(const Transfer& transfer, std::size_t requested);

// Sends BF C8 00 00 0F and receives with room for 256 bytes. 0: a usable token. Otherwise
// the system error of a failed pass-through, 2 for an answer of at most two bytes, the status
// word of an answer that is not 9000, or 1 when the answer's second byte is 0x29 to 0x50.
std::uint32_t probeToken(OpenDisk& disk);

struct ExchangeResult {
    SystemError error = kSuccess;
    std::size_t length = 0;  // bytes received into the response buffer
};

// Sends the command bytes, then receives with room for the whole response buffer.
ExchangeResult exchangeApdu(OpenDisk& disk, std::span<std::uint8_t> command,
                            std::span<std::uint8_t> response);

}  // namespace diskgate
