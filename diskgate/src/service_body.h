// What the service does between start and stop, on any system: the channel to its clients,
// the request handler over the device layer, and the worker. The system's service frame
// (the service control manager on Windows, a foreground daemon under systemd on Linux)
// reports the states around it and calls requestStop from its own thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "device_io.h"
#include "platform/service_channel.h"
#include "request_handler.h"
#include "worker.h"

namespace diskgate {

class ServiceBody {
  public:
    ServiceBody(std::unique_ptr<DeviceIo> io, DiagnosticSink diagnostics);
    ~ServiceBody();

    // Creates the named objects; false, after the diagnostic line of the step that failed,
    // when they cannot be made (the body then counts as finished).
    bool start();
    // The worker loop, until requestStop (on another thread); at once when start failed.
    void run();
    // May come at any time, also before or during start: the loop then ends at once.
    void requestStop();
    // True once the worker has left its loop and closed every disk, or start failed.
    bool finished() const;
    // Waits at most `limit` for finished().
    bool waitFinished(std::chrono::milliseconds limit) const;
    // The frame's own start-up failed before start: the body will never run, so a stop
    // request must not wait for it.
    void abandon();

  private:
    enum class State { NotStarted, Failed, Started, Finished };
    bool finishedLocked() const;

    std::unique_ptr<DeviceIo> io_;
    DiagnosticSink diagnostics_;
    std::unique_ptr<platform::ServiceChannel> channel_;
    std::unique_ptr<RequestHandler> handler_;
    // Guards the hand-over between the thread that starts the body and the one that stops it.
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    State state_ = State::NotStarted;
    bool stopRequested_ = false;
    std::unique_ptr<Worker> worker_;
};

// A value to start counting handles from that differs from one start of the service to the
// next, so that a client still holding a handle of an earlier run finds nothing.
std::uint32_t freshHandleBase();

}  // namespace diskgate
