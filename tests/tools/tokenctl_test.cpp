// tokenctl as a person or a script meets it: the real program against a virtual token, with
// its output, its messages and its exit codes.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "child_process.h"
#include "environment.h"

namespace {

using namespace std::chrono_literals;

struct Outcome {
    int exitCode = -1;
    std::string out, err;
};

class Tokenctl : public ::testing::Test {
  protected:
    void SetUp() override {
        bed = &testbed::sharedBed();
        bed->token(0).control("clear");
    }

    Outcome run(std::vector<std::string> args,
                std::vector<std::pair<std::string, std::string>> environment = {}) {
        args.insert(args.begin(), TOKENCTL);
        const auto errFile = bed->folder() / "tokenctl.err";
        std::filesystem::remove(errFile);  // each run's messages alone
        // No terminal: a PIN can come only from the environment.
        auto child = testbed::ChildProcess::spawn({args, environment, true, errFile});
        Outcome r;
        while (auto line = child.readLine(10s)) r.out += *line + "\n";
        r.exitCode = child.waitExit(10s).value_or(-1);
        std::ifstream in(errFile);
        std::stringstream ss;
        ss << in.rdbuf();
        r.err = ss.str();
        return r;
    }

    // After a card comes back, pcscd shows it a moment before it answers: wait until a whole
    // command goes through, so that the next test starts with a token that works.
    void waitUntilUsable() {
        ASSERT_TRUE(bed->waitForCard(bed->token(0).readerName(), true));
        for (int i = 0; i < 50; ++i) {
            if (run({"apdu", "0", "BFC400000A"}).exitCode == 0) return;
            std::this_thread::sleep_for(100ms);
        }
        FAIL() << "the token did not come back";
    }

    testbed::Bed* bed = nullptr;
};

TEST_F(Tokenctl, ListShowsNumberTransportSerialAndLabel) {
    Outcome r = run({"list"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("0   PC/SC     0102030405060708090a  Desk token"), std::string::npos)
        << r.out;
}

TEST_F(Tokenctl, LabelIsWrittenAndSeenByList) {
    Outcome r = run({"label", "0", "Renamed"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(run({"list"}).out.find("Renamed"), std::string::npos);
    EXPECT_EQ(run({"label", "0", std::string(65, 'x')}).exitCode, 2);
    EXPECT_EQ(run({"label", "0", "Desk token"}).exitCode, 0);
}

TEST_F(Tokenctl, ApduPrintsReplyAndStatus) {
    Outcome r = run({"apdu", "0", "BFC4000", "00A"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "reply:  0102030405060708090A\nstatus: 9000\n");
    r = run({"apdu", "0", "80990000", "00"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "status: 6D00\n");
}

TEST_F(Tokenctl, UsageMistakesExitWith2AndSayWhy) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"info", "7"}, "no token number 7 (1 token found, numbered from 0)"},
        {{"info", "x"}, "not a token number: 'x'"},
        {{"apdu", "0", "00A4G0"}, "the command must be hexadecimal bytes"},
        {{"apdu", "0", "00A"}, "the command must be hexadecimal bytes"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{}, "usage: tokenctl COMMAND"},
    };
    for (const auto& c : cases) {
        Outcome r = run(c.args);
        EXPECT_EQ(r.exitCode, 2) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

TEST_F(Tokenctl, PulledTokenIsReportedPlainly) {
    auto& token = bed->token(0);
    token.stop();
    ASSERT_TRUE(bed->waitForCard(token.readerName(), false));
    Outcome list = run({"list"});
    Outcome info = run({"info", "0"});
    token.start();
    waitUntilUsable();

    EXPECT_EQ(list.exitCode, 0);
    EXPECT_EQ(list.out, "No token found.\n");
    EXPECT_EQ(info.exitCode, 1);
    EXPECT_NE(info.err.find("no token found"), std::string::npos) << info.err;
}

TEST_F(Tokenctl, TokenLostDuringACommandIsReportedPlainly) {
    ASSERT_EQ(bed->token(0).control("drop-after BFC4"), "ok");
    Outcome r = run({"info", "0"});
    bed->token(0).control("reinsert");
    waitUntilUsable();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("the token was removed"), std::string::npos) << r.err;
}

std::filesystem::path writeBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::string readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

const std::pair<std::string, std::string> kRightPin{"TOKEN_PIN", "123456"};

TEST_F(Tokenctl, PinVerificationTakesThePinOnlyFromTheEnvironmentOrTheTerminal) {
    Outcome r = run({"pin", "verify", "0"}, {{"TOKEN_PIN", "999999"}});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("wrong PIN, 5 tries left"), std::string::npos) << r.err;

    r = run({"pin", "verify", "0"}, {kRightPin});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "user PIN verified\n");

    // A PIN on the command line is a usage mistake, never a PIN.
    r = run({"pin", "verify", "0", "123456"});
    EXPECT_EQ(r.exitCode, 2);
    r = run({"pin", "verify", "0"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("no terminal to ask for the PIN: set TOKEN_PIN"), std::string::npos);
}

TEST_F(Tokenctl, FilesGoInComeOutAndGo) {
    const std::string content = "named file content\n" + std::string(300, 'z');
    const auto in = writeBytes(bed->folder() / "in.bin", content);
    Outcome r = run({"files", "put", "0", "notes", in.string()}, {kRightPin});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = run({"files", "ls", "0"});
    EXPECT_NE(r.out.find("notes"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(std::to_string(content.size())), std::string::npos) << r.out;

    const auto out = bed->folder() / "out.bin";
    r = run({"files", "get", "0", "notes", out.string()}, {kRightPin});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readBytes(out), content);

    ASSERT_EQ(run({"files", "rm", "0", "notes"}, {kRightPin}).exitCode, 0);
    r = run({"files", "get", "0", "notes", out.string()}, {kRightPin});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("not found"), std::string::npos) << r.err;
}

TEST_F(Tokenctl, CertificatesRoundTripThroughANamedContainer) {
    std::string der = "\x30\x82\x01\x00";
    for (int i = 0; i < 256; ++i) der.push_back(static_cast<char>(i));
    const auto in = writeBytes(bed->folder() / "cert.der", der);
    const auto out = bed->folder() / "back.der";

    ASSERT_EQ(run({"containers", "create", "0", "web"}, {kRightPin}).exitCode, 0);
    Outcome r = run({"cert", "import", "0", "web", "1", in.string()}, {kRightPin});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = run({"containers", "ls", "0"});
    EXPECT_NE(r.out.find("web"), std::string::npos) << r.out;
    r = run({"cert", "export", "0", "web", "1", out.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readBytes(out), der);

    ASSERT_EQ(run({"cert", "rm", "0", "web", "1"}, {kRightPin}).exitCode, 0);
    r = run({"cert", "export", "0", "web", "1", out.string()});
    EXPECT_EQ(r.exitCode, 1);
    ASSERT_EQ(run({"containers", "rm", "0", "web"}, {kRightPin}).exitCode, 0);
    r = run({"containers", "ls", "0"});
    EXPECT_EQ(r.out.find("web"), std::string::npos) << r.out;
}

TEST_F(Tokenctl, RandomPrintsTheBytesAskedFor) {
    Outcome r = run({"random", "0", "13"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.size(), 26u + 1u) << r.out;
    EXPECT_EQ(run({"random", "0", "many"}).exitCode, 2);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    testbed::BedLayout layout;
    layout.readerEntries = {"Tarvex USB KEY 1"};
    testbed::TokenSpec spec;
    spec.label = "Desk token";
    layout.tokens = {spec};
    testbed::useSharedBed(layout);
    return RUN_ALL_TESTS();
}
