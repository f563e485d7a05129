// The service channel on POSIX: a shared-memory object read and written with pread/pwrite,
// and two named semaphores used as auto-reset events.
#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "platform/service_channel.h"
#include "shm_name.h"

namespace platform {
namespace {

constexpr mode_t kEveryone = 0666;
// A squatter that recreates a name between our unlink and our exclusive create is outwaited
// a few times, then the set-up fails.
constexpr int kCreateAttempts = 5;

std::string_view namespaceFromEnvironment() {
    const char* value = std::getenv("TOKEN_PLATFORM_NAMESPACE");
    return value != nullptr ? std::string_view(value) : std::string_view();
}

std::string posixName(const std::string& name) {
    return detail::shmNameFor(name, namespaceFromEnvironment());
}

class Semaphore {
  public:
    Semaphore() = default;
    explicit Semaphore(sem_t* s) : sem_(s) {}
    ~Semaphore() {
        if (sem_ != nullptr) ::sem_close(sem_);
    }
    Semaphore(Semaphore&& other) noexcept : sem_(std::exchange(other.sem_, nullptr)) {}
    Semaphore& operator=(Semaphore&& other) noexcept {
        std::swap(sem_, other.sem_);
        return *this;
    }
    explicit operator bool() const { return sem_ != nullptr; }

    // Posts only when nothing is pending, so repeated signals count once, as with an event.
    bool signal() {
        int value = 0;
        if (::sem_getvalue(sem_, &value) == 0 && value > 0) return true;
        return ::sem_post(sem_) == 0;
    }

    SignalWait wait(std::optional<std::chrono::milliseconds> limit) {
        if (!limit) {
            while (::sem_wait(sem_) != 0) {
                if (errno != EINTR) return SignalWait::Failed;
            }
            return SignalWait::Signalled;
        }
        timespec deadline{};
        ::clock_gettime(CLOCK_MONOTONIC, &deadline);
        const long long ms = limit->count() < 0 ? 0 : limit->count();
        long long nsec = deadline.tv_nsec + (ms % 1000) * 1000000LL;
        deadline.tv_sec += static_cast<time_t>(ms / 1000 + nsec / 1000000000LL);
        deadline.tv_nsec = static_cast<long>(nsec % 1000000000LL);
        while (::sem_clockwait(sem_, CLOCK_MONOTONIC, &deadline) != 0) {
            if (errno == ETIMEDOUT) return SignalWait::Timeout;
            if (errno != EINTR) return SignalWait::Failed;
        }
        return SignalWait::Signalled;
    }

  private:
    sem_t* sem_ = nullptr;
};

class Descriptor {
  public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

class PosixChannel final : public ServiceChannel {
  public:
    PosixChannel(std::size_t size, Descriptor memory, Semaphore request, Semaphore answer)
        : ServiceChannel(size),
          memory_(std::move(memory)),
          request_(std::move(request)),
          answer_(std::move(answer)) {}

    ~PosixChannel() override {
        if (!owned_) return;
        ::shm_unlink(owned_->memory.c_str());
        ::sem_unlink(owned_->request.c_str());
        ::sem_unlink(owned_->answer.c_str());
    }

    // The service's channel: its names go with it.
    void own(std::string memory, std::string request, std::string answer) {
        owned_ = Names{std::move(memory), std::move(request), std::move(answer)};
    }

    bool read(std::size_t offset, std::span<std::uint8_t> out) override {
        std::size_t done = 0;
        while (done < out.size()) {
            const ssize_t n = ::pread(memory_.get(), out.data() + done, out.size() - done,
                                      static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        std::memset(out.data() + done, 0, out.size() - done);
        return done == out.size();
    }

    bool write(std::size_t offset, std::span<const std::uint8_t> bytes) override {
        if (offset > size() || bytes.size() > size() - offset) return false;
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::pwrite(memory_.get(), bytes.data() + done, bytes.size() - done,
                                       static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    bool signalRequest() override { return request_.signal(); }
    bool signalAnswer() override { return answer_.signal(); }
    SignalWait waitRequest(std::optional<std::chrono::milliseconds> limit) override {
        return request_.wait(limit);
    }
    SignalWait waitAnswer(std::optional<std::chrono::milliseconds> limit) override {
        return answer_.wait(limit);
    }

  private:
    Descriptor memory_;
    Semaphore request_;
    Semaphore answer_;
    struct Names {
        std::string memory, request, answer;
    };
    std::optional<Names> owned_;
};

// Sets the file mode creation mask to 0 for the life of the guard: the objects must be
// usable by every user whatever mask the service was started with.
class OpenMask {
  public:
    OpenMask() : old_(::umask(0)) {}
    ~OpenMask() { ::umask(old_); }
    OpenMask(const OpenMask&) = delete;
    OpenMask& operator=(const OpenMask&) = delete;

  private:
    mode_t old_;
};

Semaphore createSemaphore(const std::string& name) {
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        ::sem_unlink(name.c_str());
        sem_t* s = ::sem_open(name.c_str(), O_CREAT | O_EXCL, kEveryone, 0);
        if (s != SEM_FAILED) return Semaphore(s);
        if (errno != EEXIST) break;
    }
    return {};
}

Semaphore openSemaphore(const std::string& name) {
    sem_t* s = ::sem_open(name.c_str(), 0);
    return s == SEM_FAILED ? Semaphore() : Semaphore(s);
}

Descriptor createMemory(const std::string& name, std::size_t size) {
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        ::shm_unlink(name.c_str());
        Descriptor fd(::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kEveryone));
        if (fd) {
            ::fchmod(fd.get(), kEveryone);
            if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
                ::shm_unlink(name.c_str());
                return {};
            }
            return fd;
        }
        if (errno != EEXIST) break;
    }
    return {};
}

}  // namespace

ServiceChannel::Created ServiceChannel::create(const ChannelNames& names) {
    const std::string requestName = posixName(names.requestSignal);
    const std::string answerName = posixName(names.answerSignal);
    const std::string memoryName = posixName(names.memory);
    OpenMask mask;
    Semaphore request = createSemaphore(requestName);
    if (!request) return {nullptr, Step::RequestSignal};
    Semaphore answer = createSemaphore(answerName);
    if (!answer) {
        ::sem_unlink(requestName.c_str());
        return {nullptr, Step::AnswerSignal};
    }
    Descriptor memory = createMemory(memoryName, names.memorySize);
    if (!memory) {
        ::sem_unlink(requestName.c_str());
        ::sem_unlink(answerName.c_str());
        return {nullptr, Step::Memory};
    }
    auto channel = std::make_unique<PosixChannel>(names.memorySize, std::move(memory),
                                                  std::move(request), std::move(answer));
    channel->own(memoryName, requestName, answerName);
    return {std::move(channel), Step::None};
}

std::unique_ptr<ServiceChannel> ServiceChannel::open(const ChannelNames& names) {
    Descriptor memory(::shm_open(posixName(names.memory).c_str(), O_RDWR | O_CLOEXEC, 0));
    if (!memory) return nullptr;
    struct stat st {};
    if (::fstat(memory.get(), &st) != 0 || st.st_size < static_cast<off_t>(names.memorySize)) {
        return nullptr;
    }
    Semaphore request = openSemaphore(posixName(names.requestSignal));
    Semaphore answer = openSemaphore(posixName(names.answerSignal));
    if (!request || !answer) return nullptr;
    return std::make_unique<PosixChannel>(names.memorySize, std::move(memory), std::move(request),
                                          std::move(answer));
}

}  // namespace platform
