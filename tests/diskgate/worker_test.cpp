// The worker between the shared memory and the request handler: one copy of each request,
// one answer per signal, and a stop that completes only after the worker has finished.
#include "worker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "memory_channel.h"
#include "service_fixture.h"

namespace {

using namespace std::chrono_literals;
using namespace diskgate::record;
using fixture::Bytes;

fake::Disk token(int n) {
    fake::Disk d;
    d.path = fake::tokenPath(n);
    d.plugIn = {diskgate::PlugIn::Kind::Time, static_cast<std::uint64_t>(n), 0};
    return d;
}

class WorkerTest : public ::testing::Test {
  protected:
    // Writes a request as a client does and waits for the answer.
    Bytes ask(const fixture::Request& request) {
        channel.write(0, request.bytes);
        channel.signalRequest();
        worker.serveOne();
        EXPECT_EQ(channel.waitAnswer(0ms), platform::SignalWait::Signalled);
        Bytes answer(kSize);
        channel.read(0, answer);
        return answer;
    }

    fixture::Service service{{token(1), token(2)}};
    fake::MemoryChannel channel{kSize};
    diskgate::Worker worker{channel, service.handler, nullptr};
};

TEST_F(WorkerTest, RequestChangedByTheClientWhileTheServiceWorksIsNotSeen) {
    const Bytes answer = ask(fixture::enumerate());
    ASSERT_EQ(load32(answer, 8), 2u);
    const std::uint32_t handle = load32(ask(fixture::openByIndex(0)), 8);
    ASSERT_NE(handle, 0u);

    const Bytes command = {0x00, 0xB0, 0x00, 0x00, 0x10};
    const fixture::Request original = fixture::exchange(handle, command);
    bool changed = false;
    service.io.duringPassThrough = [&] {
        if (changed) return;
        changed = true;
        // A length beyond the record, another handle and other command bytes.
        fixture::Request forged =
            fixture::exchangeDeclaring(handle + 1, 0x00FFFFFF, Bytes(64, 0xCC));
        channel.write(0, forged.bytes);
    };
    service.io.events.clear();
    const Bytes reply = ask(original);
    EXPECT_TRUE(changed);
    EXPECT_EQ(load32(reply, 0), 0u);
    Bytes expected = command;
    expected.push_back(0x90);
    expected.push_back(0x00);
    EXPECT_EQ(load32(reply, 4), expected.size());
    EXPECT_EQ(Bytes(reply.begin() + 8, reply.begin() + 8 + expected.size()), expected);
    EXPECT_EQ(service.io.sent(fake::tokenPath(1)), std::vector<Bytes>{command});
}

TEST_F(WorkerTest, OnlyTheAnswerIsWrittenToTheSharedMemory) {
    fixture::Request request = fixture::enumerate();
    request.data(100, Bytes(16, 0x77));
    const Bytes answer = ask(request);
    EXPECT_EQ(Bytes(answer.begin() + 100, answer.begin() + 116), Bytes(16, 0x77));
}

TEST_F(WorkerTest, StopWhileIdleEndsTheLoopAndClosesDisks) {
    ask(fixture::enumerate());
    ask(fixture::openByIndex(0));
    ask(fixture::openByIndex(1));
    ASSERT_EQ(service.io.openCount(), 2);

    std::thread loop([&] { worker.run(); });
    // A request through the running loop: the worker is past its start and waiting again.
    channel.write(0, fixture::enumerate().bytes);
    channel.signalRequest();
    ASSERT_EQ(channel.waitAnswer(5s), platform::SignalWait::Signalled);
    worker.requestStop();
    loop.join();
    EXPECT_TRUE(worker.finished());
    EXPECT_EQ(service.io.openCount(), 0);
}

TEST_F(WorkerTest, StopWhileBusyFinishesOnlyAfterTheRequest) {
    ask(fixture::enumerate());
    const std::uint32_t handle = load32(ask(fixture::openByIndex(0)), 8);
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    service.io.duringPassThrough = [&, released] {
        service.io.duringPassThrough = nullptr;
        entered.set_value();
        released.wait();
    };

    std::thread loop([&] { worker.run(); });
    channel.write(0, fixture::exchange(handle, {0x00, 0x84, 0x00, 0x00, 0x08}).bytes);
    channel.signalRequest();
    entered.get_future().wait();
    worker.requestStop();
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(worker.finished());
    EXPECT_EQ(service.io.openCount(), 1);
    release.set_value();
    loop.join();
    EXPECT_TRUE(worker.finished());
    EXPECT_EQ(service.io.openCount(), 0);
}

}  // namespace
