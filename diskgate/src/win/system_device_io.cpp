// The installed service's device layer.
#include "disk_discovery.h"

namespace diskgate {

std::unique_ptr<DeviceIo> makeDeviceIo() {
    return std::make_unique<win::WinDeviceIo>();
}

}  // namespace diskgate
