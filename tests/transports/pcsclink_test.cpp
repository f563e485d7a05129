#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bed_layout.h"
#include "environment.h"
#include "platform/named_mutex.h"
#include "transports/transport.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

const Bytes kGetChallenge = {0x00, 0x84, 0x00, 0x00, 0x08};  // 8 random bytes + 9000
constexpr std::size_t kLargestReplyData = 20240 - 2;

std::string hex(const Bytes& bytes, bool upper = false) {
    std::string text;
    char two[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(two, sizeof two, upper ? "%02X" : "%02x", b);
        text += two;
    }
    return text;
}

// A connection that is let go on every path out of a test.
struct Connection {
    TransportHandle* handle = nullptr;
    std::string id;
    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() {
        if (handle != nullptr) CKEY_Disconnect(handle);
    }
};

struct Exchange {
    std::int32_t result;
    Bytes reply;
};

Exchange exchange(TransportHandle* handle, const Bytes& command) {
    Bytes reply(kLargestReplyData, 0xEE);
    std::int32_t length = -7;  // must come back as the data length, whatever it was
    const std::int32_t result = CKEY_DoCommand(
        handle, command.data(), static_cast<std::int32_t>(command.size()), reply.data(), &length);
    reply.resize(length >= 0 ? static_cast<std::size_t>(length) : 0);
    return {result, reply};
}

// True when another thread can take the token's device lock: nobody holds it.
bool deviceLockFree(const std::string& id) {
    bool free = false;
    std::thread([&] {
        auto lock = platform::NamedMutex::openOrCreate(platform::deviceLockName(id));
        if (!lock) return;
        const auto result = lock->wait(200ms);
        free = platform::owns(result);
        if (free) lock->release();
    }).join();
    return free;
}

class Pcsclink : public ::testing::Test {
  protected:
    void SetUp() override { bed_ = &testbed::sharedBed(); }

    testbed::Bed& bed() { return *bed_; }
    testbed::VirtualToken& token(TokenIndex t) { return bed_->token(t); }

    std::int32_t enumerate() {
        std::int32_t count = -7;
        EXPECT_EQ(CKEY_EnumDEV(&count), 0);
        return count;
    }

    // What Connect must report for the card in the token's reader, worked out from the ATR
    // that pcscd shows.
    std::string expectedId(TokenIndex t) {
        const auto atr = bed_->atr(token(t).readerName());
        if (!atr || atr->size() <= 4) return {};
        return hex(Bytes(atr->begin() + 4, atr->end()));
    }

    void connect(Connection& c, std::int32_t index) {
        char id[TRANSPORT_ID_BUFFER_SIZE] = {};
        ASSERT_EQ(CKEY_Connect(&c.handle, id, index), 0);
        ASSERT_NE(c.handle, nullptr);
        c.id = id;
    }

  private:
    testbed::Bed* bed_ = nullptr;
};

TEST_F(Pcsclink, CountsTokenReadersWithACardAmongTheFirstTenNamesInListOrder) {
    // Not counted: the card in "Other Reader", the empty token readers, and token D, whose
    // reader is the eleventh name of the list.
    ASSERT_EQ(enumerate(), 2);
    Connection first, second;
    connect(first, 0);
    connect(second, 1);
    EXPECT_EQ(first.id, expectedId(kTokenA));
    EXPECT_EQ(second.id, expectedId(kTokenC));
}

