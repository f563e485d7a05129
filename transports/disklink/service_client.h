// One conversation with the key service at a time, machine-wide: a named mutex around each
// whole write-signal-wait-read sequence, a bounded wait for the answer, and care that an
// answer that comes too late is never taken for the answer to a later request.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/named_mutex.h"
#include "platform/service_channel.h"

namespace disklink {

// Taken around every exchange with the service by every client process.
inline constexpr char kClientMutexName[] = "Global\\TV-CLIENT-MUTEX";

// Written over the command word when a client gave up waiting: until the service writes the
// late answer over it, later clients know that an answer is still on its way. The service
// reads it, should it ever see it as a request, as an unknown command.
inline constexpr std::uint32_t kAwaitingLateAnswer = 0x4554414C;  // "LATE"

struct Timing {
    // The longest the service takes to answer a request honestly (an on-token key pair
    // generation is the slowest).
    std::chrono::milliseconds answer{60'000};
    // How long a later client waits for an answer still on its way before it gives up.
    std::chrono::milliseconds lateAnswer{100};
    // The client lock is held for at most one answer wait and a little more.
    std::chrono::milliseconds lock{65'000};
};

class ServiceClient {
  public:
    enum class Outcome {
        Answered,
        NoService,  // the channel does not exist
        Locked,     // the client lock could not be taken
        NoAnswer,   // the service did not answer in time, or is still busy with an earlier one
    };

    // Opens the service's channel, the client lock and the service's running mutex; null when
    // one of them cannot be opened.
    static std::shared_ptr<ServiceClient> connect(Timing timing = {});

    ServiceClient(std::unique_ptr<platform::ServiceChannel> channel,
                  std::unique_ptr<platform::NamedMutex> lock,
                  std::unique_ptr<platform::NamedMutex> serviceRunning, Timing timing);

    enum class Wipe { No, Afterwards };

    // Holds the client lock across several requests (an enumeration and the opens that
    // follow it), so that no other client's requests come between them.
    class Session {
      public:
        explicit Session(ServiceClient& client);
        bool locked() const { return guard_.owns(); }
        // Sends `request` (the bytes from the start of the record) and reads as many bytes of
        // the answer as `answer` holds. With Wipe::Afterwards the record is cleared behind the
        // command word once the answer is read: an exchange's command and reply (PIN proofs,
        // key material, deciphered data) do not stay in memory that every process can read.
        Outcome call(std::span<const std::uint8_t> request, std::span<std::uint8_t> answer,
                     Wipe wipe = Wipe::No);

      private:
        ServiceClient& client_;
        platform::NamedMutexGuard guard_;
    };

    // One request in a session of its own.
    Outcome call(std::span<const std::uint8_t> request, std::span<std::uint8_t> answer,
                 Wipe wipe = Wipe::No);

  private:
    // Under the lock: false when an earlier request's answer is still on its way.
    bool channelIsFree();
    // False when nobody holds the service's running mutex: no service will answer.
    bool serviceRuns();

    std::unique_ptr<platform::ServiceChannel> channel_;
    std::unique_ptr<platform::NamedMutex> lock_;
    std::unique_ptr<platform::NamedMutex> serviceRunning_;
    Timing timing_;
};

}  // namespace disklink
