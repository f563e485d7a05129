#include "platform/named_mutex.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"

// Readable failure messages ("Timeout" rather than "4-byte object <02-00 00-00>").
namespace platform {
void PrintTo(WaitResult r, std::ostream* os) {
    static constexpr const char* kNames[] = {"Acquired", "Abandoned", "Timeout", "Failed"};
    *os << kNames[static_cast<int>(r)];
}
}  // namespace platform

namespace {

using namespace std::chrono_literals;
using platform::NamedMutex;
using platform::WaitResult;
using Clock = std::chrono::steady_clock;

// Each test works on mutexes named after itself, in this process's own namespace.
std::string nameFor(const std::string& suffix = "") {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("Global\\") + info->test_suite_name() + "." + info->name();
    for (char& c : name) c = c == '/' ? '_' : c;  // parameterised names carry '/'
    return name + suffix;
}

// Holds the mutex in another process for `hold` milliseconds, or until that process gets
// SIGUSR1 when `hold` is kUntilSignal.
constexpr int kUntilSignal = -1;
testbed::ChildProcess holder(const std::string& name, int hold, bool die = false,
                             std::vector<std::pair<std::string, std::string>> env = {}) {
    std::vector<std::string> argv = {LOCKHOLDER, name,
                                     hold == kUntilSignal ? "until-signal" : std::to_string(hold)};
    if (die) argv.emplace_back("--die");
    testbed::SpawnOptions options;
    options.argv = argv;
    options.environment = std::move(env);
    options.captureStdout = true;
    return testbed::ChildProcess::spawn(options);
}

// The result of a wait made on another thread of this process, which owns nothing.
WaitResult waitFromOtherThread(const std::string& name, std::chrono::milliseconds limit) {
    WaitResult result = WaitResult::Failed;
    std::thread([&] {
        auto m = NamedMutex::openOrCreate(name);
        if (!m) return;
        result = m->wait(limit);
        if (platform::owns(result)) m->release();
    }).join();
    return result;
}

// The bounds leave room for a loaded machine: the wait must end near its limit, and must not
// last until the other process lets go (which it does only when told).
TEST(NamedMutex, WaitWithLimitTimesOutWhileAnotherProcessHoldsIt) {
    auto other = holder(nameFor(), kUntilSignal);
    ASSERT_EQ(other.readLine(10s), "held");
    auto m = NamedMutex::openOrCreate(nameFor());
    ASSERT_TRUE(m);

    const auto start = Clock::now();
    EXPECT_EQ(m->wait(300ms), WaitResult::Timeout);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 290ms);
    EXPECT_LT(waited, 3000ms);
}

// Whether the waiter still waits is checked while the other process is known to hold the
// mutex, so no timing on a loaded machine can make the check pass or fail by chance.
TEST(NamedMutex, WaitWithoutLimitReturnsOnceTheOtherProcessReleases) {
    auto other = holder(nameFor(), kUntilSignal);
    ASSERT_EQ(other.readLine(10s), "held");
    auto m = NamedMutex::openOrCreate(nameFor());
    ASSERT_TRUE(m);

    std::atomic<bool> returned{false};
    WaitResult result = WaitResult::Failed;
    std::thread waiter([&] {
        result = m->wait(std::nullopt);
        returned = true;
        if (platform::owns(result)) m->release();  // by its owner, the waiting thread
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(returned.load()) << "the wait returned while the other process held the mutex";
    other.signal(SIGUSR1);
    waiter.join();
    EXPECT_EQ(result, WaitResult::Acquired);
    EXPECT_EQ(other.readLine(10s), "released");
    EXPECT_EQ(other.waitExit(10s), 0);
}

struct DeathCase {
    const char* how;
    bool selfInflicted;  // lockholder --die, else the test kills it
};
void PrintTo(const DeathCase& c, std::ostream* os) {
    *os << c.how;
}

class OwnerDeath : public ::testing::TestWithParam<DeathCase> {};

TEST_P(OwnerDeath, HandsTheMutexToTheNextWaiterAsAbandoned) {
    const bool self = GetParam().selfInflicted;
    auto dying = holder(nameFor(), self ? 200 : 60000, self);
    ASSERT_EQ(dying.readLine(5s), "held");
    if (!self) dying.signal(SIGKILL);
    EXPECT_EQ(dying.waitExit(5s), 128 + SIGKILL);

    auto m = NamedMutex::openOrCreate(nameFor());
    ASSERT_TRUE(m);
    ASSERT_EQ(m->wait(5s), WaitResult::Abandoned);

    // The waiter owns it now: another process has to wait for our release...
    auto next = holder(nameFor(), 0);
    EXPECT_EQ(next.readLine(300ms), std::nullopt);
    m->release();
    EXPECT_EQ(next.readLine(5s), "held");
    EXPECT_EQ(next.waitExit(5s), 0);
    // ...and the mutex is an ordinary one again.
    EXPECT_EQ(m->wait(1s), WaitResult::Acquired);
    m->release();
}

INSTANTIATE_TEST_SUITE_P(Owners, OwnerDeath,
                         ::testing::Values(DeathCase{"KilledByOthers", false},
                                           DeathCase{"KillsItself", true}),
                         [](const auto& i) { return std::string(i.param.how); });

TEST(NamedMutex, SameThreadReentersAndHoldsUntilReleasedAsOftenAsTaken) {
    auto m = NamedMutex::openOrCreate(nameFor());
    ASSERT_TRUE(m);
    ASSERT_EQ(m->wait(0ms), WaitResult::Acquired);
    // A zero limit: re-entry must not block.
    ASSERT_EQ(m->wait(0ms), WaitResult::Acquired);

    m->release();
    EXPECT_EQ(waitFromOtherThread(nameFor(), 50ms), WaitResult::Timeout);
    m->release();
    EXPECT_EQ(waitFromOtherThread(nameFor(), 1s), WaitResult::Acquired);
}

// Threads that create the same fresh mutex at the same moment must all end up with one
// working mutex: a second initialisation would let two of them in at once.
TEST(NamedMutex, ConcurrentCreatorsShareOneMutexThatExcludes) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 200;
    std::atomic<bool> go{false};
    std::atomic<int> opened{0};
    int counter = 0;  // deliberately not atomic: only the mutex protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            while (!go.load()) std::this_thread::yield();
            auto m = NamedMutex::openOrCreate(nameFor());
            if (!m) return;
            ++opened;
            for (int i = 0; i < kRounds; ++i) {
                platform::NamedMutexGuard guard(*m, std::nullopt);
                if (!guard.owns()) return;
                const int seen = counter;
                std::this_thread::yield();
                counter = seen + 1;
            }
        });
    }
    go = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(opened.load(), kThreads);
    EXPECT_EQ(counter, kThreads * kRounds);
}

