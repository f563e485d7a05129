// The token knows its data files only by two-byte identifiers. The key API keeps a directory
// of names in the record file 00EF of the current application (20 records of 27 bytes) and
// hands out identifiers from the counter file 00EE. Each data file keeps the logical length
// of its content in its first two bytes.
//
// Directory record: byte 0 in use (01) or free (00); bytes 1-2 file identifier; byte 3
// protection (00 created with access rights, FF without); bytes 4-5 declared size; byte 6
// name length; bytes 7-26 name, rest zero.
#pragma once

#include <algorithm>
#include <cstdint>

#include "operation.h"

namespace tokenapi::files {

inline constexpr uint16_t kDirectoryFile = 0x00EF;
inline constexpr uint16_t kCounterFile = 0x00EE;
inline constexpr uint8_t kRecords = 20;
inline constexpr uint8_t kRecordLength = 27;
inline constexpr size_t kNameField = 20;
// The longest name the API takes; the record has room for 20 bytes.
inline constexpr size_t kMaxName = 16;
// Data files start with their two-byte logical length.
inline constexpr uint16_t kContentOffset = 2;

struct DirectoryRecord {
    Bytes raw;  // 27 bytes

    bool inUse() const { return raw[0] != 0; }
    uint16_t fileId() const { return static_cast<uint16_t>(raw[1] << 8 | raw[2]); }
    uint8_t protection() const { return raw[3]; }
    uint16_t size() const { return static_cast<uint16_t>(raw[4] << 8 | raw[5]); }
    // The stored length, cut to what the record can hold.
    size_t nameLength() const { return std::min<size_t>(raw[6], kNameField); }
    ByteView name() const { return ByteView(raw).subspan(7, nameLength()); }
    bool named(ByteView wanted) const;

    static DirectoryRecord make(uint16_t fileId, uint8_t protection, uint16_t size, ByteView name);
};

// READ RECORD n of the directory (which must be the current file); a reply of another length
// than 27 bytes is one this library does not know (-1).
Result<DirectoryRecord> readDirectoryRecord(LockedDevice& session, uint8_t number);

// A name's directory record and its number.
struct FoundFile {
    uint8_t number = 0;
    DirectoryRecord record;
};
// Looks a name up: the record, 0x20001 when no record in use carries it, or the failing
// command's result.
Result<FoundFile> findFile(LockedDevice& session, ByteView name);

}  // namespace tokenapi::files
