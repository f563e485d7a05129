// Handles under threads: the typed registry and its leases, a disconnect racing with a running
// operation, and a device lost while another thread waits for the key API lock. The replay
// transport holds one exchange open while the other thread acts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "container_handle.h"
#include "device_handle.h"
#include "handle_registry.h"
#include "replay_transport.h"
#include "tokenapi.h"

namespace {

using namespace std::chrono_literals;

// Long enough for the other thread to reach the point where it must wait.
constexpr auto kSettle = 150ms;

struct Thing {
    int value = 0;
};

TEST(HandleRegistry, LeasesOnlyLiveHandlesOfItsOwnType) {
    tokenapi::HandleRegistry<Thing> things;
    Thing* handle = things.add(std::make_unique<Thing>(Thing{7}));
    Thing stranger;

    EXPECT_FALSE(things.lease(nullptr));
    EXPECT_FALSE(things.lease(&stranger)) << "never handed out";
    {
        auto lease = things.lease(handle);
        ASSERT_TRUE(lease);
        EXPECT_EQ(lease->value, 7);
    }
    std::unique_ptr<Thing> back = things.retire(handle);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back.get(), handle);
    EXPECT_FALSE(things.lease(handle)) << "retired";
    EXPECT_EQ(things.retire(handle), nullptr) << "retired twice";

    // Another type's registry knows nothing of this one's handles.
    tokenapi::HandleRegistry<Thing> others;
    Thing* own = things.add(std::make_unique<Thing>());
    EXPECT_FALSE(others.lease(own));
    EXPECT_NE(things.retire(own), nullptr);
}

TEST(HandleRegistry, RetireWaitsForEveryLeaseAndRefusesNewOnesMeanwhile) {
    tokenapi::HandleRegistry<Thing> things;
    Thing* handle = things.add(std::make_unique<Thing>());
    auto first = things.lease(handle);
    auto second = things.lease(handle);
    ASSERT_TRUE(first && second);

    std::atomic<bool> retired{false};
    std::thread retirer([&] {
        auto object = things.retire(handle);
        EXPECT_NE(object, nullptr);
        retired = true;
    });
    std::this_thread::sleep_for(kSettle);
    EXPECT_FALSE(retired) << "retired under a running call";
    EXPECT_FALSE(things.lease(handle)) << "a retiring handle takes no new calls";
    EXPECT_EQ(first->value, 0) << "still alive for the calls that hold it";

    first.reset();
    std::this_thread::sleep_for(kSettle);
    EXPECT_FALSE(retired) << "one lease still held";
    second.reset();
    retirer.join();
    EXPECT_TRUE(retired);
}

TEST(HandleRegistry, ExclusiveCallsTakeTurnsAndAReleaseInsideACallRefusesTheNext) {
    tokenapi::HandleRegistry<Thing> things;
    Thing* handle = things.add(std::make_unique<Thing>());
    auto first = things.leaseExclusive(handle);
    ASSERT_TRUE(first);

    std::atomic<bool> got{false};
    std::thread second([&] {
        auto lease = things.leaseExclusive(handle);
        got = static_cast<bool>(lease);
    });
    std::this_thread::sleep_for(kSettle);
    first->value = 1;  // the second call has not got its turn: nothing races with this
    // The first call frees the handle it works on (a session's final call): the waiting call
    // gets its turn and is refused; the object lives until the first call ends.
    first.retire();
    EXPECT_FALSE(things.lease(handle));
    EXPECT_EQ(first->value, 1);
    first.reset();
    second.join();
    EXPECT_FALSE(got);
}

TEST(HandleRegistry, RetireWhereTakesOutTheMatchingHandlesOnly) {
    tokenapi::HandleRegistry<Thing> things;
    Thing* one = things.add(std::make_unique<Thing>(Thing{1}));
    Thing* two = things.add(std::make_unique<Thing>(Thing{2}));
    auto held = things.lease(one);
    things.retireWhere([](const Thing& t) { return t.value == 1; });
    EXPECT_FALSE(things.lease(one));
    EXPECT_TRUE(things.lease(two));
    EXPECT_EQ(held->value, 1) << "alive until the running call ends";
}

