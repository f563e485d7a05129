// The client transport against a stand-in for the service in the test process: how answers
// map onto the transport contract, which handles and arguments are refused before anything
// is sent, and that an answer that comes too late is never taken for a later request's.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "disk_transport.h"
#include "diskgate/channel_names.h"
#include "diskgate/request_record.h"
#include "platform/named_mutex.h"
#include "transports/transport.h"

namespace {

using namespace std::chrono_literals;
using namespace diskgate::record;
using Bytes = std::vector<std::uint8_t>;

Bytes words(std::initializer_list<std::uint32_t> values) {
    Bytes out(values.size() * 4);
    std::size_t at = 0;
    for (std::uint32_t v : values) {
        store32(out, at, v);
        at += 4;
    }
    return out;
}

// Answers requests from a script on a thread of its own, over the real channel.
class StandInService {
  public:
    struct Reply {
        Bytes answer;                        // written from the start of the record
        std::chrono::milliseconds delay{0};  // before it is written
    };
    using Script = std::function<Reply(const Bytes& request)>;

    // `serving`: whether it holds the service's running mutex while it serves, as the service
    // does; without it, it is a service that died and left its objects behind.
    explicit StandInService(Script script, bool serving = true) : script_(std::move(script)) {
        auto created = platform::ServiceChannel::create(diskgate::channelNames());
        channel_ = std::move(created.channel);
        if (!channel_) return;
        std::promise<void> ready;
        thread_ = std::thread([this, serving, &ready] {
            auto running = platform::NamedMutex::openOrCreate(diskgate::kServiceRunningMutex);
            std::optional<platform::NamedMutexGuard> held;
            if (serving && running) held.emplace(*running, std::chrono::milliseconds(0));
            ready.set_value();
            loop();
        });
        ready.get_future().wait();
    }
    ~StandInService() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    bool up() const { return channel_ != nullptr; }

    std::vector<Bytes> requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    platform::ServiceChannel& channel() { return *channel_; }

  private:
    void loop() {
        while (!stop_) {
            if (channel_->waitRequest(20ms) != platform::SignalWait::Signalled) continue;
            Bytes request(kSize);
            channel_->read(0, request);
            {
                std::lock_guard lock(mutex_);
                requests_.push_back(request);
            }
            const Reply reply = script_(request);
            std::this_thread::sleep_for(reply.delay);
            channel_->write(0, reply.answer);
            channel_->signalAnswer();
        }
    }

    Script script_;
    std::unique_ptr<platform::ServiceChannel> channel_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Bytes> requests_;
};

const std::string kPathA = "\\\\?\\usbstor#disk&ven_tarvex&prod_usb_key#A";
const std::string kPathB = "\\\\?\\usbstor#disk&ven_tarvex&prod_usb_key#B";
constexpr std::uint32_t kHandleA = 0x1001;
constexpr std::uint32_t kHandleB = 0x2002;

Bytes openAnswer(std::uint32_t handle, const std::string& path) {
    Bytes a = words({0, static_cast<std::uint32_t>(8 + path.size()), handle,
                     static_cast<std::uint32_t>(path.size())});
    a.insert(a.end(), path.begin(), path.end());
    return a;
}

// Two tokens; exchanges answered by `exchange`.
StandInService::Script twoTokens(std::function<StandInService::Reply(const Bytes&)> exchange) {
    return [exchange](const Bytes& r) -> StandInService::Reply {
        switch (load32(r, 0)) {
            case kEnumerate:
                return {words({0, 4, 2})};
            case kOpenByIndex:
                return {load32(r, 8) == 0 ? openAnswer(kHandleA, kPathA)
                                          : openAnswer(kHandleB, kPathB)};
            case kClose:
                return {words({0})};
            case kOpenByPath: {
                const std::string path(reinterpret_cast<const char*>(r.data()) + 12, load32(r, 8));
                return {words({0, 4, path == kPathA ? kHandleA : kHandleB})};
            }
            case kExchange:
                return exchange(r);
        }
        return {words({kUnknownCommand})};
    };
}

// The reply data names the handle and echoes the command's INS byte, so that no answer can
// be taken for another's.
StandInService::Reply echo(const Bytes& r) {
    Bytes a = words({0, 4});
    a.push_back(static_cast<std::uint8_t>(load32(r, 8)));
    a.push_back(r[17]);
    a.push_back(0x90);
    a.push_back(0x00);
    return {a};
}

class Disklink : public ::testing::Test {
  protected:
    void SetUp() override { disklink::setTiming({300ms, 50ms, 2000ms}); }
    void TearDown() override { disklink::setTiming({}); }

