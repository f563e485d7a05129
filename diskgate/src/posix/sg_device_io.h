// The Linux device layer: SCSI generic devices (/dev/sgN) whose vendor and model carry the
// token's mark, opened for reading and writing, and SG_IO with the vendor command block.
#pragma once

#include <filesystem>

#include "device_io.h"

namespace diskgate::posix {

class SgDeviceIo final : public DeviceIo {
  public:
    // `sysfs` holds class/scsi_generic, `dev` the device nodes; tests point them elsewhere.
    explicit SgDeviceIo(std::filesystem::path sysfs = "/sys", std::filesystem::path dev = "/dev");

    // Every SCSI generic device, in the order of its number. Its identity reads like the
    // Windows device path's: "VEN_<vendor>&PROD_<model>", spaces as '_'.
    DiskListing listDisks() override;
    // The time the kernel made the device node: when the disk appeared.
    PlugIn plugInOf(const DiskEntry& disk) override;
    OpenResult open(const std::string& path) override;

  private:
    std::filesystem::path sysfs_;
    std::filesystem::path dev_;
};

// "VEN_<vendor>&PROD_<model>" from the device's SCSI inquiry strings.
std::string identityOf(std::string vendor, std::string model);

}  // namespace diskgate::posix
