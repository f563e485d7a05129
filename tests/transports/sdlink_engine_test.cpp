// The SD-card transport's engine against scripted outside libraries: which path it takes, how
// it reads the two libraries' name lists, the identification at Connect, the driver path's
// polling and its bound, and the replies that carry no usable status word.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "sd_link.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

// What the scripted libraries answer, and what they were asked.
struct Script {
    // Driver path (CCWinDriver).
    int32_t getMethResult = 0;
    int32_t identifyResult = 0;
    int32_t listResult = 0;
    std::string driverList;  // raw list bytes
    int32_t openResult = 0;
    int32_t sendResult = 0;
    struct Receive {
        int32_t result;
        Bytes bytes = {};
        uint32_t reportedLength = UINT32_MAX;  // UINT32_MAX: the bytes' length
    };
    std::deque<Receive> receives;
    Receive whenEmpty{CC_E_NOT_READY};
    // Vendor path (Tarvex_W).
    int32_t listDevsResult = 0;
    std::string vendorList;
    uint32_t vendorClaimed = 0;
    uint32_t vendorReportedSize = UINT32_MAX;  // UINT32_MAX: the list's length
    int32_t connectResult = 0;
    struct Transmit {
        int32_t result;
        Bytes data = {};
        uint32_t status = 0x9000;
    };
    std::deque<Transmit> transmits;

    std::vector<std::string> calls;
    int open = 0;                      // devices opened and not closed
    std::vector<uint32_t> capacities;  // reply capacity of each vendor transmit
};

Script g;
int g_device = 0;  // its address is the device handle the libraries hand out

std::string hexOf(const uint8_t* bytes, uint32_t length) {
    std::string out;
    char two[3];
    for (uint32_t i = 0; i < length; ++i) {
        std::snprintf(two, sizeof two, "%02X", bytes[i]);
        out += two;
    }
    return out;
}

int32_t identify(const char* marker) {
    g.calls.push_back(std::string("identify ") + marker);
    return g.identifyResult;
}
int32_t openDevice(const char* name, uint32_t, void** device) {
    g.calls.push_back(std::string("open ") + name);
    if (g.openResult != 0) return g.openResult;
    *device = &g_device;
    ++g.open;
    return 0;
}
int32_t closeDevice(void*) {
    g.calls.push_back("close");
    --g.open;
    return 0;
}
int32_t receive(void*, uint8_t* reply, uint32_t* length) {
    Script::Receive r = g.receives.empty() ? g.whenEmpty : g.receives.front();
    if (!g.receives.empty()) g.receives.pop_front();
    if (r.result == 0) {
        std::copy_n(r.bytes.begin(), std::min<std::size_t>(r.bytes.size(), *length), reply);
        *length = r.reportedLength == UINT32_MAX ? static_cast<uint32_t>(r.bytes.size())
                                                 : r.reportedLength;
    }
    return r.result;
}
int32_t sendCommand(void*, const uint8_t* command, uint32_t length) {
    g.calls.push_back("send " + hexOf(command, length));
    return g.sendResult;
}
int32_t listDevices(char** list, uint32_t* length, uint32_t) {
    g.calls.push_back("list");
    if (g.listResult != 0) return g.listResult;
    *list = g.driverList.data();
    *length = static_cast<uint32_t>(g.driverList.size());
    return 0;
}
CCDriveMeth g_methods = {identify, openDevice, closeDevice, receive, sendCommand, listDevices};

