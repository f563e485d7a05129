#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "vtoken/bytes.h"

namespace vtoken {

// How a command's length field is laid out after P2.
enum class LengthForm {
    // Short (Lc 1 byte, Le 1 byte) or extended (00 hi lo).
    Iso,
    // Two-byte length (hi lo, no leading 00) or four-byte length (00 00 hi lo), as the
    // token's own bulk commands use them.
    Wide,
    // Short, or the fixed extended length field 00 01 00 followed by data of any length (the
    // field marks the form, it does not count the data, and no Le follows).
    FixedExtended,
    // No data and no Le: nothing after P2, a single 00, or 00 00 (generate commands are sent
    // with one or two zero bytes depending on the transport).
    NoData,
};

struct Apdu {
    std::uint8_t cla = 0;
    std::uint8_t ins = 0;
    std::uint8_t p1 = 0;
    std::uint8_t p2 = 0;
    Bytes data;
    // Expected reply length Ne (a short Le of 00 means 256); nullopt when the command has none.
    std::optional<std::size_t> le;
    // Bytes after the data and a possible Le that no framing accounts for; only commands that
    // declare themselves tolerant accept them.
    std::size_t trailing = 0;
    // Where the data starts in the raw command (after the length field).
    std::size_t dataOffset = 4;

    std::uint16_t offset() const { return static_cast<std::uint16_t>(p1 << 8 | p2); }
};

// Throws StatusError(6700) when the declared lengths do not match the bytes received.
Apdu parseApdu(ByteView raw, LengthForm form);

}  // namespace vtoken
