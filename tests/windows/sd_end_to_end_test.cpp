// The Windows build end to end under wine64: tokenctl.exe, tokenapi.dll and sdlink.dll with the
// stand-in SD-card libraries reach a virtual token that runs natively on this machine, over
// loopback TCP, along the SD card's driver path and its vendor path. Wine's PC/SC is a stub, so
// this is the Windows build's road to a token.
//
// Wine's output goes to files, never to a pipe: its background processes would keep a pipe
// open. Each program runs in a session of its own (setsid -w), so that ending it never takes
// Wine's background processes down with it; the prefix's server is stopped at the end when
// this run started it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "environment.h"

namespace {

using namespace std::chrono_literals;
using testbed::Transport;

constexpr char kSerial[] = "5d5d5d5d5d5d5d5d5d5d";
constexpr char kLabel[] = "Wine token";

const std::filesystem::path kWindowsBin = WINDOWS_BIN;
const std::filesystem::path kSourceDir = SOURCE_DIR;

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::pair<std::string, std::string>> wineEnvironment() {
    const char* prefix = std::getenv("WINEPREFIX");
    return {{"WINEPREFIX", prefix != nullptr && *prefix != '\0'
                               ? std::string(prefix)
                               : (kSourceDir / "build" / "wine-prefix").string()},
            {"WINEARCH", "win64"},
            {"WINEDEBUG", "-all"},
            {"WINESERVER", "/usr/lib/wine/wineserver64"}};
}

// Runs a script of this tree with the Wine environment; its exit code.
int runScript(const std::string& script, const std::string& argument,
              const std::filesystem::path& log) {
    testbed::SpawnOptions options;
    options.argv = {(kSourceDir / "scripts" / script).string(), argument};
    options.environment = wineEnvironment();
    options.logFile = log;
    testbed::ChildProcess child = testbed::ChildProcess::spawn(options);
    return child.waitExit(120s).value_or(-1);
}

// Starts the prefix's server for this run unless one runs already; stops it again at the end.
class WinePrefix : public ::testing::Environment {
  public:
    void SetUp() override {
        const auto log = std::filesystem::temp_directory_path() / "sd_end_to_end.prefix.log";
        if (runScript("wine-prefix", "status", log) != 0) {
            ASSERT_EQ(runScript("wine-prefix", "start", log), 0) << readFile(log);
            startedHere_ = true;
        }
    }
    void TearDown() override {
        if (startedHere_) {
            runScript("wine-prefix", "stop",
                      std::filesystem::temp_directory_path() / "sd_end_to_end.prefix.log");
        }
    }

  private:
    bool startedHere_ = false;
};

struct WineRun {
    int exitCode;
    std::string output;  // stdout and stderr together
};

class SdEndToEnd : public ::testing::TestWithParam<Transport> {
  protected:
    void SetUp() override {
        bed = &testbed::sharedBed();
        ASSERT_TRUE(std::filesystem::exists(kWindowsBin / "tokenctl.exe"))
            << "build the windows-x64 preset first";
        token().control("clear");
        // The token is on both SD-card paths; the driver path hides the vendor path, so each
        // run offers only the path under test.
        ::setenv(
            testbed::kSdDriverVariable,
            GetParam() == Transport::SdDriver ? bed->cardList(Transport::SdDriver).c_str() : "", 1);
        ::setenv(
            testbed::kSdVendorVariable,
            GetParam() == Transport::SdVendor ? bed->cardList(Transport::SdVendor).c_str() : "", 1);
    }

    testbed::VirtualToken& token() { return bed->token(0); }

