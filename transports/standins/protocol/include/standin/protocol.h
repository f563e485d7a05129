// The loopback protocol between the SD-card stand-in libraries and a virtual token. One TCP
// connection per opened card; the host speaks first and the token answers each message with
// exactly one message.
//
//   message  = type (1 byte) | payload length (4 bytes, big-endian) | payload
//   host:    'P' probe, empty payload           -> token: 'P', payload = protocol version (1)
//            'A' one command APDU (1 byte or more) -> token: 'R', reply data + 2 status bytes
//
// A payload longer than kMaxPayload, an unknown type or a reply shorter than its status word is
// a broken peer: the receiver closes the connection. The card is pulled when the token closes
// the connection or refuses new ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace standin {

inline constexpr std::uint8_t kProbe = 'P';
inline constexpr std::uint8_t kPresent = 'P';
inline constexpr std::uint8_t kCommand = 'A';
inline constexpr std::uint8_t kReply = 'R';
inline constexpr std::uint8_t kVersion = 1;

inline constexpr std::size_t kHeaderSize = 5;
// Room for an extended command with 65,535 data bytes and every length field, and for the
// longest reply any token gives.
inline constexpr std::uint32_t kMaxPayload = 65536 + 16;

struct Header {
    std::uint8_t type;
    std::uint32_t length;
};

// The whole message: header and payload. The payload must not exceed kMaxPayload.
std::vector<std::uint8_t> encode(std::uint8_t type, std::span<const std::uint8_t> payload);

// A header is usable when its type is one of `allowed` and its length at most kMaxPayload.
std::optional<Header> decodeHeader(std::span<const std::uint8_t, kHeaderSize> bytes,
                                   std::span<const std::uint8_t> allowed);

// Collects the messages of one direction from a byte stream that arrives in pieces.
class FrameReader {
  public:
    explicit FrameReader(std::span<const std::uint8_t> allowedTypes)
        : allowed_(allowedTypes.begin(), allowedTypes.end()) {}
    // A payload can be a reply with deciphered data or key material: it is wiped when the
    // reader moves on or goes.
    ~FrameReader();
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;
    FrameReader(FrameReader&&) = default;
    FrameReader& operator=(FrameReader&& other) noexcept;

    enum class State { Incomplete, Complete, Broken };

    // Takes bytes; stops at the end of the first complete message and reports how many bytes
    // it used (the rest belongs to the next message).
    State feed(std::span<const std::uint8_t> bytes, std::size_t& used);
    State state() const { return state_; }
    // True once part of a message has arrived.
    bool started() const { return !buffer_.empty(); }

    // The complete message's type and payload; then ready for the next one.
    const Header& header() const { return header_; }
    const std::vector<std::uint8_t>& payload() const { return payload_; }
    void next();

  private:
    std::vector<std::uint8_t> allowed_;
    std::vector<std::uint8_t> buffer_;  // header bytes received so far
    Header header_{};
    std::vector<std::uint8_t> payload_;
    State state_ = State::Incomplete;
    bool haveHeader_ = false;
};

// A reply payload carries at least the two status bytes.
inline bool replyUsable(std::span<const std::uint8_t> payload) {
    return payload.size() >= 2;
}

}  // namespace standin
