#include "vtoken/control_request.h"

#include <gtest/gtest.h>

namespace vtoken {
namespace {

TEST(ControlRequest, ParsesEveryRequest) {
    auto sw = std::get<control::AnswerWith>(parseControlRequest("sw 80c6 6A82"));
    EXPECT_EQ(sw.prefix, "80C6");
    EXPECT_EQ(sw.sw, 0x6A82);
    EXPECT_FALSE(sw.count);

    sw = std::get<control::AnswerWith>(parseControlRequest("  sw 00A4000002FFEE 6a82 3\r"));
    EXPECT_EQ(sw.prefix, "00A4000002FFEE");
    EXPECT_EQ(sw.count, 3u);

    auto reply = std::get<control::AnswerWith>(parseControlRequest("reply BFC4 0102039000 2"));
    EXPECT_EQ(reply.prefix, "BFC4");
    EXPECT_EQ(reply.data, (Bytes{1, 2, 3}));
    EXPECT_EQ(reply.sw, 0x9000);
    EXPECT_EQ(reply.count, 2u);

    EXPECT_EQ(std::get<control::SetGeneration>(parseControlRequest("generation 1")).generation, 1);
    EXPECT_EQ(std::get<control::SetMaxBlock>(parseControlRequest("max-block 2048")).maxBlock,
              2048u);
    // A token that reports 0 makes the host fall back to the short form.
    EXPECT_EQ(std::get<control::SetMaxBlock>(parseControlRequest("max-block 0")).maxBlock, 0u);
    // A token without the query.
    EXPECT_EQ(std::get<control::SetMaxBlock>(parseControlRequest("max-block none")).maxBlock,
              std::nullopt);
    EXPECT_EQ(std::get<control::DropAfter>(parseControlRequest("drop-after 00b0")).prefix, "00B0");
    EXPECT_EQ(std::get<control::DropAfter>(parseControlRequest("drop-after 00b0")).at, 1u);

    // "at K" after everything else.
    sw = std::get<control::AnswerWith>(parseControlRequest("sw 80D2 6581 at 3"));
    EXPECT_EQ(sw.at, 3u);
    EXPECT_FALSE(sw.count);
    sw = std::get<control::AnswerWith>(parseControlRequest("sw 80D2 6581 2 at 7"));
    EXPECT_EQ(sw.at, 7u);
    EXPECT_EQ(sw.count, 2u);
    reply = std::get<control::AnswerWith>(parseControlRequest("reply 80D2 9000 1 at 2"));
    EXPECT_EQ(reply.at, 2u);
    EXPECT_EQ(std::get<control::DropAfter>(parseControlRequest("drop-after 80D2 at 9")).at, 9u);
    EXPECT_TRUE(std::holds_alternative<control::Reinsert>(parseControlRequest("reinsert")));
    EXPECT_TRUE(std::holds_alternative<control::Clear>(parseControlRequest("clear")));
    EXPECT_TRUE(std::holds_alternative<control::Ping>(parseControlRequest("ping")));
}

TEST(ControlRequest, RejectsMalformedLines) {
    for (const char* line : {"",
                             "   ",
                             "bogus",
                             "sw",
                             "sw 80C6",
                             "sw 80C6 6A8",
                             "sw 80C6 6A8Z",
                             "sw 80G6 6A82",
                             "sw 80C6 6A82 0",
                             "sw 80C6 6A82 -1",
                             "sw 80C6 6A82 1 2",
                             "generation 3",
                             "generation",
                             "max-block 4294967296",
                             "max-block x",
                             "drop-after",
                             "ping now",
                             "reinsert 1",
                             "reply BFC4",
                             "reply BFC4 90",
                             "reply BFC4 9000 0",
                             "sw 80C6 6A82 at 0",
                             "sw 80C6 6A82 at",
                             "sw 80C6 6A82 at x",
                             "sw 80C6 6A82 1 at 2 at 3",
                             "drop-after 00B0 at 0",
                             "drop-after 00B0 after 2"}) {
        EXPECT_THROW(parseControlRequest(line), ControlSyntaxError) << "'" << line << "'";
    }
}

}  // namespace
}  // namespace vtoken
