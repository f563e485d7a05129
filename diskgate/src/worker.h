// The service's worker: one request at a time, for as long as the service runs. The stop
// control (on another thread) clears the running flag and wakes the worker with a request
// that no command uses; the worker answers it, leaves its loop, closes every disk still open
// and only then counts as finished.
#pragma once

#include <atomic>
#include <vector>

#include "platform/service_channel.h"
#include "request_handler.h"

namespace diskgate {

class Worker {
  public:
    Worker(platform::ServiceChannel& channel, RequestHandler& handler, DiagnosticSink diagnostics);

    // The loop. Returns once stopped, after closing the disks still open.
    void run();
    // One round: copies the request out of the shared memory once, answers it from that copy,
    // writes the answer and signals it.
    void serveOne();

    // From the control thread: the loop ends after the request it is working on, or at once
    // when it is waiting.
    void requestStop();
    bool finished() const { return finished_.load(); }

  private:
    platform::ServiceChannel& channel_;
    RequestHandler& handler_;
    DiagnosticSink diagnostics_;
    std::atomic<bool> running_{true};
    std::atomic<bool> finished_{false};
    std::vector<std::uint8_t> request_;
    std::vector<std::uint8_t> answer_;
};

}  // namespace diskgate
