#include "container_directory.h"

#include <algorithm>
#include <cstring>

#include "commands.h"
#include "container_files.h"

namespace tokenapi::containers {

std::optional<ByteView> containerName(const char* name) {
    if (name == nullptr) return std::nullopt;
    const size_t length = strnlen(name, kMaxName + 1);
    if (length == 0 || length > kMaxName) return std::nullopt;
    return ByteView(reinterpret_cast<const uint8_t*>(name), length);
}

Result<Bytes> readContainerRecord(LockedDevice& s, uint8_t number) {
    Response r = s.send(cmd::readRecord(number, kDirectoryRecordLength));
    if (!r.ok()) return {r.result};
    if (r.value.size() != kDirectoryRecordLength) return {-1};
    return {0, std::move(r.value)};
}

bool recordNamed(const Bytes& record, ByteView name) {
    if (!recordInUse(record) || record[3] != name.size()) return false;
    const ByteView stored = recordName(record);
    return std::equal(stored.begin(), stored.end(), name.begin(), name.end());
}

}  // namespace tokenapi::containers
