#include "standin/protocol.h"

#include <algorithm>
#include <stdexcept>

#include "platform/secure_wipe.h"

namespace standin {

std::vector<std::uint8_t> encode(std::uint8_t type, std::span<const std::uint8_t> payload) {
    if (payload.size() > kMaxPayload) throw std::length_error("stand-in message too long");
    const auto n = static_cast<std::uint32_t>(payload.size());
    std::vector<std::uint8_t> out;
    out.reserve(kHeaderSize + payload.size());
    out.push_back(type);
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(n >> shift));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::optional<Header> decodeHeader(std::span<const std::uint8_t, kHeaderSize> bytes,
                                   std::span<const std::uint8_t> allowed) {
    const Header h{bytes[0], static_cast<std::uint32_t>(bytes[1]) << 24 |
                                 static_cast<std::uint32_t>(bytes[2]) << 16 |
                                 static_cast<std::uint32_t>(bytes[3]) << 8 | bytes[4]};
    if (std::find(allowed.begin(), allowed.end(), h.type) == allowed.end()) return std::nullopt;
    if (h.length > kMaxPayload) return std::nullopt;
    return h;
}

FrameReader::State FrameReader::feed(std::span<const std::uint8_t> bytes, std::size_t& used) {
    used = 0;
    while (state_ == State::Incomplete && used < bytes.size()) {
        if (!haveHeader_) {
            const std::size_t take = std::min(kHeaderSize - buffer_.size(), bytes.size() - used);
            buffer_.insert(buffer_.end(), bytes.begin() + used, bytes.begin() + used + take);
            used += take;
            if (buffer_.size() < kHeaderSize) break;
            const auto h = decodeHeader(
                std::span<const std::uint8_t, kHeaderSize>(buffer_.data(), kHeaderSize), allowed_);
            if (!h) {
                state_ = State::Broken;
                break;
            }
            header_ = *h;
            haveHeader_ = true;
            payload_.clear();
            payload_.reserve(header_.length);
        }
        const std::size_t take =
            std::min<std::size_t>(header_.length - payload_.size(), bytes.size() - used);
        payload_.insert(payload_.end(), bytes.begin() + used, bytes.begin() + used + take);
        used += take;
        if (payload_.size() == header_.length) state_ = State::Complete;
    }
    // A header announcing an empty payload completes without another byte.
    if (state_ == State::Incomplete && haveHeader_ && payload_.size() == header_.length) {
        state_ = State::Complete;
    }
    return state_;
}

FrameReader::~FrameReader() {
    platform::secureWipe(payload_.data(), payload_.size());
}

FrameReader& FrameReader::operator=(FrameReader&& other) noexcept {
    if (this != &other) {
        platform::secureWipe(payload_.data(), payload_.size());
        allowed_ = std::move(other.allowed_);
        buffer_ = std::move(other.buffer_);
        header_ = other.header_;
        payload_ = std::move(other.payload_);
        state_ = other.state_;
        haveHeader_ = other.haveHeader_;
    }
    return *this;
}

void FrameReader::next() {
    if (state_ == State::Broken) return;
    buffer_.clear();
    platform::secureWipe(payload_.data(), payload_.size());
    payload_.clear();
    haveHeader_ = false;
    state_ = State::Incomplete;
}

}  // namespace standin
