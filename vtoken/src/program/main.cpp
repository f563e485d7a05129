#include <iostream>
#include <string_view>
#include <vector>

#include "vtoken/cli.h"

int main(int argc, char** argv) {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    return vtoken::runCli(args, std::cout, std::cerr);
}
