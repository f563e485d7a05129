#include "apdu.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "commands.h"
#include "status_words.h"
#include "transport_route.h"

namespace tokenapi {
namespace {

// Larger than the longest reply any transport takes (51,200 bytes on the driver path), so a
// transport that copies out without knowing our size still stays inside this buffer.
constexpr size_t kTransportBuffer = 64 * 1024;

// The buffer one exchange receives into, allocated per call: a thread_local one would be
// destroyed by mingw's emulated TLS in an order that crashes a DLL unloaded by its host, and
// an allocation costs nothing next to a round trip to the token. What the transport wrote is
// wiped before the memory goes back (all of it when the transport never said how much).
class ReceiveBuffer {
  public:
    ReceiveBuffer() : bytes_(std::make_unique_for_overwrite<uint8_t[]>(kTransportBuffer)) {}
    ~ReceiveBuffer() { crypto::secureWipe(bytes_.get(), written_); }
    ReceiveBuffer(const ReceiveBuffer&) = delete;
    ReceiveBuffer& operator=(const ReceiveBuffer&) = delete;

    uint8_t* data() { return bytes_.get(); }
    static constexpr size_t size() { return kTransportBuffer; }
    void written(size_t length) { written_ = std::min(length, kTransportBuffer); }

  private:
    std::unique_ptr<uint8_t[]> bytes_;
    size_t written_ = kTransportBuffer;
};

// The header, a length field of the form's own shape, then the data.
Bytes framed(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, std::span<const uint8_t> field,
             ByteView data, size_t maxData) {
    if (data.size() > maxData) throw std::length_error("command data too long for its form");
    Bytes out{cla, ins, p1, p2};
    out.reserve(4 + field.size() + data.size());
    out.insert(out.end(), field.begin(), field.end());
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

uint8_t high(size_t n) {
    return static_cast<uint8_t>(n >> 8);
}
uint8_t low(size_t n) {
    return static_cast<uint8_t>(n);
}

}  // namespace

Command Command::header(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, uint8_t p3) {
    const uint8_t field[] = {p3};
    return Command(framed(cla, ins, p1, p2, field, {}, 0));
}

Command Command::shortData(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, ByteView data) {
    const uint8_t field[] = {low(data.size())};
    return Command(framed(cla, ins, p1, p2, field, data, 255));
}

Command Command::extendedFixed256(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, ByteView data) {
    const uint8_t field[] = {0x00, 0x01, 0x00};
    return Command(framed(cla, ins, p1, p2, field, data, 0xFFFF));
}

Command Command::extended(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, ByteView data) {
    const uint8_t field[] = {0x00, high(data.size()), low(data.size())};
    return Command(framed(cla, ins, p1, p2, field, data, 0xFFFF));
}

Command Command::twoByteLength(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, ByteView data) {
    const uint8_t field[] = {high(data.size()), low(data.size())};
    return Command(framed(cla, ins, p1, p2, field, data, 0xFFFF));
}

Command Command::fourByteLength(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, ByteView data) {
    const uint8_t field[] = {0x00, 0x00, high(data.size()), low(data.size())};
    return Command(framed(cla, ins, p1, p2, field, data, 0xFFFF));
}

RawReply exchangeRaw(TransportHandle* transport, ByteView command) {
    ReceiveBuffer buffer;
    int32_t length = static_cast<int32_t>(buffer.size());
    RawReply raw;
    raw.result = route::doCommand(transport, command.data(), static_cast<int32_t>(command.size()),
                                  buffer.data(), &length);
    if (isStatusWord(raw.result)) {
        // The buffer is larger than any reply a transport takes: a length that fills it (the
        // value it went in with, untouched) or exceeds it is no reply at all.
        if (length < 0 || static_cast<size_t>(length) >= buffer.size()) {
            raw.result = -1;
        } else {
            buffer.written(static_cast<size_t>(length));
            raw.data.assign(buffer.data(), buffer.data() + length);
        }
    }
    return raw;
}

Response transmit(TransportHandle* transport, const Command& command) {
    RawReply raw = exchangeRaw(transport, command.bytes());
    // A reply ending in 00 00 carries no status word a token sends: passed up unchanged, the
    // result 0 would tell the caller that the command succeeded.
    if (raw.result == 0) return {-1};
    if (!isStatusWord(raw.result)) return {raw.result};
    // Every buffer size is the longest reply the token sends for that command: anything
    // longer is a reply this library does not know, never a reason to write past a buffer.
    if (raw.data.size() > command.replyCapacity()) return {-1};

    const int32_t sw = raw.result;
    const uint8_t sw1 = static_cast<uint8_t>(sw >> 8);
    const uint8_t sw2 = static_cast<uint8_t>(sw);
    switch (command.followUp()) {
        case FollowUp::None:
            break;
        case FollowUp::Accept61xx:
            if (sw1 == 0x61) return {0, std::move(raw.data)};
            break;
        case FollowUp::Fetch61xx:
            if (sw1 == 0x61) {
                return transmit(transport, cmd::getResponse(sw2).offering(command.replyCapacity()));
            }
            break;
        case FollowUp::Fetch6180:
            if (sw == 0x6180) {
                return transmit(transport, cmd::getResponse(128).offering(command.replyCapacity()));
            }
            break;
    }
    if (sw == kSwOk) return {0, std::move(raw.data)};
    return {sw};
}

}  // namespace tokenapi
