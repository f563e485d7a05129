// The state file survives SIGKILL at any moment: a child process writes in a loop through
// the in-process interface, the test kills it at random times and checks what is on disk.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <thread>

#include "token_fixture.h"
#include "vtoken/state_file.h"

namespace vtoken {
namespace {

constexpr std::size_t kPiece = 200;

// Rewrites the first kPiece bytes of certificate file 0003 with one value per round,
// counting up, forever.
[[noreturn]] void writeLoop(const std::filesystem::path& path, std::uint8_t start) {
    Token token(loadStateFile(path), [&path](const TokenState& s) { saveStateFile(path, s); });
    const auto send = [&token](const Bytes& command) {
        if (testing::statusOf(token.transmit(command)) != sw::kSuccess) ::_exit(3);
    };
    send(testing::hex("00A4000002DDF1"));
    const Challenge challenge = [&] {
        const Bytes reply = token.transmit(testing::hex("0084000008"));
        Challenge c{};
        std::copy(reply.begin(), reply.begin() + 8, c.begin());
        return c;
    }();
    const Challenge cryptogram = pinCryptogram(testing::pinBytes(testing::kUserPin), challenge);
    Bytes authenticate = testing::hex("0082000208");
    authenticate.insert(authenticate.end(), cryptogram.begin(), cryptogram.end());
    send(authenticate);
    send(testing::hex("00A40000020003"));
    for (std::uint8_t value = start;; ++value) {
        Bytes update = testing::hex("00D60000C8");
        update.insert(update.end(), kPiece, value);
        send(update);
    }
}

TEST(CrashSafety, KillNineLeavesOldOrNewState) {
    std::string pattern = (std::filesystem::temp_directory_path() / "vtoken-XXXXXX").string();
    const std::filesystem::path dir = ::mkdtemp(pattern.data());
    struct Cleanup {
        std::filesystem::path dir;
        ~Cleanup() { std::filesystem::remove_all(dir); }
    } cleanup{dir};
    const std::filesystem::path path = dir / "token.state";
    saveStateFile(path, provision(testing::defaultOptions()));

    std::mt19937 random(12345);
    std::uniform_int_distribution<int> delayMs(20, 120);
    std::uint8_t last = 0;
    int progressed = 0;
    for (int round = 0; round < 8; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) writeLoop(path, static_cast<std::uint8_t>(last + 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(random)));
        ASSERT_EQ(::kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "child stopped by itself, status " << status;

        const TokenState state = loadStateFile(path);  // throws on a torn file
        const auto df = state.files.child(FileSystem::kRoot, kFirstApplication);
        ASSERT_TRUE(df);
        const auto file = state.files.child(*df, 0x0003);
        ASSERT_TRUE(file);
        const Bytes& body = state.files.node(*file).body;
        const std::uint8_t value = body[0];
        for (std::size_t i = 0; i < kPiece; ++i) {
            ASSERT_EQ(body[i], value) << "round " << round << ": torn write at byte " << i;
        }
        EXPECT_EQ(body[kPiece], 0);
        if (value != last) ++progressed;
        last = value;
    }
    EXPECT_GT(progressed, 0) << "no round got a write through before the kill";
}

}  // namespace
}  // namespace vtoken
