#include "vtoken/card_session.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "token_fixture.h"

namespace vtoken {
namespace {

using testing::hex;

std::vector<std::string> lines(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

class CardSessionTest : public ::testing::Test {
  protected:
    CardSessionTest() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vtoken-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
        trace_.emplace(dir_ / "trace.txt");
        session_.emplace(token_, &*trace_);
    }
    ~CardSessionTest() override { std::filesystem::remove_all(dir_); }

    CardSession::Outcome exchange(std::string_view command) {
        return session_->exchange(hex(command));
    }
    void apply(std::string_view request) { session_->apply(parseControlRequest(request)); }
    std::vector<std::string> trace() { return lines(dir_ / "trace.txt"); }

    std::filesystem::path dir_;
    Token token_{provision(testing::defaultOptions())};
    std::optional<TraceWriter> trace_;
    std::optional<CardSession> session_;
};

TEST_F(CardSessionTest, TraceHasOneLinePerCommandAndReply) {
    exchange("00a40000023f00");
    exchange("BFC400000A");
    EXPECT_EQ(trace(), (std::vector<std::string>{"> 00A40000023F00", "< 9000", "> BFC400000A",
                                                 "< 0102030405060708090A9000"}));
}

TEST_F(CardSessionTest, TraceAppendsToAnExistingFile) {
    exchange("00A40000023F00");
    trace_.emplace(dir_ / "trace.txt");
    session_.emplace(token_, &*trace_);
    exchange("00A40000023F00");
    EXPECT_EQ(trace().size(), 4u);
}

TEST_F(CardSessionTest, StatusWordFaultSkipsTheCommand) {
    apply("sw 00D6 6581 2");
    ASSERT_EQ(exchange("00A4000002 00E1").reply, hex("9000"));
    EXPECT_EQ(exchange("00D6000001AA").reply, hex("6581"));
    EXPECT_EQ(exchange("00B0000001").reply, hex("01 9000"));  // not executed: still 01
    EXPECT_EQ(exchange("00D6000001AA").reply, hex("6581"));
    EXPECT_EQ(exchange("00D6000001AA").reply, hex("9000"));  // count used up
    EXPECT_EQ(exchange("00B0000001").reply, hex("AA 9000"));
    EXPECT_EQ(trace()[3], "< 6581");
}

TEST_F(CardSessionTest, PrefixCoversTheWholeCommand) {
    apply("sw 00A4000002FFEE 6A82");
    EXPECT_EQ(exchange("00A4000002FFEE").reply, hex("6A82"));
    EXPECT_EQ(exchange("00A4000002FFEE").reply, hex("6A82"));  // no count: every time
    EXPECT_EQ(exchange("00A40000023F00").reply, hex("9000"));
    apply("clear");
    EXPECT_EQ(exchange("00A4000002FFEE").reply, hex("9000"));
}

TEST_F(CardSessionTest, DropAfterPullsTheCardOnce) {
    apply("drop-after 00B0");
    EXPECT_FALSE(exchange("00A4000002FFEE").dropped);
    const auto outcome = exchange("00B0000001");
    EXPECT_TRUE(outcome.dropped);
    EXPECT_TRUE(outcome.reply.empty());
    EXPECT_FALSE(exchange("00B0000001").dropped);
    // The dropped command is traced, its reply is not.
    EXPECT_EQ(trace(), (std::vector<std::string>{"> 00A4000002FFEE", "< 9000", "> 00B0000001",
                                                 "> 00B0000001", "< 089000"}));
}

// "at K": the K-th matching command from now is hit; those before it run as usual.
TEST_F(CardSessionTest, FaultsHitTheKthMatchingCommand) {
    struct Case {
        const char* request;
        std::vector<std::string> hit;  // the reply of each of five matching commands
    };
    const Case cases[] = {
        {"sw 00D6 6581 at 3", {"9000", "9000", "6581", "6581", "6581"}},
        {"sw 00D6 6581 2 at 2", {"9000", "6581", "6581", "9000", "9000"}},
        {"reply 00D6 AB6A80 1 at 5", {"9000", "9000", "9000", "9000", "AB6A80"}},
        {"drop-after 00D6 at 4", {"9000", "9000", "9000", "dropped", "9000"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        apply("clear");
        ASSERT_EQ(exchange("00A4000002 00E1").reply, hex("9000"));
        apply(c.request);
        for (std::size_t i = 0; i < c.hit.size(); ++i) {
            // Commands that do not match are not counted.
            ASSERT_EQ(exchange("00B0000001").dropped, false);
            const auto outcome = exchange("00D6000001AA");
            EXPECT_EQ(outcome.dropped ? "dropped" : toHex(outcome.reply), c.hit[i]) << i + 1;
        }
    }
}

TEST_F(CardSessionTest, AMatchTakenByAnotherRuleStillCounts) {
    apply("sw 00D6 6A80 1");
    apply("sw 00D6 6581 at 2");
    ASSERT_EQ(exchange("00A4000002 00E1").reply, hex("9000"));
    EXPECT_EQ(exchange("00D6000001AA").reply, hex("6A80"));  // first match: the first rule
    EXPECT_EQ(exchange("00D6000001AA").reply, hex("6581"));  // second: the second rule's turn
}

TEST_F(CardSessionTest, OverridesAndClear) {
    apply("generation 1");
    apply("max-block 256");
    EXPECT_EQ(exchange("BFC0000004").reply, hex("00000100 9000"));
    EXPECT_EQ(exchange("BFC800000F").reply[3], 0x01);
    apply("clear");
    EXPECT_EQ(exchange("BFC0000004").reply, hex("00000400 9000"));
    EXPECT_EQ(exchange("BFC800000F").reply[3], 0x02);
    // A token that reports 0, and one without the query.
    apply("max-block 0");
    EXPECT_EQ(exchange("BFC0000004").reply, hex("00000000 9000"));
    apply("max-block none");
    EXPECT_EQ(exchange("BFC0000004").reply, hex("6D00"));
    apply("max-block 8192");
    EXPECT_EQ(exchange("BFC0000004").reply, hex("00002000 9000"));
    apply("max-block none");
    apply("clear");
    EXPECT_EQ(exchange("BFC0000004").reply, hex("00000400 9000"));
}

}  // namespace
}  // namespace vtoken