TEST_F(Pcsclink, IdentificationIsTheLowerCaseHexOfTheAtrFromItsFifthByteWithoutTerminator) {
    ASSERT_EQ(enumerate(), 2);
    const auto atr = bed().atr(token(kTokenA).readerName());
    ASSERT_TRUE(atr.has_value());
    ASSERT_GT(atr->size(), 4u);
    const std::string expected = hex(Bytes(atr->begin() + 4, atr->end()));

    char id[TRANSPORT_ID_BUFFER_SIZE];
    std::memset(id, '#', sizeof id);
    Connection c;
    ASSERT_EQ(CKEY_Connect(&c.handle, id, 0), 0);
    EXPECT_EQ(std::string(id, expected.size()), expected);
    EXPECT_EQ(id[expected.size()], '#') << "only the characters are written";
    // Tokens differ in their historical bytes, so their ids, and so their locks, differ.
    EXPECT_NE(expected, expectedId(kTokenC));

    // The identification buffer is optional.
    Connection without;
    EXPECT_EQ(CKEY_Connect(&without.handle, nullptr, 0), 0);
}

TEST_F(Pcsclink, CardTakenOutIsNoLongerCountedAndCountsAgainOnceBack) {
    testbed::VirtualToken& c = token(kTokenC);
    c.stop();
    ASSERT_TRUE(bed().waitForCard(c.readerName(), false));
    EXPECT_EQ(enumerate(), 1);
    Connection remaining;
    connect(remaining, 0);
    EXPECT_EQ(remaining.id, expectedId(kTokenA));

    c.start();
    ASSERT_TRUE(bed().waitForCard(c.readerName(), true));
    EXPECT_EQ(enumerate(), 2);
}

TEST_F(Pcsclink, ConnectRefusesIndexesOutsideTheLastEnumeration) {
    const std::int32_t count = enumerate();
    ASSERT_EQ(count, 2);
    for (const std::int32_t index : {count, count + 1, -1, INT_MIN, INT_MAX}) {
        TransportHandle* handle = nullptr;
        EXPECT_EQ(CKEY_Connect(&handle, nullptr, index), -1) << "index " << index;
        EXPECT_EQ(handle, nullptr) << "index " << index;
    }
    EXPECT_EQ(CKEY_Connect(nullptr, nullptr, 0), -1) << "no handle variable";
}

TEST_F(Pcsclink, HandleStaysUsableAcrossALaterEnumeration) {
    ASSERT_EQ(enumerate(), 2);
    Connection c;
    connect(c, 1);
    ASSERT_EQ(enumerate(), 2);
    EXPECT_EQ(exchange(c.handle, kGetChallenge).result, 0x9000);
}

// Handles that are not this library's, or that lost their native parts. Stack records: a
// library that freed one would be caught by AddressSanitizer.
struct ForeignHandle {
    const char* what;
    char tag;
    std::uintptr_t connection;
    bool lock;
};
void PrintTo(const ForeignHandle& h, std::ostream* os) {
    *os << h.what;
}

class PcsclinkRefusedHandle : public ::testing::TestWithParam<ForeignHandle> {};

TEST_P(PcsclinkRefusedHandle, IsRefusedAndLeftAlone) {
    int lockStandIn = 0;
    TransportHandle record{GetParam().tag, GetParam().connection,
                           GetParam().lock ? &lockStandIn : nullptr};
    const TransportHandle before = record;

    Bytes reply(16, 0xEE);
    std::int32_t length = 77;
    EXPECT_EQ(CKEY_DoCommand(&record, kGetChallenge.data(), 5, reply.data(), &length), -1);
    EXPECT_EQ(length, 77);
    EXPECT_EQ(CKEY_Disconnect(&record), -1);
    EXPECT_EQ(record.tag, before.tag);
    EXPECT_EQ(record.connection, before.connection);
    EXPECT_EQ(record.lock, before.lock);
}

INSTANTIATE_TEST_SUITE_P(Handles, PcsclinkRefusedHandle,
                         ::testing::Values(ForeignHandle{"DriverTag", TRANSPORT_TAG_DRIVER, 1,
                                                         true},
                                           ForeignHandle{"DiskTag", TRANSPORT_TAG_DISK, 1, true},
                                           ForeignHandle{"SdTag", TRANSPORT_TAG_SD, 1, true},
                                           ForeignHandle{"LowerCaseTag", 'c', 1, true},
                                           ForeignHandle{"NoCard", TRANSPORT_TAG_PCSC, 0, true},
                                           ForeignHandle{"NoLock", TRANSPORT_TAG_PCSC, 1, false}),
                         [](const auto& i) { return std::string(i.param.what); });

