#include "device_names.h"

#include <cstring>

namespace sdlink {
namespace {

// Length of the name at `at`, or nothing when no terminator follows inside the span.
std::optional<std::size_t> terminatedLength(std::span<const char> bytes, std::size_t at) {
    const void* zero = std::memchr(bytes.data() + at, '\0', bytes.size() - at);
    if (zero == nullptr) return std::nullopt;
    return static_cast<std::size_t>(static_cast<const char*>(zero) - (bytes.data() + at));
}

bool append(NameList& list, std::span<const char> name) {
    if (list.size + name.size() + 1 > NameList::kCapacity) return false;
    std::memcpy(list.bytes.data() + list.size, name.data(), name.size());
    list.size += name.size();
    list.bytes[list.size++] = '\0';
    ++list.count;
    return true;
}

}  // namespace

NameList parseDriverList(std::span<const char> raw) {
    NameList list;
    std::size_t at = 0;
    while (at < raw.size()) {
        const auto length = terminatedLength(raw, at);
        if (!length) break;
        if (*length > 0 && !append(list, raw.subspan(at, *length))) break;
        at += *length + 2;
    }
    return list;
}

NameList parseVendorList(std::span<const char> bytes, std::uint32_t claimed) {
    NameList list;
    std::size_t at = 0;
    while (at < bytes.size() && static_cast<std::uint32_t>(list.count) < claimed) {
        const auto length = terminatedLength(bytes, at);
        if (!length) break;
        if (*length > 0 && !append(list, bytes.subspan(at, *length))) break;
        at += *length + 1;
    }
    return list;
}

std::optional<std::string> nameAt(const NameList& list, std::int32_t index) {
    if (index < 0 || index >= list.count) return std::nullopt;
    std::size_t at = 0;
    for (std::int32_t i = 0; i < index; ++i) at += std::strlen(list.bytes.data() + at) + 1;
    if (at >= list.size) return std::nullopt;
    return std::string(list.bytes.data() + at);
}

}  // namespace sdlink
