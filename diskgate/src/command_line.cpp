#include "command_line.h"

#include <cstdio>
#include <string>

namespace diskgate {
namespace {

std::string_view inEncoding(const Text& text, ConsoleEncoding encoding) {
    return encoding == ConsoleEncoding::Cp936 ? text.cp936 : text.utf8;
}

void say(ServiceHost& host, const Text& text) {
    host.writeConsole(inEncoding(text, host.consoleEncoding()));
}

void sayInstallError(ServiceHost& host, SystemError error) {
    const std::string format(inEncoding(texts::kInstallError, host.consoleEncoding()));
    char line[128];
    const int n = std::snprintf(line, sizeof line, format.c_str(), static_cast<int>(error));
    if (n > 0) host.writeConsole(std::string_view(line, static_cast<std::size_t>(n)));
}

}  // namespace

int runCommandLine(std::span<const std::string_view> args, ServiceHost& host) {
    if (args.empty()) {
        host.run();
        return 0;
    }
    if (args[0] == "-i") {
        const ServiceHost::InstallOutcome outcome = host.install();
        if (outcome.installed) {
            say(host, texts::kInstalled);
        } else {
            if (outcome.createError) sayInstallError(host, *outcome.createError);
            say(host, texts::kInstallFailed);
        }
        return 0;
    }
    if (args[0] == "-d") {
        say(host, host.uninstall() ? texts::kUninstalled : texts::kUninstallFailed);
        return 0;
    }
    say(host, texts::kUnknownArgument);
    return 0;
}

}  // namespace diskgate
