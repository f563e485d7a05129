#include "systemd_unit.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <system_error>

#include "posix_errors.h"

namespace diskgate::posix {
namespace {

constexpr SystemError kServiceExists = 1073;  // ERROR_SERVICE_EXISTS
constexpr int kNotFound = 127;                // the shell's "command not found"

}  // namespace

std::string unitText(const std::string& program) {
    return "[Unit]\n"
           "Description=diskgate, the key service for disk-class Tarvex tokens\n"
           "\n"
           "[Service]\n"
           "Type=simple\n"
           "ExecStart=" +
           program +
           "\n"
           "Restart=on-failure\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

ServiceHost::InstallOutcome installUnit(const SystemdSetup& setup) {
    std::error_code error;
    if (!std::filesystem::is_directory(setup.unitDirectory, error)) return {false, std::nullopt};
    const std::filesystem::path unit = setup.unitDirectory / kUnitName;
    if (std::filesystem::exists(unit, error)) return {false, kServiceExists};
    {
        std::ofstream out(unit);
        out << unitText(setup.program);
        out.close();
        if (!out) {
            const int e = errno;
            std::filesystem::remove(unit, error);
            return {false, fromErrno(e)};
        }
    }
    std::filesystem::permissions(unit, std::filesystem::perms(0644), error);
    const int reload = setup.systemctl({"daemon-reload"});
    const int enable = reload == 0 ? setup.systemctl({"enable", kUnitName}) : reload;
    if (enable != 0) {
        std::filesystem::remove(unit, error);
        if (reload == 0) setup.systemctl({"daemon-reload"});
        if (enable == kNotFound) return {false, std::nullopt};
        return {false, static_cast<SystemError>(enable)};
    }
    return {true, std::nullopt};
}

bool uninstallUnit(const SystemdSetup& setup) {
    std::error_code error;
    const std::filesystem::path unit = setup.unitDirectory / kUnitName;
    if (!std::filesystem::exists(unit, error)) return false;
    if (setup.systemctl({"disable", kUnitName}) != 0) return false;
    if (!std::filesystem::remove(unit, error)) return false;
    return setup.systemctl({"daemon-reload"}) == 0;
}

int runSystemctl(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    std::string name = "systemctl";
    argv.push_back(name.data());
    std::vector<std::string> copies = args;
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return kNotFound;
    if (pid == 0) {
        ::execvp("systemctl", argv.data());
        ::_exit(kNotFound);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return kNotFound;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace diskgate::posix
