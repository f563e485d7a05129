// The exchange path and the common operation pattern, against the replay transport.
#include <gtest/gtest.h>

#include <span>
#include <type_traits>
#include <vector>

#include "apdu.h"
#include "commands.h"
#include "device_handle.h"
#include "replay_transport.h"
#include "tokenapi.h"

using tokenapi::Command;
using tokenapi::FollowUp;

namespace {

using Bytes = std::vector<uint8_t>;

// Commands and replies of the exchange path carry PIN proofs, key records and key material:
// their storage must be the kind that wipes itself (tested in the crypto tests).
static_assert(std::is_same_v<tokenapi::Bytes, tokenapi::crypto::SecureBytes>);

Bytes plain(std::span<const uint8_t> bytes) {
    return Bytes(bytes.begin(), bytes.end());
}

Bytes filled(size_t n, uint8_t v = 0xAB) {
    return Bytes(n, v);
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct FramingCase {
    const char* name;
    Command command;
    Bytes expected;
};

TEST(CommandFraming, EachFormLaysOutItsLengthField) {
    const Bytes d200 = filled(200), d256 = filled(256), d300 = filled(300), d3 = filled(3);
    const std::vector<FramingCase> cases = {
        {"short with 200 bytes", Command::shortData(0x80, 0xD2, 1, 2, d200),
         concat({{0x80, 0xD2, 1, 2, 200}, d200})},
        {"fixed 256 with 256 bytes", Command::extendedFixed256(0x80, 0xD2, 1, 2, d256),
         concat({{0x80, 0xD2, 1, 2, 0x00, 0x01, 0x00}, d256})},
        {"fixed 256 keeps 00 01 00 for 3 bytes", Command::extendedFixed256(0x80, 0xF6, 0, 0, d3),
         concat({{0x80, 0xF6, 0, 0, 0x00, 0x01, 0x00}, d3})},
        {"extended with 300 bytes", Command::extended(0x80, 0xFA, 0, 0, d300),
         concat({{0x80, 0xFA, 0, 0, 0x00, 0x01, 0x2C}, d300})},
        {"two-byte length", Command::twoByteLength(0x90, 0xC6, 0, 0, d300),
         concat({{0x90, 0xC6, 0, 0, 0x01, 0x2C}, d300})},
        {"four-byte length", Command::fourByteLength(0x90, 0xC6, 0, 0, d300),
         concat({{0x90, 0xC6, 0, 0, 0x00, 0x00, 0x01, 0x2C}, d300})},
        {"select", tokenapi::cmd::select(0x3F00), {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}},
        {"read binary by short id",
         tokenapi::cmd::readBinaryShortId(7, 1, 1),
         {0x00, 0xB0, 0x87, 0x01, 0x01}},
        {"clear device on SD card",
         tokenapi::cmd::clearDevice(true),
         {0xBF, 0x74, 0x00, 0x01, 0x00}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(plain(c.command.bytes()), c.expected) << c.name;
    }
    EXPECT_EQ(cases[0].command.bytes().size(), 205u);
    EXPECT_EQ(cases[1].command.bytes().size(), 263u);
}

TEST(CommandFraming, ShortFormRefusesMoreThan255Bytes) {
    EXPECT_THROW(Command::shortData(0x00, 0xD6, 0, 0, filled(256)), std::length_error);
}

class ReplayTest : public ::testing::Test {
  protected:
    void SetUp() override { replay::script() = {}; }
    replay::Script& s = replay::script();
    TransportHandle transport{'C', 1, nullptr};
};

struct RuleCase {
    const char* name;
    Command command;
    std::vector<replay::Reply> replies;
    int32_t result;
    Bytes data;
    std::vector<Bytes> sent;  // after the command itself
};

TEST_F(ReplayTest, StatusWordRules) {
    const Bytes data128 = filled(128, 0x11);
    const std::vector<RuleCase> cases = {
        {"select succeeds on 61xx", tokenapi::cmd::select(0xFFEE), {{0x6112}}, 0, {}, {}},
        {"select fails on 6A82", tokenapi::cmd::select(0xFFEE), {{0x6A82}}, 0x6A82, {}, {}},
        {"read binary fails on 61xx", tokenapi::cmd::readBinary(0, 1), {{0x6112}}, 0x6112, {}, {}},
        {"61xx fetched with GET RESPONSE Le = SW2 when the command says so",
         Command::header(0x80, 0xC6, 0, 0, 0).following(FollowUp::Fetch61xx),
         {{0x6105}, {0x9000, {1, 2, 3, 4, 5}}},
         0,
         {1, 2, 3, 4, 5},
         {{0x00, 0xC0, 0x00, 0x00, 0x05}}},
        {"6180 fetched as 128 bytes when the command says so",
         Command::extendedFixed256(0x80, 0xF6, 0, 0, filled(8)).following(FollowUp::Fetch6180),
         {{0x6180}, {0x9000, data128}},
         0,
         data128,
         {{0x00, 0xC0, 0x00, 0x00, 0x80}}},
        {"a command fetching after 6180 fails on another 61xx",
         Command::extendedFixed256(0x80, 0xF8, 0, 0, filled(8)).following(FollowUp::Fetch6180),
         {{0x6110}},
         0x6110,
         {},
         {}},
        {"other commands pass 61xx through",
         Command::header(0x80, 0xD2, 0, 0, 0),
         {{0x6105}},
         0x6105,
         {},
         {}},
        // The rule rides on the command, never on its bytes: the same bytes without it fetch
        // nothing.
        {"80 C6 without the declared rule passes 61xx through",
         Command::header(0x80, 0xC6, 0, 0, 0),
         {{0x6105}},
         0x6105,
         {},
         {}},
        {"a declared fetch offers the command's own reply buffer",
         Command::header(0x80, 0xC6, 0, 0, 0).following(FollowUp::Fetch61xx).offering(4),
         {{0x6105}, {0x9000, {1, 2, 3, 4, 5}}},
         -1,
         {},
         {{0x00, 0xC0, 0x00, 0x00, 0x05}}},
        {"transport failure passes through", tokenapi::cmd::serialNumber(), {{-1}}, -1, {}, {}},
        // 00 00 is no status word a token sends; passed up unchanged it would read as success.
        {"status word 0000 is not success",
         tokenapi::cmd::clearDevice(false),
         {{0x0000, {1, 2}}},
         -1,
         {},
         {}},
        {"device lost passes through", tokenapi::cmd::serialNumber(), {{0x10001}}, 0x10001, {}, {}},
        {"reply longer than the command's buffer is refused",
         tokenapi::cmd::serialNumber(),
         {{0x9000, filled(257)}},
         -1,
         {},
         {}},
        {"reply length beyond any buffer is refused",
         tokenapi::cmd::serialNumber(),
         {{0x9000, {}, 1 << 20}},
         -1,
         {},
         {}},
    };
    for (const auto& c : cases) {
        s = {};
        s.replies.assign(c.replies.begin(), c.replies.end());
        tokenapi::Response r = tokenapi::transmit(&transport, c.command);
        EXPECT_EQ(r.result, c.result) << c.name;
        EXPECT_EQ(plain(r.value), c.data) << c.name;
        ASSERT_EQ(s.sent.size(), 1 + c.sent.size()) << c.name;
        for (size_t i = 0; i < c.sent.size(); ++i) EXPECT_EQ(s.sent[1 + i], c.sent[i]) << c.name;
    }
}

TEST_F(ReplayTest, UnknownTagOrNullHandleNeverReachesATransport) {
    TransportHandle foreign{'Z', 1, nullptr};
    EXPECT_EQ(tokenapi::transmit(&foreign, tokenapi::cmd::serialNumber()).result, -1);
    EXPECT_EQ(tokenapi::transmit(nullptr, tokenapi::cmd::serialNumber()).result, -1);
    EXPECT_TRUE(s.sent.empty());
}

class DeviceTest : public ReplayTest {
  protected:
    DeviceHandle* connect() {
        uint32_t count = 0;
        EXPECT_EQ(X_EnumDEV(0, &count), 0);
        EXPECT_EQ(count, 1u);
        DeviceHandle* device = nullptr;
        // Nothing scripted: the post-connect selection and the security query fail quietly.
        EXPECT_EQ(X_ConnectDEV(&device, 0), 0);
        s.sent.clear();
        return device;
    }
};

TEST_F(DeviceTest, NumbersOutsideTheLastEnumerationAreRefused) {
    uint32_t count = 0;
    ASSERT_EQ(X_EnumDEV(1, &count), 0);
    DeviceHandle* device = nullptr;
    EXPECT_EQ(X_ConnectDEV(&device, 1), XR_DEVICE_LOST);
    EXPECT_EQ(X_ConnectDEV(&device, -1), XR_DEVICE_LOST);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(s.connects, 0);
}

TEST_F(DeviceTest, ConnectThatFailsAfterTheTransportConnectedReleasesTheConnection) {
    uint32_t count = 0;
    ASSERT_EQ(X_EnumDEV(0, &count), 0);
    s.throwOnExchange = true;
    DeviceHandle* device = nullptr;
    EXPECT_EQ(X_ConnectDEV(&device, 0), -1);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(s.connects, 1);
    EXPECT_EQ(s.disconnects, 1) << "the transport connection was left open";
}

struct NumberingCase {
    const char* name;
    int32_t driver, pcsc, sd;                   // devices each library reports
    std::vector<std::pair<char, int32_t>> map;  // device number n -> library and its index
};

// Numbers run across the libraries in the order disk, driver, PC/SC, SD card (the disk
// library's enumeration fails here and counts none); the SD-card token is cleared with its own
// command.
TEST_F(DeviceTest, NumbersRunAcrossTheTransportsInTheirFixedOrder) {
    const std::vector<NumberingCase> cases = {
        {"one driver and one PC/SC device", 1, 1, 0, {{'D', 0}, {'C', 0}}},
        {"every library", 2, 1, 2, {{'D', 0}, {'D', 1}, {'C', 0}, {'M', 0}, {'M', 1}}},
        {"PC/SC and SD card only", 0, 2, 1, {{'C', 0}, {'C', 1}, {'M', 0}}},
    };
    for (const auto& c : cases) {
        s = {};
        s.driverDevices = c.driver;
        s.devices = c.pcsc;
        s.sdDevices = c.sd;
        uint32_t count = 0;
        ASSERT_EQ(X_EnumDEV(0, &count), 0) << c.name;
        EXPECT_EQ(count, c.map.size()) << c.name;
        for (size_t n = 0; n < c.map.size(); ++n) {
            DeviceHandle* device = nullptr;
            ASSERT_EQ(X_ConnectDEV(&device, static_cast<int32_t>(n)), 0) << c.name << " " << n;
            EXPECT_EQ(s.connected.back(), c.map[n]) << c.name << " " << n;
            char tag = 0;
            EXPECT_EQ(X_GetDEVTransport(device, &tag), 0);
            EXPECT_EQ(tag, c.map[n].first) << c.name << " " << n;

            s.sent.clear();
            s.replies.push_back({0x9000});
            EXPECT_EQ(X_ClearDevice(device), 0) << c.name << " " << n;
            const Bytes clear = {0xBF, static_cast<uint8_t>(tag == 'M' ? 0x74 : 0x64), 0x00, 0x01,
                                 0x00};
            ASSERT_EQ(s.sent.size(), 1u) << c.name << " " << n;
            EXPECT_EQ(s.sent[0], clear) << c.name << " " << n;
            EXPECT_EQ(X_DisConnectDEV(device), 0);
        }
        DeviceHandle* device = nullptr;
        EXPECT_EQ(X_ConnectDEV(&device, static_cast<int32_t>(c.map.size())), XR_DEVICE_LOST)
            << c.name;
        EXPECT_EQ(s.connects, static_cast<int>(c.map.size())) << c.name;
        EXPECT_EQ(s.disconnects, s.connects) << c.name;
    }
}

TEST_F(DeviceTest, LostDeviceGivesBadHandleWithoutReachingTheTransport) {
    DeviceHandle* device = connect();
    s.replies.push_back({0x10001});
    uint8_t buffer[32];
    uint32_t length = 0;
    EXPECT_EQ(X_GetDEVInfo(device, XINFO_SERIAL, buffer, &length), XR_DEVICE_LOST);
    const size_t sentBefore = s.sent.size();
    EXPECT_EQ(X_GetDEVInfo(device, XINFO_SERIAL, buffer, &length), XR_BAD_HANDLE);
    EXPECT_EQ(X_ClearDevice(device), XR_BAD_HANDLE);
    int32_t status = 0;
    uint32_t replyLength = sizeof buffer;
    const uint8_t apdu[] = {0x00, 0x84, 0x00, 0x00, 0x08};
    EXPECT_EQ(X_TransmitCmd(device, apdu, sizeof apdu, buffer, &replyLength, &status),
              XR_LOCK_TIMEOUT);
    EXPECT_EQ(s.sent.size(), sentBefore);
    EXPECT_EQ(X_DisConnectDEV(device), 0);
    EXPECT_EQ(s.disconnects, 1);
}

TEST_F(DeviceTest, TransmitCmdPassesStatusWordsAndRefusesOverlongReplies) {
    DeviceHandle* device = connect();
    const uint8_t apdu[] = {0x80, 0x99, 0x00, 0x00, 0x00};
    uint8_t reply[4];
    uint32_t replyLength = sizeof reply;
    int32_t status = 0;

    s.replies.push_back({0x6D00});
    EXPECT_EQ(X_TransmitCmd(device, apdu, sizeof apdu, reply, &replyLength, &status), 0);
    EXPECT_EQ(status, 0x6D00);
    EXPECT_EQ(replyLength, 0u);

    s.replies.push_back({0x9000, {1, 2, 3, 4, 5, 6}});
    replyLength = sizeof reply;
    EXPECT_EQ(X_TransmitCmd(device, apdu, sizeof apdu, reply, &replyLength, &status),
              XR_BAD_PARAMETER);
    EXPECT_EQ(replyLength, 6u);  // what the caller would have needed
    EXPECT_EQ(status, 0x9000);

    // The reply comes with every status word, whatever its first byte.
    s.replies.push_back({0x4321, {7, 8}});
    replyLength = sizeof reply;
    EXPECT_EQ(X_TransmitCmd(device, apdu, sizeof apdu, reply, &replyLength, &status), 0);
    EXPECT_EQ(status, 0x4321);
    ASSERT_EQ(replyLength, 2u);
    EXPECT_EQ(reply[0], 7);
    EXPECT_EQ(reply[1], 8);

    // A length no transport can reply with (the exchange's whole buffer, as it went in) is no
    // reply at all: nothing of that buffer reaches the caller.
    s.replies.push_back({0x0005, {}, 64 * 1024});
    replyLength = sizeof reply;
    EXPECT_EQ(X_TransmitCmd(device, apdu, sizeof apdu, reply, &replyLength, &status), 0);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(replyLength, 0u);

    // A lost device is reported through the status and does not drop the handle's lock.
    s.replies.push_back({0x10001});
    replyLength = sizeof reply;
    EXPECT_EQ(X_TransmitCmd(device, apdu, sizeof apdu, reply, &replyLength, &status), 0);
    EXPECT_EQ(status, 0x10001);
    s.replies.push_back({0x9000, {0x42}});
    replyLength = sizeof reply;
    EXPECT_EQ(X_TransmitCmd(device, apdu, sizeof apdu, reply, &replyLength, &status), 0);
    EXPECT_EQ(reply[0], 0x42);
    X_DisConnectDEV(device);
}

TEST_F(DeviceTest, StaleAndNullHandlesAreRefused) {
    DeviceHandle* device = connect();
    X_DisConnectDEV(device);
    uint8_t buffer[32];
    uint32_t length = 0;
    EXPECT_EQ(X_GetDEVInfo(device, XINFO_SERIAL, buffer, &length), XR_BAD_HANDLE);
    EXPECT_EQ(X_GetDEVInfo(nullptr, XINFO_TYPE2, buffer, &length), XR_BAD_HANDLE);
    EXPECT_EQ(X_DisConnectDEV(nullptr), 0);
    EXPECT_EQ(X_DisConnectDEV(device), 0);  // a second disconnect frees nothing twice
    EXPECT_TRUE(s.sent.empty());
}

TEST_F(DeviceTest, LabelOver64BytesIsRefusedWithoutAnExchange) {
    DeviceHandle* device = connect();
    const std::vector<uint8_t> label(65, 'x');
    EXPECT_EQ(X_SetDEVLabel(device, label.data(), 65), XR_BAD_PARAMETER);
    EXPECT_TRUE(s.sent.empty());
    EXPECT_EQ(X_SetDEVLabel(nullptr, label.data(), 65), XR_BAD_HANDLE);
    X_DisConnectDEV(device);
}

// The device status record (BF C8) of a token of generation 1 or 2 with security state `state`.
replay::Reply deviceStatus(int generation, uint8_t state = 0) {
    Bytes record(15, 0);
    record[3] = generation == 1 ? 1 : static_cast<uint8_t>(generation);
    record[4] = generation == 1 ? 2 : 0;
    record[8] = state;
    return {0x9000, record};
}

struct SecurityStateCase {
    const char* name;
    std::vector<replay::Reply> replies;
    int32_t result;
    uint8_t state;    // the byte written and the handle's flag, when result is 0
    size_t commands;  // how many commands reached the token
};

TEST_F(DeviceTest, SecurityStateByGeneration) {
    const Bytes record128 = filled(128, 0x5A);
    const std::vector<SecurityStateCase> cases = {
        {"generation 2, verified", {deviceStatus(2, 1)}, 0, 1, 1},
        {"generation 2, state 2 is not verified", {deviceStatus(2, 2)}, 0, 0, 1},
        {"generation 2, a state above 2 is the result", {deviceStatus(2, 3)}, 3, 0, 1},
        {"neither generation", {deviceStatus(0)}, -1, 0, 1},
        {"short status record", {{0x9000, filled(14, 0x02)}}, -1, 0, 1},
        {"generation 1, rewrite accepted",
         {deviceStatus(1), {0x9000}, {0x9000, record128}, {0x9000}},
         0,
         1,
         4},
        {"generation 1, rewrite refused",
         {deviceStatus(1), {0x9000}, {0x9000, record128}, {0x6982}},
         0,
         0,
         4},
        {"generation 1, rewrite fails otherwise",
         {deviceStatus(1), {0x9000}, {0x9000, record128}, {0x6A84}},
         0x6A84,
         0,
         4},
        {"generation 1, directory missing", {deviceStatus(1), {0x6A82}}, 0x6A82, 0, 2},
        // A record shorter than 128 bytes is not one the library knows: it is never written
        // back (a shorter rewrite is not the unchanged record), even by a token that would
        // accept the rewrite.
        {"generation 1, short record",
         {deviceStatus(1), {0x9000}, {0x9000, filled(10)}, {0x9000}},
         -1,
         0,
         3},
        {"generation 1, empty record", {deviceStatus(1), {0x9000}, {0x9000}, {0x9000}}, -1, 0, 3},
    };
    DeviceHandle* device = connect();
    for (const auto& c : cases) {
        s.sent.clear();
        s.replies.assign(c.replies.begin(), c.replies.end());
        device->setUserVerified(7);  // neither value: shows whether the flag was written
        uint8_t state = 0xEE;
        uint32_t length = 0;
        EXPECT_EQ(X_GetDEVInfo(device, XINFO_SECURITY_STATE, &state, &length), c.result) << c.name;
        EXPECT_EQ(s.sent.size(), c.commands) << c.name;
        if (c.result == 0) {
            EXPECT_EQ(state, c.state) << c.name;
            EXPECT_EQ(length, 1u) << c.name;
            EXPECT_EQ(device->verified().user, c.state) << c.name;
        } else {
            EXPECT_EQ(state, 0xEE) << c.name;
            EXPECT_EQ(device->verified().user, 7u) << c.name;
        }
        if (c.commands == 4) {
            const Bytes rewrite = concat({{0x00, 0xDC, 0x01, 0x04, 0x80}, record128});
            EXPECT_EQ(s.sent[3], rewrite) << c.name;
        }
    }
    X_DisConnectDEV(device);
}

TEST_F(DeviceTest, UnknownInformationTypeIsUnsupported) {
    DeviceHandle* device = connect();
    uint8_t buffer[8];
    uint32_t length = 77;
    EXPECT_EQ(X_GetDEVInfo(device, 5, buffer, &length), XR_UNSUPPORTED);
    EXPECT_EQ(length, 77u);
    EXPECT_TRUE(s.sent.empty());
    X_DisConnectDEV(device);
}

}  // namespace
