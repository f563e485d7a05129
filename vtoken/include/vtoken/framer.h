#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "vtoken/bytes.h"

namespace vtoken {

// The card as a framer sees it.
class CardPort {
  public:
    virtual ~CardPort() = default;
    // Runs one command: reply data and status word, or nullopt when the card was pulled
    // instead of answering (nothing may be sent then).
    virtual std::optional<Bytes> command(ByteView apdu) = 0;
    virtual void powerOn() = 0;
    virtual void powerOff() = 0;
    virtual void reset() = 0;
    virtual Bytes atr() = 0;
};

class FramingError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// One protocol that carries commands and replies over a link's byte stream (vpcd's frames, the
// SD-card stand-in's loopback protocol, A5/5A frames, vendor SCSI blocks). A framer keeps the
// bytes of a message that has not arrived whole; it decides when and what the card is asked
// and what goes back, so that a protocol that answers only when asked can hold a reply.
class Framer {
  public:
    virtual ~Framer() = default;
    // A new host connection (or the card put back): forget everything half-received.
    virtual void restart() = 0;
    // Takes bytes as they came from the host, drives the card for every complete message and
    // returns the bytes to send back (possibly none). After the card was pulled it stops and
    // drops the rest. Throws FramingError when the bytes cannot be this protocol: the
    // connection is then closed.
    virtual Bytes receive(ByteView bytes, CardPort& card) = 0;
    // A framer of the same protocol, fresh, for another host of the same front-end.
    virtual std::unique_ptr<Framer> another() const = 0;
};

// The framers by name ("vpcd", ...). Throws std::invalid_argument for an unknown name.
std::unique_ptr<Framer> makeFramer(std::string_view name);
// The names makeFramer() knows, separated by ", ", for messages.
std::string framerNames();

}  // namespace vtoken
