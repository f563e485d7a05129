// The vtoken program as scripts use it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "token_fixture.h"
#include "vpcd_peer.h"
#include "vtoken/rsa_keys.h"
#include "vtoken/state_file.h"

extern char** environ;

namespace vtoken {
namespace {

using namespace std::chrono_literals;

struct Result {
    int exitCode;
    std::string out;
    std::string err;
};

class CliTest : public ::testing::Test {
  protected:
    CliTest() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vtoken-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
    }
    ~CliTest() override { std::filesystem::remove_all(dir_); }

    // Starts the program with stdout and stderr sent to files.
    pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
        std::vector<std::string> all = {VTOKEN_PROGRAM};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> environment;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            if (!entry.starts_with("VTOKEN_")) environment.push_back(entry);
        }
        environment.insert(environment.end(), env.begin(), env.end());
        std::vector<char*> envp;
        for (std::string& e : environment) envp.push_back(e.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, (dir_ / "out").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, (dir_ / "err").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, VTOKEN_PROGRAM, &actions, nullptr, argv.data(), envp.data()),
                  0);
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }

    Result finish(pid_t pid) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                slurp(dir_ / "out"), slurp(dir_ / "err")};
    }

    Result run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
        return finish(spawn(args, env));
    }

    static std::string slurp(const std::filesystem::path& path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string state() const { return (dir_ / "token.state").string(); }

    std::filesystem::path dir_;
};

TEST_F(CliTest, InitTakesPinsFromTheEnvironmentAndShowHidesThem) {
    const Result init = run(
        {"init", state(), "--serial", "A1A2A3A4A5A6A7A8A9AA", "--label", "Demo key", "--generation",
         "1", "--max-block", "2048", "--no-pin-counter-command", "--capacity", "1000"},
        {"VTOKEN_USER_PIN=24681357", "VTOKEN_ADMIN_PIN=97531864"});
    ASSERT_EQ(init.exitCode, 0) << init.err;

    const Result show = run({"show", state()});
    ASSERT_EQ(show.exitCode, 0) << show.err;
    for (const char* expected : {"serial: a1a2a3a4a5a6a7a8a9aa", "label: Demo key", "generation: 1",
                                 "max block: 2048", "pin counter command: no", "capacity: 1000"}) {
        EXPECT_NE(show.out.find(expected), std::string::npos) << expected << "\n" << show.out;
    }
    EXPECT_EQ(show.out.find("24681357"), std::string::npos);

    // A token without the largest-block query, kept across a restart.
    const std::string other = (dir_ / "no-query").string();
    ASSERT_EQ(run({"init", other, "--max-block", "none"}, {}).exitCode, 0);
    EXPECT_NE(run({"show", other}).out.find("max block: none (no query)"), std::string::npos);

    Token token(loadStateFile(state()));
    ASSERT_EQ(testing::statusOf(token.transmit(testing::hex("00A4000002DDF1"))), sw::kSuccess);
    const Bytes reply = token.transmit(testing::hex("0084000008"));
    Challenge challenge{};
    std::copy(reply.begin(), reply.begin() + 8, challenge.begin());
    const Challenge cryptogram = pinCryptogram(testing::pinBytes("97531864"), challenge);
    Bytes command = testing::hex("0082000208");
    command.insert(command.end(), cryptogram.begin(), cryptogram.end());
    EXPECT_EQ(testing::statusOf(token.transmit(command)), sw::kSuccess) << "admin PIN from env";
}

TEST_F(CliTest, RefusesBadArgumentsWithAMessage) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> env;
        const char* message;
    };
    const Case cases[] = {
        {{}, {}, "missing command"},
        {{"init", state(), "--serial", "0102"}, {}, "--serial"},
        {{"init", state(), "--generation", "3"}, {}, "--generation"},
        {{"init", state(), "--capacity", "70000"}, {}, "--capacity"},
        {{"init", state(), "--max-block", "many"}, {}, "--max-block"},
        {{"init", state()}, {"VTOKEN_USER_PIN=12345678901234567"}, "user PIN"},
        {{"init", state(), "--bogus"}, {}, "unknown option"},
        {{"run", state()}, {}, "--vpcd"},
        {{"run", state(), "--vpcd", "localhost"}, {}, "HOST:PORT"},
        {{"run", state(), "--vpcd", "127.0.0.1:1", "--fault", "sw 80C6"}, {}, "--fault"},
        {{"run", state(), "--serve", "vpcd:carrier:x"}, {}, "unknown link"},
        {{"run", state(), "--vpcd", "127.0.0.1:1", "--show-secrets"}, {}, "--show-secrets needs"},
        {{"show", state()}, {}, "cannot open"},
        {{"key-pool"}, {}, "key-pool needs FILE"},
        {{"key-pool", state(), "--rsa4096", "1"}, {}, "unknown option"},
        {{"key-pool", state(), "--rsa1024", "x"}, {}, "--rsa1024"},
    };
    for (const Case& c : cases) {
        const Result result = run(c.args, c.env);
        EXPECT_NE(result.exitCode, 0) << c.message;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    }
}

