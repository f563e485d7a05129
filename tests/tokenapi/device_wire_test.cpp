// The key API's device functions on the wire: a private pcscd, vpcd readers and virtual
// tokens, with every check made against the bytes the token received.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "child_process.h"
#include "environment.h"
#include "tokenapi.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr char kSerial1[] = "0102030405060708090a";
constexpr char kSerial2[] = "a1a2a3a4a5a6a7a8a9aa";

testbed::BedLayout layout() {
    testbed::BedLayout l;
    // The second reader of each Tarvex entry stays empty; "Other Reader" holds a card that
    // must not be offered.
    l.readerEntries = {"Tarvex USB KEY 1", "Tarvex USB KEY 2", "Other Reader"};
    l.tokens = {{0, 0, kSerial1, "first", 2},
                {1, 0, kSerial2, "second", 1},
                {2, 0, "ffeeddccbbaa99887766", "foreign", 2}};
    return l;
}

std::vector<std::string> commands(testbed::VirtualToken& token) {
    std::vector<std::string> out;
    for (const auto& line : token.traceLines())
        if (line.rfind("> ", 0) == 0) out.push_back(line.substr(2));
    return out;
}

std::string hex(const std::vector<uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string s;
    for (uint8_t b : bytes) s += {kDigits[b >> 4], kDigits[b & 15]};
    return s;
}

class DeviceWire : public ::testing::Test {
  protected:
    void SetUp() override {
        bed = &testbed::sharedBed();
        for (size_t i = 0; i < bed->tokenCount(); ++i) {
            bed->token(i).control("clear");
            bed->token(i).clearTrace();
        }
    }
    void TearDown() override {
        for (DeviceHandle* d : opened) X_DisConnectDEV(d);
    }

    // Device n of a fresh enumeration, its trace cleared after the connect.
    DeviceHandle* connect(int32_t number) {
        uint32_t count = 0;
        EXPECT_EQ(X_EnumDEV(0, &count), 0);
        DeviceHandle* device = nullptr;
        EXPECT_EQ(X_ConnectDEV(&device, number), 0);
        if (device) opened.push_back(device);
        token(number).clearTrace();
        return device;
    }
    testbed::VirtualToken& token(int32_t number) { return bed->token(number); }

    testbed::Bed* bed = nullptr;
    std::vector<DeviceHandle*> opened;
};

TEST_F(DeviceWire, OnlyTarvexReadersWithACardAreNumbered) {
    uint32_t count = 99;
    ASSERT_EQ(X_EnumDEV(0, &count), 0);
    EXPECT_EQ(count, 2u);
    DeviceHandle* device = nullptr;
    EXPECT_EQ(X_ConnectDEV(&device, 2), XR_DEVICE_LOST);  // number equal to the count
    EXPECT_EQ(device, nullptr);

    for (int32_t n : {0, 1}) {
        ASSERT_EQ(X_ConnectDEV(&device, n), 0);
        uint8_t serial[32] = {};
        uint32_t length = 0;
        EXPECT_EQ(X_GetDEVInfo(device, XINFO_SERIAL, serial, &length), 0);
        EXPECT_EQ(length, 20u);
        EXPECT_STREQ(reinterpret_cast<char*>(serial), n == 0 ? kSerial1 : kSerial2);
        EXPECT_EQ(X_DisConnectDEV(device), 0);
    }
    EXPECT_TRUE(commands(bed->token(2)).empty()) << "the foreign reader's card was reached";
}

TEST_F(DeviceWire, ConnectSelectsTheApplicationAndAsksForTheSecurityState) {
    uint32_t count = 0;
    X_EnumDEV(0, &count);
    DeviceHandle* device = nullptr;
    ASSERT_EQ(X_ConnectDEV(&device, 0), 0);
    opened.push_back(device);
    const std::vector<std::string> expected = {
        "00A4000002FFEE", "00B0000001", "00B0000108",  // start block: length, then the block
        "00A400000200A0", "00B2010480",                // first application record
        "00A4000002DDF1",                              // its directory, marked for selection
        "BFC800000F",                                  // generation 2: state from the record
    };
    EXPECT_EQ(commands(token(0)), expected);
}

