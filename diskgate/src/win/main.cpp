#include <string_view>
#include <vector>

#include "command_line.h"
#include "service_host.h"

int main(int argc, char** argv) {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    diskgate::win::WinServiceHost host;
    return diskgate::runCommandLine(args, host);
}
