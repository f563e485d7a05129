#include "service_client.h"

#include <algorithm>
#include <array>
#include <vector>

#include "diskgate/channel_names.h"

namespace disklink {

using diskgate::record::kCommandOffset;
using diskgate::record::load32;
using diskgate::record::store32;
using platform::SignalWait;

std::shared_ptr<ServiceClient> ServiceClient::connect(Timing timing) {
    auto channel = platform::ServiceChannel::open(diskgate::channelNames());
    if (!channel) return nullptr;
    auto lock = platform::NamedMutex::openOrCreate(kClientMutexName);
    auto serviceRunning = platform::NamedMutex::openOrCreate(diskgate::kServiceRunningMutex);
    if (!lock || !serviceRunning) return nullptr;
    return std::make_shared<ServiceClient>(std::move(channel), std::move(lock),
                                           std::move(serviceRunning), timing);
}

ServiceClient::ServiceClient(std::unique_ptr<platform::ServiceChannel> channel,
                             std::unique_ptr<platform::NamedMutex> lock,
                             std::unique_ptr<platform::NamedMutex> serviceRunning, Timing timing)
    : channel_(std::move(channel)),
      lock_(std::move(lock)),
      serviceRunning_(std::move(serviceRunning)),
      timing_(timing) {}

bool ServiceClient::serviceRuns() {
    platform::NamedMutexGuard probe(*serviceRunning_, std::chrono::milliseconds(0));
    return !probe.owns();
}

ServiceClient::Session::Session(ServiceClient& client)
    : client_(client), guard_(*client.lock_, client.timing_.lock) {}

bool ServiceClient::channelIsFree() {
    std::array<std::uint8_t, 4> word{};
    channel_->read(kCommandOffset, word);
    if (load32(word, 0) == kAwaitingLateAnswer) {
        // The service writes the late answer over the mark and then signals it: only that
        // signal makes the channel free again.
        return channel_->waitAnswer(timing_.lateAnswer) == SignalWait::Signalled;
    }
    // A signal nobody waited for (the answer to the stop request, or to a client that died
    // waiting) must not be taken for the answer to ours.
    while (channel_->waitAnswer(std::chrono::milliseconds(0)) == SignalWait::Signalled) {
    }
    return true;
}

ServiceClient::Outcome ServiceClient::Session::call(std::span<const std::uint8_t> request,
                                                    std::span<std::uint8_t> answer, Wipe wipe) {
    if (!guard_.owns()) return Outcome::Locked;
    if (!client_.serviceRuns()) return Outcome::NoService;
    platform::ServiceChannel& channel = *client_.channel_;
    if (!client_.channelIsFree()) return Outcome::NoAnswer;
    if (!channel.write(0, request) || !channel.signalRequest()) return Outcome::NoService;
    if (channel.waitAnswer(client_.timing_.answer) != SignalWait::Signalled) {
        std::array<std::uint8_t, 4> mark{};
        store32(mark, 0, kAwaitingLateAnswer);
        channel.write(kCommandOffset, mark);
        return Outcome::NoAnswer;
    }
    channel.read(0, answer);
    if (wipe == Wipe::Afterwards) {
        // The answer's length says how far the reply reaches; the request may reach further.
        const std::size_t used = std::max(
            request.size(),
            std::min<std::size_t>(diskgate::record::kAnswerDataOffset +
                                      load32(answer, diskgate::record::kAnswerLengthOffset),
                                  channel.size()));
        const std::vector<std::uint8_t> zero(used - 4);
        channel.write(4, zero);
    }
    return Outcome::Answered;
}

ServiceClient::Outcome ServiceClient::call(std::span<const std::uint8_t> request,
                                           std::span<std::uint8_t> answer, Wipe wipe) {
    Session session(*this);
    return session.call(request, answer, wipe);
}

}  // namespace disklink
