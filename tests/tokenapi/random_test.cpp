// Random numbers from the token: one GET CHALLENGE per 8 bytes, the last reply cut.
#include <algorithm>

#include "fresh_token.h"

namespace wire {
namespace {

constexpr char kGetChallenge[] = "0084000008";
constexpr uint8_t kUntouched = 0xA5;

class RandomTest : public FreshToken {};

TEST_F(RandomTest, TakesOneChallengePerEightBytesAndCutsTheLast) {
    struct Case {
        uint32_t length;
        size_t challenges;
    };
    const Case cases[] = {{0, 0}, {1, 1}, {8, 1}, {13, 2}, {16, 2}, {17, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        clearTrace();
        Bytes buffer(c.length + 8, kUntouched);
        ASSERT_EQ(X_GenRandom(device(), buffer.data(), c.length), 0);

        const auto sent = sentCommands();
        EXPECT_EQ(sent.size(), c.challenges);
        EXPECT_TRUE(std::all_of(sent.begin(), sent.end(),
                                [](const std::string& s) { return s == kGetChallenge; }));
        // What the token handed out, in order, is what the buffer holds, up to the length.
        Bytes handedOut;
        for (const std::string& reply : replies()) {
            ASSERT_EQ(reply.size(), 20u) << reply;
            ASSERT_TRUE(reply.ends_with("9000"));
            const Bytes b = hexBytes(reply.substr(0, 16));
            handedOut.insert(handedOut.end(), b.begin(), b.end());
        }
        handedOut.resize(c.length);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + c.length), handedOut);
        EXPECT_TRUE(std::all_of(buffer.begin() + c.length, buffer.end(),
                                [](uint8_t b) { return b == kUntouched; }));
    }
}

TEST_F(RandomTest, AFailingChallengeEndsWithItsStatusWord) {
    ASSERT_EQ(token().control("sw 0084 6A81 1"), "ok");
    Bytes buffer(13, kUntouched);
    EXPECT_EQ(X_GenRandom(device(), buffer.data(), 13), 0x6A81);
    EXPECT_EQ(sentCommands().size(), 1u) << "nothing is sent after the failure";
    EXPECT_EQ(buffer, Bytes(13, kUntouched));
}

TEST_F(RandomTest, RefusesMissingHandlesWithoutSending) {
    Bytes buffer(8);
    EXPECT_EQ(X_GenRandom(nullptr, buffer.data(), 8), XR_BAD_HANDLE);
    EXPECT_EQ(X_GenRandom(device(), nullptr, 8), XR_BAD_HANDLE);
    EXPECT_TRUE(sentCommands().empty());
}

}  // namespace
}  // namespace wire
