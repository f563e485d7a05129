// The SD-card transport on the wire: sdlink, the stand-ins of Tarvex_W and CCWinDriver, and
// virtual tokens behind their loopback front-ends. Two cards are on the driver path and one on
// the vendor path, which sdlink only uses when the driver path finds no card.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "environment.h"
#include "tarvex_w.h"
#include "transports/transport.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using testbed::Transport;

constexpr char kDriverSerial0[] = "d0d0d0d0d0d0d0d0d0d0";
constexpr char kDriverSerial1[] = "d1d1d1d1d1d1d1d1d1d1";
constexpr char kVendorSerial[] = "e5e5e5e5e5e5e5e5e5e5";
enum : std::size_t { kDriver0, kDriver1, kVendor };

testbed::BedLayout layout() {
    testbed::BedLayout l;
    l.tokens = {{.serial = kDriverSerial0, .transports = {Transport::SdDriver}},
                {.serial = kDriverSerial1, .transports = {Transport::SdDriver}},
                {.serial = kVendorSerial, .transports = {Transport::SdVendor}}};
    return l;
}

const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};  // 9000, no data
const Bytes kGetChallenge = {0x00, 0x84, 0x00, 0x00, 0x08};          // 8 bytes + 9000

// Descriptors open in this process: a connection left behind shows here.
int openDescriptors() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d) != nullptr) ++n;
        ::closedir(d);
    }
    return n;
}

struct Exchange {
    std::int32_t result;
    std::int32_t length;
    Bytes reply;
};

class SdLinkWire : public ::testing::TestWithParam<Transport> {
  protected:
    void SetUp() override {
        bed = &testbed::sharedBed();
        for (std::size_t i = 0; i < bed->tokenCount(); ++i) {
            bed->token(i).control("clear");
            bed->token(i).clearTrace();
        }
        // The vendor path is only taken when the driver path finds no card.
        ::setenv(
            testbed::kSdDriverVariable,
            GetParam() == Transport::SdDriver ? bed->cardList(Transport::SdDriver).c_str() : "", 1);
    }
    void TearDown() override {
        for (TransportHandle* h : handles) MDKEY_Disconnect(h);
        ::setenv(testbed::kSdDriverVariable, bed->cardList(Transport::SdDriver).c_str(), 1);
    }

    std::int32_t enumerate() {
        std::int32_t count = -1;
        EXPECT_EQ(MDKEY_EnumDEV(&count), 0);
        return count;
    }
    TransportHandle* connect(std::int32_t index, std::string* id = nullptr) {
        char buffer[TRANSPORT_ID_BUFFER_SIZE] = {};
        TransportHandle* h = nullptr;
        EXPECT_EQ(MDKEY_Connect(&h, buffer, index), 0);
        if (h != nullptr) handles.push_back(h);
        if (id != nullptr) *id = buffer;
        return h;
    }
    Exchange exchange(TransportHandle* h, const Bytes& command) {
        Bytes reply(8192, 0xEE);
        std::int32_t length = -7;
        const std::int32_t r = MDKEY_DoCommand(
            h, command.data(), static_cast<std::int32_t>(command.size()), reply.data(), &length);
        reply.resize(length >= 0 ? static_cast<std::size_t>(length) : 0);
        return {r, length, reply};
    }
    // The token that the current path's device 0 is.
    testbed::VirtualToken& first() {
        return bed->token(GetParam() == Transport::SdDriver ? kDriver0 : kVendor);
    }

    testbed::Bed* bed = nullptr;
    std::vector<TransportHandle*> handles;
};

TEST_P(SdLinkWire, CountsTheCardsOfTheOnePathInUseAndIdentifiesEach) {
    if (GetParam() == Transport::SdDriver) {
        ASSERT_EQ(enumerate(), 2) << "the vendor card is not offered while driver cards are";
        std::string id;
        connect(1, &id);
        EXPECT_EQ(id, kDriverSerial1);
        connect(0, &id);
        EXPECT_EQ(id, kDriverSerial0);
    } else {
        ASSERT_EQ(enumerate(), 1);
        std::string id;
        connect(0, &id);
        EXPECT_EQ(id, kVendorSerial);
    }
    const std::vector<std::string> trace = first().traceLines();
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(trace[0], "> BFC400000A");
}

TEST_P(SdLinkWire, ConnectRefusesAnIndexEqualToTheCount) {
    const std::int32_t count = enumerate();
    TransportHandle* h = nullptr;
    EXPECT_EQ(MDKEY_Connect(&h, nullptr, count), -1);
    EXPECT_EQ(h, nullptr);
}