int32_t getDriveMeth(CCDriveMeth** methods) {
    if (g.getMethResult != 0) return g.getMethResult;
    *methods = &g_methods;
    return 0;
}
int32_t listDevs(char* list, uint32_t* size, uint32_t* count) {
    g.calls.push_back("listdevs");
    if (g.listDevsResult != 0) return g.listDevsResult;
    std::copy_n(g.vendorList.begin(), std::min<std::size_t>(g.vendorList.size(), *size), list);
    *size = g.vendorReportedSize == UINT32_MAX ? static_cast<uint32_t>(g.vendorList.size())
                                               : g.vendorReportedSize;
    *count = g.vendorClaimed;
    return 0;
}
int32_t connectDev(const char* name, void** device) {
    g.calls.push_back(std::string("connect ") + name);
    if (g.connectResult != 0) return g.connectResult;
    *device = &g_device;
    ++g.open;
    return 0;
}
int32_t transmit(void*, const uint8_t* command, uint32_t length, uint32_t, uint8_t* reply,
                 uint32_t* replyLength, uint32_t* status) {
    g.calls.push_back("transmit " + hexOf(command, length));
    g.capacities.push_back(*replyLength);
    if (g.transmits.empty()) return SDSC_E_REMOVED;
    Script::Transmit t = g.transmits.front();
    g.transmits.pop_front();
    if (t.result != 0) return t.result;
    std::copy_n(t.data.begin(), std::min<std::size_t>(t.data.size(), *replyLength), reply);
    *replyLength = static_cast<uint32_t>(t.data.size());
    *status = t.status;
    return 0;
}
int32_t disconnectDev(void*) {
    g.calls.push_back("disconnect");
    --g.open;
    return 0;
}

// Test names from the cases' descriptions.
template <typename Case>
std::string caseName(const ::testing::TestParamInfo<Case>& param) {
    std::string name;
    for (const char* c = param.param.what; *c; ++c) name += std::isalnum(*c) ? *c : '_';
    return name;
}

const sdlink::Libraries kLibraries{getDriveMeth, listDevs, connectDev, transmit, disconnectDev};

std::string raw(std::initializer_list<std::string_view> names, std::size_t pad = 2) {
    std::string out;
    for (std::string_view n : names) {
        out.append(n);
        out.append(pad, '\0');
    }
    return out;
}

const Bytes kSerial = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0xAA};
const Bytes kGetChallenge = {0x00, 0x84, 0x00, 0x00, 0x08};

Bytes withStatus(Bytes data, uint16_t sw) {
    data.push_back(static_cast<uint8_t>(sw >> 8));
    data.push_back(static_cast<uint8_t>(sw));
    return data;
}

class SdLinkEngine : public ::testing::Test {
  protected:
    void SetUp() override { g = Script{}; }
    void TearDown() override {
        for (TransportHandle* h : handles) link.disconnect(h);
        EXPECT_EQ(g.open, 0) << "a device was left open";
    }

    int32_t enumerate() {
        int32_t count = -5;
        const int32_t r = link.enumerate(&count);
        EXPECT_EQ(r == 0 ? count : 0, count) << "a failed enumeration reports no devices";
        lastCount = count;
        return r;
    }
    // Connects without an identification buffer; the handle is released by TearDown.
    int32_t connect(int32_t index, char* id = nullptr) {
        TransportHandle* h = nullptr;
        const int32_t r = link.connect(&h, id, index);
        if (h != nullptr) handles.push_back(h);
        return r;
    }
    struct Exchange {
        int32_t result;
        int32_t length;
        Bytes reply;
    };
    Exchange doCommand(const Bytes& command) {
        Bytes reply(64, 0xEE);
        int32_t length = -7;  // stays when nothing was received
        const int32_t r =
            link.doCommand(handles.at(0), command.data(), static_cast<int32_t>(command.size()),
                           reply.data(), &length);
        reply.resize(length >= 0 ? static_cast<std::size_t>(length) : 0);
        return {r, length, reply};
    }

    sdlink::SdLink link{kLibraries, sdlink::Options{200ms, 1ms}};
    std::vector<TransportHandle*> handles;
    int32_t lastCount = -1;
};

// ---- Which path, and the name lists ----

struct ListCase {
    const char* what;
    Script script;
    int32_t result;
    int32_t count;
    int32_t connectIndex;  // -1: no connect
    const char* opens;     // the call that opens the device
};

