// Named data files on the token: creating, reading, writing, deleting and listing them
// through the directory kept in 00EF (see file_directory.h).
#include <algorithm>
#include <cstring>
#include <string_view>

#include "commands.h"
#include "device_status.h"
#include "file_directory.h"
#include "operation.h"
#include "status_words.h"
#include "tokenapi.h"

using namespace tokenapi;
using namespace tokenapi::files;

namespace {

constexpr uint32_t kMaxOffset = 0x7FFF;
constexpr uint32_t kMaxLength = 0x7FFF;
constexpr uint32_t kMaxFileSize = 0x7FFF;  // sizes of 0x8000 and more do not fit
constexpr uint32_t kMaxDeleteName = 20;
constexpr uint16_t kFreeSpaceReserve = 16;
constexpr size_t kPiece = 128;
// P1 of READ/UPDATE BINARY with its top bit set names a file by short identifier instead of
// giving an offset, so no byte at or beyond file offset 0x8000 can be addressed: a piece that
// reached it would read or write a different file.
constexpr size_t kAddressableEnd = 0x8000;
// The counter file reads EF FF once every identifier it can hand out is used.
constexpr uint16_t kIdentifiersUsedUp = 0xEFFF;
constexpr uint8_t kAccessRequired = 0x11;

// A terminated name of 1 to 16 characters, or nothing.
std::optional<ByteView> apiName(const char* name) {
    if (name == nullptr) return std::nullopt;
    const size_t length = strnlen(name, kMaxName + 1);
    if (length == 0 || length > kMaxName) return std::nullopt;
    return ByteView(reinterpret_cast<const uint8_t*>(name), length);
}

uint16_t bigEndian16(ByteView b) {
    return static_cast<uint16_t>(b[0] << 8 | b[1]);
}

std::array<uint8_t, 2> toBigEndian16(uint32_t v) {
    return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

// Selects the file of a directory record and reads its stored content length.
Result<uint16_t> openDataFile(LockedDevice& s, const DirectoryRecord& record,
                              bool emptyOnWrongLength) {
    if (int32_t r = s.select(record.fileId()); r != 0) return {r};
    Response r = s.send(cmd::readBinary(0, 2));
    // A file too short even for its length field holds nothing yet.
    if (emptyOnWrongLength && r.result == 0x6C00) return {0, 0};
    if (!r.ok()) return {status::kFileAccess.map(r.result)};
    if (r.value.size() != 2) return {-1};
    return {0, bigEndian16(r.value)};
}

// Free space for files, after the reserve the token keeps.
Result<uint32_t> freeSpace(LockedDevice& s) {
    Result<DeviceStatus> st = readDeviceStatus(s);
    if (!st.ok()) return {st.result};
    const uint16_t raw = st.value.freeSpace();
    return {0, raw > kFreeSpaceReserve ? raw - kFreeSpaceReserve : 0u};
}

int32_t createFile(LockedDevice& s, ByteView name, uint32_t size, uint32_t access) {
    Result<uint32_t> space = freeSpace(s);
    if (!space.ok()) return space.result;
    if (size + 2 >= space.value) return XR_NO_ROOM;

    Result<FoundFile> existing = findFile(s, name);
    if (existing.result == 0) return XR_FILE_EXISTS;
    if (existing.result != XR_NOT_FOUND) return existing.result;

    if (int32_t r = s.select(kDirectoryFile); r != 0) return r;
    uint8_t freeRecord = 0;
    for (uint8_t n = 1; n <= kRecords && freeRecord == 0; ++n) {
        Result<DirectoryRecord> rec = readDirectoryRecord(s, n);
        if (!rec.ok()) return rec.result;
        if (!rec.value.inUse()) freeRecord = n;
    }
    if (freeRecord == 0) return XR_NO_ROOM;

    if (int32_t r = s.select(kCounterFile); r != 0) return r;
    Response counter = s.send(cmd::readBinary(0, 2));
    if (!counter.ok()) return counter.result;
    if (counter.value.size() != 2) return -1;
    const uint16_t fileId = bigEndian16(counter.value);
    if (fileId == kIdentifiersUsedUp) return XR_NO_ROOM;

    const uint8_t readAccess = static_cast<uint8_t>(access >> 8);
    const uint8_t updateAccess = static_cast<uint8_t>(access);
    Bytes control(13, 0x00);
    control[0] = static_cast<uint8_t>(fileId >> 8);
    control[1] = static_cast<uint8_t>(fileId);
    control[2] = static_cast<uint8_t>((size + 2) >> 8);
    control[3] = static_cast<uint8_t>(size + 2);
    control[8] = readAccess != 0 ? kAccessRequired : 0x00;
    control[10] = updateAccess != 0 ? kAccessRequired : 0x00;
    if (Response r = s.send(cmd::createFile(control)); !r.ok()) {
        return status::kFileAccess.map(r.result);
    }

    // The new file is current now; the record goes back into the directory file.
    if (int32_t r = s.select(kDirectoryFile); r != 0) return r;
    const uint8_t protection = (readAccess != 0 || updateAccess != 0) ? 0x00 : 0xFF;
    DirectoryRecord record =
        DirectoryRecord::make(fileId, protection, static_cast<uint16_t>(size), name);
    if (Response r = s.send(cmd::updateRecord(freeRecord, record.raw)); !r.ok()) {
        return status::kFileAccess.map(r.result);
    }

    // The counter's low byte counts on; the high byte stays (EF10, EF11, ... EFFF).
    if (int32_t r = s.select(kCounterFile); r != 0) return r;
    const std::array<uint8_t, 2> next = {counter.value[0],
                                         static_cast<uint8_t>(counter.value[1] + 1)};
    return s.send(cmd::updateBinary(0, next)).result;
}

int32_t readFile(LockedDevice& s, ByteView name, uint32_t offset, uint32_t length, uint8_t* buffer,
                 uint32_t* readLength) {
    Result<FoundFile> file = findFile(s, name);
    if (!file.ok()) return file.result;
    Result<uint16_t> stored = openDataFile(s, file.value.record, false);
    if (!stored.ok()) return stored.result;
    if (offset >= stored.value) {
        *readLength = 0;
        return 0;
    }
    size_t count = stored.value - offset;
    if (length != 0) count = std::min<size_t>(count, length);
    // offset is at most 0x7FFF, so the first content byte may already lie at 0x8001.
    const size_t start = size_t{offset} + kContentOffset;
    count = std::min(count, start < kAddressableEnd ? kAddressableEnd - start : 0);
    *readLength = static_cast<uint32_t>(count);

    for (size_t done = 0; done < count;) {
        const size_t piece = std::min(kPiece, count - done);
        const auto at = static_cast<uint16_t>(offset + kContentOffset + done);
        Response r = s.send(cmd::readBinary(at, static_cast<uint8_t>(piece)));
        if (r.result == kSwOffsetBeyondEnd) {
            *readLength = static_cast<uint32_t>(done);
            return 0;
        }
        if ((r.result & 0xFF00) == 0x6C00) {
            // The file ends inside this piece: take what the token says is there.
            const size_t available = std::min<size_t>(r.result & 0xFF, piece);
            size_t got = 0;
            if (available != 0) {
                Response rest = s.send(cmd::readBinary(at, static_cast<uint8_t>(available)));
                if (!rest.ok()) return status::kFileAccess.map(rest.result);
                got = std::min(rest.value.size(), available);
                std::copy_n(rest.value.begin(), got, buffer + done);
            }
            *readLength = static_cast<uint32_t>(done + got);
            return 0;
        }
        if (!r.ok()) return status::kFileAccess.map(r.result);
        const size_t got = std::min(r.value.size(), piece);
        std::copy_n(r.value.begin(), got, buffer + done);
        done += got;
        if (got < piece) {
            *readLength = static_cast<uint32_t>(done);
            return 0;
        }
    }
    return 0;
}

int32_t writeFile(LockedDevice& s, ByteView name, uint32_t offset, ByteView data,
                  uint32_t* written) {
    Result<FoundFile> file = findFile(s, name);
    if (!file.ok()) return file.result;
    Result<uint16_t> stored = openDataFile(s, file.value.record, true);
    if (!stored.ok()) return stored.result;

    if (int32_t r = s.updateInPieces(offset + kContentOffset, data); r != 0) {
        return status::kFileAccess.map(r);
    }
    *written = static_cast<uint32_t>(data.size());

    // The logical length becomes the end of this write, also when the content was longer.
    if (int32_t r = s.select(file.value.record.fileId()); r != 0) return r;
    return status::kFileAccess.map(
        s.send(cmd::updateBinary(0, toBigEndian16(offset + static_cast<uint32_t>(data.size()))))
            .result);
}

int32_t deleteFile(LockedDevice& s, ByteView name) {
    if (int32_t r = s.select(kDirectoryFile); r != 0) return r;
    for (uint8_t n = 1; n <= kRecords; ++n) {
        Result<DirectoryRecord> rec = readDirectoryRecord(s, n);
        if (!rec.ok()) return rec.result;
        if (rec.value.inUse() && rec.value.named(name)) {
            const Bytes cleared(kRecordLength, 0x00);
            return s.send(cmd::updateRecord(n, cleared)).result;
        }
    }
    return XR_NOT_FOUND;
}

// The records in use, in record order.
Result<std::vector<DirectoryRecord>> listDirectory(LockedDevice& s) {
    if (int32_t r = s.select(kDirectoryFile); r != 0) return {r};
    Result<std::vector<DirectoryRecord>> out{0, {}};
    for (uint8_t n = 1; n <= kRecords; ++n) {
        Result<DirectoryRecord> rec = readDirectoryRecord(s, n);
        if (!rec.ok()) return {rec.result};
        if (rec.value.inUse()) out.value.push_back(std::move(rec.value));
    }
    return out;
}

}  // namespace

extern "C" {

XAPI X_CreateFile(DeviceHandle* device, const char* name, uint32_t size, uint32_t access) {
    const auto fileName = apiName(name);
    const int32_t arguments = !fileName ? XR_BAD_PARAMETER : size > kMaxFileSize ? XR_NO_ROOM : 0;
    return runDeviceOp(
        device, {.arguments = arguments, .gate = Gate::UserVerified},
        [&](LockedDevice& s) { return createFile(s, *fileName, size, access & 0xFFFF); });
}

XAPI X_ReadFile(DeviceHandle* device, const char* name, uint32_t offset, uint32_t length,
                uint8_t* buffer, uint32_t* readLength) {
    const auto fileName = apiName(name);
    const bool bad = !fileName || offset > kMaxOffset || length > kMaxLength || buffer == nullptr ||
                     readLength == nullptr;
    return runDeviceOp(device, {.arguments = bad ? XR_BAD_PARAMETER : 0}, [&](LockedDevice& s) {
        return readFile(s, *fileName, offset, length, buffer, readLength);
    });
}

XAPI X_WriteFile(DeviceHandle* device, const char* name, uint32_t offset, const uint8_t* data,
                 uint32_t dataLength, uint32_t* written) {
    const auto fileName = apiName(name);
    const bool bad = !fileName || offset > kMaxOffset || dataLength == 0 ||
                     dataLength > kMaxLength || data == nullptr || written == nullptr ||
                     offset + kContentOffset + dataLength > kAddressableEnd;
    return runDeviceOp(device, {.arguments = bad ? XR_BAD_PARAMETER : 0}, [&](LockedDevice& s) {
        return writeFile(s, *fileName, offset, ByteView(data, dataLength), written);
    });
}

XAPI X_DeleteFile(DeviceHandle* device, const char* name, uint32_t nameLength) {
    const bool bad = name == nullptr || nameLength == 0 || nameLength > kMaxDeleteName;
    return runDeviceOp(device, {.arguments = bad ? XR_BAD_PARAMETER : 0}, [&](LockedDevice& s) {
        return deleteFile(s, ByteView(reinterpret_cast<const uint8_t*>(name), nameLength));
    });
}

XAPI X_EnumFilesEx(DeviceHandle* device, XFileEntry* entries, uint32_t* count) {
    const bool bad = entries == nullptr || count == nullptr;
    return runDeviceOp(device, {.arguments = bad ? XR_BAD_PARAMETER : 0},
                       [&](LockedDevice& s) -> int32_t {
                           Result<std::vector<DirectoryRecord>> list = listDirectory(s);
                           if (!list.ok()) return list.result;
                           uint32_t n = 0;
                           for (const DirectoryRecord& rec : list.value) {
                               XFileEntry& e = entries[n++];
                               // Only the name's own bytes go into the name field.
                               std::copy(rec.name().begin(), rec.name().end(), e.name);
                               e.nameLength = static_cast<uint32_t>(rec.nameLength());
                               e.protection = uint32_t{rec.protection()} + 1;
                               e.size = rec.size();
                           }
                           *count = n;
                           return 0;
                       });
}

XAPI X_EnumFiles(DeviceHandle* device, char* buffer, uint32_t* length) {
    return runDeviceOp(device, {.arguments = length == nullptr ? XR_BAD_PARAMETER : 0},
                       [&](LockedDevice& s) -> int32_t {
                           Result<std::vector<DirectoryRecord>> list = listDirectory(s);
                           if (!list.ok()) return list.result;
                           uint32_t total = 0;
                           for (const DirectoryRecord& rec : list.value) {
                               if (buffer != nullptr) {
                                   std::copy(rec.name().begin(), rec.name().end(), buffer + total);
                                   buffer[total + rec.nameLength()] = '\0';
                               }
                               total += static_cast<uint32_t>(rec.nameLength() + 1);
                           }
                           *length = total;
                           return 0;
                       });
}

}  // extern "C"
