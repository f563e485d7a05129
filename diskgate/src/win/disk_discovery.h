// The Windows device layer: present disk interfaces from SetupAPI, their arrival times from
// the registry (or their place in the mass-storage driver's list), and SCSI pass-through with
// the system's own SCSI_PASS_THROUGH_DIRECT, so that 32-bit and 64-bit builds both lay the
// request out as the system expects.
#pragma once

#include <windows.h>

#include <map>
#include <string>

#include "device_io.h"

namespace diskgate::win {

class WinDeviceIo final : public DeviceIo {
  public:
    DiskListing listDisks() override;
    PlugIn plugInOf(const DiskEntry& disk) override;
    OpenResult open(const std::string& path) override;

  private:
    // The device instance behind each path of the last listing: its parent is the USB device.
    std::map<std::string, DWORD> instances_;
};

}  // namespace diskgate::win
