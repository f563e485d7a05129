// The token's trace of the PIN functions: without the option that shows secrets it holds no
// byte derived from a PIN (the records of new PINs, cryptograms and the challenges they
// answer); with it, the exact bytes the key API sent.
#include "fresh_token.h"
#include "pin_material.h"

namespace wire {
namespace {

using tokenapi::ByteView;

ByteView view(std::string_view text) {
    return ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string hexOf(ByteView bytes) {
    return wire::hexOf(Bytes(bytes.begin(), bytes.end()));
}

int32_t verify(DeviceHandle* d, uint32_t type, std::string_view pin) {
    uint32_t retry = 0;
    return X_VerifyPIN(d, type, view(pin).data(), static_cast<uint32_t>(pin.size()), &retry);
}

class SecretTrace : public FreshToken, public ::testing::WithParamInterface<bool> {};

TEST_P(SecretTrace, PinSuite) {
    const bool shown = GetParam();
    reprovision({.showSecrets = shown});
    const std::string newUser = "246810", unblocked = "135790";
    uint32_t retry = 0;
    // Verify (right and wrong), change, unblock, then verify the unblocked PIN: the PINs
    // tried, in the order the cryptograms go out.
    const std::vector<std::string_view> tried = {kUserPin, "999999", kUserPin, kAdminPin,
                                                 unblocked};
    ASSERT_EQ(verify(device(), XPIN_USER, kUserPin), 0);
    ASSERT_EQ(verify(device(), XPIN_USER, "999999"), XR_PIN_INCORRECT);
    ASSERT_EQ(
        X_ChangePIN(device(), XPIN_USER, view(kUserPin).data(), 6, view(newUser).data(), 6, &retry),
        0);
    ASSERT_EQ(X_UnblockPIN(device(), view(kAdminPin).data(), 8, view(unblocked).data(), 6, &retry),
              0);
    ASSERT_EQ(verify(device(), XPIN_USER, unblocked), 0);

    const auto lines = token().traceLines();
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    // What never crosses the wire is absent either way; so are the new PINs in the clear.
    for (std::string_view pin : {std::string_view(kUserPin), std::string_view(kAdminPin),
                                 std::string_view(newUser), std::string_view(unblocked)}) {
        EXPECT_EQ(all.find(hexOf(tokenapi::pin::verificationKey(view(pin)))), std::string::npos);
        EXPECT_EQ(all.find(hexOf(view(pin))), std::string::npos) << pin;
    }
    // The key records of the change and the unblock.
    for (std::string_view pin : {newUser, unblocked}) {
        const auto record = tokenapi::pin::keyRecord(view(pin));
        const std::string shifted = hexOf(ByteView(record).subspan(2, pin.size()));
        EXPECT_EQ(all.find(shifted) != std::string::npos, shown) << pin;
    }
    // Each challenge and the cryptogram that answers it.
    std::size_t answered = 0;
    for (std::size_t i = 0; i + 2 < lines.size(); ++i) {
        if (lines[i] != "> 0084000008") continue;
        const std::string challenge = lines[i + 1].substr(2, 16);
        const std::string cryptogram = lines[i + 2].substr(std::string("> 0082000208").size());
        ASSERT_LT(answered, tried.size());
        if (!shown) {
            EXPECT_EQ(challenge, std::string(16, '*'));
            EXPECT_EQ(cryptogram, std::string(16, '*'));
        } else {
            const auto key = tokenapi::pin::verificationKey(view(tried[answered]));
            const auto expected = tokenapi::pin::answerChallenge(key, hexBytes(challenge));
            ASSERT_TRUE(expected);
            EXPECT_EQ(cryptogram, hexOf(*expected)) << tried[answered];
        }
        ++answered;
    }
    EXPECT_EQ(answered, tried.size());
}

INSTANTIATE_TEST_SUITE_P(Trace, SecretTrace, ::testing::Values(false, true),
                         [](const auto& testCase) { return testCase.param ? "Shown" : "Masked"; });

}  // namespace
}  // namespace wire