Script driverCards(std::string list) {
    Script s;
    s.driverList = std::move(list);
    return s;
}
Script vendorCards(std::string list, uint32_t claimed, Script s = {}) {
    s.vendorList = std::move(list);
    s.vendorClaimed = claimed;
    return s;
}
Script driverFails(int32_t Script::*which) {
    Script s = vendorCards(std::string("G:\0", 3), 1);
    s.driverList = raw({"E:"});
    s.*which = CC_E_NO_CARD;
    return s;
}

class SdLinkLists : public SdLinkEngine, public ::testing::WithParamInterface<ListCase> {};

TEST_P(SdLinkLists, CountsAndOpensTheRightName) {
    const ListCase& c = GetParam();
    g = c.script;
    EXPECT_EQ(enumerate(), c.result);
    EXPECT_EQ(lastCount, c.count);
    if (c.connectIndex < 0) return;
    g.calls.clear();
    ASSERT_EQ(connect(c.connectIndex), 0);
    ASSERT_FALSE(g.calls.empty());
    EXPECT_EQ(g.calls.front(), c.opens);
}

const std::string kDriverTwo = raw({"E:", "F:"});

INSTANTIATE_TEST_SUITE_P(
    Paths, SdLinkLists,
    ::testing::Values(
        ListCase{"driver list of two names, index 1", driverCards(kDriverTwo), 0, 2, 1, "open F:"},
        ListCase{"no driver card, one vendor card",
                 vendorCards(std::string("G:\0", 3), 1, driverCards("")), 0, 1, 0, "connect G:"},
        ListCase{"marker not found: vendor path", driverFails(&Script::identifyResult), 0, 1, 0,
                 "connect G:"},
        ListCase{"driver table unavailable: vendor path", driverFails(&Script::getMethResult), 0, 1,
                 0, "connect G:"},
        ListCase{"driver list fails: vendor path", driverFails(&Script::listResult), 0, 1, 0,
                 "connect G:"},
        ListCase{"empty names in the driver list are skipped",
                 driverCards(raw({"", "E:", "", "F:"})), 0, 2, 1, "open F:"},
        ListCase{"an unterminated last name ends the driver list", driverCards(raw({"E:"}) + "F:"),
                 0, 1, 0, "open E:"},
        ListCase{"a name without its extra byte still counts",
                 driverCards(raw({"E:"}) + std::string("F:\0", 3)), 0, 2, 1, "open F:"},
        ListCase{"vendor claims more names than it lists",
                 vendorCards(std::string("G:\0H:\0", 6), 5), 0, 2, 1, "connect H:"},
        ListCase{"vendor list failing is the result",
                 [] {
                     Script s = vendorCards("", 0);
                     s.listDevsResult = SDSC_E_NO_DEVICE;
                     return s;
                 }(),
                 SDSC_E_NO_DEVICE, 0, -1, ""},
        ListCase{"vendor says it wrote past the list",
                 [] {
                     Script s = vendorCards(std::string("G:\0", 3), 1);
                     s.vendorReportedSize = 300;
                     return s;
                 }(),
                 -1, 0, -1, ""},
        ListCase{"nothing anywhere", vendorCards("", 0), 0, 0, -1, ""}),
    caseName<ListCase>);

TEST_F(SdLinkEngine, TheDriverPathIsAskedForTheMarkerFileFirst) {
    g = driverCards(kDriverTwo);
    ASSERT_EQ(enumerate(), 0);
    ASSERT_GE(g.calls.size(), 2u);
    EXPECT_EQ(g.calls[0], "identify TARVEXSD.RO");
    EXPECT_EQ(g.calls[1], "list");
}

TEST_F(SdLinkEngine, DriverListLongerThanTheNameListStopsAtTheLastNameThatFits) {
    std::string list;
    const std::string name(60, 'N');
    for (char c = 'a'; c < 'g'; ++c) list += raw({name + c});  // 6 x 61 bytes > 256
    g = driverCards(list);
    ASSERT_EQ(enumerate(), 0);
    EXPECT_EQ(lastCount, 4);  // 4 x 61 = 244 bytes fit
    g.calls.clear();
    ASSERT_EQ(connect(3), 0);
    EXPECT_EQ(g.calls.front(), "open " + name + "d");
}

