#include "service_host.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "scm.h"
#include "service_body.h"

namespace diskgate::win {
namespace {

constexpr DWORD kServiceType = 0x30;  // reported as SERVICE_WIN32
constexpr std::chrono::milliseconds kStopStep{3000};

void debuggerLine(const Text& line) {
    const std::string text(line.cp936);
    ::OutputDebugStringA(text.c_str());
}

// What the dispatcher's thread (control handler) and the service's thread (service main)
// share. It lives as long as the process: a control may come while the service main returns.
struct Service {
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    SERVICE_STATUS status{};
    ServiceBody body{makeDeviceIo(), debuggerLine};
};

Service& service() {
    static Service* s = new Service;  // never destroyed: see above
    return *s;
}

void WINAPI controlHandler(DWORD control) {
    Service& s = service();
    switch (control) {
        case SERVICE_CONTROL_STOP:
            s.status.dwWin32ExitCode = 0;
            s.status.dwCheckPoint = 0;
            s.status.dwWaitHint = 0;
            s.status.dwCurrentState = SERVICE_STOPPED;
            s.body.requestStop();
            // Stopped is reported only once the worker has finished and closed every disk.
            while (!s.body.waitFinished(kStopStep)) {
            }
            ::SetServiceStatus(s.statusHandle, &s.status);
            debuggerLine(texts::kStopReported);
            debuggerLine(texts::kStopControl);
            break;
        case SERVICE_CONTROL_PAUSE:
            s.status.dwCurrentState = SERVICE_PAUSED;
            debuggerLine(texts::kPauseControl);
            break;
        case SERVICE_CONTROL_CONTINUE:
            s.status.dwCurrentState = SERVICE_RUNNING;
            debuggerLine(texts::kContinueControl);
            break;
        case SERVICE_CONTROL_INTERROGATE:
            debuggerLine(texts::kInterrogateControl);
            break;
        default:
            break;
    }
}

struct HandleCloser {
    void operator()(HANDLE h) const { ::CloseHandle(h); }
};

void WINAPI serviceMain(DWORD, LPSTR*) {
    Service& s = service();
    s.status.dwServiceType = kServiceType;
    s.status.dwCurrentState = SERVICE_START_PENDING;
    s.status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    s.statusHandle = ::RegisterServiceCtrlHandlerA(kServiceName, controlHandler);
    if (s.statusHandle == nullptr) {
        debuggerLine(texts::kRegisterFailed);
        s.body.abandon();
        return;
    }
    s.status.dwCurrentState = SERVICE_RUNNING;
    if (!::SetServiceStatus(s.statusHandle, &s.status)) {
        debuggerLine(texts::kReportRunningFailed);
        s.body.abandon();
        return;
    }
    // An unnamed, unowned mutex that nothing uses: its creation is one of the start-up
    // steps the service has always reported on.
    std::unique_ptr<void, HandleCloser> unused(::CreateMutexA(nullptr, FALSE, nullptr));
    if (!unused) {
        debuggerLine(texts::kMutexFailed);
        s.body.abandon();
        return;
    }
    if (!s.body.start()) return;
    s.body.run();
}

}  // namespace

ServiceHost::InstallOutcome WinServiceHost::install() {
    return installService();
}

bool WinServiceHost::uninstall() {
    return uninstallService();
}

void WinServiceHost::run() {
    static char name[] = "diskgate";
    const SERVICE_TABLE_ENTRYA table[] = {{name, serviceMain}, {nullptr, nullptr}};
    ::StartServiceCtrlDispatcherA(table);
}

void WinServiceHost::writeConsole(std::string_view bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

}  // namespace diskgate::win
