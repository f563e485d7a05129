// KeyAccess over the key API library.
#ifndef TOKENDESK_KEY_ACCESS_TOKENAPI_H
#define TOKENDESK_KEY_ACCESS_TOKENAPI_H

#include "key_access.h"

namespace tokendesk {

class TokenApiAccess final : public KeyAccess {
  public:
    std::int32_t enumDevices(std::uint32_t& count) override;
    std::int32_t connect(int index, DeviceHandle*& device) override;
    std::int32_t disconnect(DeviceHandle* device) override;
    std::int32_t deviceInfo(DeviceHandle* device, std::uint32_t type,
                            std::span<std::uint8_t> buffer, std::uint32_t& length) override;
    std::int32_t enumContainers(DeviceHandle* device, std::span<char> buffer,
                                std::uint32_t& length) override;
    std::int32_t openContainer(DeviceHandle* device, const char* name,
                               ContainerHandle*& container) override;
    std::int32_t containerInfo(DeviceHandle* device, ContainerHandle* container,
                               std::uint32_t& word) override;
    std::int32_t closeContainer(DeviceHandle* device, ContainerHandle* container) override;
    std::int32_t exportCertificate(DeviceHandle* device, ContainerHandle* container,
                                   std::uint32_t type, std::span<std::uint8_t> buffer,
                                   std::uint32_t& length) override;
    std::int32_t probe(DeviceHandle* device) override;
    std::int32_t verifyPin(DeviceHandle* device, std::span<const std::uint8_t> pin,
                           std::uint32_t& retries) override;
    std::int32_t changePin(DeviceHandle* device, std::span<const std::uint8_t> current,
                           std::span<const std::uint8_t> newPin, std::uint32_t& retries) override;
};

}  // namespace tokendesk

#endif
