// lockholder NAME HOLD [--die]
//
// Takes the named mutex NAME (waiting as long as it takes), prints "held" on its own line,
// keeps it, then releases it and prints "released". HOLD is a time in milliseconds, or
// "until-signal": held until the process receives SIGUSR1, so that a test decides when the
// other process lets go instead of racing a fixed time on a loaded machine. With --die it
// kills itself with SIGKILL instead of releasing, still holding the mutex, as a crashed owner
// would. Tests use it as the other process that holds a machine-wide lock.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/named_mutex.h"

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4 || (argc == 4 && std::strcmp(argv[3], "--die") != 0)) {
        std::fprintf(stderr, "usage: lockholder NAME HOLD_MS|until-signal [--die]\n");
        return 2;
    }
    const bool die = argc == 4;
    const bool untilSignal = std::strcmp(argv[2], "until-signal") == 0;
    const long holdMs = untilSignal ? 0 : std::strtol(argv[2], nullptr, 10);

    // Blocked before "held" is printed, so that a signal sent right after it is not lost.
    sigset_t release;
    sigemptyset(&release);
    sigaddset(&release, SIGUSR1);
    if (untilSignal) pthread_sigmask(SIG_BLOCK, &release, nullptr);

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
    if (untilSignal) {
        int received = 0;
        sigwait(&release, &received);
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
    }
    if (die) raise(SIGKILL);
    mutex->release();
    std::printf("released\n");
    std::fflush(stdout);
    return 0;
}