TEST_F(SdLinkEngine, ConnectRefusesIndicesOutsideTheList) {
    g = driverCards(kDriverTwo);
    ASSERT_EQ(enumerate(), 0);
    g.calls.clear();
    for (int32_t index : {-1, 2, INT32_MAX}) {
        EXPECT_EQ(connect(index), -1) << index;
    }
    EXPECT_TRUE(g.calls.empty()) << "nothing opened";
}

TEST_F(SdLinkEngine, ConnectBeforeAnyEnumerationIsRefused) {
    EXPECT_EQ(connect(0), -1);
    EXPECT_TRUE(g.calls.empty());
}

TEST_F(SdLinkEngine, OpenFailureIsTheResult) {
    g = driverCards(kDriverTwo);
    g.openResult = CC_E_NO_CARD;
    ASSERT_EQ(enumerate(), 0);
    EXPECT_EQ(connect(0), CC_E_NO_CARD);
    g = vendorCards(std::string("G:\0", 3), 1);
    g.connectResult = SDSC_E_NO_DEVICE;
    ASSERT_EQ(enumerate(), 0);
    EXPECT_EQ(connect(0), SDSC_E_NO_DEVICE);
}

// ---- Identification at Connect, on both paths ----

struct IdCase {
    const char* what;
    bool driverPath;
    Bytes reply;      // data + status (driver); data with `status` (vendor)
    uint16_t status;  // vendor path
    int32_t failure;  // a library failure instead of a reply (0: none)
    int32_t result;
    std::string id;
};

class SdLinkIdentification : public SdLinkEngine, public ::testing::WithParamInterface<IdCase> {};

TEST_P(SdLinkIdentification, SerialNumberBecomesTheIdentificationOrConnectFails) {
    const IdCase& c = GetParam();
    if (c.driverPath) {
        g = driverCards(raw({"E:"}));
        if (c.failure != 0) {
            g.whenEmpty = {c.failure};
        } else {
            g.receives.push_back({0, c.reply});
        }
    } else {
        g = vendorCards(std::string("G:\0", 3), 1);
        g.transmits.push_back({c.failure, c.reply, c.status});
    }
    ASSERT_EQ(enumerate(), 0);
    char id[260];
    std::memset(id, 0, sizeof id);
    TransportHandle* h = reinterpret_cast<TransportHandle*>(0x1);  // must stay on failure
    const int32_t r = link.connect(&h, id, 0);
    EXPECT_EQ(r, c.result);
    if (r == 0) {
        handles.push_back(h);
        EXPECT_EQ(std::string(id), c.id);
        EXPECT_EQ(id[c.id.size()], '\0') << "no terminator of its own";
    } else {
        EXPECT_EQ(h, reinterpret_cast<TransportHandle*>(0x1));
        EXPECT_EQ(g.open, 0) << "nothing left open";
        EXPECT_EQ(std::string(id), "");
    }
    const std::string sent = c.driverPath ? "send BFC400000A" : "transmit BFC400000A";
    EXPECT_NE(std::find(g.calls.begin(), g.calls.end(), sent), g.calls.end());
}

INSTANTIATE_TEST_SUITE_P(
    BothPaths, SdLinkIdentification,
    ::testing::Values(
        IdCase{"driver_serial", true, withStatus(kSerial, 0x9000), 0, 0, 0, "010203040506070809aa"},
        IdCase{"vendor_serial", false, kSerial, 0x9000, 0, 0, "010203040506070809aa"},
        IdCase{"driver_status_word", true, withStatus({}, 0x6A82), 0, 0, 0x6A82, ""},
        IdCase{"vendor_status_word", false, {}, 0x6985, 0, 0x6985, ""},
        IdCase{"driver_card_gone", true, {}, 0, CC_E_REMOVED, 0x10001, ""},
        IdCase{"vendor_library_error", false, {}, 0, SDSC_E_PROTOCOL, SDSC_E_PROTOCOL, ""},
        IdCase{"driver_serial_too_long", true, withStatus(Bytes(11, 0x11), 0x9000), 0, 0, -1, ""},
        IdCase{"vendor_serial_too_long", false, Bytes(11, 0x11), 0x9000, 0, -1, ""}),
    caseName<IdCase>);

