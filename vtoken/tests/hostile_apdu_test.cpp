// Commands no host should send: random headers over the token's own instruction bytes,
// lengths that disagree with the data, extended forms cut short. The token must answer every
// one with a status word, stay consistent, and keep working afterwards.
#include <random>

#include "token_fixture.h"

namespace vtoken::testing {
namespace {

class HostileApdu : public TokenTest {};

TEST_F(HostileApdu, EveryCommandGetsAStatusWordAndTheTokenKeepsWorking) {
    std::mt19937 rng(7);
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    static const uint8_t kClasses[] = {0x00, 0x80, 0x90, 0xBF, 0xFF};
    static const uint8_t kInstructions[] = {0xA4, 0xB0, 0xD6, 0xB2, 0xDC, 0xC0, 0x84, 0x82, 0xE0,
                                            0xD4, 0xC8, 0xC4, 0xC0, 0x20, 0x64, 0x74, 0x00, 0xFF};
    static const size_t kSizes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 13, 18, 27, 128, 255, 256, 300};

    for (int i = 0; i < 20000; ++i) {
        Bytes apdu{kClasses[pick(std::size(kClasses))],
                   kInstructions[pick(std::size(kInstructions))],
                   static_cast<uint8_t>(pick(2) ? rng() : pick(4)),
                   static_cast<uint8_t>(pick(2) ? rng() : pick(5))};
        const size_t body = kSizes[pick(std::size(kSizes))];
        for (size_t b = 0; b < body; ++b) apdu.push_back(static_cast<uint8_t>(rng()));
        // Often a length byte that matches, so that commands get past their framing.
        if (apdu.size() > 5 && pick(2)) apdu[4] = static_cast<uint8_t>(apdu.size() - 5);
        if (pick(8) == 0) apdu.resize(pick(4));  // shorter than a header
        const Bytes reply = token().transmit(apdu);
        ASSERT_GE(reply.size(), 2u) << "no status word for " << toHex(apdu);
        const uint16_t status = statusOf(reply);
        ASSERT_TRUE((status >= 0x6100 && status <= 0x6FFF) || status == 0x9000)
            << std::hex << status << " for " << toHex(apdu);
    }
    // Still a token: the master file selects, the serial reads, a PIN proof works.
    EXPECT_EQ(select(0x3F00), sw::kSuccess);
    EXPECT_EQ(data("BFC400000A").size(), 10u);
    EXPECT_EQ(select(0xDDF1), sw::kSuccess);
}

}  // namespace
}  // namespace vtoken::testing
