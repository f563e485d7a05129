// One command value type and one exchange path. A command's builder declares everything the
// exchange needs to know about it: its framing, the reply buffer it offers, and what follows
// a status word that says more data is waiting. The exchange owns what every command shares:
// routing to the transport by the handle's tag, the check that a reply fits the buffer the
// command offers, and carrying out the declared follow-up. Command functions only fill a
// Command and read the Response.
//
// Every byte buffer of the path (commands, replies, the receive buffer) is wiped when it is
// freed: PIN proofs, key records, key material and deciphered data all pass through it, and
// wiping everything costs less than deciding, command by command, what is secret.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "crypto/secure_bytes.h"
#include "result.h"
#include "transports/transport.h"

namespace tokenapi {

using Bytes = crypto::SecureBytes;
using ByteView = std::span<const uint8_t>;

// The sizes of reply buffer that commands offer; every one is the longest reply the token
// sends for the commands that use it.
inline constexpr size_t kReplyDefault = 256;
inline constexpr size_t kReply512 = 512;
inline constexpr size_t kReply2048 = 2048;
inline constexpr size_t kReply5120 = 5120;
inline constexpr size_t kReply32k = 32768;

// What the exchange does after the command's own status word.
enum class FollowUp {
    None,        // 9000 is success, every other status word the result
    Accept61xx,  // SELECT: 61xx is success as well; nothing is fetched
    Fetch61xx,   // 61xx: GET RESPONSE with Le = SW2 fetches the reply
    Fetch6180,   // 6180: GET RESPONSE with Le 128 fetches the reply
};

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

    // The reply buffer the command offers (kReplyDefault unless its builder says otherwise).
    Command& offering(size_t replyCapacity) {
        replyCapacity_ = replyCapacity;
        return *this;
    }
    Command& following(FollowUp rule) {
        followUp_ = rule;
        return *this;
    }

    ByteView bytes() const { return bytes_; }
    size_t replyCapacity() const { return replyCapacity_; }
    FollowUp followUp() const { return followUp_; }

  private:
    explicit Command(Bytes bytes) : bytes_(std::move(bytes)) {}
    Bytes bytes_;
    size_t replyCapacity_ = kReplyDefault;
    FollowUp followUp_ = FollowUp::None;
};

// The outcome of one command: result 0 when it succeeded by its status-word rule, with the
// reply data as the value; otherwise the status word, -1 (no exchange, or a reply the library
// cannot take) or 0x10001 (device lost).
using Response = Result<Bytes>;

// The raw result of one exchange: the transport's result unchanged and the reply data.
struct RawReply {
    int32_t result = -1;
    Bytes data;
};

// Hands the bytes to the transport that made the handle; -1 for a null handle or an unknown
// tag. The reply data comes with every status word, whatever its first byte. Never writes past
// its own buffer whatever the transport reports.
RawReply exchangeRaw(TransportHandle* transport, ByteView command);

// exchangeRaw plus the reply-capacity check and the command's status-word rule.
Response transmit(TransportHandle* transport, const Command& command);

}  // namespace tokenapi