TEST_F(SdLinkEngine, IdentificationExpectsAtMostTwentyBytesOnTheVendorPath) {
    g = vendorCards(std::string("G:\0", 3), 1);
    g.transmits.push_back({0, kSerial, 0x9000});
    ASSERT_EQ(enumerate(), 0);
    char id[260] = {};
    ASSERT_EQ(connect(0, id), 0);
    ASSERT_EQ(g.capacities.size(), 1u);
    EXPECT_EQ(g.capacities[0], 20u);
}

TEST_F(SdLinkEngine, ConnectWithoutIdentificationBufferSendsNothing) {
    g = driverCards(raw({"E:"}));
    ASSERT_EQ(enumerate(), 0);
    g.calls.clear();
    ASSERT_EQ(connect(0), 0);
    EXPECT_EQ(g.calls, std::vector<std::string>{"open E:"});
    EXPECT_EQ(handles[0]->tag, 'M');
    EXPECT_EQ(handles[0]->connection, reinterpret_cast<uintptr_t>(&g_device));
    EXPECT_EQ(handles[0]->lock, &g_device);
}

// ---- Exchanges ----

struct ReplyCase {
    const char* what;
    bool driverPath;
    std::vector<Script::Receive> receives;  // driver path
    Script::Transmit transmit;              // vendor path
    int32_t sendResult;
    int32_t result;
    int32_t length;  // -7: left as it was
    Bytes data;
};

class SdLinkReplies : public SdLinkEngine, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(SdLinkReplies, ResultLengthAndData) {
    const ReplyCase& c = GetParam();
    if (c.driverPath) {
        g = driverCards(raw({"E:"}));
    } else {
        g = vendorCards(std::string("G:\0", 3), 1);
    }
    ASSERT_EQ(enumerate(), 0);
    ASSERT_EQ(connect(0), 0);
    g.receives.assign(c.receives.begin(), c.receives.end());
    g.transmits = {c.transmit};
    g.sendResult = c.sendResult;
    const Exchange e = doCommand(kGetChallenge);
    EXPECT_EQ(e.result, c.result);
    EXPECT_EQ(e.length, c.length);
    EXPECT_EQ(e.reply, c.data);
}

const Bytes kEight = {1, 2, 3, 4, 5, 6, 7, 8};
using R = Script::Receive;

