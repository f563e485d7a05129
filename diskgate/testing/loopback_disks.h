// The test build's device layer: its disks are virtual tokens that listen on loopback and
// accept the vendor command blocks, listed in a small text file. Compiled only into the test
// build of the service, never into the one that is installed.
//
// The list is read at every discovery, so a test can plug tokens in and out between two.
// One disk per line; a line that starts with '#' is a comment:
//
//   PATH  PLUG-IN-TIME  HOST:PORT
//
// PATH is what the system would call the disk (no spaces), PLUG-IN-TIME a decimal number.
//
// Each disk is one connection to a virtual token serving "scsi:listen:HOST:PORT", shared by
// every handle open on it. On the wire, each pass-through is one message each way, numbers
// little-endian:
//   to the token:   the 10-byte vendor block, a 32-bit data length, the data (a send's bytes)
//   to the service: the SCSI status byte, a 32-bit data length, the data (a receive's bytes)
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device_io.h"

namespace diskgate::loopback {

struct VirtualDisk {
    std::string path;
    std::uint64_t plugIn = 0;
    std::string host;
    std::uint16_t port = 0;
};

// The disks listed in `text`; lines that do not parse are left out.
std::vector<VirtualDisk> parseDiskList(std::string_view text);

// Where the list is: DISKGATE_VIRTUAL_DISKS when set, else "virtual-disks.txt" beside the
// program (a service started by the service control manager has no environment of ours).
std::filesystem::path diskListPath();

class DiskConnection;

class LoopbackDeviceIo final : public DeviceIo {
  public:
    explicit LoopbackDeviceIo(std::filesystem::path listPath);
    DiskListing listDisks() override;
    PlugIn plugInOf(const DiskEntry& disk) override;
    OpenResult open(const std::string& path) override;

  private:
    std::optional<VirtualDisk> find(const std::string& path);
    std::filesystem::path listPath_;
    std::vector<VirtualDisk> disks_;
    // One connection per disk, shared by the handles open on it; gone with the last of them.
    std::map<std::string, std::weak_ptr<DiskConnection>> connections_;
};

}  // namespace diskgate::loopback