    // Enumerates and connects token `index`.
    TransportHandle* connected(int index = 0, char* identification = nullptr) {
        std::int32_t count = -1;
        EXPECT_EQ(HKEY_EnumDEV(&count), 0);
        TransportHandle* handle = nullptr;
        EXPECT_EQ(HKEY_Connect(&handle, identification, index), 0);
        return handle;
    }

    // One command with INS `ins`: the result, and the reply data in `reply`.
    std::int32_t send(TransportHandle* handle, std::uint8_t ins, Bytes& reply) {
        const Bytes command = {0x00, ins, 0x00, 0x00, 0x08};
        reply.assign(64, 0xEE);
        std::int32_t length = static_cast<std::int32_t>(reply.size());
        const std::int32_t r =
            HKEY_DoCommand(handle, command.data(), static_cast<std::int32_t>(command.size()),
                           reply.data(), &length);
        if (length >= 0 && static_cast<std::size_t>(length) <= reply.size()) reply.resize(length);
        return r;
    }
};

TEST_F(Disklink, EnumerationListsEachTokenOnceAndClosesWhatItOpened) {
    StandInService service(twoTokens(echo));
    ASSERT_TRUE(service.up());
    std::int32_t count = -1;
    ASSERT_EQ(HKEY_EnumDEV(&count), 0);
    EXPECT_EQ(count, 2);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> seen;
    for (const Bytes& r : service.requests()) seen.push_back({load32(r, 0), load32(r, 8)});
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> expected = {{kEnumerate, 0},
                                                                           {kOpenByIndex, 0},
                                                                           {kClose, kHandleA},
                                                                           {kOpenByIndex, 1},
                                                                           {kClose, kHandleB}};
    EXPECT_EQ(seen, expected);
}

TEST_F(Disklink, EnumerationFailures) {
    std::int32_t count = 77;
    // No service: its objects do not exist.
    EXPECT_EQ(HKEY_EnumDEV(&count), -1);
    EXPECT_EQ(HKEY_EnumDEV(nullptr), -1);
    {
        // Discovery refused: the service's error comes back.
        StandInService service([](const Bytes&) -> StandInService::Reply {
            return {words({5, 4, 0})};
        });
        EXPECT_EQ(HKEY_EnumDEV(&count), 5);
    }
    {
        // A token that is listed but cannot be opened now is not offered.
        StandInService service([](const Bytes& r) -> StandInService::Reply {
            if (load32(r, 0) == kEnumerate) return {words({0, 4, 2})};
            if (load32(r, 0) == kOpenByIndex && load32(r, 8) == 0) return {words({32, 8, 0, 0})};
            if (load32(r, 0) == kOpenByIndex) return {openAnswer(kHandleB, kPathB)};
            return {words({0})};
        });
        ASSERT_EQ(HKEY_EnumDEV(&count), 0);
        EXPECT_EQ(count, 1);
    }
    EXPECT_EQ(count, 1);
}

TEST_F(Disklink, ConnectOpensTheListedPathAndNamesIt) {
    StandInService service(twoTokens(echo));
    char identification[TRANSPORT_ID_BUFFER_SIZE] = {};
    TransportHandle* handle = connected(1, identification);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->tag, 'H');
    EXPECT_EQ(std::string(identification), kPathB);
    const Bytes last = service.requests().back();
    EXPECT_EQ(load32(last, 0), kOpenByPath);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(last.data()) + 12, load32(last, 8)),
              kPathB);
    EXPECT_EQ(HKEY_Disconnect(handle), 0);
    EXPECT_EQ(load32(service.requests().back(), 0), kClose);
    EXPECT_EQ(load32(service.requests().back(), 8), kHandleB);
}

TEST_F(Disklink, ConnectRefusals) {
    StandInService service(twoTokens(echo));
    std::int32_t count = 0;
    ASSERT_EQ(HKEY_EnumDEV(&count), 0);
    const std::size_t before = service.requests().size();
    TransportHandle* handle = nullptr;
    EXPECT_EQ(HKEY_Connect(&handle, nullptr, 2), -1);  // index equal to the count
    EXPECT_EQ(HKEY_Connect(&handle, nullptr, -1), -1);
    EXPECT_EQ(HKEY_Connect(nullptr, nullptr, 0), -1);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(service.requests().size(), before);
}

