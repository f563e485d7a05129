#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testbed {
namespace {

using namespace std::chrono_literals;

// Process groups still alive, for the emergency stop when the test process is signalled.
// Plain atomics: the signal handler may only read them.
constexpr std::size_t kMaxGroups = 64;
std::array<std::atomic<int>, kMaxGroups> g_liveGroups{};

void registerGroup(int pgid) {
    for (auto& slot : g_liveGroups) {
        int expected = 0;
        if (slot.compare_exchange_strong(expected, pgid)) return;
    }
}

void unregisterGroup(int pgid) {
    for (auto& slot : g_liveGroups) {
        int expected = pgid;
        if (slot.compare_exchange_strong(expected, 0)) return;
    }
}

extern "C" void stopGroupsAndDie(int signalNumber) {
    for (auto& slot : g_liveGroups) {
        const int pgid = slot.load();
        if (pgid > 0) ::kill(-pgid, SIGKILL);
    }
    ::signal(signalNumber, SIG_DFL);
    ::raise(signalNumber);
}

void installEmergencyStop() {
    static const bool installed = [] {
        for (int s : {SIGTERM, SIGINT, SIGHUP, SIGABRT}) {
            struct sigaction action {};
            action.sa_handler = stopGroupsAndDie;
            sigemptyset(&action.sa_mask);
            ::sigaction(s, &action, nullptr);
        }
        return true;
    }();
    (void)installed;
}

std::vector<std::string> mergedEnvironment(
    const std::vector<std::pair<std::string, std::string>>& additions) {
    std::vector<std::string> merged;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string key = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& [k, v] : additions) replaced = replaced || k == key;
        if (!replaced) merged.push_back(entry);
    }
    for (const auto& [k, v] : additions) merged.push_back(k + "=" + v);
    return merged;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

int decodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

ChildProcess ChildProcess::spawn(const SpawnOptions& options) {
    if (options.argv.empty()) throw std::invalid_argument("spawn: empty argv");
    installEmergencyStop();

    // Everything the child needs is prepared before fork: after it only async-signal-safe
    // calls are allowed.
    std::vector<std::string> argvStrings = options.argv;
    std::vector<std::string> envStrings = mergedEnvironment(options.environment);
    std::vector<char*> argv = pointers(argvStrings);
    std::vector<char*> envp = pointers(envStrings);

    int logFd = -1;
    if (options.logFile) {
        logFd = ::open(options.logFile->c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (logFd < 0) throw std::runtime_error("spawn: cannot open " + options.logFile->string());
    }
    int pipeFds[2] = {-1, -1};
    if (options.captureStdout && ::pipe2(pipeFds, O_CLOEXEC) != 0) {
        if (logFd >= 0) ::close(logFd);
        throw std::runtime_error("spawn: pipe failed");
    }

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        for (int fd : {logFd, pipeFds[0], pipeFds[1]})
            if (fd >= 0) ::close(fd);
        throw std::runtime_error("spawn: fork failed");
    }
    if (pid == 0) {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);  // the parent died before prctl took effect
        for (int s : {SIGTERM, SIGINT, SIGHUP, SIGABRT}) ::signal(s, SIG_DFL);
        const int devNull = ::open("/dev/null", O_RDWR);
        ::dup2(devNull, STDIN_FILENO);
        if (pipeFds[1] >= 0) {
            ::dup2(pipeFds[1], STDOUT_FILENO);
        } else {
            ::dup2(logFd >= 0 ? logFd : devNull, STDOUT_FILENO);
        }
        ::dup2(logFd >= 0 ? logFd : STDERR_FILENO, STDERR_FILENO);
        ::execvpe(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    // Also set here, so that a signal to the group cannot race the child's own setpgid.
    ::setpgid(pid, pid);
    registerGroup(pid);
    if (logFd >= 0) ::close(logFd);
    if (pipeFds[1] >= 0) ::close(pipeFds[1]);
    return ChildProcess(pid, pipeFds[0]);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      stdoutFd_(std::exchange(other.stdoutFd_, -1)),
      exitStatus_(other.exitStatus_),
      peakResidentKiB_(other.peakResidentKiB_),
      buffered_(std::move(other.buffered_)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        reset();
        pid_ = std::exchange(other.pid_, -1);
        stdoutFd_ = std::exchange(other.stdoutFd_, -1);
        exitStatus_ = other.exitStatus_;
        peakResidentKiB_ = other.peakResidentKiB_;
        buffered_ = std::move(other.buffered_);
    }
    return *this;
}

ChildProcess::~ChildProcess() {
    reset();
}

void ChildProcess::reset() {
    if (pid_ > 0) {
        // Whatever the child left behind in its group goes too, even after the child ended.
        ::kill(-pid_, SIGKILL);
        if (!exitStatus_) {
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        unregisterGroup(pid_);
    }
    if (stdoutFd_ >= 0) ::close(stdoutFd_);
    pid_ = -1;
    stdoutFd_ = -1;
    exitStatus_.reset();
    peakResidentKiB_.reset();
    buffered_.clear();
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto newline = buffered_.find('\n');
        if (newline != std::string::npos) {
            std::string line = buffered_.substr(0, newline);
            buffered_.erase(0, newline + 1);
            return line;
        }
        if (stdoutFd_ < 0) return std::nullopt;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd p{stdoutFd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        char chunk[512];
        const ssize_t n = ::read(stdoutFd_, chunk, sizeof chunk);
        if (n <= 0) {
            ::close(stdoutFd_);
            stdoutFd_ = -1;
            continue;  // a last unterminated line is not a line
        }
        buffered_.append(chunk, static_cast<std::size_t>(n));
    }
}

void ChildProcess::signal(int signalNumber) {
    if (pid_ > 0) ::kill(-pid_, signalNumber);
}

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds limit) {
    if (pid_ <= 0) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!exitStatus_) {
        int status = 0;
        struct rusage usage {};
        const pid_t r = ::wait4(pid_, &status, WNOHANG, &usage);
        if (r == pid_) {
            exitStatus_ = decodeStatus(status);
            peakResidentKiB_ = usage.ru_maxrss;
            break;
        }
        if (r < 0 && errno != EINTR) break;
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(5ms);
    }
    return exitStatus_;
}

bool ChildProcess::running() {
    return pid_ > 0 && !waitExit(0ms);
}

void ChildProcess::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0) return;
    signal(SIGTERM);
    if (!waitExit(grace)) {
        signal(SIGKILL);
        waitExit(5000ms);
    }
}

}  // namespace testbed
