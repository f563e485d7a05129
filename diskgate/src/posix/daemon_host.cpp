#include "daemon_host.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "service_body.h"
#include "systemd_unit.h"

namespace diskgate::posix {
namespace {

// The journal keeps what a service writes to its standard error.
void toJournal(const Text& line) {
    std::fwrite(line.utf8.data(), 1, line.utf8.size(), stderr);
    std::fflush(stderr);
}

SystemdSetup systemSetup() {
    SystemdSetup setup;
    setup.systemctl = runSystemctl;
    return setup;
}

}  // namespace

ServiceHost::InstallOutcome DaemonHost::install() {
    return installUnit(systemSetup());
}

bool DaemonHost::uninstall() {
    return uninstallUnit(systemSetup());
}

void DaemonHost::writeConsole(std::string_view bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

void DaemonHost::run() {
    // The stop signals are taken by this thread alone, with sigwait: the worker never sees
    // them, and stopping is ordinary code rather than a signal handler.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);

    ServiceBody body(makeDeviceIo(), toJournal);
    if (!body.start()) return;
    std::thread worker([&body] { body.run(); });
    int received = 0;
    while (sigwait(&stops, &received) != 0) {
    }
    toJournal(texts::kStopControl);
    body.requestStop();
    worker.join();
    toJournal(texts::kStopReported);
}

}  // namespace diskgate::posix
