// The 15-byte device status record (BF C8) and what the library reads from it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "operation.h"

namespace tokenapi {

struct DeviceStatus {
    std::array<uint8_t, 15> raw{};

    // 1 or 2; 0 when the record matches neither generation.
    int generation() const {
        if (raw[3] == 1 && raw[4] == 2) return 1;
        if (raw[3] == 2) return 2;
        return 0;
    }
    uint8_t securityState() const { return raw[8]; }
    // Free space for files before the 16-byte reserve.
    uint16_t freeSpace() const { return static_cast<uint16_t>(raw[13] << 8 | raw[14]); }
};

// Reads the record; a reply shorter than 15 bytes is one this library does not know (-1).
Result<DeviceStatus> readDeviceStatus(LockedDevice& device);

// The device generation as the PIN and security-state code need it: 1 or 2, or the failing
// result (-1 for a record of neither generation).
Result<int> readGeneration(LockedDevice& device);

}  // namespace tokenapi
