// Device interfaces on Windows: SetupAPI lists the class's present interfaces, the registry
// tells when each interface's key was last written (when the device arrived).
#include <windows.h>
// clang-format off: setupapi.h needs windows.h first
#include <setupapi.h>
// clang-format on

#include <cstdio>
#include <memory>

#include "platform/device_interfaces.h"

namespace platform {
namespace {

std::optional<GUID> parseGuid(std::string_view text) {
    const std::string s(text);
    unsigned long data1 = 0;
    unsigned int data2 = 0, data3 = 0, b[8] = {};
    char end = 0;
    if (std::sscanf(s.c_str(), "{%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%c", &data1, &data2, &data3,
                    &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], &end) != 12 ||
        end != '}' || s.size() != 38) {
        return std::nullopt;
    }
    GUID guid{};
    guid.Data1 = data1;
    guid.Data2 = static_cast<unsigned short>(data2);
    guid.Data3 = static_cast<unsigned short>(data3);
    for (int i = 0; i < 8; ++i) guid.Data4[i] = static_cast<unsigned char>(b[i]);
    return guid;
}

struct InfoSetCloser {
    void operator()(HDEVINFO set) const { ::SetupDiDestroyDeviceInfoList(set); }
};

std::optional<std::int64_t> keyWriteTime(const std::string& key) {
    HKEY opened = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    FILETIME written{};
    const LONG r = ::RegQueryInfoKeyA(opened, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, &written);
    ::RegCloseKey(opened);
    if (r != ERROR_SUCCESS) return std::nullopt;
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(written.dwHighDateTime) << 32 |
                                     written.dwLowDateTime);
}

}  // namespace

std::optional<std::vector<DeviceInterface>> presentDeviceInterfaces(
    const DeviceInterfaceClass& deviceClass) {
    const std::optional<GUID> guid = parseGuid(deviceClass.interfaceGuid);
    if (!guid) return std::nullopt;
    HDEVINFO set =
        ::SetupDiGetClassDevsA(&*guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return std::nullopt;
    std::unique_ptr<void, InfoSetCloser> release(set);

    std::vector<DeviceInterface> devices;
    for (DWORD member = 0;; ++member) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!::SetupDiEnumDeviceInterfaces(set, nullptr, &*guid, member, &data)) break;
        DWORD needed = 0;
        ::SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &needed, nullptr);
        if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) break;
        std::unique_ptr<std::uint8_t[]> storage(new std::uint8_t[needed]());
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.get());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, nullptr, nullptr)) {
            break;
        }
        const std::string path(detail->DevicePath);
        const std::optional<std::int64_t> time = keyWriteTime(deviceClass.registryKey(path));
        if (!time) continue;
        devices.push_back({path, *time});
    }
    return devices;
}

}  // namespace platform
