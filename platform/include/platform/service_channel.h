// The key service's request/answer channel: one shared block of memory and two auto-reset
// signals (request, answer), named machine-wide so that any process can reach the service.
//
// Windows: a paging-file mapping and two auto-reset events, created with a null DACL,
// inheritable, then given the low mandatory integrity label (a failure to apply it is
// ignored). POSIX: a shared-memory object and two named semaphores of mode 0666 (named like
// the mutexes of named_mutex.h, TOKEN_PLATFORM_NAMESPACE included). The memory is read and
// written with pread/pwrite there, never mapped: a peer that shrinks the object then causes
// short reads, not a fault in the reader.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace platform {

struct ChannelNames {
    std::string requestSignal;
    std::string answerSignal;
    std::string memory;
    std::size_t memorySize = 0;
};

enum class SignalWait { Signalled, Timeout, Failed };

class ServiceChannel {
  public:
    // The step of the service's set-up that failed.
    enum class Step { None, RequestSignal, AnswerSignal, Memory, Mapping };
    struct Created {
        std::unique_ptr<ServiceChannel> channel;  // null on failure
        Step failed = Step::None;
    };

    // Service side: creates the three objects, open to every process of the machine. On
    // Windows objects that exist already (kept alive by clients) are taken over; on POSIX any
    // left-over object of the same name is removed first and the new ones are created
    // exclusively, so no other user's object is ever served, and the names are removed again
    // when the channel is destroyed, so that clients learn at once that no service runs.
    // Call it before starting threads (POSIX sets the file mode creation mask for a moment).
    static Created create(const ChannelNames& names);
    // Client side: opens the service's objects; null when they do not exist (no service).
    static std::unique_ptr<ServiceChannel> open(const ChannelNames& names);

    virtual ~ServiceChannel() = default;
    ServiceChannel(const ServiceChannel&) = delete;
    ServiceChannel& operator=(const ServiceChannel&) = delete;

    std::size_t size() const { return size_; }
    // Copies out of / into the shared memory. Bytes that cannot be read (a shrunk object)
    // read as zero; false when not every byte could be moved.
    virtual bool read(std::size_t offset, std::span<std::uint8_t> out) = 0;
    virtual bool write(std::size_t offset, std::span<const std::uint8_t> bytes) = 0;

    // Sets a signal; a signal already set stays set once (like an auto-reset event).
    virtual bool signalRequest() = 0;
    virtual bool signalAnswer() = 0;
    // Waits for a signal and resets it; without a limit waits for as long as it takes.
    virtual SignalWait waitRequest(std::optional<std::chrono::milliseconds> limit) = 0;
    virtual SignalWait waitAnswer(std::optional<std::chrono::milliseconds> limit) = 0;

  protected:
    explicit ServiceChannel(std::size_t size) : size_(size) {}

  private:
    std::size_t size_;
};

}  // namespace platform
