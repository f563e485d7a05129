#include "service_body.h"

#include <chrono>
#include <optional>
#include <random>
#include <vector>

#include "diskgate/channel_names.h"
#include "platform/named_mutex.h"

namespace diskgate {

std::uint32_t freshHandleBase() {
    std::uint32_t value = 0;
    try {
        std::random_device device;
        value = device();
    } catch (...) {
        // No source of randomness: the clock still differs from one start to the next.
    }
    value ^= static_cast<std::uint32_t>(
        std::chrono::steady_clock::now().time_since_epoch().count() * 2654435761u);
    return value == 0 ? 1 : value;
}

ServiceBody::ServiceBody(std::unique_ptr<DeviceIo> io, DiagnosticSink diagnostics)
    : io_(std::move(io)), diagnostics_(std::move(diagnostics)) {}

ServiceBody::~ServiceBody() = default;

bool ServiceBody::start() {
    platform::ServiceChannel::Created created = platform::ServiceChannel::create(channelNames());
    if (!created.channel) {
        using Step = platform::ServiceChannel::Step;
        const Text* line = &texts::kRequestEventFailed;
        switch (created.failed) {
            case Step::AnswerSignal:
                line = &texts::kAnswerEventFailed;
                break;
            case Step::Memory:
                line = &texts::kMappingFailed;
                break;
            case Step::Mapping:
                line = &texts::kViewFailed;
                break;
            default:
                break;
        }
        if (diagnostics_) diagnostics_(*line);
        abandon();
        return false;
    }
    channel_ = std::move(created.channel);
    // Objects that clients kept alive across a restart may still hold a request that no
    // service will answer, or a client's mark that one is outstanding: start from a clean
    // record.
    const std::vector<std::uint8_t> zero(record::kSize);
    channel_->write(0, zero);
    handler_ = std::make_unique<RequestHandler>(*io_, freshHandleBase(), diagnostics_);
    auto worker = std::make_unique<Worker>(*channel_, *handler_, diagnostics_);
    std::lock_guard lock(mutex_);
    if (stopRequested_) worker->requestStop();
    worker_ = std::move(worker);
    state_ = State::Started;
    return true;
}

void ServiceBody::run() {
    Worker* worker = nullptr;
    {
        std::lock_guard lock(mutex_);
        worker = worker_.get();
    }
    if (worker == nullptr) return;
    {
        // Taken and given back by this thread, the one that serves. Someone else holding it
        // only means clients cannot tell when this service stops.
        std::unique_ptr<platform::NamedMutex> running =
            platform::NamedMutex::openOrCreate(kServiceRunningMutex);
        std::optional<platform::NamedMutexGuard> held;
        if (running) held.emplace(*running, std::chrono::milliseconds(0));
        worker->run();
    }
    std::lock_guard lock(mutex_);
    state_ = State::Finished;
    changed_.notify_all();
}

void ServiceBody::requestStop() {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
    if (worker_) worker_->requestStop();
}

void ServiceBody::abandon() {
    std::lock_guard lock(mutex_);
    state_ = State::Failed;
    changed_.notify_all();
}

bool ServiceBody::finishedLocked() const {
    return state_ == State::Failed || state_ == State::Finished;
}

bool ServiceBody::finished() const {
    std::lock_guard lock(mutex_);
    return finishedLocked();
}

bool ServiceBody::waitFinished(std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return finishedLocked(); });
}

}  // namespace diskgate
