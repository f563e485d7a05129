#include "free_ports.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <stdexcept>

namespace testbed {
namespace {

// vpcd binds every address, so the port must be free on every address, not just loopback.
bool portFree(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return free;
}

}  // namespace

std::vector<int> freePortPairs(int count) {
    std::random_device seed;
    std::mt19937 random(seed());
    std::uniform_int_distribution<int> pick(20000 / 2, 60000 / 2);
    std::vector<int> bases;
    for (int attempt = 0; static_cast<int>(bases.size()) < count; ++attempt) {
        if (attempt > 10000) throw std::runtime_error("no free loopback port pairs");
        const int base = pick(random) * 2;
        if (std::find(bases.begin(), bases.end(), base) != bases.end()) continue;
        if (portFree(base) && portFree(base + 1)) bases.push_back(base);
    }
    return bases;
}

}  // namespace testbed
