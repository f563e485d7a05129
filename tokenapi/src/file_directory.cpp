#include "file_directory.h"

#include <algorithm>

#include "commands.h"

namespace tokenapi::files {

bool DirectoryRecord::named(ByteView wanted) const {
    if (raw[6] != wanted.size()) return false;
    const ByteView stored = name();
    return std::equal(stored.begin(), stored.end(), wanted.begin(), wanted.end());
}

DirectoryRecord DirectoryRecord::make(uint16_t fileId, uint8_t protection, uint16_t size,
                                      ByteView name) {
    DirectoryRecord r{Bytes(kRecordLength, 0)};
    r.raw[0] = 0x01;
    r.raw[1] = static_cast<uint8_t>(fileId >> 8);
    r.raw[2] = static_cast<uint8_t>(fileId);
    r.raw[3] = protection;
    r.raw[4] = static_cast<uint8_t>(size >> 8);
    r.raw[5] = static_cast<uint8_t>(size);
    r.raw[6] = static_cast<uint8_t>(name.size());
    std::copy(name.begin(), name.end(), r.raw.begin() + 7);
    return r;
}

Result<DirectoryRecord> readDirectoryRecord(LockedDevice& session, uint8_t number) {
    Response r = session.send(cmd::readRecord(number, kRecordLength));
    if (!r.ok()) return {r.result};
    if (r.value.size() != kRecordLength) return {-1};
    return {0, DirectoryRecord{std::move(r.value)}};
}

Result<FoundFile> findFile(LockedDevice& session, ByteView name) {
    if (int32_t r = session.select(kDirectoryFile); r != 0) return {r};
    for (uint8_t n = 1; n <= kRecords; ++n) {
        Result<DirectoryRecord> rec = readDirectoryRecord(session, n);
        if (!rec.ok()) return {rec.result};
        if (rec.value.inUse() && rec.value.named(name)) return {0, {n, std::move(rec.value)}};
    }
    return {XR_NOT_FOUND};
}

}  // namespace tokenapi::files
