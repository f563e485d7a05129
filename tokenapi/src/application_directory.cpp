#include "application_directory.h"

#include <atomic>

#include "tokenapi.h"

namespace tokenapi {
namespace {
// 0 while no container is open.
std::atomic<uint32_t> g_override{0};
}  // namespace

void setPinDirectoryOverride(uint32_t directory) {
    g_override.store(directory);
}

void clearPinDirectoryOverride() {
    g_override.store(0);
}

uint32_t effectivePinType(uint32_t type) {
    const uint32_t o = g_override.load();
    return o != 0 ? o : type;
}

uint16_t pinDirectoryFor(uint32_t effectiveType) {
    return effectiveType == 2 ? kSecondApplication : kFirstApplication;
}

int32_t selectApplication(LockedDevice& session, uint16_t directory) {
    if (int32_t r = session.select(kMasterFile); r != 0) return r;
    return session.select(directory);
}

}  // namespace tokenapi