TEST_F(DeviceWire, Generation1SecurityStateProbesTheContainerDirectory) {
    uint32_t count = 0;
    X_EnumDEV(0, &count);
    DeviceHandle* device = nullptr;
    ASSERT_EQ(X_ConnectDEV(&device, 1), 0);
    opened.push_back(device);
    const auto sent = commands(token(1));
    ASSERT_GE(sent.size(), 4u);
    const std::vector<std::string> tail(sent.end() - 4, sent.end());
    EXPECT_EQ(tail[0], "BFC800000F");
    EXPECT_EQ(tail[1], "00A400000200E2");
    EXPECT_EQ(tail[2], "00B2010480");
    EXPECT_EQ(tail[3].substr(0, 10), "00DC010480");  // the same 128 bytes written back
    EXPECT_EQ(tail[3].substr(10), token(1).traceLines().end()[-3].substr(2, 256));

    uint8_t state = 0xEE;
    uint32_t length = 0;
    EXPECT_EQ(X_GetDEVInfo(device, XINFO_SECURITY_STATE, &state, &length), 0);
    EXPECT_EQ(state, 0);  // the token refused the rewrite with 6982: nothing changed
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(token(1).traceLines().back(), "< 6982");
}

TEST_F(DeviceWire, SecurityStateFollowsTheGenerationTheTokenReports) {
    DeviceHandle* device = connect(0);
    ASSERT_EQ(token(0).control("generation 1"), "ok");
    uint8_t state = 0xEE;
    uint32_t length = 0;
    EXPECT_EQ(X_GetDEVInfo(device, XINFO_SECURITY_STATE, &state, &length), 0);
    EXPECT_EQ(state, 0);
    const auto sent = commands(token(0));
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[1], "00A400000200E2");
}

TEST_F(DeviceWire, VerifiedStateIsReportedOnBothGenerationsAndSeenByTheNextConnect) {
    const std::string pin = "123456";  // the virtual token's provisioning default
    for (int32_t n : {0, 1}) {
        SCOPED_TRACE(n == 0 ? "generation 2" : "generation 1");
        DeviceHandle* device = connect(n);
        ASSERT_EQ(X_VerifyPIN(device, XPIN_USER, reinterpret_cast<const uint8_t*>(pin.data()),
                              static_cast<uint32_t>(pin.size()), nullptr),
                  0);
        token(n).clearTrace();
        uint8_t state = 0xEE;
        uint32_t length = 0;
        EXPECT_EQ(X_GetDEVInfo(device, XINFO_SECURITY_STATE, &state, &length), 0);
        EXPECT_EQ(state, 1);
        // Generation 2 reports the state in its status record; generation 1 is probed, and
        // the probing rewrite is accepted.
        EXPECT_EQ(commands(token(n)).size(), n == 0 ? 1u : 4u);
        EXPECT_TRUE(token(n).traceLines().back().ends_with("9000"));

        // Another connection (another process, say) starts out verified as the token is.
        DeviceHandle* second = connect(n);
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(X_GetDEVInfo(second, XINFO_SECURITY_STATE, &state, &length), 0);
        EXPECT_EQ(state, 1);

        // Clearing the device forgets the verification (and the label, put back here).
        EXPECT_EQ(X_ClearDevice(device), 0);
        EXPECT_EQ(X_GetDEVInfo(device, XINFO_SECURITY_STATE, &state, &length), 0);
        EXPECT_EQ(state, 0);
        const std::string label = n == 0 ? "first" : "second";
        X_SetDEVLabel(device, reinterpret_cast<const uint8_t*>(label.data()),
                      static_cast<uint32_t>(label.size()));
    }
}

TEST_F(DeviceWire, AdministratorTriesComeFromTheCounterCommand) {
    DeviceHandle* device = connect(0);
    uint8_t counter = 0;
    uint32_t length = 0;
    EXPECT_EQ(X_GetDEVInfo(device, XINFO_ADMIN_RETRIES, &counter, &length), 0);
    EXPECT_EQ(counter, 0x66);  // 6 tries allowed, 6 left
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(commands(token(0)), std::vector<std::string>{"BF20000202"});
}

TEST_F(DeviceWire, SelectAccepts61xxButReadBinaryDoesNot) {
    ASSERT_EQ(token(0).control("sw 00A4000002FFEE 6112 1"), "ok");
    DeviceHandle* device = nullptr;
    uint32_t count = 0;
    X_EnumDEV(0, &count);
    ASSERT_EQ(X_ConnectDEV(&device, 0), 0);
    opened.push_back(device);
    const auto sent = commands(token(0));
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[1], "00B0000001") << "the selection went on after 6112";

    token(0).clearTrace();
    ASSERT_EQ(token(0).control("sw 00B0 6112 1"), "ok");
    uint8_t label[65];
    uint32_t length = 0;
    EXPECT_EQ(X_GetDEVLabel(device, label, &length), 0x6112);
}

