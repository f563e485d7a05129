// Scripted keys for the device list: each key has its label, serial and containers, can be
// plugged in and pulled out, and can be told to fail a call. Counts the handles left open.
#ifndef TOKENDESK_TESTS_FAKE_KEYS_H
#define TOKENDESK_TESTS_FAKE_KEYS_H

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "key_access.h"

namespace tokendesk::testing {

struct FakeContainer {
    std::string name;
    std::uint32_t infoWord = 0;
    std::vector<std::uint8_t> encryptionCertificate;
    std::vector<std::uint8_t> signatureCertificate;
    bool openFails = false;
    bool infoFails = false;
};

struct FakeKey {
    std::string label;
    std::string serial;
    std::vector<FakeContainer> containers;
    bool present = true;
    bool labelFails = false;
    bool serialFails = false;
    bool connectFails = false;
};

class FakeKeys final : public KeyAccess {
  public:
    // Keys in the order the enumeration lists the present ones.
    std::vector<FakeKey> keys;
    bool enumFails = false;

    int openHandles() const { return static_cast<int>(handles_.size()); }
    int openContainers() const { return openContainers_; }

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
    std::int32_t verifyPin(DeviceHandle*, std::span<const std::uint8_t>, std::uint32_t&) override {
        return -1;
    }
    std::int32_t changePin(DeviceHandle*, std::span<const std::uint8_t>,
                           std::span<const std::uint8_t>, std::uint32_t&) override {
        return -1;
    }

  private:
    FakeKey* keyOf(DeviceHandle* device);
    const FakeContainer* containerOf(DeviceHandle* device, ContainerHandle* container);

    // A handle is the address of a cell holding the key's index in `keys`.
    std::map<DeviceHandle*, std::unique_ptr<std::size_t>> handles_;
    std::map<ContainerHandle*, std::unique_ptr<std::size_t>> containers_;
    int openContainers_ = 0;
};

}  // namespace tokendesk::testing

#endif
