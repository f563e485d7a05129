// The key API calls the tool makes, behind an interface so that the device list's rules can be
// tested against scripted keys. TokenApiAccess (key_access_tokenapi.cpp) forwards to the X_
// functions.
#ifndef TOKENDESK_KEY_ACCESS_H
#define TOKENDESK_KEY_ACCESS_H

#include <cstdint>
#include <span>

struct DeviceHandle;
struct ContainerHandle;

namespace tokendesk {

// Every call returns the key API's result: 0, a status word or a library code.
class KeyAccess {
  public:
    virtual ~KeyAccess() = default;
    virtual std::int32_t enumDevices(std::uint32_t& count) = 0;
    virtual std::int32_t connect(int index, DeviceHandle*& device) = 0;
    virtual std::int32_t disconnect(DeviceHandle* device) = 0;
    // `length` is the capacity on entry and the length delivered on return.
    virtual std::int32_t deviceInfo(DeviceHandle* device, std::uint32_t type,
                                    std::span<std::uint8_t> buffer, std::uint32_t& length) = 0;
    virtual std::int32_t enumContainers(DeviceHandle* device, std::span<char> buffer,
                                        std::uint32_t& length) = 0;
    virtual std::int32_t openContainer(DeviceHandle* device, const char* name,
                                       ContainerHandle*& container) = 0;
    virtual std::int32_t containerInfo(DeviceHandle* device, ContainerHandle* container,
                                       std::uint32_t& word) = 0;
    virtual std::int32_t closeContainer(DeviceHandle* device, ContainerHandle* container) = 0;
    virtual std::int32_t exportCertificate(DeviceHandle* device, ContainerHandle* container,
                                           std::uint32_t type, std::span<std::uint8_t> buffer,
                                           std::uint32_t& length) = 0;
    virtual std::int32_t probe(DeviceHandle* device) = 0;  // 8 random bytes, thrown away
    virtual std::int32_t verifyPin(DeviceHandle* device, std::span<const std::uint8_t> pin,
                                   std::uint32_t& retries) = 0;
    virtual std::int32_t changePin(DeviceHandle* device, std::span<const std::uint8_t> current,
                                   std::span<const std::uint8_t> newPin,
                                   std::uint32_t& retries) = 0;
};

}  // namespace tokendesk

#endif
