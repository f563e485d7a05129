// Containers: the two fixed ones bound to the application directories (listed and opened by
// the token's serial number), and the named entries of the container directory 00E2 (created
// and destroyed).
#include <algorithm>
#include <cstring>
#include <string>

#include "application_directory.h"
#include "commands.h"
#include "container_directory.h"
#include "container_files.h"
#include "container_handle.h"
#include "hex.h"
#include "operation.h"
#include "tokenapi.h"

using namespace tokenapi;
using namespace tokenapi::containers;

namespace {

// The longest serial whose names X_OpenContainer still takes (two digits a byte and the
// container's digit, at most 120 bytes); both names and their terminators then also fit the
// caller's 256-byte buffer.
constexpr size_t kMaxListedSerial = (kMaxName - 1) / 2;
static_assert(2 * (2 * kMaxListedSerial + 2) <= 256);

int32_t enumContainers(LockedDevice& s, char* buffer, uint32_t* length) {
    Response r = s.send(cmd::serialNumber());
    if (!r.ok()) return r.result;
    if (r.value.size() > kMaxListedSerial) return -1;
    const std::string hex = toHexLower(r.value);
    std::string names = hex + "1";
    names.push_back('\0');
    names += hex + "2";
    names.push_back('\0');
    std::memcpy(buffer, names.data(), names.size());
    *length = static_cast<uint32_t>(names.size());
    return 0;
}

int32_t openContainer(LockedDevice& s, char which, ContainerHandle** out) {
    const bool first = which == '1';
    if (int32_t r = selectApplication(s, first ? kFirstApplication : kSecondApplication); r != 0) {
        return r;
    }

    Response key = s.send(cmd::readBinaryShortId(kKeyPairShortId, 1, 1));
    if (!key.ok()) return key.result;
    const uint8_t keyFlag = !key.value.empty() && key.value[0] == 0x01 ? 0x10 : 0x00;

    if (int32_t r = s.select(kDirectoryCertificate); r != 0) return r;
    Response length = s.send(cmd::readBinary(0, 2));
    if (!length.ok()) return length.result;
    if (length.value.size() != 2) return -1;
    const size_t stored = static_cast<size_t>(length.value[0] << 8 | length.value[1]);
    const uint8_t certFlag =
        stored >= 1 && stored <= kMaxCertificate ? ContainerBytes::kPresent : 0x00;

    ContainerBytes handle;
    handle.raw[0] = 0xDD;
    handle.raw[1] = first ? 0xF1 : 0xF2;
    // The directory's certificate and key pair are slot 2 of container 1 and slot 1 of
    // container 2.
    handle.raw[first ? ContainerBytes::kCert2 : ContainerBytes::kCert1] = certFlag;
    handle.raw[first ? ContainerBytes::kKey2 : ContainerBytes::kKey1] = keyFlag;
    // Set only once the open succeeded: a failed open hands out no handle whose close would
    // remove the override again.
    setPinDirectoryOverride(first ? 1 : 2);
    *out = newContainer(handle);
    return 0;
}

// Clears the container's flag bytes in 001A and, when the token has it, 001B.
int32_t clearFlags(LockedDevice& s, uint8_t n) {
    if (int32_t r = s.select(kKeyFlags); r != 0) return r;
    const uint8_t zeros[4] = {};
    if (Response r = s.send(cmd::updateBinary(static_cast<uint16_t>(4 * (n - 1)), zeros));
        !r.ok()) {
        return r.result;
    }
    const int32_t root = s.select(kRootFlags);
    if (root == kSwFileNotFound) return 0;
    if (root != 0) return root;
    return s.send(cmd::updateBinary(static_cast<uint16_t>(n - 1), ByteView(zeros, 1))).result;
}

int32_t createContainer(LockedDevice& s, ByteView name, ContainerHandle** out) {
    if (int32_t r = s.select(kDirectory); r != 0) return r;
    for (uint8_t n = 1; n <= kDirectoryRecords; ++n) {
        Result<Bytes> rec = readContainerRecord(s, n);
        if (!rec.ok()) return rec.result;
        if (recordNamed(rec.value, name)) return XR_CONTAINER_EXISTS;
    }
    uint8_t freeRecord = 0;
    Bytes record;
    for (uint8_t n = 1; n <= kDirectoryRecords && freeRecord == 0; ++n) {
        Result<Bytes> rec = readContainerRecord(s, n);
        if (!rec.ok()) return rec.result;
        // A record whose identifier names no container number has no flag bytes to use.
        if (rec.value[2] == 0x00 && validNumber(rec.value[1] & 0x0F)) {
            freeRecord = n;
            record = std::move(rec.value);
        }
    }
    if (freeRecord == 0) return XR_NO_CONTAINER_SLOT;

    ContainerBytes handle;
    handle.raw[0] = record[0];
    handle.raw[1] = record[1];
    if (int32_t r = clearFlags(s, handle.number()); r != 0) return r;

    if (int32_t r = s.select(kDirectory); r != 0) return r;
    std::fill(record.begin() + 2, record.end(), 0xFF);
    record[2] = kInUse;
    record[3] = static_cast<uint8_t>(name.size());
    std::copy(name.begin(), name.end(), record.begin() + 4);
    if (Response r = s.send(cmd::updateRecord(freeRecord, record)); !r.ok()) return r.result;

    *out = newContainer(handle);
    return 0;
}

int32_t destroyContainer(LockedDevice& s, const ContainerBytes& handle) {
    const uint8_t n = handle.number();
    if (int32_t r = s.select(kDirectory); r != 0) return r;
    Bytes record(kDirectoryRecordLength, 0xFF);
    record[0] = handle.raw[0];
    record[1] = handle.raw[1];
    record[2] = 0x00;
    record[3] = 0x00;
    if (Response r = s.send(cmd::updateRecord(n, record)); !r.ok()) return r.result;
    return clearFlags(s, n);
}

// Only entries of the container directory can be destroyed; the two opened containers are
// the application directories themselves.
bool destroyable(const ContainerBytes& handle) {
    return handle.raw[0] == 0xAD && handle.raw[1] >= 0xF0 && handle.raw[1] <= 0xF4 &&
           validNumber(handle.number());
}

}  // namespace

