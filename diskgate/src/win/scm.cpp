#include "scm.h"

#include <windows.h>

#include <memory>
#include <string>

namespace diskgate::win {
namespace {

struct ServiceHandleCloser {
    void operator()(SC_HANDLE h) const { ::CloseServiceHandle(h); }
};
using ServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ServiceHandleCloser>;

std::string installedProgram() {
    char directory[MAX_PATH + 1] = {};
    const UINT n = ::GetSystemDirectoryA(directory, MAX_PATH);
    if (n == 0 || n > MAX_PATH) return {};
    return std::string(directory, n) + "\\diskgate.exe";
}

}  // namespace

ServiceHost::InstallOutcome installService() {
    const std::string program = installedProgram();
    if (program.empty()) return {false, std::nullopt};
    ServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return {false, std::nullopt};
    ServiceHandle service(
        ::CreateServiceA(manager.get(), kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                         SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                         program.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) return {false, static_cast<SystemError>(::GetLastError())};
    return {true, std::nullopt};
}

bool uninstallService() {
    ServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return false;
    ServiceHandle service(::OpenServiceA(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
    if (!service) return false;
    if (!::DeleteService(service.get())) return false;
    return ::CloseServiceHandle(service.release()) != 0;
}

}  // namespace diskgate::win
