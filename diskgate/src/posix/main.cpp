#include <string_view>
#include <vector>

#include "command_line.h"
#include "daemon_host.h"

int main(int argc, char** argv) {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    diskgate::posix::DaemonHost host;
    return diskgate::runCommandLine(args, host);
}
