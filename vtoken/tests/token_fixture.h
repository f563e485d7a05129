#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

#include "vtoken/bytes.h"
#include "vtoken/pin_crypto.h"
#include "vtoken/token.h"
#include "vtoken/token_state.h"

namespace vtoken::testing {

// Hex with optional spaces, for readable command literals.
inline Bytes hex(std::string_view text) {
    std::string compact;
    for (char c : text) {
        if (c != ' ') compact.push_back(c);
    }
    auto bytes = fromHex(compact);
    EXPECT_TRUE(bytes.has_value()) << "bad hex literal " << text;
    return bytes.value_or(Bytes{});
}

inline std::uint16_t statusOf(const Bytes& reply) {
    return reply.size() < 2 ? 0 : readU16(reply, reply.size() - 2);
}

inline Bytes dataOf(const Bytes& reply) {
    return reply.size() < 2 ? Bytes{} : Bytes(reply.begin(), reply.end() - 2);
}

inline constexpr std::string_view kUserPin = "123456";
inline constexpr std::string_view kAdminPin = "12345678";

inline Bytes pinBytes(std::string_view pin) {
    return Bytes(pin.begin(), pin.end());
}

inline ProvisionOptions defaultOptions() {
    ProvisionOptions options;
    options.userPin = pinBytes(kUserPin);
    options.adminPin = pinBytes(kAdminPin);
    return options;
}

// A freshly provisioned token driven through its in-process interface.
class TokenTest : public ::testing::Test {
  protected:
    void SetUp() override { remake(defaultOptions()); }

    void remake(const ProvisionOptions& options) {
        token_ = std::make_unique<Token>(provision(options));
    }

    Token& token() { return *token_; }

    Bytes send(std::string_view command) { return token_->transmit(hex(command)); }
    std::uint16_t sw(std::string_view command) { return statusOf(send(command)); }
    // The reply data of a command that must succeed.
    Bytes data(std::string_view command) {
        const Bytes reply = send(command);
        EXPECT_EQ(statusOf(reply), sw::kSuccess) << "command " << command;
        return dataOf(reply);
    }

    std::uint16_t select(std::uint16_t fid) {
        return statusOf(token_->transmit(Bytes{0x00, 0xA4, 0x00, 0x00, 0x02,
                                               static_cast<std::uint8_t>(fid >> 8),
                                               static_cast<std::uint8_t>(fid)}));
    }

    // The host's PIN proof: GET CHALLENGE, then EXTERNAL AUTHENTICATE with the cryptogram.
    std::uint16_t authenticate(std::string_view pin) {
        const Bytes challengeReply = send("0084000008");
        EXPECT_EQ(statusOf(challengeReply), sw::kSuccess);
        Challenge challenge{};
        const Bytes challengeBytes = dataOf(challengeReply);
        std::copy(challengeBytes.begin(), challengeBytes.end(), challenge.begin());
        const Challenge cryptogram = pinCryptogram(pinBytes(pin), challenge);
        Bytes command = hex("0082000208");
        command.insert(command.end(), cryptogram.begin(), cryptogram.end());
        return statusOf(token_->transmit(command));
    }

    // Selects the application directory and proves the PIN there.
    void login(std::uint16_t application, std::string_view pin) {
        ASSERT_EQ(select(kMasterFileId), sw::kSuccess);
        ASSERT_EQ(select(application), sw::kSuccess);
        ASSERT_EQ(authenticate(pin), sw::kSuccess);
    }

    std::unique_ptr<Token> token_;
};

}  // namespace vtoken::testing
