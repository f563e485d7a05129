// What the service needs from the operating system to reach a disk-class token, behind one
// narrow interface: the present disks, when each was plugged in, opening one, and one SCSI
// pass-through on an open disk. The installed service uses the system's own implementation
// (SetupAPI and DeviceIoControl on Windows, SCSI generic devices and SG_IO on Linux); the test
// build of the service uses disks that are virtual tokens reached over loopback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace diskgate {

// A Windows system error code (the Linux implementation maps errno values onto them), so
// that clients see the same codes whatever system the service runs on.
using SystemError = std::uint32_t;
inline constexpr SystemError kSuccess = 0;
inline constexpr SystemError kErrorAccessDenied = 5;  // ERROR_ACCESS_DENIED
inline constexpr SystemError kErrorIoDevice = 1117;   // ERROR_IO_DEVICE

// Byte 6 of the vendor command block.
enum class Direction : std::uint8_t { Receive = 1, Send = 2 };

struct Transfer {
    SystemError error = kSuccess;  // non-zero: the call failed or the SCSI status was not good
    std::size_t transferred = 0;   // as the system reports it
};

// A disk opened for reading and writing, shared with other openers; closed when destroyed.
class OpenDisk {
  public:
    virtual ~OpenDisk() = default;
    // One vendor SCSI command carrying `data.size()` bytes to the disk (Send) or room for
    // that many from it (Receive).
    virtual Transfer passThrough(Direction direction, std::span<std::uint8_t> data) = 0;
};

struct OpenResult {
    std::unique_ptr<OpenDisk> disk;  // null on failure
    SystemError error = kSuccess;
};

struct DiskEntry {
    std::string path;      // what opening takes; recorded in the token table
    std::string identity;  // where the vendor and product mark is looked for
};

struct DiskListing {
    std::vector<DiskEntry> disks;  // in the system's enumeration order
    // Non-zero: the enumeration ended with this error after the disks listed.
    SystemError endedWith = kSuccess;
};

// When a disk was plugged in, as far as the system can tell.
struct PlugIn {
    enum class Kind {
        Time,      // value: a time stamp (100 ns units, like FILETIME)
        Position,  // value: the disk's place among the token's USB devices the system lists
        Unknown,   // the system has no record of the disk: it is not taken
        Failed,    // the lookup failed with `error`: discovery ends
    };
    Kind kind = Kind::Unknown;
    std::uint64_t value = 0;
    SystemError error = kSuccess;
};

class DeviceIo {
  public:
    virtual ~DeviceIo() = default;
    virtual DiskListing listDisks() = 0;
    virtual PlugIn plugInOf(const DiskEntry& disk) = 0;
    virtual OpenResult open(const std::string& path) = 0;
};

// The implementation a build of the service is made with: the system's own in the installed
// service, the loopback one in its test build.
std::unique_ptr<DeviceIo> makeDeviceIo();

}  // namespace diskgate