extern "C" {

XAPI X_EnumContainer(DeviceHandle* device, char* buffer, uint32_t* length) {
    const bool bad = buffer == nullptr || length == nullptr;
    return runDeviceOp(device, {.arguments = bad ? XR_BAD_PARAMETER : 0},
                       [&](LockedDevice& s) { return enumContainers(s, buffer, length); });
}

XAPI X_OpenContainer(DeviceHandle* device, const char* name, ContainerHandle** container) {
    const auto validName = containerName(name);
    const char which = validName ? static_cast<char>(validName->back()) : '\0';
    const int32_t arguments = !validName                     ? XR_NAME_LENGTH
                              : which != '1' && which != '2' ? XR_BAD_CONTAINER_NAME
                              : container == nullptr         ? XR_BAD_HANDLE
                                                             : 0;
    return runDeviceOp(device, {.arguments = arguments},
                       [&](LockedDevice& s) { return openContainer(s, which, container); });
}

XAPI X_CloseContainer(DeviceHandle* device, ContainerHandle* container) {
    return noThrow([&] {
        // No token is reached: a handle whose device was lost still closes its containers, or
        // the PIN directory override would outlive the card.
        ContainerLease held;
        const int32_t objects = leaseContainer(container, held);
        return runHandleCall(device, LostDevice::Accepted, {.objects = objects},
                             [&](DeviceHandle&) {
                                 // Retired only once nothing holds it, this call included.
                                 held.reset();
                                 containerHandles().retire(container);
                                 clearPinDirectoryOverride();
                                 return 0;
                             });
    });
}

XAPI X_CreateContainer(DeviceHandle* device, const char* name, ContainerHandle** container) {
    const auto validName = containerName(name);
    const int32_t arguments = !validName             ? XR_NAME_LENGTH
                              : container == nullptr ? XR_BAD_HANDLE
                                                     : 0;
    return runDeviceOp(device, {.arguments = arguments, .gate = Gate::UserVerified},
                       [&](LockedDevice& s) { return createContainer(s, *validName, container); });
}

XAPI X_DestroyContainer(DeviceHandle* device, ContainerHandle* container) {
    return noThrow([&]() -> int32_t {
        ContainerLease held;
        int32_t objects = leaseContainer(container, held);
        if (objects == 0 && !destroyable(held->bytes())) objects = XR_BAD_CONTAINER;
        const int32_t r =
            runDeviceOp(device,
                        {.arguments = container == nullptr ? XR_BAD_HANDLE : 0,
                         .objects = objects,
                         .gate = Gate::UserVerified},
                        [&](LockedDevice& s) { return destroyContainer(s, held->bytes()); });
        if (r == 0) {
            held.reset();
            containerHandles().retire(container);
        }
        return r;
    });
}

XAPI X_GetContainerInfo(DeviceHandle* device, ContainerHandle* container, uint32_t* info) {
    return noThrow([&] {
        ContainerLease held;
        const int32_t objects = leaseContainer(container, held);
        return runHandleCall(device, LostDevice::Accepted, {.objects = objects},
                             [&](DeviceHandle&) -> int32_t {
                                 if (info == nullptr) return XR_BAD_PARAMETER;
                                 *info = containerInfoWord(held->bytes());
                                 return 0;
                             });
    });
}

XAPI X_GetContainerInfoEx(DeviceHandle* device, ContainerHandle* container, uint32_t* info,
                          uint8_t* rootFlag) {
    return noThrow([&] {
        ContainerLease held;
        const int32_t objects = leaseContainer(container, held);
        return runHandleCall(device, LostDevice::Accepted, {.objects = objects},
                             [&](DeviceHandle&) -> int32_t {
                                 if (info == nullptr || rootFlag == nullptr) {
                                     return XR_BAD_PARAMETER;
                                 }
                                 const ContainerBytes bytes = held->bytes();
                                 *info = containerInfoWord(bytes);
                                 *rootFlag = bytes.raw[ContainerBytes::kRoot];
                                 return 0;
                             });
    });
}

}  // extern "C"
