// Named mutexes on Windows: kernel mutexes that every process of the machine may open,
// low-integrity ones included.
#include <windows.h>

#include <string>

#include "low_integrity.h"
#include "platform/named_mutex.h"

namespace platform {
namespace {

class WinNamedMutex final : public NamedMutex {
  public:
    explicit WinNamedMutex(HANDLE handle) : handle_(handle) {}
    ~WinNamedMutex() override { ::CloseHandle(handle_); }

    WaitResult wait(std::optional<std::chrono::milliseconds> limit) override {
        DWORD ms = INFINITE;
        if (limit) {
            const auto count = limit->count();
            ms = count <= 0 ? 0 : count >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(count);
        }
        switch (::WaitForSingleObject(handle_, ms)) {
            case WAIT_OBJECT_0:
                return WaitResult::Acquired;
            case WAIT_ABANDONED:
                return WaitResult::Abandoned;
            case WAIT_TIMEOUT:
                return WaitResult::Timeout;
            default:
                return WaitResult::Failed;
        }
    }

    void release() override { ::ReleaseMutex(handle_); }

  private:
    HANDLE handle_;
};

}  // namespace

std::unique_ptr<NamedMutex> NamedMutex::openOrCreate(std::string_view name) {
    const std::string n(name);
    HANDLE handle = ::OpenMutexA(MUTEX_ALL_ACCESS, TRUE, n.c_str());
    if (handle == nullptr) {
        // A null DACL: every account may use the mutex.
        SECURITY_DESCRIPTOR sd;
        if (!::InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) ||
            !::SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE)) {
            return nullptr;
        }
        SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), &sd, TRUE};
        handle = ::CreateMutexA(&sa, FALSE, n.c_str());
        if (handle == nullptr) return nullptr;
        detail::applyLowIntegrityLabel(handle);
    }
    return std::make_unique<WinNamedMutex>(handle);
}

}  // namespace platform