TEST_F(DeviceWire, TransmitCmdReportsTheStatusWordWithoutJudgingIt) {
    DeviceHandle* device = connect(0);
    const uint8_t unknown[] = {0x80, 0x99, 0x00, 0x00, 0x00};
    uint8_t reply[256];
    uint32_t replyLength = sizeof reply;
    int32_t status = 0;
    EXPECT_EQ(X_TransmitCmd(device, unknown, sizeof unknown, reply, &replyLength, &status), 0);
    EXPECT_EQ(status, 0x6D00);
    EXPECT_EQ(replyLength, 0u);
    EXPECT_EQ(commands(token(0)), std::vector<std::string>{"8099000000"});

    const uint8_t serial[] = {0xBF, 0xC4, 0x00, 0x00, 0x0A};
    replyLength = sizeof reply;
    EXPECT_EQ(X_TransmitCmd(device, serial, sizeof serial, reply, &replyLength, &status), 0);
    EXPECT_EQ(status, 0x9000);
    EXPECT_EQ(hex({reply, reply + replyLength}), "0102030405060708090A");
}

TEST_F(DeviceWire, LabelOf64BytesIsWrittenAnd65IsRefusedUntouched) {
    DeviceHandle* device = connect(0);
    const std::string label64(64, 'L');
    ASSERT_EQ(X_SetDEVLabel(device, reinterpret_cast<const uint8_t*>(label64.data()), 64), 0);
    const auto sent = commands(token(0));
    ASSERT_GE(sent.size(), 3u);
    EXPECT_EQ(sent[0], "00A40000023F00");
    EXPECT_EQ(sent[1], "00A400000200E1");
    std::vector<uint8_t> record(128, 0);
    record[0] = 1;
    record[1] = 64;
    std::fill(record.begin() + 2, record.begin() + 66, 'L');
    EXPECT_EQ(sent[2], "00D6000080" + hex(record));
    EXPECT_EQ(sent[3], "00A4000002FFEE") << "a label write ends with the post-connect selection";

    token(0).clearTrace();
    const std::string label65(65, 'M');
    EXPECT_EQ(X_SetDEVLabel(device, reinterpret_cast<const uint8_t*>(label65.data()), 65),
              XR_BAD_PARAMETER);
    EXPECT_TRUE(commands(token(0)).empty());

    uint8_t back[65] = {};
    uint32_t length = 0;
    ASSERT_EQ(X_GetDEVLabel(device, back, &length), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(back), length), label64);
    const std::string original = "first";
    X_SetDEVLabel(device, reinterpret_cast<const uint8_t*>(original.data()), 5);
}

TEST_F(DeviceWire, InformationTypesWithoutExchange) {
    DeviceHandle* device = connect(0);
    struct Case {
        uint32_t type;
        std::vector<uint8_t> value;
    };
    for (const Case& c : {Case{XINFO_NAME, {'Q', 'R', 'B', 'N', 'K', 'E', 'Y'}},
                          Case{XINFO_TYPE2, {0x01}}, Case{XINFO_TYPE3, {0x10}}}) {
        uint8_t buffer[16] = {};
        uint32_t length = 0;
        ASSERT_EQ(X_GetDEVInfo(device, c.type, buffer, &length), 0) << c.type;
        EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + length), c.value) << c.type;
    }
    EXPECT_EQ(X_BeginTransaction(), 0);
    EXPECT_EQ(X_EndTransaction(), 0);
    EXPECT_EQ(X_InitDEVInfo(), 0);
    EXPECT_TRUE(commands(token(0)).empty());
}

TEST_F(DeviceWire, ClearDeviceSendsTheClearCommand) {
    DeviceHandle* device = connect(0);
    EXPECT_EQ(X_ClearDevice(device), 0);
    EXPECT_EQ(commands(token(0)), std::vector<std::string>{"BF64000100"});
    X_SetDEVLabel(device, reinterpret_cast<const uint8_t*>("first"), 5);
}

TEST_F(DeviceWire, LostCardGivesDeviceLostThenBadHandleWithoutReachingTheToken) {
    DeviceHandle* device = connect(0);
    ASSERT_EQ(token(0).control("drop-after BFC4"), "ok");
    uint8_t buffer[32];
    uint32_t length = 0;
    EXPECT_EQ(X_GetDEVInfo(device, XINFO_SERIAL, buffer, &length), XR_DEVICE_LOST);
    ASSERT_TRUE(bed->waitForCard(token(0).readerName(), false));
    ASSERT_EQ(token(0).control("reinsert"), "ok");
    ASSERT_TRUE(bed->waitForCard(token(0).readerName(), true));
    token(0).clearTrace();

    // The card is back, but this handle lost its device: nothing reaches the token.
    EXPECT_EQ(X_GetDEVInfo(device, XINFO_SERIAL, buffer, &length), XR_BAD_HANDLE);
    EXPECT_EQ(X_ClearDevice(device), XR_BAD_HANDLE);
    EXPECT_TRUE(commands(token(0)).empty());

    DeviceHandle* again = connect(0);
    EXPECT_EQ(X_GetDEVInfo(again, XINFO_SERIAL, buffer, &length), 0);
}

