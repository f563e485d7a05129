// The listed keys: built in full at start-up and at every refresh, then kept up to date one
// arrival or one removal per device-change message. Owns each listed key's device handle.
#ifndef TOKENDESK_DEVICE_LIST_H
#define TOKENDESK_DEVICE_LIST_H

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "device_model.h"
#include "item_code.h"
#include "key_access.h"

namespace tokendesk {

class DeviceList {
  public:
    explicit DeviceList(KeyAccess& keys) : keys_(keys) {}
    ~DeviceList() { clear(); }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;

    // Every listed key, in the order the keys were connected.
    std::span<const DeviceEntry> entries() const { return entries_; }
    std::uint32_t knownCount() const { return knownCount_; }

    // Disconnects and forgets every key.
    void clear();

    // Forgets the list and builds it again from every key that connects; each entry gets a
    // new device id.
    void rebuild();

    struct Change {
        enum class Kind { None, Added, Removed } kind = Kind::None;
        // Added: the new entry (listed last). Removed: the departed entry, its handle already
        // disconnected, for its certificates and its tree.
        DeviceEntry entry;
    };

    // A device-change message: at most one key added or one removed.
    Change deviceChanged();

  private:
    // Builds the entry of a connected key and lists it; false (the handle disconnected) when
    // memory runs out.
    bool append(DeviceHandle* handle);
    // Reads label, serial, containers and certificates of a connected key.
    DeviceEntry build(DeviceHandle* handle);
    void readContainers(DeviceEntry& entry);
    Change removeFirstGone();
    Change addFirstNew(std::uint32_t count);

    KeyAccess& keys_;
    std::vector<DeviceEntry> entries_;
    std::uint32_t knownCount_ = 0;
    DeviceIdCounter ids_;
};

}  // namespace tokendesk

#endif
