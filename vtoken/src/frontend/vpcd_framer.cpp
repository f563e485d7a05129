#include "vtoken/vpcd_framer.h"

namespace vtoken {

namespace {

constexpr std::size_t kHeaderLength = 2;
constexpr std::uint8_t kPowerOff = 0x00;
constexpr std::uint8_t kPowerOn = 0x01;
constexpr std::uint8_t kReset = 0x02;
constexpr std::uint8_t kGetAtr = 0x04;
constexpr std::size_t kLargestPayload = 0xFFFF;
// What goes back instead of a reply that the 16-bit length cannot carry.
const Bytes kTooLongForTheFrame = {0x67, 0x00};

void appendFrame(Bytes& out, ByteView payload) {
    if (payload.size() > kLargestPayload) payload = kTooLongForTheFrame;
    putU16(out, static_cast<std::uint16_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
}

}  // namespace

Bytes VpcdFramer::receive(ByteView bytes, CardPort& card) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    Bytes out;
    std::size_t used = 0;
    while (pending_.size() - used >= kHeaderLength) {
        const std::size_t length = readU16(pending_, used);
        if (pending_.size() - used - kHeaderLength < length) break;
        const ByteView payload(pending_.data() + used + kHeaderLength, length);
        used += kHeaderLength + length;
        if (payload.size() == 1) {
            switch (payload[0]) {
                case kPowerOff:
                    card.powerOff();
                    break;
                case kPowerOn:
                    card.powerOn();
                    break;
                case kReset:
                    card.reset();
                    break;
                case kGetAtr:
                    appendFrame(out, card.atr());
                    break;
                default:
                    break;
            }
            continue;
        }
        if (payload.empty()) continue;
        const std::optional<Bytes> reply = card.command(payload);
        if (!reply) {
            pending_.clear();
            return out;
        }
        appendFrame(out, *reply);
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
    return out;
}

}  // namespace vtoken
