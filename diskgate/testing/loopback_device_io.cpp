// The test build's device layer.
#include "loopback_disks.h"

namespace diskgate {

std::unique_ptr<DeviceIo> makeDeviceIo() {
    return std::make_unique<loopback::LoopbackDeviceIo>(loopback::diskListPath());
}

}  // namespace diskgate
