#include "vtoken/scsi_framer.h"

#include <algorithm>
#include <array>

namespace vtoken {

namespace {

constexpr std::size_t kBlockLength = 10;
constexpr std::size_t kHeaderLength = kBlockLength + 4;
constexpr std::size_t kLargestData = 0xFFFF;
constexpr std::uint8_t kReceive = 1;
constexpr std::uint8_t kSend = 2;

std::uint32_t readLe32(ByteView bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
           static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

void appendAnswer(Bytes& out, std::uint8_t status, ByteView data) {
    out.push_back(status);
    const auto length = static_cast<std::uint32_t>(data.size());
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
    out.insert(out.end(), data.begin(), data.end());
}

bool isVendorBlock(ByteView block) {
    static constexpr std::array<std::uint8_t, 6> kHead = {0xFF, 'Q', 'X', 'K', 'E', 'Y'};
    return std::equal(kHead.begin(), kHead.end(), block.begin()) && block[9] == 0xFF &&
           (block[6] == kReceive || block[6] == kSend);
}

}  // namespace

bool ScsiFramer::serve(ByteView block, ByteView data, CardPort& card, Bytes& out) {
    if (!isVendorBlock(block)) {
        appendAnswer(out, kCheckCondition, {});
        return true;
    }
    const std::size_t length = static_cast<std::size_t>(block[7]) | block[8] << 8;
    if (block[6] == kSend) {
        if (length == 0 || data.size() != length) {
            appendAnswer(out, kCheckCondition, {});
            return true;
        }
        std::optional<Bytes> reply = card.command(data);
        if (!reply) return false;
        answer_ = std::move(*reply);
        appendAnswer(out, kGood, {});
        return true;
    }
    if (!data.empty()) {
        appendAnswer(out, kCheckCondition, {});
        return true;
    }
    const std::size_t n = std::min(length, answer_.size());
    appendAnswer(out, kGood, ByteView(answer_).first(n));
    answer_.clear();
    return true;
}

Bytes ScsiFramer::receive(ByteView bytes, CardPort& card) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    Bytes out;
    std::size_t used = 0;
    while (pending_.size() - used >= kHeaderLength) {
        const std::uint32_t length = readLe32(pending_, used + kBlockLength);
        if (length > kLargestData) throw FramingError("a vendor block carries at most 65535 bytes");
        if (pending_.size() - used - kHeaderLength < length) break;
        const ByteView block(pending_.data() + used, kBlockLength);
        const ByteView data(pending_.data() + used + kHeaderLength, length);
        used += kHeaderLength + length;
        if (!serve(block, data, card, out)) {
            restart();
            return out;
        }
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
    return out;
}

}  // namespace vtoken
