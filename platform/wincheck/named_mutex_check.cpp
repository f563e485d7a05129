// named_mutex_check.exe: the Windows named mutex under Wine (or Windows). Prints one line per
// check and exits 1 when one fails. The POSIX twin is covered by tests/platform.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/named_mutex.h"

namespace {

using namespace std::chrono_literals;
using platform::NamedMutex;
using platform::WaitResult;

int g_failures = 0;

void check(bool ok, const char* what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) ++g_failures;
}

WaitResult waitOnOtherThread(const std::string& name, std::chrono::milliseconds limit,
                             bool release = true) {
    WaitResult result = WaitResult::Failed;
    std::thread([&] {
        auto m = NamedMutex::openOrCreate(name);
        if (!m) return;
        result = m->wait(limit);
        if (release && platform::owns(result)) m->release();
    }).join();
    return result;
}

}  // namespace

int main() {
    const std::string name = "Global\\TARVEX_MUTEX_CHECK";
    auto m = NamedMutex::openOrCreate(name);
    check(m != nullptr, "open or create in the Global namespace");
    if (!m) return 1;

    check(m->wait(0ms) == WaitResult::Acquired, "first wait acquires");
    check(m->wait(0ms) == WaitResult::Acquired, "the owning thread re-enters");
    const auto start = std::chrono::steady_clock::now();
    check(waitOnOtherThread(name, 300ms) == WaitResult::Timeout, "another thread times out");
    const auto waited = std::chrono::steady_clock::now() - start;
    check(waited >= 280ms && waited < 2000ms, "after about the limit");
    m->release();
    check(waitOnOtherThread(name, 300ms) == WaitResult::Timeout, "still held once");
    m->release();
    check(waitOnOtherThread(name, 300ms) == WaitResult::Acquired, "free after both releases");

    // A thread that ends while owning it abandons it; the next waiter owns it.
    check(waitOnOtherThread(name, 300ms, false) == WaitResult::Acquired, "a thread takes it");
    check(m->wait(1000ms) == WaitResult::Abandoned, "and the next waiter gets it abandoned");
    m->release();
    check(m->wait(0ms) == WaitResult::Acquired, "then it is an ordinary mutex again");
    m->release();

    check(platform::deviceLockName("ab\\cd") == "dcaba", "device lock name");
    std::printf("%s\n",
                g_failures == 0 ? "named_mutex_check: all passed" : "named_mutex_check: FAILED");
    return g_failures == 0 ? 0 : 1;
}
