#include "worker.h"

#include <array>
#include <chrono>
#include <thread>

#include "platform/secure_wipe.h"
#include "texts.h"

namespace diskgate {
namespace {

// A wait that fails at once would otherwise spin the processor for as long as it keeps
// failing.
constexpr std::chrono::milliseconds kPauseAfterFailedWait{100};

}  // namespace

Worker::Worker(platform::ServiceChannel& channel, RequestHandler& handler,
               DiagnosticSink diagnostics)
    : channel_(channel),
      handler_(handler),
      diagnostics_(std::move(diagnostics)),
      request_(record::kSize),
      answer_(record::kSize) {}

void Worker::run() {
    while (running_.load()) {
        if (channel_.waitRequest(std::nullopt) != platform::SignalWait::Signalled) {
            if (diagnostics_) diagnostics_(texts::kWaitFailed);
            std::this_thread::sleep_for(kPauseAfterFailedWait);
            continue;
        }
        serveOne();
    }
    handler_.closeAll();
    finished_.store(true);
    if (diagnostics_) diagnostics_(texts::kWorkerEnded);
}

void Worker::serveOne() {
    // The one read of the request: a client may change the shared memory while we work.
    channel_.read(0, request_);
    const std::size_t used = handler_.handle(RecordView(request_.data(), record::kSize),
                                             RecordBuffer(answer_.data(), record::kSize));
    channel_.write(0, std::span(answer_).first(used));
    channel_.signalAnswer();
    // Commands and answers may carry PIN proofs, key material or deciphered data: the
    // service's own copies do not outlive the request.
    platform::secureWipe(request_.data(), request_.size());
    platform::secureWipe(answer_.data(), used);
}

void Worker::requestStop() {
    running_.store(false);
    std::array<std::uint8_t, 4> word{};
    record::store32(word, 0, record::kStopWord);
    channel_.write(record::kCommandOffset, word);
    channel_.signalRequest();
}

}  // namespace diskgate
