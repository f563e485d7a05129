#include "vtoken/driver_framer.h"

namespace vtoken {

namespace {

constexpr std::uint8_t kCommandMark = 0xA5;
constexpr std::uint8_t kReplyMark = 0x5A;
constexpr std::size_t kHeaderLength = 3;
constexpr std::size_t kLargestPayload = 0xFFFF;
const Bytes kTooLongForTheFrame = {0x67, 0x00};

void appendFrame(Bytes& out, ByteView reply) {
    if (reply.size() > kLargestPayload) reply = kTooLongForTheFrame;
    out.push_back(kReplyMark);
    out.push_back(static_cast<std::uint8_t>(reply.size() & 0xFF));
    out.push_back(static_cast<std::uint8_t>(reply.size() >> 8));
    out.insert(out.end(), reply.begin(), reply.end());
}

}  // namespace

Bytes DriverFramer::receive(ByteView bytes, CardPort& card) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    Bytes out;
    std::size_t used = 0;
    while (pending_.size() - used >= kHeaderLength) {
        if (pending_[used] != kCommandMark) {
            pending_.clear();
            throw FramingError("not the driver's frame");
        }
        const std::size_t length = pending_[used + 1] | pending_[used + 2] << 8;
        if (length == 0) {
            pending_.clear();
            throw FramingError("an empty command");
        }
        if (pending_.size() - used - kHeaderLength < length) break;
        const ByteView command(pending_.data() + used + kHeaderLength, length);
        used += kHeaderLength + length;
        const std::optional<Bytes> reply = card.command(command);
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
