// The installed daemon's device layer.
#include "sg_device_io.h"

namespace diskgate {

std::unique_ptr<DeviceIo> makeDeviceIo() {
    return std::make_unique<posix::SgDeviceIo>();
}

}  // namespace diskgate
