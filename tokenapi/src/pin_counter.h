#pragma once

#include <cstdint>

#include "operation.h"

namespace tokenapi {

struct PinCounter {
    uint8_t counter = 0;  // high nibble: tries allowed; low nibble: tries left
    // Older tokens answer 6D00 to the counter command and keep the counters in file 0020.
    bool fromFile = false;
};

// The retry counter of PIN number 1 (user) or 2 (administrator) in the current directory.
Result<PinCounter> readPinCounter(LockedDevice& device, uint8_t pinNumber);

}  // namespace tokenapi
