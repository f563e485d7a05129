// A device opened for reading and writing (the token's device interface), shared with other
// programs, with a time limit on every wait: a device that stops answering must not hang its
// caller.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/io_result.h"

namespace platform {

class DeviceFile {
  public:
    // Opens an existing device for reading and writing, shared for reading and writing with
    // other programs. Null when it cannot be opened (absent, held exclusively, no access).
    static std::unique_ptr<DeviceFile> open(const std::string& path);

    virtual ~DeviceFile() = default;

    virtual IoResult writeAll(std::span<const std::uint8_t> bytes,
                              std::chrono::milliseconds limit) = 0;
    // Fills `out` completely, continuing short reads, within the limit.
    virtual IoResult readExactly(std::span<std::uint8_t> out, std::chrono::milliseconds limit) = 0;

    DeviceFile(const DeviceFile&) = delete;
    DeviceFile& operator=(const DeviceFile&) = delete;

  protected:
    DeviceFile() = default;
};

}  // namespace platform
