// One open virtual card of a stand-in library: a loopback connection to the token that speaks
// the stand-in protocol (standin/protocol.h). Once the connection failed in any way the link
// stays dead: a late reply must never be taken for the answer to a later command.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "card_config.h"
#include "platform/loopback_stream.h"
#include "platform/wiped_bytes.h"
#include "standin/protocol.h"

namespace standin {

// How long a card may take: the longest operation of a token (generating an RSA-2048 key
// pair) takes well under a minute.
inline constexpr std::chrono::milliseconds kReplyLimit{60000};
inline constexpr std::chrono::milliseconds kConnectLimit{1000};
inline constexpr std::chrono::milliseconds kProbeLimit{2000};

class CardLink {
  public:
    // Connects and checks that a token answers the probe; null when none does.
    static std::unique_ptr<CardLink> open(const CardAddress& card);
    // Whether a token answers there now.
    static bool present(const CardAddress& card);

    enum class Result {
        Ok,
        NotReady,  // no byte of the reply yet
        Arriving,  // part of the reply is here
        Removed,   // the connection is gone (now or earlier)
        Timeout,   // no reply within the limit; the link is dead
        Protocol,  // the token sent something that is not a reply; the link is dead
    };

    // Sends the command and waits for its reply (data and status bytes; wiped when it goes).
    Result transmit(std::span<const std::uint8_t> command, platform::WipedBytes& reply,
                    std::chrono::milliseconds limit = kReplyLimit);

    // The two halves, for a caller that polls: send, then receive until Ok or a failure.
    Result send(std::span<const std::uint8_t> command);
    Result receive(platform::WipedBytes& reply, std::chrono::milliseconds wait);

  private:
    explicit CardLink(std::unique_ptr<platform::LoopbackStream> stream);
    bool probe();
    Result fail(Result why);

    std::unique_ptr<platform::LoopbackStream> stream_;
    FrameReader reader_;
    bool awaiting_ = false;
    bool dead_ = false;
};

}  // namespace standin