struct NamePair {
    const char* what;
    std::string first;
    std::string second;
    bool sameMutex;
};
void PrintTo(const NamePair& p, std::ostream* os) {
    *os << p.what;
}

class MutexNames : public ::testing::TestWithParam<NamePair> {};

TEST_P(MutexNames, SameNameSameMutexOtherNameOtherMutex) {
    const NamePair& p = GetParam();
    auto first = NamedMutex::openOrCreate(nameFor(p.first));
    ASSERT_TRUE(first);
    ASSERT_EQ(first->wait(0ms), WaitResult::Acquired);
    EXPECT_EQ(waitFromOtherThread(nameFor(p.second), 30ms),
              p.sameMutex ? WaitResult::Timeout : WaitResult::Acquired);
    first->release();
}

const std::string kLong(300, 'L');  // longer than a file name may be

INSTANTIATE_TEST_SUITE_P(Names, MutexNames,
                         ::testing::Values(NamePair{"Same", "\\MUTEX", "\\MUTEX", true},
                                           NamePair{"Different", "\\ONE", "\\TWO", false},
                                           NamePair{"CaseMatters", "\\lock", "\\LOCK", false},
                                           NamePair{"LongSame", kLong, kLong, true},
                                           NamePair{"LongDifferentAtTheEnd", kLong + "1",
                                                    kLong + "2", false}),
                         [](const auto& i) { return std::string(i.param.what); });

TEST(NamedMutex, NamespaceVariableGivesProcessesObjectsOfTheirOwn) {
    auto elsewhere =
        holder(nameFor(), kUntilSignal, false, {{"TOKEN_PLATFORM_NAMESPACE", "elsewhere"}});
    ASSERT_EQ(elsewhere.readLine(5s), "held");
    auto m = NamedMutex::openOrCreate(nameFor());
    ASSERT_TRUE(m);
    EXPECT_EQ(m->wait(100ms), WaitResult::Acquired);
    m->release();
    elsewhere.stop();
    // Its holder ran in another namespace, so its object is not ours to leave behind.
    std::filesystem::remove("/dev/shm/tarvex.elsewhere.Global." +
                            nameFor().substr(std::string("Global\\").size()));
}

// Processes of other users (a service, a second desktop session) must be able to open it,
// whatever umask the creator ran with.
TEST(NamedMutex, SharedObjectIsReadableAndWritableByEveryone) {
    const mode_t previous = ::umask(077);
    auto m = NamedMutex::openOrCreate("Global\\MODE_CHECK");
    ::umask(previous);
    ASSERT_TRUE(m);
    const std::filesystem::path object = std::string("/dev/shm/tarvex.") +
                                         std::getenv("TOKEN_PLATFORM_NAMESPACE") +
                                         ".Global.MODE_CHECK";
    EXPECT_EQ(std::filesystem::status(object).permissions() & std::filesystem::perms::all,
              static_cast<std::filesystem::perms>(0666));
}

}  // namespace