TEST_F(DeviceWire, RepliesLongerThanTheBufferAreRefusedNeverCopied) {
    DeviceHandle* device = connect(0);
    // Serial number: 257 bytes where the command offers 256.
    ASSERT_EQ(token(0).control("reply BFC4 " + std::string(257 * 2, '7') + "9000 1"), "ok");
    uint8_t buffer[32] = {};
    uint32_t length = 0;
    EXPECT_EQ(X_GetDEVInfo(device, XINFO_SERIAL, buffer, &length), -1);
    // 11 bytes fit the command's buffer but not the 21 characters a serial gives.
    ASSERT_EQ(token(0).control("reply BFC4 0102030405060708090A0B9000 1"), "ok");
    EXPECT_EQ(X_GetDEVInfo(device, XINFO_SERIAL, buffer, &length), -1);
    EXPECT_EQ(buffer[0], 0);

    // The raw exchange tells the caller how much room the reply needs.
    ASSERT_EQ(token(0).control("reply BFC4 0102030405060708090A0B9000 1"), "ok");
    const uint8_t serial[] = {0xBF, 0xC4, 0x00, 0x00, 0x0A};
    uint8_t reply[10];
    uint32_t replyLength = sizeof reply;
    int32_t status = 0;
    EXPECT_EQ(X_TransmitCmd(device, serial, sizeof serial, reply, &replyLength, &status),
              XR_BAD_PARAMETER);
    EXPECT_EQ(replyLength, 11u);
    EXPECT_EQ(status, 0x9000);

    // The device is still fine afterwards.
    EXPECT_EQ(X_GetDEVInfo(device, XINFO_SERIAL, buffer, &length), 0);
    EXPECT_EQ(length, 20u);
}

TEST_F(DeviceWire, EnumerationFindsTokensAgainAfterThePcscServiceCameBack) {
    uint32_t count = 0;
    ASSERT_EQ(X_EnumDEV(0, &count), 0);
    ASSERT_EQ(count, 2u);

    bed->stopDaemon();
    EXPECT_EQ(X_EnumDEV(0, &count), 0);  // the PC/SC transport fails: it counts no devices
    EXPECT_EQ(count, 0u);

    bed->restartDaemon();
    ASSERT_EQ(X_EnumDEV(0, &count), 0);
    EXPECT_EQ(count, 2u);
    DeviceHandle* device = nullptr;
    ASSERT_EQ(X_ConnectDEV(&device, 0), 0);
    opened.push_back(device);
    uint8_t serial[32] = {};
    uint32_t length = 0;
    EXPECT_EQ(X_GetDEVInfo(device, XINFO_SERIAL, serial, &length), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(serial), kSerial1);
}

// The other process holds the lock until told to let go, so the wait below times out however
// slowly a loaded machine runs the test; the bounds only leave room for such a machine.
TEST_F(DeviceWire, KeyApiLockHeldByAnotherProcessForMoreThan5Seconds) {
    DeviceHandle* device = connect(0);
    auto holder = testbed::ChildProcess::spawn(
        {{LOCKHOLDER, "Global\\TOKENAPI_MUTEX", "until-signal"}, {}, true, std::nullopt});
    ASSERT_EQ(holder.readLine(10s), "held");

    // Types 2 and 3 need no lock: they answer at once, not after the lock's 5 s.
    uint8_t buffer[32] = {};
    uint32_t length = 0;
    auto start = Clock::now();
    EXPECT_EQ(X_GetDEVInfo(device, XINFO_TYPE2, buffer, &length), 0);
    EXPECT_EQ(buffer[0], 0x01);
    EXPECT_EQ(X_GetDEVInfo(device, XINFO_TYPE3, buffer, &length), 0);
    EXPECT_EQ(buffer[0], 0x10);
    EXPECT_LT(Clock::now() - start, 2500ms);

    // A label write waits 5 s, gives up, and changes nothing.
    start = Clock::now();
    EXPECT_EQ(X_SetDEVLabel(device, reinterpret_cast<const uint8_t*>("changed"), 7),
              XR_LOCK_TIMEOUT);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 4900ms);
    EXPECT_LT(waited, 8000ms);
    EXPECT_TRUE(commands(token(0)).empty());
    holder.signal(SIGUSR1);
    EXPECT_EQ(holder.readLine(10s), "released");
    EXPECT_EQ(holder.waitExit(10s), 0);

    uint8_t label[65] = {};
    ASSERT_EQ(X_GetDEVLabel(device, label, &length), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(label), length), "first");
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    testbed::useSharedBed(layout());
    return RUN_ALL_TESTS();
}
