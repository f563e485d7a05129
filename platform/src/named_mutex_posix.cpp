// Named mutexes on POSIX: a robust, recursive, process-shared pthread mutex living in a
// shared-memory object, so that it behaves like a Windows kernel mutex: re-entrant for its
// owning thread, visible to every process of the machine, and reported as abandoned (and
// handed to the waiter) when its owner dies holding it.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <utility>

#include "platform/named_mutex.h"
#include "shm_name.h"

namespace platform {
namespace {

using namespace std::chrono_literals;

// Every process that maps the object must agree on this layout, whatever build made it.
struct SharedBlock {
    // 0: never initialised; (pid << 2) | 1: being initialised by that process; 2: ready.
    alignas(8) std::uint64_t state;
    pthread_mutex_t mutex;
};

constexpr std::uint64_t kReady = 2;
constexpr auto kInitialisationLimit = 5s;

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

class Mapping {
  public:
    Mapping() = default;
    explicit Mapping(void* address) : address_(address) {}
    ~Mapping() {
        if (address_ != nullptr) ::munmap(address_, sizeof(SharedBlock));
    }
    Mapping(Mapping&& other) noexcept : address_(std::exchange(other.address_, nullptr)) {}
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    SharedBlock* block() const { return static_cast<SharedBlock*>(address_); }

  private:
    void* address_ = nullptr;
};

bool initialiseMutex(pthread_mutex_t* mutex) {
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) return false;
    bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
              pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
              pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
              pthread_mutex_init(mutex, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    return ok;
}

bool processAlive(pid_t pid) {
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

// Two processes may create the object at the same moment: exactly one of them initialises
// the mutex, the others wait until it is ready. An initialiser that died half-way is
// replaced, or the object would be unusable until someone deleted it by hand.
bool makeReady(SharedBlock& block) {
    std::atomic_ref<std::uint64_t> state(block.state);
    const auto giveUp = std::chrono::steady_clock::now() + kInitialisationLimit;
    std::uint64_t seen = state.load(std::memory_order_acquire);
    for (;;) {
        if (seen == kReady) return true;
        const bool abandoned = (seen & 3) == 1 && !processAlive(static_cast<pid_t>(seen >> 2));
        if (seen == 0 || abandoned) {
            const std::uint64_t mine = (static_cast<std::uint64_t>(::getpid()) << 2) | 1;
            if (state.compare_exchange_strong(seen, mine, std::memory_order_acq_rel)) {
                const bool ok = initialiseMutex(&block.mutex);
                state.store(ok ? kReady : 0, std::memory_order_release);
                return ok;
            }
            continue;  // `seen` now holds the winner's mark
        }
        if (std::chrono::steady_clock::now() > giveUp) return false;
        std::this_thread::sleep_for(1ms);
        seen = state.load(std::memory_order_acquire);
    }
}

// Measured on the monotonic clock: a wall clock set back or forward during a wait must not
// stretch or cut the 5 s the key API promises.
timespec deadlineAfter(std::chrono::milliseconds limit) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const auto ms = limit.count() < 0 ? 0 : limit.count();
    long long nsec = now.tv_nsec + (ms % 1000) * 1000000LL;
    timespec deadline{};
    deadline.tv_sec = now.tv_sec + static_cast<time_t>(ms / 1000 + nsec / 1000000000LL);
    deadline.tv_nsec = static_cast<long>(nsec % 1000000000LL);
    return deadline;
}

class PosixNamedMutex final : public NamedMutex {
  public:
    explicit PosixNamedMutex(Mapping mapping) : mapping_(std::move(mapping)) {}

    WaitResult wait(std::optional<std::chrono::milliseconds> limit) override {
        pthread_mutex_t* mutex = &mapping_.block()->mutex;
        int rc = 0;
        if (limit) {
            const timespec deadline = deadlineAfter(*limit);
            rc = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
        } else {
            rc = pthread_mutex_lock(mutex);
        }
        switch (rc) {
            case 0:
                return WaitResult::Acquired;
            case EOWNERDEAD:
                // We hold it now; whatever the dead owner guarded is for the caller to judge,
                // as with an abandoned Windows mutex.
                return pthread_mutex_consistent(mutex) == 0 ? WaitResult::Abandoned
                                                            : WaitResult::Failed;
            case ETIMEDOUT:
                return WaitResult::Timeout;
            default:
                return WaitResult::Failed;
        }
    }

    void release() override { pthread_mutex_unlock(&mapping_.block()->mutex); }

  private:
    Mapping mapping_;
};

std::string_view namespaceFromEnvironment() {
    const char* value = std::getenv("TOKEN_PLATFORM_NAMESPACE");
    return value != nullptr ? std::string_view(value) : std::string_view();
}

}  // namespace

std::unique_ptr<NamedMutex> NamedMutex::openOrCreate(std::string_view name) {
    const std::string shmName = detail::shmNameFor(name, namespaceFromEnvironment());
    FileDescriptor fd(::shm_open(shmName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
    if (fd.get() < 0) return nullptr;
    // The umask would otherwise keep other users' processes out. Fails harmlessly when
    // another user created the object (it is theirs, already 0666).
    ::fchmod(fd.get(), 0666);

    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return nullptr;
    // Every process grows it to the same size, so a racing creator never shrinks it.
    if (st.st_size < static_cast<off_t>(sizeof(SharedBlock)) &&
        ::ftruncate(fd.get(), sizeof(SharedBlock)) != 0) {
        return nullptr;
    }
    void* address =
        ::mmap(nullptr, sizeof(SharedBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (address == MAP_FAILED) return nullptr;
    Mapping mapping(address);
    if (!makeReady(*mapping.block())) return nullptr;
    return std::make_unique<PosixNamedMutex>(std::move(mapping));
}

}  // namespace platform