TEST(PcsclinkNullHandle, DisconnectIsANoOpAndExchangeIsRefused) {
    EXPECT_EQ(CKEY_Disconnect(nullptr), 0);
    std::uint8_t reply[8];
    std::int32_t length = 77;
    EXPECT_EQ(CKEY_DoCommand(nullptr, kGetChallenge.data(), 5, reply, &length), -1);
    EXPECT_EQ(length, 77);
}

TEST_F(Pcsclink, ReplyDataComesBackWithoutTheStatusWordAsTheTokenSentIt) {
    ASSERT_EQ(enumerate(), 2);
    Connection c;
    connect(c, 0);
    token(kTokenA).clearTrace();

    const Exchange e = exchange(c.handle, kGetChallenge);
    EXPECT_EQ(e.result, 0x9000);
    ASSERT_EQ(e.reply.size(), 8u);
    // The token's own record of the exchange: the command went out unchanged, and the
    // reply is what it answered, minus the status word.
    const auto trace = token(kTokenA).traceLines();
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(trace[0], "> " + hex(kGetChallenge, true));
    EXPECT_EQ(trace[1], "< " + hex(e.reply, true) + "9000");
    EXPECT_TRUE(deviceLockFree(c.id));
}

// Certificates are about 2 KB: far more than a short reply's 256 bytes.
TEST_F(Pcsclink, LongReplyComesBackWhole) {
    ASSERT_EQ(enumerate(), 2);
    Connection c;
    connect(c, 0);
    for (const Bytes& select : {Bytes{0x00, 0xA4, 0x00, 0x00, 0x02, 0xDD, 0xF1},
                                Bytes{0x00, 0xA4, 0x00, 0x00, 0x02, 0x00, 0x02}}) {
        ASSERT_EQ(exchange(c.handle, select).result, 0x9000);
    }
    token(kTokenA).clearTrace();
    // READ BINARY of the whole 2,050-byte file, extended Le.
    const Exchange e = exchange(c.handle, {0x00, 0xB0, 0x00, 0x00, 0x00, 0x08, 0x02});
    EXPECT_EQ(e.result, 0x9000);
    ASSERT_EQ(e.reply.size(), 2050u);
    const auto trace = token(kTokenA).traceLines();
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(trace[1], "< " + hex(e.reply, true) + "9000");
}

struct StatusCase {
    const char* sw;
    std::int32_t result;
};
void PrintTo(const StatusCase& c, std::ostream* os) {
    *os << c.sw;
}

class PcsclinkStatusWord : public Pcsclink, public ::testing::WithParamInterface<StatusCase> {};

// A status word alone: no data, and the status word as the result, never a transport failure.
TEST_P(PcsclinkStatusWord, AloneGivesEmptyReplyAndTheStatusWordAsResult) {
    ASSERT_EQ(enumerate(), 2);
    Connection c;
    connect(c, 0);
    ASSERT_EQ(token(kTokenA).control(std::string("sw 0084 ") + GetParam().sw + " 1"), "ok");

    const Exchange e = exchange(c.handle, kGetChallenge);
    EXPECT_EQ(e.result, GetParam().result);
    EXPECT_TRUE(e.reply.empty());
    EXPECT_TRUE(deviceLockFree(c.id));
}

INSTANTIATE_TEST_SUITE_P(Words, PcsclinkStatusWord,
                         ::testing::Values(StatusCase{"9000", 0x9000}, StatusCase{"6A82", 0x6A82},
                                           StatusCase{"63C2", 0x63C2}, StatusCase{"6982", 0x6982},
                                           StatusCase{"6100", 0x6100}),
                         [](const auto& i) { return "Sw" + std::string(i.param.sw); });

