// The service channel on Windows: a paging-file mapping and two auto-reset events in the
// Global namespace that every process, low-integrity ones included, may open.
#include <windows.h>

#include <cstring>
#include <utility>

#include "low_integrity.h"
#include "platform/service_channel.h"

namespace platform {
namespace {

class Handle {
  public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() {
        if (h_ != nullptr) ::CloseHandle(h_);
    }
    Handle(Handle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    Handle& operator=(Handle&& other) noexcept {
        std::swap(h_, other.h_);
        return *this;
    }
    HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

  private:
    HANDLE h_ = nullptr;
};

class View {
  public:
    View() = default;
    explicit View(void* address) : address_(address) {}
    ~View() {
        if (address_ != nullptr) ::UnmapViewOfFile(address_);
    }
    View(View&& other) noexcept : address_(std::exchange(other.address_, nullptr)) {}
    View& operator=(View&& other) noexcept {
        std::swap(address_, other.address_);
        return *this;
    }
    std::uint8_t* bytes() const { return static_cast<std::uint8_t*>(address_); }
    explicit operator bool() const { return address_ != nullptr; }

  private:
    void* address_ = nullptr;
};

SignalWait waitOn(HANDLE event, std::optional<std::chrono::milliseconds> limit) {
    DWORD ms = INFINITE;
    if (limit) {
        const auto count = limit->count();
        ms = count <= 0 ? 0 : count >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(count);
    }
    switch (::WaitForSingleObject(event, ms)) {
        case WAIT_OBJECT_0:
            return SignalWait::Signalled;
        case WAIT_TIMEOUT:
            return SignalWait::Timeout;
        default:
            return SignalWait::Failed;
    }
}

class WinChannel final : public ServiceChannel {
  public:
    WinChannel(std::size_t size, Handle request, Handle answer, Handle mapping, View view)
        : ServiceChannel(size),
          request_(std::move(request)),
          answer_(std::move(answer)),
          mapping_(std::move(mapping)),
          view_(std::move(view)) {}

    bool read(std::size_t offset, std::span<std::uint8_t> out) override {
        if (offset > size() || out.size() > size() - offset) {
            std::memset(out.data(), 0, out.size());
            return false;
        }
        std::memcpy(out.data(), view_.bytes() + offset, out.size());
        return true;
    }

    bool write(std::size_t offset, std::span<const std::uint8_t> bytes) override {
        if (offset > size() || bytes.size() > size() - offset) return false;
        std::memcpy(view_.bytes() + offset, bytes.data(), bytes.size());
        return true;
    }

    bool signalRequest() override { return ::SetEvent(request_.get()) != 0; }
    bool signalAnswer() override { return ::SetEvent(answer_.get()) != 0; }
    SignalWait waitRequest(std::optional<std::chrono::milliseconds> limit) override {
        return waitOn(request_.get(), limit);
    }
    SignalWait waitAnswer(std::optional<std::chrono::milliseconds> limit) override {
        return waitOn(answer_.get(), limit);
    }

  private:
    Handle request_;
    Handle answer_;
    Handle mapping_;
    View view_;
};

// The view covers exactly the record: a section that someone else created smaller cannot be
// mapped that far, so it is refused instead of read past.
View mapWhole(HANDLE mapping, std::size_t size) {
    return View(::MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, size));
}

}  // namespace

ServiceChannel::Created ServiceChannel::create(const ChannelNames& names) {
    // A null DACL: every account may use the objects.
    SECURITY_DESCRIPTOR sd;
    if (!::InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE)) {
        return {nullptr, Step::RequestSignal};
    }
    SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), &sd, TRUE};

    Handle request(::CreateEventA(&sa, FALSE, FALSE, names.requestSignal.c_str()));
    if (!request) return {nullptr, Step::RequestSignal};
    detail::applyLowIntegrityLabel(request.get());
    Handle answer(::CreateEventA(&sa, FALSE, FALSE, names.answerSignal.c_str()));
    if (!answer) return {nullptr, Step::AnswerSignal};
    detail::applyLowIntegrityLabel(answer.get());
    Handle mapping(::CreateFileMappingA(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0,
                                        static_cast<DWORD>(names.memorySize),
                                        names.memory.c_str()));
    if (!mapping) return {nullptr, Step::Memory};
    detail::applyLowIntegrityLabel(mapping.get());
    View view = mapWhole(mapping.get(), names.memorySize);
    if (!view) return {nullptr, Step::Mapping};
    return {std::make_unique<WinChannel>(names.memorySize, std::move(request), std::move(answer),
                                         std::move(mapping), std::move(view)),
            Step::None};
}

std::unique_ptr<ServiceChannel> ServiceChannel::open(const ChannelNames& names) {
    const DWORD eventAccess = EVENT_MODIFY_STATE | SYNCHRONIZE;
    Handle request(::OpenEventA(eventAccess, FALSE, names.requestSignal.c_str()));
    Handle answer(::OpenEventA(eventAccess, FALSE, names.answerSignal.c_str()));
    Handle mapping(::OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, names.memory.c_str()));
    if (!request || !answer || !mapping) return nullptr;
    View view = mapWhole(mapping.get(), names.memorySize);
    if (!view) return nullptr;
    return std::make_unique<WinChannel>(names.memorySize, std::move(request), std::move(answer),
                                        std::move(mapping), std::move(view));
}

}  // namespace platform
