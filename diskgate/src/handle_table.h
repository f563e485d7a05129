// The disks the service opened for its clients, under the values it handed out. Clients
// reach an open disk only through a value from this table: a value never handed out, or one
// already closed, finds nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "device_io.h"

namespace diskgate {

class HandleTable {
  public:
    // Open disks kept at once. Clients that end without closing leave their disks open; when
    // the table is full, the disk used longest ago is closed to make room.
    static constexpr std::size_t kCapacity = 64;

    // Values are handed out counting up from `firstValue` (0 is never one), so that a
    // service started anew does not reuse the values of the one before.
    explicit HandleTable(std::uint32_t firstValue);
    ~HandleTable();
    HandleTable(const HandleTable&) = delete;
    HandleTable& operator=(const HandleTable&) = delete;

    // Keeps `disk` and returns the new value for it.
    std::uint32_t add(std::unique_ptr<OpenDisk> disk);
    // The disk handed out under `value` and still open, or null.
    OpenDisk* find(std::uint32_t value);
    // Closes the disk under `value`; false when there is none.
    bool close(std::uint32_t value);
    void closeAll();
    std::size_t size() const { return slots_.size(); }

  private:
    struct Slot {
        std::uint32_t value;
        std::uint64_t lastUse;
        std::unique_ptr<OpenDisk> disk;
    };
    Slot* slotOf(std::uint32_t value);
    std::uint32_t nextFreeValue();

    std::vector<Slot> slots_;
    std::uint32_t next_;
    std::uint64_t clock_ = 0;
};

}  // namespace diskgate