// The key API lock in a shared-memory namespace of this process's own: no other test run on the
// machine holds it while these tests rely on who waits for whom.
class PrivateLocks {
  public:
    PrivateLocks() : name_("replay" + std::to_string(::getpid())) {
        ::setenv("TOKEN_PLATFORM_NAMESPACE", name_.c_str(), 1);
    }
    ~PrivateLocks() {
        ::unsetenv("TOKEN_PLATFORM_NAMESPACE");
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
            if (entry.path().filename().string().starts_with("tarvex." + name_ + ".")) {
                std::filesystem::remove(entry.path(), ec);
            }
        }
    }

  private:
    std::string name_;
};

class ThreadsOnOneHandle : public ::testing::Test {
  protected:
    void SetUp() override {
        s = {};
        uint32_t count = 0;
        ASSERT_EQ(X_EnumDEV(0, &count), 0);
        // Nothing scripted: the post-connect selection and the security query fail quietly.
        ASSERT_EQ(X_ConnectDEV(&device, 0), 0);
        s.sent.clear();
    }
    void TearDown() override {
        X_DisConnectDEV(device);
        s = {};
    }

    // The next exchange stops inside the transport until release() is called.
    void holdNextExchange() {
        s.duringExchange = [this](const std::vector<uint8_t>&) {
            if (held_.exchange(true)) return;  // only the first
            inside_.set_value();
            release_.get_future().wait();
        };
    }
    void waitUntilInside() { inside_.get_future().wait(); }
    void release() { release_.set_value(); }
    // Ready to hold another exchange.
    void resetHold() {
        s.duringExchange = nullptr;
        held_ = false;
        inside_ = {};
        release_ = {};
    }

    PrivateLocks locks;
    replay::Script& s = replay::script();
    DeviceHandle* device = nullptr;

  private:
    std::atomic<bool> held_{false};
    std::promise<void> inside_;
    std::promise<void> release_;
};

TEST_F(ThreadsOnOneHandle, DisconnectWaitsForTheRunningOperation) {
    const std::vector<uint8_t> random = {1, 2, 3, 4, 5, 6, 7, 8};
    s.replies.push_back({0x9000, random});
    holdNextExchange();

    std::vector<uint8_t> buffer(8, 0);
    auto operation =
        std::async(std::launch::async, [&] { return X_GenRandom(device, buffer.data(), 8); });
    waitUntilInside();
    std::atomic<bool> disconnected{false};
    auto disconnect = std::async(std::launch::async, [&] {
        const int32_t r = X_DisConnectDEV(device);
        disconnected = true;
        return r;
    });
    std::this_thread::sleep_for(kSettle);
    EXPECT_FALSE(disconnected) << "the handle was freed under a running operation";
    EXPECT_EQ(s.disconnects, 0);

    release();
    EXPECT_EQ(operation.get(), 0);
    EXPECT_EQ(buffer, random);
    EXPECT_EQ(disconnect.get(), 0);
    EXPECT_EQ(s.disconnects, 1);

    // The pointer is stale now: refused without reaching the transport.
    const size_t sent = s.sent.size();
    EXPECT_EQ(X_GenRandom(device, buffer.data(), 8), XR_BAD_HANDLE);
    EXPECT_EQ(s.sent.size(), sent);
    device = nullptr;
}

TEST_F(ThreadsOnOneHandle, OperationWaitingForTheLockSeesTheDeviceLostByAnother) {
    s.replies.push_back({0x10001});
    holdNextExchange();

    uint8_t buffer[8];
    auto losing = std::async(std::launch::async, [&] { return X_GenRandom(device, buffer, 8); });
    waitUntilInside();
    // Waits for the key API lock that the first operation holds.
    auto waiting = std::async(std::launch::async, [&] { return X_ClearDevice(device); });
    std::this_thread::sleep_for(kSettle);

    release();
    EXPECT_EQ(losing.get(), XR_DEVICE_LOST);
    EXPECT_EQ(waiting.get(), XR_BAD_HANDLE);
    EXPECT_EQ(s.sent.size(), 1u) << "the waiting operation reached the transport";
    EXPECT_TRUE(device->lost());
}

