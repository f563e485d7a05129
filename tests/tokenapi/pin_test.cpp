// PIN verification, change and unblocking on the wire, and the verified flags of a handle.
#include <functional>

#include "device_handle.h"
#include "fresh_token.h"

namespace wire {
namespace {

constexpr char kSelectMaster[] = "00A40000023F00";
constexpr char kSelectFirst[] = "00A4000002DDF1";
constexpr char kSelectSecond[] = "00A4000002DDF2";
constexpr char kGetChallenge[] = "0084000008";
constexpr char kExternalAuthenticate[] = "0082000208";
constexpr char kWriteKey[] = "80D4";
constexpr uint32_t kSentinel = 0xDEAD;

int32_t verify(DeviceHandle* d, uint32_t type, std::string_view pin, uint32_t* retry = nullptr) {
    return X_VerifyPIN(d, type, reinterpret_cast<const uint8_t*>(pin.data()),
                       static_cast<uint32_t>(pin.size()), retry);
}

int32_t change(DeviceHandle* d, uint32_t type, std::string_view oldPin, std::string_view newPin) {
    uint32_t retry = 0;
    return X_ChangePIN(d, type, reinterpret_cast<const uint8_t*>(oldPin.data()),
                       static_cast<uint32_t>(oldPin.size()),
                       reinterpret_cast<const uint8_t*>(newPin.data()),
                       static_cast<uint32_t>(newPin.size()), &retry);
}

// A null administrator PIN when `adminPin` is empty.
int32_t unblock(DeviceHandle* d, std::string_view adminPin, std::string_view newPin) {
    uint32_t retry = 0;
    return X_UnblockPIN(
        d, adminPin.empty() ? nullptr : reinterpret_cast<const uint8_t*>(adminPin.data()),
        static_cast<uint32_t>(adminPin.size()), reinterpret_cast<const uint8_t*>(newPin.data()),
        static_cast<uint32_t>(newPin.size()), &retry);
}

// The key record the token must receive for a PIN: 00 10, each byte shifted left, FF padding.
std::string keyRecordHex(std::string_view pin) {
    Bytes record = {0x00, 0x10};
    for (char c : pin) record.push_back(static_cast<uint8_t>(static_cast<uint8_t>(c) << 1));
    record.resize(18, 0xFF);
    return hexOf(record);
}

class PinTest : public FreshToken {
  protected:
    uint32_t userFlag() { return device()->verified().user; }
    uint32_t adminFlag() { return device()->verified().admin; }
};

TEST_F(PinTest, SixteenBytesAreAPinAndSeventeenAreRefusedBeforeAnyExchange) {
    const std::string pin16 = "0123456789abcdef";
    const std::string pin17 = pin16 + "g";
    reprovision({.userPin = pin16});

    struct Case {
        const char* name;
        std::function<int32_t()> call;
        int32_t result;
        bool sends;
    };
    const Case cases[] = {
        {"verify 16", [&] { return verify(device(), XPIN_USER, pin16); }, 0, true},
        {"verify 17", [&] { return verify(device(), XPIN_USER, pin17); }, XR_PIN_TOO_LONG, false},
        {"change from 17", [&] { return change(device(), XPIN_USER, pin17, "1234"); },
         XR_PIN_TOO_LONG, false},
        {"change to 17", [&] { return change(device(), XPIN_USER, pin16, pin17); }, XR_PIN_TOO_LONG,
         false},
        {"unblock with admin 17", [&] { return unblock(device(), kAdminPin + pin16, "1234"); },
         XR_PIN_TOO_LONG, false},
        {"unblock to 17", [&] { return unblock(device(), kAdminPin, pin17); }, XR_PIN_TOO_LONG,
         false},
        {"change 16 to 16", [&] { return change(device(), XPIN_USER, pin16, pin16); }, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clearTrace();
        EXPECT_EQ(c.call(), c.result);
        EXPECT_EQ(!sentCommands().empty(), c.sends);
    }
    // A 16-byte PIN fills the key record without padding.
    ASSERT_EQ(sentStartingWith(kWriteKey).size(), 1u);
    EXPECT_EQ(sentStartingWith(kWriteKey)[0], "80D4800112" + keyRecordHex(pin16));
}

TEST_F(PinTest, AnOpenContainerDecidesTheDirectoryOfEveryVerification) {
    struct Case {
        const char* name;
        char open;  // container opened before, or 0
        bool closeFirst;
        uint32_t type;
        const char* directory;
    };
    const Case cases[] = {
        {"no container, user", 0, false, XPIN_USER, kSelectFirst},
        {"no container, second user", 0, false, XPIN_USER_DDF2, kSelectSecond},
        {"no container, admin type", 0, false, XPIN_ADMIN, kSelectFirst},
        {"container 1 open, second user", '1', false, XPIN_USER_DDF2, kSelectFirst},
        {"container 2 open, user", '2', false, XPIN_USER, kSelectSecond},
        {"container 2 open, admin type", '2', false, XPIN_ADMIN, kSelectSecond},
        {"container 1 closed again, second user", '1', true, XPIN_USER_DDF2, kSelectSecond},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ContainerHandle* container = nullptr;
        if (c.open != 0) container = openContainer(containerName(c.open));
        if (c.closeFirst) {
            ASSERT_EQ(X_CloseContainer(device(), container), 0);
            forget(container);
            container = nullptr;
        }
        clearTrace();
        EXPECT_EQ(verify(device(), c.type, kUserPin), 0);
        const auto sent = sentCommands();
        ASSERT_EQ(sent.size(), 4u);
        EXPECT_EQ(sent[0], kSelectMaster);
        EXPECT_EQ(sent[1], c.directory);
        EXPECT_EQ(sent[2], kGetChallenge);
        EXPECT_TRUE(sent[3].starts_with(kExternalAuthenticate)) << sent[3];
        EXPECT_EQ(sent[3].size(), 26u);
        if (container != nullptr) {
            ASSERT_EQ(X_CloseContainer(device(), container), 0);
            forget(container);
        }
    }
}

TEST_F(PinTest, ANewPinThatCannotBeStoredIsRefusedBeforeAnyExchange) {
    verifyUser();
    struct Case {
        const char* name;
        std::function<int32_t()> call;
    };
    const Case cases[] = {
        {"change to 12<80>", [&] { return change(device(), XPIN_USER, kUserPin, "12\x80"); }},
        {"change to <FF>", [&] { return change(device(), XPIN_USER, kUserPin, "\xFF"); }},
        {"unblock to 9<C1>", [&] { return unblock(device(), kAdminPin, "9\xC1"); }},
        {"unblock without admin to <80>", [&] { return unblock(device(), "", "\x80"); }},
        // An empty PIN would leave the token unprotected.
        {"change to nothing", [&] { return change(device(), XPIN_USER, kUserPin, ""); }},
        {"unblock to nothing", [&] { return unblock(device(), kAdminPin, ""); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clearTrace();
        EXPECT_EQ(c.call(), XR_BAD_PARAMETER);
        EXPECT_TRUE(sentCommands().empty());
    }
    // Such a byte in a PIN that is only verified goes to the token as usual.
    clearTrace();
    EXPECT_EQ(verify(device(), XPIN_USER, "12\x80"), XR_PIN_INCORRECT);
    EXPECT_EQ(sentStartingWith(kExternalAuthenticate).size(), 1u);
}

TEST_F(PinTest, ChangeSendsTheShiftedPinForTheGenerationAndPinNumber) {
    struct Case {
        int generation;
        uint32_t type;
        const char* oldPin;
        const char* newPin;
        const char* header;  // WRITE KEY header and Lc
    };
    const Case cases[] = {
        {2, XPIN_USER, kUserPin, "1234", "80D4800112"},
        {1, XPIN_USER, kUserPin, "1234", "80D4010112"},
        {2, XPIN_ADMIN, kAdminPin, "8765", "80D4800212"},
        {1, XPIN_ADMIN, kAdminPin, "8765", "80D4010212"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("generation ") + std::to_string(c.generation) + ", type " +
                     std::to_string(c.type));
        reprovision({.generation = c.generation});
        EXPECT_EQ(change(device(), c.type, c.oldPin, c.newPin), 0);
        const auto writes = sentStartingWith(kWriteKey);
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_EQ(writes[0], c.header + keyRecordHex(c.newPin));
        // The token took it: the new PIN verifies, the old one no longer does.
        EXPECT_EQ(verify(device(), c.type, c.newPin), 0);
        EXPECT_EQ(verify(device(), c.type, c.oldPin), XR_PIN_INCORRECT);
    }
    // '1' is 0x31 and goes out as 0x62.
    EXPECT_EQ(keyRecordHex("1"), "001062FFFFFFFFFFFFFFFFFFFFFFFFFFFFFF");
}

TEST_F(PinTest, UnblockWithoutAnAdministratorPinSendsNoVerificationAndStillWrites) {
    struct Case {
        const char* name;
        bool userVerifiedOnToken;
        int32_t result;
    };
    const Case cases[] = {
        {"token has the user PIN verified", true, 0},
        {"token has nothing verified", false, XR_NOT_VERIFIED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reprovision({});
        if (c.userVerifiedOnToken) verifyUser();
        clearTrace();
        EXPECT_EQ(unblock(device(), "", "654321"), c.result);
        EXPECT_TRUE(sentStartingWith(kGetChallenge).empty());
        EXPECT_TRUE(sentStartingWith(kExternalAuthenticate).empty());
        const auto writes = sentStartingWith(kWriteKey);
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_EQ(writes[0], "80D4800112" + keyRecordHex("654321"));
        EXPECT_EQ(verify(device(), XPIN_USER, "654321"), c.result == 0 ? 0 : XR_PIN_INCORRECT);
    }
}

TEST_F(PinTest, WrongPinsCountDownThenBlockAndUnblockRestoresTheUserPin) {
    struct Step {
        int32_t result;
        uint32_t retry;
    };
    const Step countdown[] = {{XR_PIN_INCORRECT, 5}, {XR_PIN_INCORRECT, 4}, {XR_PIN_INCORRECT, 3},
                              {XR_PIN_INCORRECT, 2}, {XR_PIN_INCORRECT, 1}, {XR_PIN_BLOCKED, 0}};
    for (const Step& step : countdown) {
        uint32_t retry = kSentinel;
        EXPECT_EQ(verify(device(), XPIN_USER, "000000", &retry), step.result);
        EXPECT_EQ(retry, step.retry);
    }
    EXPECT_EQ(userFlag(), 0u);

    clearTrace();
    EXPECT_EQ(unblock(device(), kAdminPin, "112233"), 0);
    // The token restores the counter itself when it has the counter command: nothing to write.
    EXPECT_EQ(sentStartingWith("BF20000102").size(), 1u);
    EXPECT_TRUE(sentStartingWith("00D6").empty());

    EXPECT_EQ(verify(device(), XPIN_USER, "112233"), 0);
    uint32_t retry = kSentinel;
    EXPECT_EQ(verify(device(), XPIN_USER, "000000", &retry), XR_PIN_INCORRECT);
    EXPECT_EQ(retry, 5u) << "the counter is full again";
}

TEST_F(PinTest, WithoutTheCounterCommandUnblockRestoresTheCounterInItsFile) {
    struct Case {
        const char* name;
        int wrongTries;
        std::vector<std::string> counterCommands;  // from BF 20 on
    };
    const Case cases[] = {
        {"blocked",
         6,
         {"BF20000102", "00A40000020020", "00B0000002", "00A40000020020", "00D600000166"}},
        {"one try used",
         1,
         {"BF20000102", "00A40000020020", "00B0000002", "00A40000020020", "00D600000166"}},
        {"counter full", 0, {"BF20000102", "00A40000020020", "00B0000002"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reprovision({.pinCounterCommand = false});
        for (int i = 0; i < c.wrongTries; ++i) verify(device(), XPIN_USER, "000000");
        clearTrace();
        EXPECT_EQ(unblock(device(), kAdminPin, "112233"), 0);
        const auto sent = sentCommands();
        const auto from = std::find(sent.begin(), sent.end(), "BF20000102");
        ASSERT_NE(from, sent.end());
        EXPECT_EQ(std::vector<std::string>(from, sent.end()), c.counterCommands);

        uint32_t retry = kSentinel;
        EXPECT_EQ(verify(device(), XPIN_USER, "000000", &retry), XR_PIN_INCORRECT);
        EXPECT_EQ(retry, 5u);
        EXPECT_EQ(verify(device(), XPIN_USER, "112233"), 0);
    }
}

TEST_F(PinTest, VerifiedFlagsFollowEveryTransition) {
    struct Case {
        const char* name;
        std::function<void(DeviceHandle*)> steps;
        uint32_t user;
        uint32_t admin;
    };
    const Case cases[] = {
        {"connect", [](DeviceHandle*) {}, 0, 0},
        {"verify user", [](DeviceHandle* d) { EXPECT_EQ(verify(d, XPIN_USER, kUserPin), 0); }, 1,
         0},
        {"verify admin PIN as type 0",
         [](DeviceHandle* d) { EXPECT_EQ(verify(d, XPIN_ADMIN, kAdminPin), 0); }, 1, 0},
        {"failed verification after a good one",
         [](DeviceHandle* d) {
             EXPECT_EQ(verify(d, XPIN_USER, kUserPin), 0);
             EXPECT_EQ(verify(d, XPIN_USER, "000000"), XR_PIN_INCORRECT);
         },
         1, 0},
        {"change, user type",
         [](DeviceHandle* d) { EXPECT_EQ(change(d, XPIN_USER, kUserPin, "1111"), 0); }, 1, 0},
        {"change, admin type",
         [](DeviceHandle* d) { EXPECT_EQ(change(d, XPIN_ADMIN, kAdminPin, "2222"), 0); }, 0, 1},
        {"unblock with admin PIN",
         [](DeviceHandle* d) { EXPECT_EQ(unblock(d, kAdminPin, "3333"), 0); }, 0, 1},
        {"unblock without admin PIN after a user verification",
         [](DeviceHandle* d) {
             EXPECT_EQ(verify(d, XPIN_USER, kUserPin), 0);
             EXPECT_EQ(unblock(d, "", "3333"), 0);
         },
         1, 0},
        {"clear secure state",
         [](DeviceHandle* d) {
             EXPECT_EQ(verify(d, XPIN_ADMIN, kAdminPin), 0);
             EXPECT_EQ(change(d, XPIN_ADMIN, kAdminPin, kAdminPin), 0);
             EXPECT_EQ(X_ClearSecureState(d), 0);
         },
         0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reprovision({});
        c.steps(device());
        EXPECT_EQ(userFlag(), c.user);
        EXPECT_EQ(adminFlag(), c.admin);
    }

    // A second connection takes the user flag from the token's own report.
    reprovision({});
    verifyUser();
    DeviceHandle* second = nullptr;
    ASSERT_EQ(X_ConnectDEV(&second, 0), 0);
    EXPECT_EQ(second->verified().user, 1u);
    EXPECT_EQ(second->verified().admin, 0u);
    X_DisConnectDEV(second);

    clearTrace();
    EXPECT_EQ(X_ClearSecureState(device()), 0);
    EXPECT_TRUE(sentCommands().empty()) << "only the handle forgets";
}

}  // namespace
}  // namespace wire
