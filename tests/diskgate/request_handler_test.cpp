// The service's answers to each request, and the requests it refuses without touching a
// disk: it acts only on handles it handed out and paths its last discovery found, and never
// on lengths beyond the record.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "service_fixture.h"

namespace {

using namespace diskgate::record;
using fake::Disk;
using fixture::Answer;
using fixture::Bytes;
using fixture::Request;

Disk token(int n, std::uint64_t time) {
    Disk d;
    d.path = fake::tokenPath(n);
    d.plugIn = {diskgate::PlugIn::Kind::Time, time, 0};
    return d;
}

const Bytes kSerialCommand = {0xBF, 0xC4, 0x00, 0x00, 0x0A};

// Two tokens, discovered; one handle open (`open`) and one closed again (`closed`).
class Refusals : public ::testing::Test {
  protected:
    void SetUp() override {
        open = service.openToken(0);
        closed = service.call(fixture::openByIndex(1)).word(kAnswerDataOffset);
        ASSERT_EQ(service.call(fixture::closeHandle(closed)).result(), 0u);
        // A token plugged in after the discovery: present, but never found.
        service.io.disks.push_back(token(3, 3));
        service.io.events.clear();
    }
    fixture::Service service{{token(1, 1), token(2, 2)}};
    std::uint32_t open = 0;
    std::uint32_t closed = 0;
};

struct Refusal {
    std::string name;
    std::function<Request(std::uint32_t open, std::uint32_t closed)> request;
    std::uint32_t result;
    std::vector<std::pair<std::size_t, std::uint32_t>> words;  // further answer words
};

std::vector<Refusal> refusals() {
    using namespace fixture;
    const Bytes apdu = kSerialCommand;
    return {
        {"ExchangeOnHandleNeverHandedOut",
         [apdu](auto open, auto) { return exchange(open + 1, apdu); },
         kInvalidHandle,
         {{4, 0}}},
        {"ExchangeOnHandleAlreadyClosed",
         [apdu](auto, auto closed) { return exchange(closed, apdu); },
         kInvalidHandle,
         {{4, 0}}},
        {"ExchangeOnHandleZero",
         [apdu](auto, auto) { return exchange(0, apdu); },
         kNullHandle,
         {{4, 0}}},
        {"ExchangeLongerThanTheRecord",
         [apdu](auto open, auto) { return exchangeDeclaring(open, kMaxCommandData + 1, apdu); },
         kBadLength,
         {{4, 0}}},
        {"ExchangeWithNegativeLength",
         [apdu](auto open, auto) { return exchangeDeclaring(open, 0xFFFFFFFF, apdu); },
         kBadLength,
         {{4, 0}}},
        {"ExchangeOfNothing",
         [](auto open, auto) { return exchange(open, {}); },
         kBadLength,
         {{4, 0}}},
        {"CloseOfHandleNeverHandedOut",
         [](auto open, auto) { return closeHandle(open ^ 0x5A5A); },
         kInvalidHandle,
         {}},
        {"CloseOfHandleAlreadyClosed",
         [](auto, auto closed) { return closeHandle(closed); },
         kInvalidHandle,
         {}},
        {"CloseOfHandleZero", [](auto, auto) { return closeHandle(0); }, kOk, {}},
        {"OpenOfPathNeverDiscovered",
         [](auto, auto) { return openByPath(fake::otherDiskPath(1)); },
         kAccessDenied,
         {{4, 4}, {8, 0}}},
        {"OpenOfTokenPluggedInAfterDiscovery",
         [](auto, auto) { return openByPath(fake::tokenPath(3)); },
         kAccessDenied,
         {{4, 4}, {8, 0}}},
        {"OpenOfDiscoveredPathWithTrailingNul",
         [](auto, auto) { return openByPath(fake::tokenPath(1) + std::string(1, '\0')); },
         kAccessDenied,
         {{4, 4}, {8, 0}}},
        {"OpenOfDiscoveredPathPrefix",
         [](auto, auto) { return openByPathDeclaring(10, fake::tokenPath(1)); },
         kAccessDenied,
         {{4, 4}, {8, 0}}},
        {"OpenOfPathOf256Bytes",
         [](auto, auto) {
             const std::string path = fake::tokenPath(1);
             return openByPath(path + std::string(256 - path.size(), 'x'));
         },
         kBadLength,
         {{4, 4}, {8, 0}}},
        {"OpenOfPathWithHugeLength",
         [](auto, auto) { return openByPathDeclaring(0xFFFFFFFF, fake::tokenPath(1)); },
         kBadLength,
         {{4, 4}, {8, 0}}},
        {"OpenOfPathOfLengthZero",
         [](auto, auto) { return openByPathDeclaring(0, ""); },
         kNoSuchDevice,
         {{4, 4}, {8, 0}}},
        {"OpenOfIndexEqualToCount",
         [](auto, auto) { return openByIndex(2); },
         kInvalidParameter,
         {{4, 8}, {8, 0}, {12, 0}}},
        {"OpenOfNegativeIndex",
         [](auto, auto) { return openByIndex(0xFFFFFFFF); },
         kInvalidParameter,
         {{4, 8}, {8, 0}, {12, 0}}},
        {"UnknownCommand", [](auto, auto) { return command(7); }, kUnknownCommand, {}},
        {"CommandZero", [](auto, auto) { return command(0); }, kUnknownCommand, {}},
        {"StopWord", [](auto, auto) { return command(kStopWord); }, kUnknownCommand, {}},
    };
}

class RefusalTable : public Refusals, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusalTable, AnswersWithoutTouchingAnyDisk) {
    const Refusal& r = GetParam();
    const Answer a = service.call(r.request(open, closed));
    EXPECT_EQ(a.result(), r.result);
    for (auto [offset, value] : r.words) EXPECT_EQ(a.word(offset), value) << "offset " << offset;
    EXPECT_TRUE(service.io.events.empty());
    EXPECT_EQ(service.io.openCount(), 1);
    // The handle that was open still works.
    const Answer still = service.call(fixture::exchange(open, kSerialCommand));
    EXPECT_EQ(still.result(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, RefusalTable, ::testing::ValuesIn(refusals()),
                         [](const auto& p) { return p.param.name; });

TEST(Requests, EnumerateAnswersTheCount) {
    fixture::Service service{{token(1, 1), token(2, 2)}};
    const Answer a = service.call(fixture::enumerate());
    EXPECT_EQ(a.result(), 0u);
    EXPECT_EQ(a.word(4), 4u);
    EXPECT_EQ(a.word(8), 2u);
    EXPECT_EQ(a.used, 12u);
}

TEST(Requests, EnumerateAnswersTheErrorThatEndedDiscovery) {
    fixture::Service service{{token(1, 1)}};
    service.io.disks[0].openError = 5;
    const Answer a = service.call(fixture::enumerate());
    EXPECT_EQ(a.result(), 5u);
    EXPECT_EQ(a.word(8), 0u);
}

TEST(Requests, OpenByIndexAnswersHandleAndPath) {
    fixture::Service service{{token(1, 2), token(2, 1)}};
    service.call(fixture::enumerate());
    const Answer first = service.call(fixture::openByIndex(0));
    const Answer second = service.call(fixture::openByIndex(1));
    const std::string path = fake::tokenPath(2);  // plugged in first
    EXPECT_EQ(first.result(), 0u);
    EXPECT_NE(first.word(8), 0u);
    EXPECT_EQ(first.word(4), 8 + path.size());
    EXPECT_EQ(first.word(12), path.size());
    EXPECT_EQ(first.data(16, path.size()), Bytes(path.begin(), path.end()));
    EXPECT_EQ(first.used, 16 + path.size());
    EXPECT_NE(second.word(8), first.word(8));
    EXPECT_EQ(service.io.openCount(), 2);
}

TEST(Requests, OpenFailureAnswersTheSystemError) {
    fixture::Service service{{token(1, 1)}};
    service.io.disks[0].openError = 32;  // sharing violation: listed unprobed, fails to open
    service.call(fixture::enumerate());
    const Answer byIndex = service.call(fixture::openByIndex(0));
    EXPECT_EQ(byIndex.result(), 32u);
    EXPECT_EQ(byIndex.word(8), 0u);
    EXPECT_EQ(byIndex.word(4), 8u);
    const Answer byPath = service.call(fixture::openByPath(fake::tokenPath(1)));
    EXPECT_EQ(byPath.result(), 32u);
    EXPECT_EQ(byPath.word(8), 0u);
}

TEST(Requests, OpenByDiscoveredPathWorksLikeByIndex) {
    fixture::Service service{{token(1, 1)}};
    service.call(fixture::enumerate());
    const Answer a = service.call(fixture::openByPath(fake::tokenPath(1)));
    EXPECT_EQ(a.result(), 0u);
    EXPECT_EQ(a.word(4), 4u);
    const std::uint32_t handle = a.word(8);
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(service.call(fixture::exchange(handle, kSerialCommand)).result(), 0u);
    EXPECT_EQ(service.diagnostics.back(), fake::tokenPath(1) + "\n");
}

TEST(Requests, PathInDiagnosticsCannotForgeLines) {
    fixture::Service service{{token(1, 1)}};
    service.call(fixture::openByPath("a\nfake line\r\x01\xFF"));
    EXPECT_EQ(service.diagnostics.back(), "a?fake line???\n");
}

TEST(Requests, ExchangeCarriesCommandAndAnswer) {
    struct Case {
        std::string name;
        Bytes command;
        std::size_t answerLength;  // data bytes before the status word
    };
    const std::vector<Case> cases = {
        {"Short", kSerialCommand, 10},
        {"ThreeHundredByteAnswer", {0x00, 0xB0, 0x00, 0x00, 0x00}, 298},
        {"LongestCommand", Bytes(kMaxCommandData, 0x5A), 100},
        {"LongestAnswer", {0x00, 0xB0, 0x00, 0x00, 0x00}, kMaxResponse - 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Disk disk = token(1, 1);
        Bytes reply(c.answerLength);
        for (std::size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<std::uint8_t>(i);
        reply.push_back(0x90);
        reply.push_back(0x00);
        disk.answer = [reply](const Bytes& command) {
            return command == Bytes{0xBF, 0xC8, 0x00, 0x00, 0x0F} ? fake::tokenAnswer(command)
                                                                  : reply;
        };
        fixture::Service service{{disk}};
        const std::uint32_t handle = service.openToken(0);
        service.io.events.clear();
        const Answer a = service.call(fixture::exchange(handle, c.command));
        EXPECT_EQ(a.result(), 0u);
        EXPECT_EQ(a.word(4), reply.size());
        EXPECT_EQ(a.data(8, reply.size()), reply);
        EXPECT_EQ(a.used, 8 + reply.size());
        EXPECT_EQ(service.io.sent(fake::tokenPath(1)), std::vector<Bytes>{c.command});
    }
}

TEST(Requests, ExchangeFailuresAnswerAnErrorAndNoBytes) {
    struct Case {
        std::string name;
        diskgate::Transfer send, receive;
        std::size_t answerBytes;  // what the disk has to say after the send
        std::uint32_t result;
    };
    const std::vector<Case> cases = {
        {"SendFails", {31, 0}, {}, 12, 31},
        {"ReceiveFails", {}, {1167, 0}, 12, 1167},
        {"NothingToReceive", {}, {}, 0, 1117},
        {"AnswerLongerThanTheRecordHolds", {}, {}, kMaxResponse + 1, kBadLength},
        {"DeviceReportsMoreThanItHadRoomFor", {}, {}, 0x8001, 1117},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fixture::Service service{{token(1, 1)}};
        const std::uint32_t handle = service.openToken(0);
        Disk& disk = service.io.disks[0];
        disk.sendFailure = c.send;
        disk.receiveFailure = c.receive;
        disk.answer = [n = c.answerBytes](const Bytes&) { return Bytes(n, 0x61); };
        const Answer a = service.call(fixture::exchange(handle, kSerialCommand));
        EXPECT_EQ(a.result(), c.result);
        EXPECT_EQ(a.word(4), 0u);
        EXPECT_EQ(a.used, 8u);
    }
}

TEST(Requests, CloseEndsTheHandleAndClosesTheDisk) {
    fixture::Service service{{token(1, 1)}};
    const std::uint32_t handle = service.openToken(0);
    const Answer a = service.call(fixture::closeHandle(handle));
    EXPECT_EQ(a.result(), 0u);
    EXPECT_EQ(a.used, 4u);
    EXPECT_EQ(service.io.openCount(), 0);
    EXPECT_EQ(service.call(fixture::exchange(handle, kSerialCommand)).result(), kInvalidHandle);
}

TEST(Requests, UnknownCommandWritesDiagnosticLine) {
    fixture::Service service;
    service.call(fixture::command(7));
    ASSERT_FALSE(service.diagnostics.empty());
    EXPECT_EQ(service.diagnostics.back(), "error type.\n");
}

TEST(Handles, CloseAllClosesEveryDisk) {
    fixture::Service service{{token(1, 1), token(2, 2)}};
    service.openToken(0);
    service.call(fixture::openByIndex(1));
    service.call(fixture::openByIndex(1));
    ASSERT_EQ(service.io.openCount(), 3);
    service.handler.closeAll();
    EXPECT_EQ(service.io.openCount(), 0);
}

TEST(Handles, FullTableClosesTheDiskUsedLongestAgo) {
    fixture::Service service{{token(1, 1)}};
    std::vector<std::uint32_t> handles = {service.openToken(0)};
    for (std::size_t i = 1; i < diskgate::HandleTable::kCapacity; ++i) {
        handles.push_back(service.call(fixture::openByIndex(0)).word(8));
    }
    // The first handle stays in use; the second was used longest ago.
    ASSERT_EQ(service.call(fixture::exchange(handles[0], kSerialCommand)).result(), 0u);
    const std::uint32_t newest = service.call(fixture::openByIndex(0)).word(8);
    EXPECT_EQ(service.io.openCount(), static_cast<int>(diskgate::HandleTable::kCapacity));
    EXPECT_EQ(service.call(fixture::exchange(handles[1], kSerialCommand)).result(), kInvalidHandle);
    EXPECT_EQ(service.call(fixture::exchange(handles[0], kSerialCommand)).result(), 0u);
    EXPECT_EQ(service.call(fixture::exchange(newest, kSerialCommand)).result(), 0u);
}

TEST(Handles, ValuesAreNeverZeroAndNeverReused) {
    diskgate::HandleTable table(0xFFFFFFFE);
    struct Nothing : diskgate::OpenDisk {
        diskgate::Transfer passThrough(diskgate::Direction, std::span<std::uint8_t>) override {
            return {};
        }
    };
    const std::uint32_t a = table.add(std::make_unique<Nothing>());
    const std::uint32_t b = table.add(std::make_unique<Nothing>());
    const std::uint32_t c = table.add(std::make_unique<Nothing>());
    EXPECT_EQ(a, 0xFFFFFFFEu);
    EXPECT_EQ(b, 0xFFFFFFFFu);
    EXPECT_EQ(c, 1u);  // 0 is skipped
    EXPECT_TRUE(table.close(b));
    EXPECT_EQ(table.find(b), nullptr);
    EXPECT_NE(table.add(std::make_unique<Nothing>()), b);
}

}  // namespace
