#include "apdu.h"

#include <algorithm>
#include <stdexcept>

#include "commands.h"
#include "status_words.h"
#include "transport_route.h"

namespace tokenapi {
namespace {

// Larger than the longest reply any transport takes (51,200 bytes on the driver path), so a
// transport that copies out without knowing our size still stays inside this buffer.
constexpr size_t kTransportBuffer = 64 * 1024;

bool isStatusWord(int32_t r) {
    return (r >= 0x6000 && r <= 0x6FFF) || (r >= 0x9000 && r <= 0x9FFF);
}

// The header, a length field of the form's own shape, then the data.
Bytes framed(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, std::span<const uint8_t> field,
             ByteView data, size_t maxData) {
    if (data.size() > maxData) throw std::length_error("command data too long for its form");
    Bytes out{cla, ins, p1, p2};
    out.reserve(4 + field.size() + data.size());
    for (uint8_t b : field) out.push_back(b);
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
    thread_local Bytes buffer(kTransportBuffer);
    int32_t length = static_cast<int32_t>(buffer.size());
    RawReply raw;
    raw.result = route::doCommand(transport, command.data(), static_cast<int32_t>(command.size()),
                                  buffer.data(), &length);
    if (isStatusWord(raw.result)) {
        if (length < 0 || static_cast<size_t>(length) > buffer.size()) {
            raw.result = -1;  // a length no reply can have: nothing in it can be trusted
        } else {
            raw.data.assign(buffer.begin(), buffer.begin() + length);
        }
    }
    return raw;
}

Response transmit(TransportHandle* transport, const Command& command) {
    RawReply raw = exchangeRaw(transport, command.bytes());
    // A reply ending in 00 00 carries no status word a token sends: passed up unchanged, the
    // result 0 would tell the caller that the command succeeded.
    if (raw.result == 0) return {-1, {}};
    if (!isStatusWord(raw.result)) return {raw.result, {}};
    // Every buffer size is the longest reply the token sends for that command: anything
    // longer is a reply this library does not know, never a reason to write past a buffer.
    if (raw.data.size() > command.replyCapacity()) return {-1, {}};

    const int32_t sw = raw.result;
    const uint8_t sw1 = static_cast<uint8_t>(sw >> 8);
    const uint8_t sw2 = static_cast<uint8_t>(sw);
    const uint8_t cla = command.cla();
    const uint8_t ins = command.ins();

    if (cla == 0x00 && ins == 0xA4) {
        // SELECT also succeeds with 61xx; nothing is fetched.
        if (sw == kSwOk || sw1 == 0x61) return {0, std::move(raw.data)};
        return {sw, {}};
    }
    if (cla == 0x80 && ins == 0xC6 && sw1 == 0x61) {
        return transmit(transport, cmd::getResponse(sw2).offering(command.replyCapacity()));
    }
    if (cla == 0x80 && (ins == 0xF6 || ins == 0xF8) && sw == 0x6180) {
        return transmit(transport, cmd::getResponse(128).offering(command.replyCapacity()));
    }
    if (sw == kSwOk) return {0, std::move(raw.data)};
    return {sw, {}};
}

}  // namespace tokenapi