INSTANTIATE_TEST_SUITE_P(
    BothPaths, SdLinkReplies,
    ::testing::Values(
        ReplyCase{"driver_data_and_status",
                  true,
                  {R{0, withStatus(kEight, 0x9000)}},
                  {},
                  0,
                  0x9000,
                  8,
                  kEight},
        ReplyCase{"vendor_data_and_status", false, {}, {0, kEight, 0x9000}, 0, 0x9000, 8, kEight},
        ReplyCase{
            "driver_status_word_only", true, {R{0, withStatus({}, 0x9000)}}, {}, 0, 0x9000, 0, {}},
        ReplyCase{"vendor_status_word_only", false, {}, {0, {}, 0x9000}, 0, 0x9000, 0, {}},
        ReplyCase{"driver_other_status_passes_up",
                  true,
                  {R{0, withStatus({}, 0x6A82)}},
                  {},
                  0,
                  0x6A82,
                  0,
                  {}},
        ReplyCase{"vendor_other_status_passes_up", false, {}, {0, {}, 0x6A82}, 0, 0x6A82, 0, {}},
        ReplyCase{"driver_polls_until_ready",
                  true,
                  {R{CC_E_NOT_READY}, R{CC_E_BUSY}, R{CC_E_BUSY}, R{CC_E_NOT_READY},
                   R{0, withStatus(kEight, 0x9000)}},
                  {},
                  0,
                  0x9000,
                  8,
                  kEight},
        ReplyCase{"driver_one_byte_reply", true, {R{0, {0x90}}}, {}, 0, 0x10001, -7, {}},
        ReplyCase{"driver_empty_reply", true, {R{0, {}}}, {}, 0, 0x10001, -7, {}},
        ReplyCase{"driver_reply_longer_than_its_buffer",
                  true,
                  {R{0, withStatus({}, 0x9000), 4097}},
                  {},
                  0,
                  -1,
                  -7,
                  {}},
        ReplyCase{
            "driver_card_removed_while_receiving", true, {R{CC_E_REMOVED}}, {}, 0, 0x10001, -7, {}},
        ReplyCase{"driver_other_receive_failure", true, {R{CC_E_PROTOCOL}}, {}, 0, -1, -7, {}},
        ReplyCase{"driver_send_fails", true, {}, {}, CC_E_PARAMETER, -1, -7, {}},
        ReplyCase{"driver_card_removed_while_sending", true, {}, {}, CC_E_REMOVED, 0x10001, -7, {}},
        ReplyCase{"vendor_card_removed", false, {}, {SDSC_E_REMOVED}, 0, 0x10001, -7, {}},
        ReplyCase{"vendor_card_stopped_answering", false, {}, {SDSC_E_TIMEOUT}, 0, 0x10001, -7, {}},
        ReplyCase{"vendor_other_error_unchanged",
                  false,
                  {},
                  {SDSC_E_PROTOCOL},
                  0,
                  SDSC_E_PROTOCOL,
                  -7,
                  {}},
        ReplyCase{
            "vendor_status_word_wider_than_two_bytes", false, {}, {0, {}, 0x19000}, 0, -1, -7, {}}),
    caseName<ReplyCase>);

TEST_F(SdLinkEngine, VendorReplyUpToItsReceiveBufferComesThrough) {
    g = vendorCards(std::string("G:\0", 3), 1);
    ASSERT_EQ(enumerate(), 0);
    ASSERT_EQ(connect(0), 0);
    const Bytes big(4998, 0x5A);
    g.transmits = {{0, big, 0x9000}};
    Bytes reply(8192, 0xEE);
    int32_t length = 0;
    EXPECT_EQ(link.doCommand(handles[0], kGetChallenge.data(), 5, reply.data(), &length), 0x9000);
    EXPECT_EQ(length, 4998);
    EXPECT_EQ(reply[4997], 0x5A);
    EXPECT_EQ(reply[4998], 0xEE) << "nothing written past the data";
    EXPECT_EQ(g.capacities.back(), 5000u);
}

TEST_F(SdLinkEngine, PollingStopsAtItsLimitAndCallsTheCardGone) {
    g = driverCards(raw({"E:"}));
    ASSERT_EQ(enumerate(), 0);
    ASSERT_EQ(connect(0), 0);
    for (int32_t forever : {CC_E_NOT_READY, CC_E_BUSY}) {
        g.whenEmpty = {forever};
        const auto start = std::chrono::steady_clock::now();
        const Exchange e = doCommand(kGetChallenge);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(e.result, 0x10001) << forever;
        EXPECT_GE(took, 200ms);
        EXPECT_LT(took, 2s);
    }
}

