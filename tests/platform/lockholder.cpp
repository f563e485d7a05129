// lockholder NAME HOLD_MS [--die]
//
// Takes the named mutex NAME (waiting as long as it takes), prints "held" on its own line,
// keeps it for HOLD_MS milliseconds, then releases it and prints "released". With --die it
// kills itself with SIGKILL instead, still holding the mutex, as a crashed owner would.
// Tests use it as the other process that holds a machine-wide lock.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/named_mutex.h"

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4 || (argc == 4 && std::strcmp(argv[3], "--die") != 0)) {
        std::fprintf(stderr, "usage: lockholder NAME HOLD_MS [--die]\n");
        return 2;
    }
    const bool die = argc == 4;
    const long holdMs = std::strtol(argv[2], nullptr, 10);

    auto mutex = platform::NamedMutex::openOrCreate(argv[1]);
    if (!mutex) {
        std::fprintf(stderr, "lockholder: cannot open %s\n", argv[1]);
        return 3;
    }
    const platform::WaitResult result = mutex->wait(std::nullopt);
    if (!platform::owns(result)) {
        std::fprintf(stderr, "lockholder: wait failed\n");
        return 4;
    }
    if (result == platform::WaitResult::Abandoned) {
        std::fprintf(stderr, "lockholder: the previous owner died holding %s\n", argv[1]);
    }
    std::printf("held\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
    if (die) std::raise(SIGKILL);
    mutex->release();
    std::printf("released\n");
    std::fflush(stdout);
    return 0;
}
