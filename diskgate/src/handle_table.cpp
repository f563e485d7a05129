#include "handle_table.h"

#include <algorithm>

namespace diskgate {

HandleTable::HandleTable(std::uint32_t firstValue) : next_(firstValue) {}

HandleTable::~HandleTable() = default;

HandleTable::Slot* HandleTable::slotOf(std::uint32_t value) {
    if (value == 0) return nullptr;
    auto it = std::find_if(slots_.begin(), slots_.end(),
                           [value](const Slot& s) { return s.value == value; });
    return it == slots_.end() ? nullptr : &*it;
}

std::uint32_t HandleTable::nextFreeValue() {
    // At most kCapacity values are in use, so this ends within kCapacity + 2 steps.
    for (;;) {
        const std::uint32_t value = next_++;
        if (value != 0 && slotOf(value) == nullptr) return value;
    }
}

std::uint32_t HandleTable::add(std::unique_ptr<OpenDisk> disk) {
    if (slots_.size() >= kCapacity) {
        auto oldest =
            std::min_element(slots_.begin(), slots_.end(),
                             [](const Slot& a, const Slot& b) { return a.lastUse < b.lastUse; });
        slots_.erase(oldest);
    }
    const std::uint32_t value = nextFreeValue();
    slots_.push_back({value, ++clock_, std::move(disk)});
    return value;
}

OpenDisk* HandleTable::find(std::uint32_t value) {
    Slot* slot = slotOf(value);
    if (slot == nullptr) return nullptr;
    slot->lastUse = ++clock_;
    return slot->disk.get();
}

bool HandleTable::close(std::uint32_t value) {
    Slot* slot = slotOf(value);
    if (slot == nullptr) return false;
    slots_.erase(slots_.begin() + (slot - slots_.data()));
    return true;
}

void HandleTable::closeAll() {
    slots_.clear();
}

}  // namespace diskgate
