// The whole road on Linux: tokenctl and the client transport in separate processes, the test
// build of the daemon, and virtual tokens that pose as USB disks on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "free_ports.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct Outcome {
    int exitCode = -1;
    std::string out, err;
};

// True once something accepts connections on the port; false when `process` ended first.
bool waitListening(int port, testbed::ChildProcess& process) {
    for (int i = 0; i < 200; ++i) {
        if (!process.running()) return false;
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (up) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

std::string tokenPath(int n) {
    return "\\\\?\\usbstor#disk&ven_tarvex&prod_usb_key&rev_1.00#" + std::to_string(1000 + n) +
           "&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
}

// Virtual tokens as disks, the disk list, and the daemon, all in one folder of their own,
// with machine-wide objects in a namespace of their own.
class DiskBed {
  public:
    DiskBed() {
        static int beds = 0;
        space_ = "diskbed-" + std::to_string(::getpid()) + "-" + std::to_string(++beds);
        folder_ = fs::temp_directory_path() / space_;
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        // Everyone may reach the folder: a test runs a client as another user.
        fs::permissions(folder_, fs::perms::all);
    }
    ~DiskBed() {
        daemon_.reset();
        tokens_.clear();
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    // Starts a token with this serial, posing as a disk on a free loopback port; returns its
    // number. `faults` go to the token's --fault options.
    int addToken(const std::string& serial, std::vector<std::string> faults = {}) {
        const int n = static_cast<int>(tokens_.size());
        const fs::path state = folder_ / ("token" + std::to_string(n));
        Outcome init = run({VTOKEN, "init", state.string(), "--serial", serial}, {});
        EXPECT_EQ(init.exitCode, 0) << init.err;
        Token t;
        // A port taken between the pick and the bind makes the token exit: pick another.
        for (int attempt = 0; attempt < 5 && !t.process; ++attempt) {
            t.port = testbed::freePortPairs(1).front();
            std::vector<std::string> argv = {VTOKEN,
                                             "run",
                                             state.string(),
                                             "--serve",
                                             "scsi:listen:127.0.0.1:" + std::to_string(t.port),
                                             "--trace",
                                             state.string() + ".trace",
                                             "--no-sync"};
            for (const std::string& f : faults) argv.insert(argv.end(), {"--fault", f});
            t.process.emplace(
                testbed::ChildProcess::spawn({argv, {}, false, state.string() + ".log"}));
            if (!waitListening(t.port, *t.process)) t.process.reset();
        }
        EXPECT_TRUE(t.process) << "the virtual token did not come up";
        tokens_.push_back(std::move(t));
        return n;
    }
    void stopToken(int n) { tokens_.at(n).process.reset(); }

    // The disk list the daemon reads: each token under its path with a plug-in time.
    void listDisks(const std::vector<std::pair<int, int>>& tokenAndTime) {
        std::ofstream out(folder_ / "disks.txt");
        for (auto [n, time] : tokenAndTime) {
            out << tokenPath(n) << " " << time << " 127.0.0.1:" << tokens_.at(n).port << "\n";
        }
    }

    void startDaemon() {
        daemon_.emplace(testbed::ChildProcess::spawn(
            {{DISKGATE_TEST}, environment(), false, folder_ / "daemon.log"}));
        // Ready once its shared memory exists.
        const fs::path memory = "/dev/shm/tarvex." + space_ + ".Global.TV-MAPFILE";
        for (int i = 0; i < 200 && !fs::exists(memory); ++i) std::this_thread::sleep_for(10ms);
        ASSERT_TRUE(fs::exists(memory)) << daemonLog();
    }
    testbed::ChildProcess& daemon() { return *daemon_; }

    std::vector<std::pair<std::string, std::string>> environment() const {
        return {{"TOKEN_PLATFORM_NAMESPACE", space_},
                {"DISKGATE_VIRTUAL_DISKS", (folder_ / "disks.txt").string()},
                // No PC/SC reader of the machine joins in.
                {"PCSCLITE_CSOCK_NAME", (folder_ / "no-pcscd").string()},
                {"TOKEN_PIN", "123456"}};
    }

    Outcome run(std::vector<std::string> argv,
                std::vector<std::pair<std::string, std::string>> env) {
        const fs::path errFile = folder_ / "run.err";
        fs::remove(errFile);
        auto child = testbed::ChildProcess::spawn({argv, env, true, errFile});
        Outcome r;
        while (auto line = child.readLine(20s)) r.out += *line + "\n";
        r.exitCode = child.waitExit(20s).value_or(-1);
        std::ifstream in(errFile);
        std::stringstream ss;
        ss << in.rdbuf();
        r.err = ss.str();
        return r;
    }

    Outcome tokenctl(std::vector<std::string> args) {
        args.insert(args.begin(), TOKENCTL);
        return run(args, environment());
    }

    std::string daemonLog() const {
        std::ifstream in(folder_ / "daemon.log");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    const std::string& space() const { return space_; }

  private:
    struct Token {
        std::optional<testbed::ChildProcess> process;
        int port = 0;
    };
    std::string space_;
    fs::path folder_;
    std::vector<Token> tokens_;
    std::optional<testbed::ChildProcess> daemon_;
};

const std::string kSerialA = "a1a2a3a4a5a6a7a8a9a0";
const std::string kSerialB = "b1b2b3b4b5b6b7b8b9b0";

TEST(DiskDaemon, TokenctlListsTheTokenAndVerifiesItsPin) {
    DiskBed bed;
    bed.addToken(kSerialA);
    bed.listDisks({{0, 100}});
    bed.startDaemon();
    const Outcome list = bed.tokenctl({"list"});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_NE(list.out.find("0   disk      " + kSerialA), std::string::npos) << list.out;
    const Outcome verify = bed.tokenctl({"pin", "verify", "0"});
    EXPECT_EQ(verify.exitCode, 0) << verify.err;
    EXPECT_EQ(verify.out, "user PIN verified\n");
}

TEST(DiskDaemon, UnprivilegedUserReachesTheDaemonRunningAsRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the daemon as root";
    DiskBed bed;
    bed.addToken(kSerialA);
    bed.listDisks({{0, 100}});
    bed.startDaemon();
    const std::vector<std::string> asNobody = {"setpriv", "--reuid=65534", "--regid=65534",
                                               "--clear-groups"};
    std::vector<std::string> argv = asNobody;
    argv.push_back("id");
    argv.push_back("-u");
    ASSERT_EQ(bed.run(argv, {}).out, "65534\n");
    argv = asNobody;
    argv.insert(argv.end(), {TOKENCTL, "list"});
    const Outcome list = bed.run(argv, bed.environment());
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_NE(list.out.find("disk      " + kSerialA), std::string::npos) << list.out << list.err;
    argv = asNobody;
    argv.insert(argv.end(), {TOKENCTL, "pin", "verify", "0"});
    const Outcome verify = bed.run(argv, bed.environment());
    EXPECT_EQ(verify.out, "user PIN verified\n") << verify.err;
}

TEST(DiskDaemon, TokensAreNumberedInPlugInOrder) {
    DiskBed bed;
    bed.addToken(kSerialA);
    bed.addToken(kSerialB);
    // The system lists A first, but B was plugged in earlier.
    bed.listDisks({{0, 200}, {1, 100}});
    bed.startDaemon();
    const Outcome list = bed.tokenctl({"list"});
    EXPECT_NE(list.out.find("0   disk      " + kSerialB), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("1   disk      " + kSerialA), std::string::npos) << list.out;
}

TEST(DiskDaemon, DisksThatDoNotAnswerTheProbeAsATokenAreNotListed) {
    DiskBed bed;
    const std::string kSerialC = "c1c2c3c4c5c6c7c8c9c0";
    // Second byte 0x2A: in the range the probe rejects.
    bed.addToken(kSerialA, {"reply BFC800000F 012A010200040200008000140080009000"});
    // The status word alone: two bytes.
    bed.addToken(kSerialB, {"sw BFC800000F 9000"});
    bed.addToken(kSerialC);
    bed.listDisks({{0, 1}, {1, 2}, {2, 3}});
    bed.startDaemon();
    const Outcome list = bed.tokenctl({"list"});
    EXPECT_EQ(list.out.find(kSerialA), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find(kSerialB), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("0   disk      " + kSerialC), std::string::npos) << list.out;
}

TEST(DiskDaemon, TwoClientsMakeFiveHundredExchangesEachAtOnce) {
    DiskBed bed;
    bed.addToken(kSerialA);
    bed.addToken(kSerialB);
    bed.listDisks({{0, 1}, {1, 2}});
    bed.startDaemon();
    auto first = testbed::ChildProcess::spawn(
        {{DISKLINK_CLIENT, kSerialA, "500"}, bed.environment(), true, std::nullopt});
    auto second = testbed::ChildProcess::spawn(
        {{DISKLINK_CLIENT, kSerialB, "500"}, bed.environment(), true, std::nullopt});
    EXPECT_EQ(first.readLine(120s).value_or("(nothing)"), "ok 500");
    EXPECT_EQ(second.readLine(120s).value_or("(nothing)"), "ok 500");
    EXPECT_EQ(first.waitExit(10s), 0);
    EXPECT_EQ(second.waitExit(10s), 0);
}

TEST(DiskDaemon, PulledTokenIsNoLongerListed) {
    DiskBed bed;
    bed.addToken(kSerialA);
    bed.addToken(kSerialB);
    bed.listDisks({{0, 1}, {1, 2}});
    bed.startDaemon();
    bed.stopToken(0);
    const Outcome list = bed.tokenctl({"list"});
    EXPECT_EQ(list.out.find(kSerialA), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("0   disk      " + kSerialB), std::string::npos) << list.out;
}

TEST(DiskDaemon, StopEndsTheDaemonAndItsChannel) {
    DiskBed bed;
    bed.addToken(kSerialA);
    bed.listDisks({{0, 1}});
    bed.startDaemon();
    ASSERT_EQ(bed.tokenctl({"list"}).exitCode, 0);
    const auto start = std::chrono::steady_clock::now();
    bed.daemon().signal(SIGTERM);
    EXPECT_EQ(bed.daemon().waitExit(5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_FALSE(fs::exists("/dev/shm/tarvex." + bed.space() + ".Global.TV-MAPFILE"));
    const std::string log = bed.daemonLog();
    EXPECT_NE(log.find("======>结束服务函数\n"), std::string::npos) << log;
    EXPECT_EQ(bed.tokenctl({"list"}).out, "No token found.\n");
}

}  // namespace
