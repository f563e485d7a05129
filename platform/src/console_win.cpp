#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

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

SecretRead readSecret(std::string_view prompt, SecretText& secret) {
    secret.wipe();
    ConsoleHandle input("CONIN$");
    ConsoleHandle output("CONOUT$");
    if (!input.valid() || !output.valid()) return SecretRead::NoTerminal;
    EchoOff quiet(input.get());
    // Never read a secret with echo on.
    if (!quiet.active()) return SecretRead::NoTerminal;
    writeText(output.get(), prompt);
    const auto next = [&input]() -> std::optional<char> {
        char c = 0;
        DWORD got = 0;
        if (!ReadConsoleA(input.get(), &c, 1, &got, nullptr) || got == 0) return std::nullopt;
        return c;
    };
    std::size_t length = 0;
    const SecretRead outcome = collectSecretLine(next, secret.storage(), length);
    secret.setSize(outcome == SecretRead::Read ? length : 0);
    // The user's Enter was not echoed either.
    writeText(output.get(), "\r\n");
    return outcome;
}

void useBinaryStandardStreams() {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}

}  // namespace platform
