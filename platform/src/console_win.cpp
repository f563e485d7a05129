#include <windows.h>

#include "platform/console.h"

namespace platform {
namespace {

// The console itself, not the standard handles: the prompt must reach a person also when
// stdin or stdout are redirected.
class ConsoleHandle {
  public:
    explicit ConsoleHandle(const char* name)
        : handle_(CreateFileA(name, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr)) {}
    ~ConsoleHandle() {
        if (valid()) CloseHandle(handle_);
    }
    ConsoleHandle(const ConsoleHandle&) = delete;
    ConsoleHandle& operator=(const ConsoleHandle&) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

  private:
    HANDLE handle_;
};

// Echo off for one scope, the previous mode back on every path.
class EchoOff {
  public:
    explicit EchoOff(HANDLE input) : input_(input) {
        if (!GetConsoleMode(input_, &saved_)) return;
        active_ = SetConsoleMode(input_, (saved_ & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) |
                                             ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) != 0;
    }
    ~EchoOff() {
        if (active_) SetConsoleMode(input_, saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;
    bool active() const { return active_; }

  private:
    HANDLE input_;
    DWORD saved_ = 0;
    bool active_ = false;
};

void writeText(HANDLE output, std::string_view text) {
    DWORD written = 0;
    WriteConsoleA(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace

std::optional<std::string> readSecret(std::string_view prompt) {
    ConsoleHandle input("CONIN$");
    ConsoleHandle output("CONOUT$");
    if (!input.valid() || !output.valid()) return std::nullopt;
    EchoOff quiet(input.get());
    // Never read a secret with echo on.
    if (!quiet.active()) return std::nullopt;
    writeText(output.get(), prompt);
    std::string line;
    for (;;) {
        char c = 0;
        DWORD got = 0;
        if (!ReadConsoleA(input.get(), &c, 1, &got, nullptr) || got == 0) return std::nullopt;
        if (c == '\n') break;
        if (c != '\r') line.push_back(c);
    }
    // The user's Enter was not echoed either.
    writeText(output.get(), "\r\n");
    return line;
}

}  // namespace platform