TEST_F(SdLinkEngine, BadArgumentsAndForeignHandlesExchangeNothing) {
    g = driverCards(raw({"E:"}));
    ASSERT_EQ(enumerate(), 0);
    ASSERT_EQ(connect(0), 0);
    g.calls.clear();
    uint8_t reply[16];
    int32_t length = -7;
    TransportHandle foreign{'C', 1, nullptr};
    TransportHandle empty{'M', 0, nullptr};
    EXPECT_EQ(link.doCommand(nullptr, kGetChallenge.data(), 5, reply, &length), -1);
    EXPECT_EQ(link.doCommand(&foreign, kGetChallenge.data(), 5, reply, &length), -1);
    EXPECT_EQ(link.doCommand(&empty, kGetChallenge.data(), 5, reply, &length), -1);
    EXPECT_EQ(link.doCommand(handles[0], kGetChallenge.data(), 0, reply, &length), -1);
    EXPECT_EQ(link.doCommand(handles[0], nullptr, 5, reply, &length), -1);
    EXPECT_EQ(link.doCommand(handles[0], kGetChallenge.data(), 5, nullptr, &length), -1);
    EXPECT_EQ(link.doCommand(handles[0], kGetChallenge.data(), 5, reply, nullptr), -1);
    EXPECT_EQ(length, -7);
    EXPECT_TRUE(g.calls.empty());
    EXPECT_EQ(link.enumerate(nullptr), -1);
    EXPECT_EQ(link.connect(nullptr, nullptr, 0), -1);
}

TEST_F(SdLinkEngine, DisconnectClosesOnTheHandlesOwnPathOnly) {
    EXPECT_EQ(link.disconnect(nullptr), 0);
    TransportHandle foreign{'D', 1, nullptr};
    TransportHandle empty{'M', 0, nullptr};
    EXPECT_EQ(link.disconnect(&foreign), -1);
    EXPECT_EQ(link.disconnect(&empty), -1);
    EXPECT_TRUE(g.calls.empty());

    g = driverCards(raw({"E:"}));
    ASSERT_EQ(enumerate(), 0);
    ASSERT_EQ(connect(0), 0);
    TransportHandle* h = handles[0];
    handles.clear();
    g.calls.clear();
    EXPECT_EQ(link.disconnect(h), 0);
    EXPECT_EQ(g.calls, std::vector<std::string>{"close"});
}

TEST_F(SdLinkEngine, AHandleKeepsItsPathWhenALaterEnumerationFindsTheOther) {
    g = driverCards(raw({"E:"}));
    ASSERT_EQ(enumerate(), 0);
    ASSERT_EQ(connect(0), 0);
    // The driver card goes, a vendor card comes: new connections take the vendor path ...
    g.driverList.clear();
    g.vendorList = std::string("G:\0", 3);
    g.vendorClaimed = 1;
    ASSERT_EQ(enumerate(), 0);
    ASSERT_EQ(lastCount, 1);
    g.calls.clear();
    ASSERT_EQ(connect(0), 0);
    EXPECT_EQ(g.calls, std::vector<std::string>{"connect G:"});
    // ... while the first handle still talks and closes along the driver path.
    g.calls.clear();
    g.receives.push_back({0, withStatus({}, 0x9000)});
    EXPECT_EQ(doCommand(kGetChallenge).result, 0x9000);
    EXPECT_EQ(g.calls, std::vector<std::string>{"send 0084000008"});
    g.calls.clear();
    link.disconnect(handles[0]);
    handles.erase(handles.begin());
    EXPECT_EQ(g.calls, std::vector<std::string>{"close"});
    // And the driver card coming back makes new connections use the driver path again.
    g.driverList = raw({"E:"});
    ASSERT_EQ(enumerate(), 0);
    g.calls.clear();
    ASSERT_EQ(connect(0), 0);
    EXPECT_EQ(g.calls, std::vector<std::string>{"open E:"});
}

TEST_F(SdLinkEngine, AFailedVendorEnumerationLeavesNothingToConnect) {
    g = driverCards(raw({"E:"}));
    ASSERT_EQ(enumerate(), 0);
    g.driverList.clear();
    g.listDevsResult = SDSC_E_NO_DEVICE;
    EXPECT_EQ(enumerate(), SDSC_E_NO_DEVICE);
    g.calls.clear();
    EXPECT_EQ(connect(0), -1);
    EXPECT_TRUE(g.calls.empty()) << "the old driver-path name is not opened";
}

}  // namespace