// A handle handed out as one type is refused as every other type.
TEST_F(ThreadsOnOneHandle, HandlesOfTheWrongTypeAreRefused) {
    ContainerHandle* container = tokenapi::newContainer(tokenapi::ContainerBytes{});
    uint32_t word = 0;
    uint8_t buffer[8];
    uint32_t length = 0;
    EXPECT_EQ(X_GetContainerInfo(device, reinterpret_cast<ContainerHandle*>(device), &word),
              XR_BAD_CONTAINER);
    EXPECT_EQ(X_CloseContainer(device, reinterpret_cast<ContainerHandle*>(device)),
              XR_BAD_CONTAINER);
    EXPECT_EQ(
        X_GetDEVInfo(reinterpret_cast<DeviceHandle*>(container), XINFO_TYPE2, buffer, &length),
        XR_BAD_HANDLE);
    EXPECT_EQ(X_DisConnectDEV(reinterpret_cast<DeviceHandle*>(container)), 0);
    EXPECT_EQ(X_GetContainerInfo(device, container, &word), 0) << "the container survived";
    EXPECT_EQ(s.disconnects, 0);
    EXPECT_TRUE(s.sent.empty());
    EXPECT_EQ(X_CloseContainer(device, container), 0);
}

// Two threads on one cipher session take turns: a Final waits for the running Update, then
// sends the blocks that Update held back, and the session is gone. A disconnect waits for the
// session's running call, then releases the session with the device.
TEST_F(ThreadsOnOneHandle, CipherSessionCallsTakeTurnsAndGoWithTheirDevice) {
    const std::vector<uint8_t> key(16, 0x4B);
    const std::vector<uint8_t> query = {0x00, 0x00, 0x00, 0x00};  // short form
    for (bool disconnectMeanwhile : {false, true}) {
        SCOPED_TRACE(disconnectMeanwhile ? "disconnect" : "final");
        CipherSession* session = nullptr;
        s.replies = {{0x9000}};
        ASSERT_EQ(X_EncryptInit(device, &session, XCIPHER_BLOCK16, key.data(), 16), 0);
        s.replies = {{0x9000, query},
                     {0x9000, std::vector<uint8_t>(32, 0x01)},
                     {0x9000, query},
                     {0x9000, std::vector<uint8_t>(16, 0x02)}};
        s.sent.clear();
        holdNextExchange();
        const std::vector<uint8_t> data(40, 0x33);
        std::vector<uint8_t> out(64);
        std::vector<uint8_t> last(32);
        uint32_t outLength = 0;
        uint32_t lastLength = 0;
        auto update = std::async(std::launch::async, [&] {
            return X_EncryptUpdate(device, session, data.data(), 40, out.data(), &outLength);
        });
        waitUntilInside();
        std::atomic<bool> done{false};
        auto other = std::async(std::launch::async, [&] {
            const int32_t r = disconnectMeanwhile
                                  ? X_DisConnectDEV(device)
                                  : X_EncryptFinal(device, session, last.data(), &lastLength);
            done = true;
            return r;
        });
        std::this_thread::sleep_for(kSettle);
        EXPECT_FALSE(done) << "the other call did not wait for the running Update";
        release();
        EXPECT_EQ(update.get(), 0);
        EXPECT_EQ(outLength, 32u);
        EXPECT_EQ(other.get(), 0);
        if (disconnectMeanwhile) {
            EXPECT_EQ(s.sent.size(), 2u) << "nothing more went to the token";
            ASSERT_EQ(X_ConnectDEV(&device, 0), 0);
        } else {
            EXPECT_EQ(lastLength, 16u);
            EXPECT_EQ(s.sent.size(), 4u);
        }
        // Either way the session is gone, and refused without reaching the transport.
        s.sent.clear();
        EXPECT_EQ(X_EncryptFinal(device, session, last.data(), &lastLength), XR_BAD_PARAMETER);
        EXPECT_TRUE(s.sent.empty());
        resetHold();
    }
}

}  // namespace
