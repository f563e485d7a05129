// What the Windows device layer reads from the registry to tell when a disk was plugged in,
// as text work that needs no registry: the interface key of a device path, and a disk's place
// among the token's USB devices in the mass-storage driver's list.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "device_io.h"

namespace diskgate {

inline constexpr std::string_view kDiskClassGuid = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
inline constexpr std::string_view kMassStorageEnumKey =
    "SYSTEM\\CurrentControlSet\\Services\\USBSTOR\\Enum";
// The USB identity of the token's parent device, compared after upper-casing.
inline constexpr std::string_view kTokenUsbIdentity = "USB\\VID_4612&PID_04B4";

// The key under HKEY_LOCAL_MACHINE whose last-write time is the interface's arrival: the
// device class key, the path with its first, second and fourth characters (\\?\) turned into
// '#', then "\Control".
std::string interfaceKeyOf(std::string_view devicePath);

// ASCII letters upper-cased, everything else as it is.
std::string upperCased(std::string_view text);

// The disk's place among the token's USB devices: the mass-storage driver lists device ids
// ("0", "1", ...); each that begins with the token's USB identity counts one place, and the
// place is the count when the value equal to the parent's id (upper-cased) comes. Unknown
// when it never comes or comes before any token's.
PlugIn placeAmongTokenDevices(const std::vector<std::string>& listedIds, std::string_view parentId);

}  // namespace diskgate
