// Device numbering across the four transports, rebuilt by every X_EnumDEV.
#pragma once

#include <cstdint>

namespace tokenapi {

struct DeviceSlot {
    char tag = '\0';
    int32_t index = -1;
};

// Enumerates the four transports in the fixed order and returns the total; a transport whose
// enumeration fails counts no devices.
uint32_t enumerateDevices();
// Maps a device number of the last enumeration to its transport and index; tag '\0' when the
// number is out of range (also before any enumeration).
DeviceSlot slotOf(int32_t number);

}  // namespace tokenapi
