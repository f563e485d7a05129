// Random numbers come from the token: GET CHALLENGE hands out 8 bytes at a time.
#include <algorithm>

#include "commands.h"
#include "operation.h"
#include "tokenapi.h"

using namespace tokenapi;

namespace {
constexpr size_t kChallengeLength = 8;
}  // namespace

extern "C" {

XAPI X_GenRandom(DeviceHandle* device, uint8_t* buffer, uint32_t length) {
    // A missing output buffer is a missing object pointer, like a missing device handle.
    const bool noBuffer = buffer == nullptr && length != 0;
    return runDeviceOp(
        device, {.arguments = noBuffer ? XR_BAD_HANDLE : 0}, [&](LockedDevice& s) -> int32_t {
            // Bytes of earlier pieces stay in the buffer when a later piece fails.
            for (size_t done = 0; done < length;) {
                Response r = s.send(cmd::getChallenge());
                if (!r.ok()) return r.result;
                if (r.value.size() < kChallengeLength) return -1;
                const size_t take = std::min(kChallengeLength, size_t{length} - done);
                std::copy_n(r.value.begin(), take, buffer + done);
                done += take;
            }
            return 0;
        });
}

}  // extern "C"
