// The records of the container directory 00E2 (see container_files.h for the layout).
#pragma once

#include <cstdint>
#include <optional>

#include "operation.h"

namespace tokenapi::containers {

inline constexpr uint8_t kInUse = 0x01;

// A terminated container name of 1 to 120 bytes, or nothing.
std::optional<ByteView> containerName(const char* name);

// READ RECORD n of the container directory, which must be the current file; a reply of another
// length than 128 bytes is one this library does not know (-1).
Result<Bytes> readContainerRecord(LockedDevice& session, uint8_t number);

inline bool recordInUse(const Bytes& record) {
    return record[2] == kInUse;
}
inline ByteView recordName(const Bytes& record) {
    return ByteView(record).subspan(4, std::min<size_t>(record[3], 120));
}
bool recordNamed(const Bytes& record, ByteView name);

}  // namespace tokenapi::containers