TEST_F(Disklink, ConnectPassesTheServiceRefusalOn) {
    StandInService service([](const Bytes& r) -> StandInService::Reply {
        if (load32(r, 0) == kOpenByPath) return {words({5, 4, 0})};
        return twoTokens(echo)(r);
    });
    std::int32_t count = 0;
    ASSERT_EQ(HKEY_EnumDEV(&count), 0);
    TransportHandle* handle = nullptr;
    EXPECT_EQ(HKEY_Connect(&handle, nullptr, 0), 5);
    EXPECT_EQ(handle, nullptr);
}

struct Mapping {
    std::string name;
    Bytes answer;
    std::int32_t result;
    Bytes data;  // the reply data handed back
};

class DisklinkAnswers : public Disklink, public ::testing::WithParamInterface<Mapping> {};

TEST_P(DisklinkAnswers, MapOntoTheTransportContract) {
    const Mapping& m = GetParam();
    StandInService service(
        twoTokens([&m](const Bytes&) -> StandInService::Reply { return {m.answer}; }));
    TransportHandle* handle = connected();
    Bytes reply;
    EXPECT_EQ(send(handle, 0xB0, reply), m.result);
    if (m.result != TRANSPORT_DEVICE_LOST) {
        EXPECT_EQ(reply, m.data);
    }
    HKEY_Disconnect(handle);
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

INSTANTIATE_TEST_SUITE_P(
    Table, DisklinkAnswers,
    ::testing::Values(
        Mapping{"DataAndSuccess", concat(words({0, 5}), {1, 2, 3, 0x90, 0x00}), 0x9000, {1, 2, 3}},
        Mapping{"StatusWordAlone", concat(words({0, 2}), {0x6A, 0x82}), 0x6A82, {}},
        Mapping{"PassThroughFailed", words({1167, 0}), TRANSPORT_DEVICE_LOST, {}},
        Mapping{"HandleUnknownToTheService", words({6, 0}), TRANSPORT_DEVICE_LOST, {}},
        Mapping{"NoStatusWord", concat(words({0, 1}), {0x90}), TRANSPORT_DEVICE_LOST, {}},
        Mapping{"NothingReceived", words({0, 0}), TRANSPORT_DEVICE_LOST, {}},
        Mapping{"LengthBeyondTheRecord", words({0, kMaxResponse + 1}), TRANSPORT_DEVICE_LOST, {}}),
    [](const auto& p) { return p.param.name; });

TEST_F(Disklink, ExchangeLeavesNeitherCommandNorReplyInTheSharedRecord) {
    StandInService service(twoTokens(echo));
    TransportHandle* handle = connected();
    Bytes reply;
    ASSERT_EQ(send(handle, 0x77, reply), 0x9000);
    // The request reached 21 bytes (16 and a 5-byte command), the answer 14 (8 and 6).
    Bytes record(21);
    service.channel().read(0, record);
    EXPECT_EQ(Bytes(record.begin() + 4, record.end()), Bytes(17, 0));
    HKEY_Disconnect(handle);
}

TEST_F(Disklink, RefusedBeforeAnythingIsSent) {
    StandInService service(twoTokens(echo));
    TransportHandle* handle = connected();
    const std::size_t before = service.requests().size();
    const Bytes command = {0x00, 0xB0, 0x00, 0x00, 0x08};
    Bytes reply(64);
    std::int32_t length = 64;
    TransportHandle foreign{'H', kHandleA, nullptr};  // looks like ours, never handed out
    TransportHandle pcsc{'C', 1, nullptr};
    EXPECT_EQ(HKEY_DoCommand(nullptr, command.data(), 5, reply.data(), &length), -1);
    EXPECT_EQ(HKEY_DoCommand(&foreign, command.data(), 5, reply.data(), &length), -1);
    EXPECT_EQ(HKEY_DoCommand(&pcsc, command.data(), 5, reply.data(), &length), -1);
    EXPECT_EQ(HKEY_DoCommand(handle, command.data(), 0, reply.data(), &length), -1);
    EXPECT_EQ(HKEY_DoCommand(handle, command.data(), -5, reply.data(), &length), -1);
    EXPECT_EQ(HKEY_DoCommand(handle, command.data(), kMaxCommandData + 1, reply.data(), &length),
              -1);
    EXPECT_EQ(HKEY_DoCommand(handle, nullptr, 5, reply.data(), &length), -1);
    EXPECT_EQ(HKEY_DoCommand(handle, command.data(), 5, nullptr, &length), -1);
    EXPECT_EQ(HKEY_DoCommand(handle, command.data(), 5, reply.data(), nullptr), -1);
    EXPECT_EQ(HKEY_Disconnect(&foreign), -1);
    EXPECT_EQ(HKEY_Disconnect(&pcsc), -1);
    EXPECT_EQ(HKEY_Disconnect(nullptr), 0);
    EXPECT_EQ(service.requests().size(), before);
    EXPECT_EQ(HKEY_Disconnect(handle), 0);
    // Gone after its disconnection.
    EXPECT_EQ(HKEY_DoCommand(handle, command.data(), 5, reply.data(), &length), -1);
}

TEST_F(Disklink, AnswerThatComesTooLateIsNeverTakenForALaterOne) {
    std::atomic<int> exchanges{0};
    StandInService service(twoTokens([&](const Bytes& r) {
        StandInService::Reply reply = echo(r);
        if (exchanges++ == 0) reply.delay = 700ms;  // longer than the client waits
        return reply;
    }));
    TransportHandle* handle = connected();
    Bytes reply;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(send(handle, 0x11, reply), TRANSPORT_DEVICE_LOST);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 650ms);
    // The first answer is still on its way: nothing is sent meanwhile.
    EXPECT_EQ(send(handle, 0x22, reply), TRANSPORT_DEVICE_LOST);
    EXPECT_EQ(exchanges.load(), 1);
    std::this_thread::sleep_for(700ms);
    // Once it came, the channel is free again, and each answer is its own request's.
    EXPECT_EQ(send(handle, 0x33, reply), 0x9000);
    EXPECT_EQ(reply, (Bytes{static_cast<std::uint8_t>(kHandleA), 0x33}));
    EXPECT_EQ(send(handle, 0x44, reply), 0x9000);
    EXPECT_EQ(reply, (Bytes{static_cast<std::uint8_t>(kHandleA), 0x44}));
    HKEY_Disconnect(handle);
}

