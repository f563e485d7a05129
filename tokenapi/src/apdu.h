// One command value type and one exchange path. The exchange owns what every command shares:
// routing to the transport by the handle's tag, the check that a reply fits the buffer the
// command offers, and the status-word rules (61xx after SELECT, GET RESPONSE after 80 C6,
// 6180 after 80 F6/F8). Command functions only fill a Command and read the Response.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "transports/transport.h"

namespace tokenapi {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

// The sizes of reply buffer that commands offer; every one is the longest reply the token
// sends for the commands that use it.
inline constexpr size_t kReplyDefault = 256;
inline constexpr size_t kReply512 = 512;
inline constexpr size_t kReply2048 = 2048;
inline constexpr size_t kReply5120 = 5120;
inline constexpr size_t kReply32k = 32768;

class Command {
  public:
    // Header and one length byte (Le for commands that only read, or a lone P3).
    static Command header(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, uint8_t p3);
    // Short form: Lc (1 byte) and up to 255 data bytes.
    static Command shortData(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, ByteView data);
    // Extended form with the fixed length field 00 01 00 whatever the data length.
    static Command extendedFixed256(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2,
                                    ByteView data);
    // Extended form: 00, length high, length low.
    static Command extended(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, ByteView data);
    // Two-byte length: high, low (no leading 00).
    static Command twoByteLength(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, ByteView data);
    // Four-byte length: 00 00, high, low.
    static Command fourByteLength(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, ByteView data);

    Command& offering(size_t replyCapacity) {
        replyCapacity_ = replyCapacity;
        return *this;
    }

    ByteView bytes() const { return bytes_; }
    size_t replyCapacity() const { return replyCapacity_; }
    uint8_t cla() const { return bytes_[0]; }
    uint8_t ins() const { return bytes_[1]; }

  private:
    explicit Command(Bytes bytes) : bytes_(std::move(bytes)) {}
    Bytes bytes_;
    size_t replyCapacity_ = kReplyDefault;
};

struct Response {
    // 0 when the command succeeded by its status-word rule; otherwise the status word, -1
    // (no exchange, or a reply the library cannot take) or 0x10001 (device lost).
    int32_t result = -1;
    Bytes data;  // the reply data of a successful command

    bool ok() const { return result == 0; }
};

// The raw result of one exchange: the transport's result unchanged and the reply data.
struct RawReply {
    int32_t result = -1;
    Bytes data;
};

// Hands the bytes to the transport that made the handle; -1 for a null handle or an
// unknown tag. Never writes past its own buffer whatever the transport reports.
RawReply exchangeRaw(TransportHandle* transport, ByteView command);

// exchangeRaw plus the reply-capacity check and the status-word rules.
Response transmit(TransportHandle* transport, const Command& command);

}  // namespace tokenapi