    // tokenctl.exe under wine64 with the bed's environment (which names the token's port).
    WineRun tokenctl(std::vector<std::string> args,
                     std::vector<std::pair<std::string, std::string>> extra = {}) {
        const std::filesystem::path log =
            bed->folder() / ("wine-" + std::to_string(++runs) + ".out");
        testbed::SpawnOptions options;
        options.argv = {"setsid", "-w", "/usr/lib/wine/wine64",
                        (kWindowsBin / "tokenctl.exe").string()};
        options.argv.insert(options.argv.end(), args.begin(), args.end());
        options.environment = wineEnvironment();
        options.environment.insert(options.environment.end(), extra.begin(), extra.end());
        options.logFile = log;
        testbed::ChildProcess child = testbed::ChildProcess::spawn(options);
        const int code = child.waitExit(60s).value_or(-1);
        return {code, readFile(log)};
    }

    testbed::Bed* bed = nullptr;
    int runs = 0;
};

TEST_P(SdEndToEnd, ListShowsTheTokenAsAnSdCardWithItsSerialAndLabel) {
    const WineRun run = tokenctl({"list"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("SD card"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(kSerial), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(kLabel), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("\n1 "), std::string::npos) << "one token only:\n" << run.output;
}

TEST_P(SdEndToEnd, InfoReadsTheTokenThroughTheTransport) {
    token().clearTrace();
    const WineRun run = tokenctl({"info", "0"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("serial:     " + std::string(kSerial)), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("admin PIN:  6 of 6 tries left"), std::string::npos) << run.output;
    // The token saw the serial-number command of the connect.
    const std::vector<std::string> trace = token().traceLines();
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.front(), "> BFC400000A");
}

TEST_P(SdEndToEnd, PinVerificationSucceedsWithTheRightPinOnlyAndIsProvenToTheToken) {
    WineRun run = tokenctl({"pin", "verify", "0"}, {{"TOKEN_PIN", "999999"}});
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_NE(run.output.find("wrong PIN"), std::string::npos) << run.output;
    token().clearTrace();
    run = tokenctl({"pin", "verify", "0"}, {{"TOKEN_PIN", "123456"}});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("user PIN verified"), std::string::npos) << run.output;
    bool authenticated = false;
    for (const std::string& line : token().traceLines()) {
        authenticated = authenticated || line.starts_with("> 0082000208");
    }
    EXPECT_TRUE(authenticated) << "the PIN is proven by EXTERNAL AUTHENTICATE";
    for (const std::string& line : token().traceLines()) {
        EXPECT_EQ(line.find("313233343536"), std::string::npos) << "the PIN itself never travels";
    }
}

TEST_P(SdEndToEnd, AFileGoesInComesBackByteForByteAndGoes) {
    const std::filesystem::path in = bed->folder() / "wine-in.bin";
    std::string content;
    for (int i = 0; i < 700; ++i) content.push_back(static_cast<char>(i * 37));
    std::ofstream(in, std::ios::binary) << content;
    const std::string name = GetParam() == Transport::SdDriver ? "wdrv" : "wvnd";
    const std::vector<std::pair<std::string, std::string>> pin = {{"TOKEN_PIN", "123456"}};

    WineRun run = tokenctl({"files", "put", "0", name, "Z:" + in.string()}, pin);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::filesystem::path out = bed->folder() / ("wine-out-" + name + ".bin");
    run = tokenctl({"files", "get", "0", name, "Z:" + out.string()}, pin);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(readFile(out), content);
    run = tokenctl({"files", "rm", "0", name}, pin);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    run = tokenctl({"files", "ls", "0"}, pin);
    EXPECT_EQ(run.output.find(name), std::string::npos) << run.output;
}

INSTANTIATE_TEST_SUITE_P(Paths, SdEndToEnd,
                         ::testing::Values(Transport::SdDriver, Transport::SdVendor),
                         [](const auto& p) {
                             return p.param == Transport::SdDriver ? "DriverPath" : "VendorPath";
                         });

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    testbed::BedLayout layout;
    layout.tokens = {{.serial = kSerial,
                      .label = kLabel,
                      .transports = {Transport::SdDriver, Transport::SdVendor}}};
    testbed::useSharedBed(layout);
    ::testing::AddGlobalTestEnvironment(new WinePrefix);
    return RUN_ALL_TESTS();
}
