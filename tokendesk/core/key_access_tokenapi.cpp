#include "key_access_tokenapi.h"

#include <tokenapi.h>

#include <array>

namespace tokendesk {

namespace {

std::uint32_t size32(std::size_t size) {
    return static_cast<std::uint32_t>(size);
}

}  // namespace

std::int32_t TokenApiAccess::enumDevices(std::uint32_t& count) {
    return X_EnumDEV(0, &count);
}

std::int32_t TokenApiAccess::connect(int index, DeviceHandle*& device) {
    return X_ConnectDEV(&device, index);
}

std::int32_t TokenApiAccess::disconnect(DeviceHandle* device) {
    return X_DisConnectDEV(device);
}

std::int32_t TokenApiAccess::deviceInfo(DeviceHandle* device, std::uint32_t type,
                                        std::span<std::uint8_t> buffer, std::uint32_t& length) {
    if (length > buffer.size()) length = size32(buffer.size());
    return X_GetDEVInfo(device, type, buffer.data(), &length);
}

std::int32_t TokenApiAccess::enumContainers(DeviceHandle* device, std::span<char> buffer,
                                            std::uint32_t& length) {
    if (length > buffer.size()) length = size32(buffer.size());
    return X_EnumContainer(device, buffer.data(), &length);
}

std::int32_t TokenApiAccess::openContainer(DeviceHandle* device, const char* name,
                                           ContainerHandle*& container) {
    return X_OpenContainer(device, name, &container);
}

std::int32_t TokenApiAccess::containerInfo(DeviceHandle* device, ContainerHandle* container,
                                           std::uint32_t& word) {
    return X_GetContainerInfo(device, container, &word);
}

std::int32_t TokenApiAccess::closeContainer(DeviceHandle* device, ContainerHandle* container) {
    return X_CloseContainer(device, container);
}

std::int32_t TokenApiAccess::exportCertificate(DeviceHandle* device, ContainerHandle* container,
                                               std::uint32_t type, std::span<std::uint8_t> buffer,
                                               std::uint32_t& length) {
    if (length > buffer.size()) length = size32(buffer.size());
    return X_ExportUserCert(device, container, type, buffer.data(), &length);
}

std::int32_t TokenApiAccess::probe(DeviceHandle* device) {
    std::array<std::uint8_t, 8> random{};
    return X_GenRandom(device, random.data(), size32(random.size()));
}

std::int32_t TokenApiAccess::verifyPin(DeviceHandle* device, std::span<const std::uint8_t> pin,
                                       std::uint32_t& retries) {
    return X_VerifyPIN(device, XPIN_USER, pin.data(), size32(pin.size()), &retries);
}

std::int32_t TokenApiAccess::changePin(DeviceHandle* device, std::span<const std::uint8_t> current,
                                       std::span<const std::uint8_t> newPin,
                                       std::uint32_t& retries) {
    return X_ChangePIN(device, XPIN_USER, current.data(), size32(current.size()), newPin.data(),
                       size32(newPin.size()), &retries);
}

}  // namespace tokendesk
