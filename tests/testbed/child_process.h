// Child processes for tests: each runs in a process group of its own, gets SIGTERM when the
// test process dies (even by SIGKILL), and is killed with its whole group when its owner goes
// out of scope or when the test process is stopped by a signal.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testbed {

struct SpawnOptions {
    std::vector<std::string> argv;  // argv[0] is looked up in PATH when it has no '/'
    std::vector<std::pair<std::string, std::string>> environment;  // added or replaced
    bool captureStdout = false;                                    // readable with readLine()
    std::optional<std::filesystem::path> logFile;  // stdout (unless captured) and stderr
};

class ChildProcess {
  public:
    // Throws std::runtime_error when the process cannot be started.
    static ChildProcess spawn(const SpawnOptions& options);

    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    int pid() const { return pid_; }

    // The next line the child wrote to its captured stdout (without the newline), or nothing
    // when the limit passed or the child closed its stdout first.
    std::optional<std::string> readLine(std::chrono::milliseconds limit);

    // Sends a signal to the child's whole process group.
    void signal(int signalNumber);

    // Waits for the child to end: its exit code, or 128 + the signal that ended it; nothing
    // when it is still running at the limit.
    std::optional<int> waitExit(std::chrono::milliseconds limit);
    bool running();
    // The most memory the child had resident at once, in KiB, once waitExit saw it end.
    std::optional<long> peakResidentKiB() const { return peakResidentKiB_; }

    // SIGTERM to the group, then SIGKILL after `grace`; reaps the child.
    void stop(std::chrono::milliseconds grace = std::chrono::milliseconds(2000));

  private:
    ChildProcess(int pid, int stdoutFd) : pid_(pid), stdoutFd_(stdoutFd) {}
    void reset();

    int pid_ = -1;
    int stdoutFd_ = -1;
    std::optional<int> exitStatus_;
    std::optional<long> peakResidentKiB_;
    std::string buffered_;
};

}  // namespace testbed
