// The device-name list of the last enumeration: names each ended by one zero byte, at most 256
// bytes, in the order the library reported them. Both libraries' lists are read into this one
// form, so that counting and finding the n-th name always agree.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace sdlink {

struct NameList {
    static constexpr std::size_t kCapacity = 256;
    std::array<char, kCapacity> bytes{};
    std::size_t size = 0;  // bytes used
    std::int32_t count = 0;
};

// The driver library's raw list: each name takes its length plus two bytes (the name, its
// terminator and one more byte). Empty names are skipped; a name without a terminator inside
// the list, or one that would not fit, ends the list.
NameList parseDriverList(std::span<const char> raw);

// The vendor library's list: names each ended by a zero byte within `size` bytes. The count is
// the smaller of what the library claimed and the names actually there.
NameList parseVendorList(std::span<const char> list, std::uint32_t claimed);

// The index-th name, or nothing when the list has fewer.
std::optional<std::string> nameAt(const NameList& list, std::int32_t index);

}  // namespace sdlink
