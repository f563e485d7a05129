#include "disk_discovery.h"

// clang-format off: the SetupAPI and SCSI headers need windows.h first
#include <cfgmgr32.h>
#include <ntddscsi.h>
#include <setupapi.h>
#include <winioctl.h>
// clang-format on

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

#include "disk_registry.h"
#include "vendor_command.h"

namespace diskgate::win {
namespace {

// {53f56307-b6bf-11d0-94f2-00a0c91efb8b}: disk device interfaces.
constexpr GUID kDiskInterface = {
    0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

constexpr std::size_t kMaxDeviceId = 256;
constexpr std::size_t kMaxListedId = 260;
constexpr UCHAR kSenseInfoLength = 24;

// The system's pass-through request, a filler and the sense buffer, used as both the input
// and the output of the control call.
struct PassThroughRequest {
    SCSI_PASS_THROUGH_DIRECT request;
    ULONG filler;
    UCHAR sense[32];
};
static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == 0x4D014);
#if !defined(_WIN64)
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44);
static_assert(offsetof(PassThroughRequest, sense) == 48);
static_assert(sizeof(PassThroughRequest) == 80);
#endif

SystemError lastError() {
    const DWORD e = ::GetLastError();
    return e != 0 ? e : kErrorIoDevice;
}

struct DeviceSetCloser {
    void operator()(void* set) const { ::SetupDiDestroyDeviceInfoList(set); }
};

struct KeyCloser {
    void operator()(HKEY key) const { ::RegCloseKey(key); }
};
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

Key openKey(const std::string& path, LONG& error) {
    HKEY key = nullptr;
    error = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key);
    return Key(error == ERROR_SUCCESS ? key : nullptr);
}

class WinDisk final : public OpenDisk {
  public:
    explicit WinDisk(HANDLE file) : file_(file) {}
    ~WinDisk() override { ::CloseHandle(file_); }

    Transfer passThrough(Direction direction, std::span<std::uint8_t> data) override {
        if (data.size() > kMaxVendorTransfer) return {ERROR_INVALID_PARAMETER, 0};
        PassThroughRequest r{};
        r.request.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
        r.request.PathId = 0;
        r.request.TargetId = 1;
        r.request.Lun = 0;
        r.request.CdbLength = kVendorBlockLength;
        r.request.SenseInfoLength = kSenseInfoLength;
        r.request.DataIn =
            direction == Direction::Receive ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_OUT;
        r.request.DataTransferLength = static_cast<ULONG>(data.size());
        r.request.TimeOutValue = kPassThroughTimeoutSeconds;
        r.request.DataBuffer = data.data();
        r.request.SenseInfoOffset = offsetof(PassThroughRequest, sense);
        const auto block = vendorCommandBlock(direction, static_cast<std::uint16_t>(data.size()));
        std::copy(block.begin(), block.end(), r.request.Cdb);
        DWORD returned = 0;
        if (!::DeviceIoControl(file_, IOCTL_SCSI_PASS_THROUGH_DIRECT, &r, sizeof r, &r, sizeof r,
                               &returned, nullptr)) {
            return {lastError(), 0};
        }
        // The call went through but the device refused the command: a failure with a reason.
        if (r.request.ScsiStatus != 0) return {kErrorIoDevice, 0};
        return {kSuccess, r.request.DataTransferLength};
    }

  private:
    HANDLE file_;
};

std::vector<std::string> massStorageIds(HKEY key, DWORD count) {
    std::vector<std::string> ids;
    for (DWORD i = 0; i < count; ++i) {
        char value[kMaxListedId + 1] = {};
        DWORD size = kMaxListedId;
        DWORD type = 0;
        const std::string name = std::to_string(i);
        if (::RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(value),
                               &size) != ERROR_SUCCESS ||
            type != REG_SZ) {
            ids.emplace_back();  // unreadable: holds its place, matches nothing
            continue;
        }
        ids.emplace_back(value, ::strnlen(value, size));
    }
    return ids;
}

}  // namespace

DiskListing WinDeviceIo::listDisks() {
    DiskListing listing;
    instances_.clear();
    HDEVINFO raw = ::SetupDiGetClassDevsA(&kDiskInterface, nullptr, nullptr,
                                          DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (raw == INVALID_HANDLE_VALUE) {
        listing.endedWith = lastError();
        return listing;
    }
    std::unique_ptr<void, DeviceSetCloser> set(raw);
    for (DWORD member = 0;; ++member) {
        SP_DEVICE_INTERFACE_DATA item{};
        item.cbSize = sizeof item;
        if (!::SetupDiEnumDeviceInterfaces(raw, nullptr, &kDiskInterface, member, &item)) break;
        DWORD needed = 0;
        ::SetupDiGetDeviceInterfaceDetailA(raw, &item, nullptr, 0, &needed, nullptr);
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            listing.endedWith = lastError();
            break;
        }
        // Aligned for the record; its size field is the system's own for this build.
        std::vector<std::uint64_t> storage(needed / sizeof(std::uint64_t) + 1);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        if (!::SetupDiGetDeviceInterfaceDetailA(raw, &item, detail, needed, nullptr, &info)) {
            continue;
        }
        const std::string path(detail->DevicePath);
        instances_[path] = info.DevInst;
        listing.disks.push_back({path, path});
    }
    return listing;
}

PlugIn WinDeviceIo::plugInOf(const DiskEntry& disk) {
    LONG error = 0;
    if (Key key = openKey(interfaceKeyOf(disk.path), error)) {
        FILETIME written{};
        if (::RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, &written) == ERROR_SUCCESS) {
            const std::uint64_t time =
                static_cast<std::uint64_t>(written.dwHighDateTime) << 32 | written.dwLowDateTime;
            return {PlugIn::Kind::Time, time, kSuccess};
        }
    }
    // No interface key: the mass-storage driver's list says where the disk stands.
    const auto instance = instances_.find(disk.path);
    DEVINST parent = 0;
    char parentId[kMaxDeviceId] = {};
    if (instance == instances_.end() ||
        ::CM_Get_Parent(&parent, instance->second, 0) != CR_SUCCESS ||
        ::CM_Get_Device_IDA(parent, parentId, sizeof parentId - 1, 0) != CR_SUCCESS) {
        return {PlugIn::Kind::Unknown, 0, kSuccess};
    }
    Key list = openKey(std::string(kMassStorageEnumKey), error);
    if (!list) return {PlugIn::Kind::Failed, 0, static_cast<SystemError>(error)};
    DWORD count = 0;
    DWORD size = sizeof count;
    DWORD type = 0;
    error = ::RegQueryValueExA(list.get(), "Count", nullptr, &type, reinterpret_cast<BYTE*>(&count),
                               &size);
    if (error != ERROR_SUCCESS) return {PlugIn::Kind::Failed, 0, static_cast<SystemError>(error)};
    if (type != REG_DWORD) return {PlugIn::Kind::Failed, 0, ERROR_INVALID_DATA};
    // The driver lists a handful of devices; a damaged count must not keep the worker busy.
    constexpr DWORD kMostListed = 4096;
    return placeAmongTokenDevices(massStorageIds(list.get(), std::min(count, kMostListed)),
                                  parentId);
}

OpenResult WinDeviceIo::open(const std::string& path) {
    HANDLE file =
        ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {nullptr, lastError()};
    return {std::make_unique<WinDisk>(file), kSuccess};
}

}  // namespace diskgate::win