TEST_P(SdLinkWire, RepliesWithAndWithoutDataAndStatusWordsPassUp) {
    enumerate();
    TransportHandle* h = connect(0);
    ASSERT_NE(h, nullptr);
    first().clearTrace();

    Exchange e = exchange(h, kSelectMf);
    EXPECT_EQ(e.result, 0x9000);
    EXPECT_EQ(e.length, 0) << "a status word alone gives no data";

    e = exchange(h, kGetChallenge);
    EXPECT_EQ(e.result, 0x9000);
    EXPECT_EQ(e.length, 8);

    ASSERT_EQ(first().control("sw 00A4 6A82 1"), "ok");
    e = exchange(h, kSelectMf);
    EXPECT_EQ(e.result, 0x6A82) << "a status word is not a transport failure";
    EXPECT_EQ(e.length, 0);

    const std::vector<std::string> trace = first().traceLines();
    ASSERT_EQ(trace.size(), 6u);
    EXPECT_EQ(trace[0], "> 00A40000023F00");
    EXPECT_EQ(trace[1], "< 9000");
    EXPECT_EQ(trace[2], "> 0084000008");
    EXPECT_EQ(trace[3].size(), 2u + 16 + 4);
    EXPECT_EQ(trace[4], "> 00A40000023F00");
    EXPECT_EQ(trace[5], "< 6A82");
}

TEST_P(SdLinkWire, IdentificationRefusedByTheTokenLeavesNothingOpen) {
    enumerate();
    const int before = openDescriptors();
    ASSERT_EQ(first().control("sw BFC4 6A82 1"), "ok");
    char id[TRANSPORT_ID_BUFFER_SIZE] = {};
    TransportHandle* h = nullptr;
    EXPECT_EQ(MDKEY_Connect(&h, id, 0), 0x6A82);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(id[0], '\0');
    EXPECT_EQ(openDescriptors(), before) << "the card's connection was closed again";
}

TEST_P(SdLinkWire, TheLargestReplyOfEachPathPassesAndALargerOneIsRefused) {
    enumerate();
    TransportHandle* h = connect(0);
    ASSERT_NE(h, nullptr);
    // The driver path receives data and status word into 4,096 bytes; the vendor path's 5,000
    // bytes hold the data alone (its status word comes separately).
    const std::size_t largest = GetParam() == Transport::SdDriver ? 4094 : 5000;
    const std::string data(2 * largest, 'A');
    ASSERT_EQ(first().control("reply 0084 " + data + "9000 1"), "ok");
    Exchange e = exchange(h, kGetChallenge);
    EXPECT_EQ(e.result, 0x9000);
    EXPECT_EQ(e.length, static_cast<std::int32_t>(largest));
    EXPECT_EQ(e.reply.back(), 0xAA);

    ASSERT_EQ(first().control("reply 0084 AA" + data + "9000 1"), "ok");
    e = exchange(h, kGetChallenge);
    // The driver path takes any failure of the library as -1; the vendor path passes the
    // library's code up.
    EXPECT_EQ(e.result, GetParam() == Transport::SdDriver ? -1 : SDSC_E_BUFFER);
    EXPECT_EQ(e.length, -7) << "nothing copied";

    // The card is still in step: the next command gets its own answer.
    e = exchange(h, kSelectMf);
    EXPECT_EQ(e.result, 0x9000);
}

TEST_P(SdLinkWire, ACardPulledMidExchangeIsLostAndStaysLost) {
    enumerate();
    TransportHandle* h = connect(0);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(first().control("drop-after 0084"), "ok");
    EXPECT_EQ(exchange(h, kGetChallenge).result, 0x10001);
    EXPECT_EQ(exchange(h, kSelectMf).result, 0x10001) << "the dead link is not used again";
    // Gone from the list until it is put back.
    std::int32_t count = -1;
    EXPECT_EQ(MDKEY_EnumDEV(&count), 0);
    EXPECT_EQ(count, GetParam() == Transport::SdDriver ? 1 : 0);
    ASSERT_EQ(first().control("reinsert"), "ok");
    enumerate();
    TransportHandle* again = connect(0);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(exchange(again, kSelectMf).result, 0x9000);
}

INSTANTIATE_TEST_SUITE_P(Paths, SdLinkWire,
                         ::testing::Values(Transport::SdDriver, Transport::SdVendor),
                         [](const auto& p) {
                             return p.param == Transport::SdDriver ? "DriverPath" : "VendorPath";
                         });

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    testbed::useSharedBed(layout());
    return RUN_ALL_TESTS();
}
