// Machine-wide named mutexes: the one facility that every layer above shares to serialise
// access to a token across processes (the key API lock, the transports' per-device locks,
// later the provider lock).
//
// Windows: a kernel mutex in the Global namespace, created with a null DACL (anyone may use
// it), inheritable, then given the low mandatory integrity label so that low-integrity
// processes can open it too; a failure to apply the label is ignored.
// POSIX: a robust, recursive, process-shared pthread mutex in a shared-memory object of
// mode 0666; the death of its owner is reported as Abandoned and the lock is then held by
// the waiter, as with an abandoned Windows mutex. The object is named "/tarvex." followed by
// the name with every '\\' and '/' turned into '.', shortened with a hash when it would be
// too long for a file name.
//
// TOKEN_PLATFORM_NAMESPACE (POSIX only): when this environment variable is set, its value
// becomes part of every shared-memory name ("/tarvex.<value>.<name>"). Processes that share
// the value share the mutexes; test runs that each set their own value get machine-wide
// objects of their own and can run in parallel. Production use leaves it unset.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

enum class WaitResult {
    Acquired,   // the caller now owns the mutex
    Abandoned,  // the previous owner died holding it; the caller now owns it
    Timeout,    // the limit passed; nothing is owned
    Failed,     // the wait itself failed; nothing is owned
};

// True for the results after which the caller owns the mutex and must release it.
constexpr bool owns(WaitResult r) {
    return r == WaitResult::Acquired || r == WaitResult::Abandoned;
}

class NamedMutex {
  public:
    // Opens the mutex of that name, creating it when it does not exist yet. Returns null
    // when it can be neither opened nor created. Names are the system's own
    // ("Global\\TOKENAPI_MUTEX"); the POSIX implementation maps them onto shared-memory names.
    static std::unique_ptr<NamedMutex> openOrCreate(std::string_view name);

    virtual ~NamedMutex() = default;

    // Waits for ownership; without a limit it waits for as long as it takes.
    virtual WaitResult wait(std::optional<std::chrono::milliseconds> limit) = 0;
    virtual void release() = 0;

    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

  protected:
    NamedMutex() = default;
};

// Holds a NamedMutex for one scope: released on every path out of it.
class NamedMutexGuard {
  public:
    NamedMutexGuard(NamedMutex& m, std::optional<std::chrono::milliseconds> limit)
        : m_(m), result_(m.wait(limit)) {}
    ~NamedMutexGuard() {
        if (platform::owns(result_)) m_.release();
    }
    NamedMutexGuard(const NamedMutexGuard&) = delete;
    NamedMutexGuard& operator=(const NamedMutexGuard&) = delete;

    bool owns() const { return platform::owns(result_); }
    WaitResult result() const { return result_; }

  private:
    NamedMutex& m_;
    WaitResult result_;
};

// The lock name that the transports derive from a device identification string: the string
// reversed character by character, every backslash turned into the letter 'a'.
std::string deviceLockName(std::string_view identification);

}  // namespace platform