TEST_F(CliTest, ShowRejectsACorruptStateFile) {
    ASSERT_EQ(run({"init", state()}).exitCode, 0);
    {
        std::fstream file(state(), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(100);
        file.put('\x5A');
    }
    const Result show = run({"show", state()});
    EXPECT_EQ(show.exitCode, 1);
    EXPECT_NE(show.err.find("checksum"), std::string::npos) << show.err;
}

TEST_F(CliTest, RunServesTracesAndStopsOnSigterm) {
    ASSERT_EQ(run({"init", state()}).exitCode, 0);
    testing::VpcdPeer vpcd;
    const std::string control = (dir_ / "control.sock").string();
    const std::string trace = (dir_ / "trace.txt").string();
    const pid_t pid = spawn({"run", state(), "--vpcd", "127.0.0.1:" + std::to_string(vpcd.port()),
                             "--trace", trace, "--control", control, "--fault", "sw BFC4 6A88 1"});
    ASSERT_TRUE(vpcd.accept());
    EXPECT_EQ(vpcd.exchange(testing::hex("BFC400000A")), testing::hex("6A88"));
    EXPECT_EQ(vpcd.exchange(testing::hex("00A4000002 00E1")), testing::hex("9000"));
    EXPECT_EQ(vpcd.exchange(testing::hex("00D6000001 02")), testing::hex("9000"));
    testing::ControlClient client(control);
    EXPECT_EQ(client.request("ping"), "ok");
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    const Result result = finish(pid);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(slurp(trace),
              "> BFC400000A\n< 6A88\n> 00A400000200E1\n< 9000\n> 00D600000102\n< 9000\n");
    // The update reached the state file.
    const TokenState saved = loadStateFile(state());
    EXPECT_EQ(saved.files.node(*saved.files.child(FileSystem::kRoot, 0x00E1)).body[0], 0x02);
}

TEST_F(CliTest, KeyPoolWritesKeysThatRunHandsOut) {
    const std::string pool = (dir_ / "pool.pem").string();
    const Result made = run({"key-pool", pool, "--rsa1024", "2", "--rsa2048", "0"});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    EXPECT_EQ(made.out, "wrote 2 RSA-1024 and 0 RSA-2048 key pairs to " + pool + "\n");
    EXPECT_EQ(RsaKeyPool::load(pool)->remaining(1024), 2u);
    // run refuses a pool it cannot read, naming it, before it serves anything.
    ASSERT_EQ(run({"init", state()}).exitCode, 0);
    const Result refused =
        run({"run", state(), "--vpcd", "127.0.0.1:1", "--rsa-key-pool", state()});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("RSA key pool " + state()), std::string::npos) << refused.err;
}

// A front-end named on the command line: the vpcd protocol over a pseudo-terminal.
TEST_F(CliTest, RunServesAFrontEndGivenAsFramerLinkAndAddress) {
    ASSERT_EQ(run({"init", state()}).exitCode, 0);
    const auto terminal = dir_ / "token";
    const pid_t pid = spawn({"run", state(), "--serve", "vpcd:pty:" + terminal.string()});
    for (int i = 0; i < 250 && !std::filesystem::is_symlink(terminal); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(std::filesystem::is_symlink(terminal));
    {
        UniqueFd host(::open(terminal.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        ASSERT_TRUE(host);
        termios raw{};
        ::tcgetattr(host.get(), &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(host.get(), TCSANOW, &raw);
        const Bytes frame = testing::hex("0005 BFC400000A");
        ASSERT_EQ(::write(host.get(), frame.data(), frame.size()), 7);
        Bytes reply(14);
        std::size_t done = 0;
        while (done < reply.size() && testing::readable(host.get(), std::chrono::seconds(5))) {
            const ssize_t n = ::read(host.get(), reply.data() + done, reply.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        EXPECT_EQ(reply, testing::hex("000C 0102030405060708090A 9000"));
    }
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    const Result result = finish(pid);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_FALSE(std::filesystem::exists(terminal)) << "the terminal's path outlived the token";
}

}  // namespace
}  // namespace vtoken