TEST_F(Disklink, SignalNobodyWaitedForIsNotTakenForTheAnswer) {
    StandInService service(twoTokens(echo));
    TransportHandle* handle = connected();
    // What the service's stop leaves behind: an answer signalled to nobody.
    service.channel().signalAnswer();
    Bytes reply;
    EXPECT_EQ(send(handle, 0x55, reply), 0x9000);
    EXPECT_EQ(reply, (Bytes{static_cast<std::uint8_t>(kHandleA), 0x55}));
    HKEY_Disconnect(handle);
}

TEST_F(Disklink, ServiceThatIsGoneFailsAtOnce) {
    TransportHandle* handle = nullptr;
    {
        StandInService service(twoTokens(echo));
        handle = connected();
    }
    // The service has stopped; this client still holds its channel.
    Bytes reply;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(send(handle, 0x88, reply), TRANSPORT_DEVICE_LOST);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 250ms);
    EXPECT_EQ(HKEY_Disconnect(handle), 0);
    // Objects that outlived their service (clients keep them open on Windows) are not served.
    StandInService leftBehind(twoTokens(echo), false);
    std::int32_t count = 0;
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(HKEY_EnumDEV(&count), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 250ms);
    EXPECT_TRUE(leftBehind.requests().empty());
}

TEST_F(Disklink, ServiceThatNeverAnswersGivesDeviceLost) {
    StandInService service(twoTokens([](const Bytes& r) {
        StandInService::Reply reply = echo(r);
        reply.delay = 1s;
        return reply;
    }));
    TransportHandle* handle = connected();
    Bytes reply;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(send(handle, 0x66, reply), TRANSPORT_DEVICE_LOST);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 300ms);
    EXPECT_LT(waited, 1s);
    EXPECT_EQ(HKEY_Disconnect(handle), 0);
}

}  // namespace

int main(int argc, char** argv) {
    // Channels and locks of this process only.
    const std::string space = "disklink-test-" + std::to_string(::getpid());
    ::setenv("TOKEN_PLATFORM_NAMESPACE", space.c_str(), 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
