#include "card_link.h"

#include <algorithm>
#include <array>

namespace standin {
namespace {

using Result = CardLink::Result;

constexpr std::array<std::uint8_t, 2> kTokenTypes = {kPresent, kReply};
constexpr std::chrono::milliseconds kSendLimit{10000};

}  // namespace

CardLink::CardLink(std::unique_ptr<platform::LoopbackStream> stream)
    : stream_(std::move(stream)), reader_(kTokenTypes) {}

std::unique_ptr<CardLink> CardLink::open(const CardAddress& card) {
    auto stream = platform::LoopbackStream::connect(card.host, card.port, kConnectLimit);
    if (!stream) return nullptr;
    std::unique_ptr<CardLink> link(new CardLink(std::move(stream)));
    if (!link->probe()) return nullptr;
    return link;
}

bool CardLink::present(const CardAddress& card) {
    return open(card) != nullptr;
}

bool CardLink::probe() {
    const std::vector<std::uint8_t> message = encode(kProbe, {});
    if (stream_->sendAll(message, kSendLimit) != platform::IoResult::Done) return false;
    std::array<std::uint8_t, kHeaderSize> header{};
    if (stream_->receiveExactly(header, kProbeLimit) != platform::IoResult::Done) return false;
    const auto h = decodeHeader(header, kTokenTypes);
    if (!h || h->type != kPresent || h->length != 1) return false;
    std::uint8_t version = 0;
    if (stream_->receiveExactly({&version, 1}, kProbeLimit) != platform::IoResult::Done) {
        return false;
    }
    return version == kVersion;
}

Result CardLink::fail(Result why) {
    dead_ = true;
    stream_.reset();
    return why;
}

Result CardLink::send(std::span<const std::uint8_t> command) {
    if (dead_) return Result::Removed;
    // A command sent while the previous reply is still out would get that reply.
    if (awaiting_ || command.empty() || command.size() > kMaxPayload) return Result::Protocol;
    switch (stream_->sendAll(encode(kCommand, command), kSendLimit)) {
        case platform::IoResult::Done:
            awaiting_ = true;
            return Result::Ok;
        case platform::IoResult::Timeout:
            return fail(Result::Timeout);
        default:
            return fail(Result::Removed);
    }
}

Result CardLink::receive(platform::WipedBytes& reply, std::chrono::milliseconds wait) {
    if (dead_) return Result::Removed;
    if (!awaiting_) return Result::Protocol;
    platform::WipedBytes chunk(4096);
    std::size_t got = 0;
    switch (stream_->receiveSome(chunk.span(), got, wait)) {
        case platform::IoResult::Done:
            break;
        case platform::IoResult::Timeout:
            return reader_.started() ? Result::Arriving : Result::NotReady;
        default:
            return fail(Result::Removed);
    }
    std::size_t used = 0;
    switch (reader_.feed({chunk.data(), got}, used)) {
        case FrameReader::State::Incomplete:
            return Result::Arriving;
        case FrameReader::State::Broken:
            return fail(Result::Protocol);
        case FrameReader::State::Complete:
            break;
    }
    // The token answers one message with one message: more bytes, another type or a reply
    // without its status word mean it is not the token we think it is.
    if (used != got || reader_.header().type != kReply || !replyUsable(reader_.payload())) {
        return fail(Result::Protocol);
    }
    reply = platform::WipedBytes(reader_.payload().size());
    std::copy(reader_.payload().begin(), reader_.payload().end(), reply.data());
    reader_.next();
    awaiting_ = false;
    return Result::Ok;
}

Result CardLink::transmit(std::span<const std::uint8_t> command, platform::WipedBytes& reply,
                          std::chrono::milliseconds limit) {
    if (const Result sent = send(command); sent != Result::Ok) return sent;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return fail(Result::Timeout);
        const Result r = receive(reply, left);
        if (r != Result::NotReady && r != Result::Arriving) return r;
    }
}

}  // namespace standin
