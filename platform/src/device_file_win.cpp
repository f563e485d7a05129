// Device files on Windows: overlapped reads and writes, so that a wait can end at its limit;
// an operation still pending then is cancelled before its buffer goes.
#include <windows.h>

#include "platform/device_file.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

DWORD remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return 0;
    return left.count() >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(left.count());
}

bool gone(DWORD error) {
    return error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_BAD_COMMAND ||
           error == ERROR_GEN_FAILURE || error == ERROR_OPERATION_ABORTED ||
           error == ERROR_FILE_NOT_FOUND || error == ERROR_DEV_NOT_EXIST ||
           error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF;
}

class WinDeviceFile final : public DeviceFile {
  public:
    WinDeviceFile(HANDLE file, HANDLE event) : file_(file), event_(event) {}
    ~WinDeviceFile() override {
        ::CloseHandle(file_);
        ::CloseHandle(event_);
    }

    IoResult writeAll(std::span<const std::uint8_t> bytes,
                      std::chrono::milliseconds limit) override {
        const auto deadline = Clock::now() + limit;
        std::size_t done = 0;
        while (done < bytes.size()) {
            DWORD moved = 0;
            const IoResult r = transfer(true, const_cast<std::uint8_t*>(bytes.data()) + done,
                                        bytes.size() - done, moved, deadline);
            if (r != IoResult::Done) return r;
            if (moved == 0) return IoResult::Failed;
            done += moved;
        }
        return IoResult::Done;
    }

    IoResult readExactly(std::span<std::uint8_t> out, std::chrono::milliseconds limit) override {
        const auto deadline = Clock::now() + limit;
        std::size_t done = 0;
        while (done < out.size()) {
            DWORD moved = 0;
            const IoResult r =
                transfer(false, out.data() + done, out.size() - done, moved, deadline);
            if (r != IoResult::Done) return r;
            if (moved == 0) return IoResult::Closed;  // end of file: the device went away
            done += moved;
        }
        return IoResult::Done;
    }

  private:
    IoResult transfer(bool write, std::uint8_t* data, std::size_t size, DWORD& moved,
                      Clock::time_point deadline) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_;
        ::ResetEvent(event_);
        const DWORD chunk = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
        const BOOL started = write ? ::WriteFile(file_, data, chunk, nullptr, &overlapped)
                                   : ::ReadFile(file_, data, chunk, nullptr, &overlapped);
        if (!started && ::GetLastError() != ERROR_IO_PENDING) {
            return gone(::GetLastError()) ? IoResult::Closed : IoResult::Failed;
        }
        if (::WaitForSingleObject(event_, remainingMs(deadline)) != WAIT_OBJECT_0) {
            // The buffer belongs to the caller: the operation must be over before it returns.
            ::CancelIoEx(file_, &overlapped);
            ::GetOverlappedResult(file_, &overlapped, &moved, TRUE);
            return IoResult::Timeout;
        }
        if (!::GetOverlappedResult(file_, &overlapped, &moved, FALSE)) {
            return gone(::GetLastError()) ? IoResult::Closed : IoResult::Failed;
        }
        return IoResult::Done;
    }

    HANDLE file_;
    HANDLE event_;
};

}  // namespace

std::unique_ptr<DeviceFile> DeviceFile::open(const std::string& path) {
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        ::CloseHandle(file);
        return nullptr;
    }
    return std::make_unique<WinDeviceFile>(file, event);
}

}  // namespace platform
