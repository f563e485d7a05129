// tokenctl as a person or a script meets it: the real program against a virtual token, with
// its output, its messages and its exit codes.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
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

    Outcome run(std::vector<std::string> args) {
        args.insert(args.begin(), TOKENCTL);
        const auto errFile = bed->folder() / "tokenctl.err";
        auto child = testbed::ChildProcess::spawn({args, {}, true, errFile});
        Outcome r;
        while (auto line = child.readLine(10s)) r.out += *line + "\n";
        r.exitCode = child.waitExit(10s).value_or(-1);
        std::ifstream in(errFile);
        std::stringstream ss;
        ss << in.rdbuf();
        r.err = ss.str();
        return r;
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
    ASSERT_TRUE(bed->waitForCard(token.readerName(), true));

    EXPECT_EQ(list.exitCode, 0);
    EXPECT_EQ(list.out, "No token found.\n");
    EXPECT_EQ(info.exitCode, 1);
    EXPECT_NE(info.err.find("no token found"), std::string::npos) << info.err;
}

TEST_F(Tokenctl, TokenLostDuringACommandIsReportedPlainly) {
    ASSERT_EQ(bed->token(0).control("drop-after BFC4"), "ok");
    Outcome r = run({"info", "0"});
    bed->token(0).control("reinsert");
    ASSERT_TRUE(bed->waitForCard(bed->token(0).readerName(), true));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("the token was removed"), std::string::npos) << r.err;
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
