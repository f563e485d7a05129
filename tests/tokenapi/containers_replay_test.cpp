// Container listing for serials the virtual token does not have, on the replay transport.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "replay_transport.h"
#include "tokenapi.h"

namespace {

std::string hexOf(const std::vector<uint8_t>& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0x0F]);
    }
    return out;
}

TEST(ContainerListing, SerialsUpToTheLongestThatGiveOpenableNames) {
    struct Case {
        size_t serialLength;
        int32_t result;
    };
    // 59 bytes give names of 119 bytes plus the digit: the longest X_OpenContainer takes.
    const Case cases[] = {{10, 0}, {11, 0}, {59, 0}, {60, -1}, {256, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.serialLength);
        replay::script() = {};
        uint32_t count = 0;
        ASSERT_EQ(X_EnumDEV(0, &count), 0);
        DeviceHandle* device = nullptr;
        ASSERT_EQ(X_ConnectDEV(&device, 0), 0);

        std::vector<uint8_t> serial(c.serialLength);
        for (size_t i = 0; i < serial.size(); ++i) serial[i] = static_cast<uint8_t>(0xA0 + i);
        replay::script().replies.push_back({0x9000, serial});
        std::string buffer(256, '\x7F');
        uint32_t length = 0xDEAD;
        EXPECT_EQ(X_EnumContainer(device, buffer.data(), &length), c.result);
        if (c.result == 0) {
            const std::string hex = hexOf(serial);
            EXPECT_EQ(buffer.substr(0, length), hex + "1" + '\0' + hex + "2" + '\0');
            EXPECT_EQ(buffer[length], '\x7F') << "nothing written past the names";
            ContainerHandle* opened = nullptr;
            // The name is accepted: the open goes on to the token (which answers nothing).
            EXPECT_NE(X_OpenContainer(device, (hex + "1").c_str(), &opened), XR_NAME_LENGTH);
        } else {
            EXPECT_EQ(length, 0xDEADu);
            EXPECT_EQ(buffer, std::string(256, '\x7F'));
        }
        X_DisConnectDEV(device);
    }
}

}  // namespace