TEST_F(Pcsclink, CardPulledMidExchangeIsReportedAsDeviceLost) {
    ASSERT_EQ(enumerate(), 2);
    testbed::VirtualToken& c = token(kTokenC);
    {
        Connection conn;
        connect(conn, 1);
        ASSERT_EQ(c.control("drop-after 0084"), "ok");

        Bytes reply(8, 0xEE);
        std::int32_t length = 77;
        EXPECT_EQ(CKEY_DoCommand(conn.handle, kGetChallenge.data(), 5, reply.data(), &length),
                  TRANSPORT_DEVICE_LOST);
        EXPECT_EQ(length, 77) << "nothing to report when nothing came back";
        EXPECT_EQ(exchange(conn.handle, kGetChallenge).result, TRANSPORT_DEVICE_LOST)
            << "and it stays lost";
        EXPECT_TRUE(deviceLockFree(conn.id)) << "released on the failure path too";
        EXPECT_EQ(CKEY_Disconnect(conn.handle), 0);
        conn.handle = nullptr;
    }
    // pcscd must have seen the card go before it can see it come back.
    ASSERT_TRUE(bed().waitForCard(c.readerName(), false));
    ASSERT_EQ(c.control("reinsert"), "ok");
    ASSERT_TRUE(bed().waitForCard(c.readerName(), true));
    ASSERT_EQ(enumerate(), 2);
    Connection again;
    connect(again, 1);
    EXPECT_EQ(exchange(again.handle, kGetChallenge).result, 0x9000);
}

// Another process that holds the token's device lock (as one in the middle of an exchange
// does) holds up this process's exchange until it lets go. It lets go only when told, so the
// check that the exchange still waits cannot pass or fail by the timing of a loaded machine.
TEST_F(Pcsclink, ExchangeWaitsWhileAnotherProcessHoldsTheDeviceLock) {
    ASSERT_EQ(enumerate(), 2);
    Connection c;
    connect(c, 0);
    testbed::SpawnOptions holder;
    holder.argv = {LOCKHOLDER, platform::deviceLockName(c.id), "until-signal"};
    holder.captureStdout = true;
    auto other = testbed::ChildProcess::spawn(holder);
    ASSERT_EQ(other.readLine(10s), "held");

    std::atomic<bool> done{false};
    Exchange e{};
    std::thread client([&] {
        e = exchange(c.handle, kGetChallenge);
        done = true;
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(done.load()) << "the exchange went through while another process held the lock";
    other.signal(SIGUSR1);
    client.join();
    EXPECT_EQ(e.result, 0x9000);
    EXPECT_EQ(other.waitExit(10s), 0);
}

TEST_F(Pcsclink, TwoProcessesShareOneTokenWithoutErrors) {
    constexpr int kEach = 150;
    ASSERT_EQ(enumerate(), 2);
    token(kTokenA).clearTrace();
    std::vector<testbed::ChildProcess> clients;
    for (int i = 0; i < 2; ++i) {
        testbed::SpawnOptions client;
        client.argv = {PCSCLINK_CLIENT, "0", std::to_string(kEach)};
        client.captureStdout = true;
        clients.push_back(testbed::ChildProcess::spawn(client));
    }
    for (auto& client : clients) {
        EXPECT_EQ(client.readLine(30s), "ok");
        EXPECT_EQ(client.waitExit(5s), 0);
    }
    // Every command was answered before the next one reached the token.
    const auto trace = token(kTokenA).traceLines();
    ASSERT_EQ(trace.size(), 4u * kEach);
    for (std::size_t i = 0; i < trace.size(); i += 2) {
        ASSERT_EQ(trace[i], "> " + hex(kGetChallenge, true)) << "line " << i;
        ASSERT_TRUE(trace[i + 1].starts_with("< ")) << "line " << i + 1;
    }
}

}  // namespace
