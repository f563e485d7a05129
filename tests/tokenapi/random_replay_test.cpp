// X_GenRandom when a later GET CHALLENGE fails: a path the virtual token cannot be made to take
// (its faults hit the first matching command), played back on the replay transport.
#include <gtest/gtest.h>

#include <vector>

#include "replay_transport.h"
#include "tokenapi.h"

namespace {

TEST(RandomReplay, BytesOfEarlierChallengesStayWhenALaterOneFails) {
    replay::script() = {};
    uint32_t count = 0;
    ASSERT_EQ(X_EnumDEV(0, &count), 0);
    DeviceHandle* device = nullptr;
    // Nothing scripted: the post-connect selection and the security query fail quietly.
    ASSERT_EQ(X_ConnectDEV(&device, 0), 0);
    auto& s = replay::script();
    s.sent.clear();

    const std::vector<uint8_t> first = {1, 2, 3, 4, 5, 6, 7, 8};
    s.replies.push_back({0x9000, first});
    s.replies.push_back({0x6A81});
    std::vector<uint8_t> buffer(16, 0xA5);
    EXPECT_EQ(X_GenRandom(device, buffer.data(), 16), 0x6A81);

    std::vector<uint8_t> expected = first;
    expected.resize(16, 0xA5);
    EXPECT_EQ(buffer, expected);
    EXPECT_EQ(s.sent.size(), 2u);
    X_DisConnectDEV(device);
}

}  // namespace
