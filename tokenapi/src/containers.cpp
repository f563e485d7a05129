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

constexpr size_t kSerialLength = 10;

int32_t enumContainers(Session& s, char* buffer, uint32_t* length) {
    Response r = s.send(cmd::serialNumber());
    if (!r.ok()) return r.result;
    if (r.data.size() > kSerialLength) return -1;
    const std::string hex = toHexLower(r.data);
    std::string names = hex + "1";
    names.push_back('\0');
    names += hex + "2";
    names.push_back('\0');
    std::memcpy(buffer, names.data(), names.size());
    *length = static_cast<uint32_t>(names.size());
    return 0;
}

int32_t openContainer(Session& s, char which, ContainerHandle** out) {
    const bool first = which == '1';
    if (int32_t r = selectApplication(s, first ? kFirstApplication : kSecondApplication); r != 0) {
        return r;
    }

    Response key = s.send(cmd::readBinaryShortId(kKeyPairShortId, 1, 1));
    if (!key.ok()) return key.result;
    const uint8_t keyFlag = !key.data.empty() && key.data[0] == 0x01 ? 0x10 : 0x00;

    if (int32_t r = s.select(kDirectoryCertificate); r != 0) return r;
    Response length = s.send(cmd::readBinary(0, 2));
    if (!length.ok()) return length.result;
    if (length.data.size() != 2) return -1;
    const size_t stored = static_cast<size_t>(length.data[0] << 8 | length.data[1]);
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
int32_t clearFlags(Session& s, uint8_t n) {
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

int32_t createContainer(Session& s, ByteView name, ContainerHandle** out) {
    if (int32_t r = s.select(kDirectory); r != 0) return r;
    for (uint8_t n = 1; n <= kDirectoryRecords; ++n) {
        ContainerRecordReply rec = readContainerRecord(s, n);
        if (rec.result != 0) return rec.result;
        if (recordNamed(rec.record, name)) return XR_CONTAINER_EXISTS;
    }
    uint8_t freeRecord = 0;
    Bytes record;
    for (uint8_t n = 1; n <= kDirectoryRecords && freeRecord == 0; ++n) {
        ContainerRecordReply rec = readContainerRecord(s, n);
        if (rec.result != 0) return rec.result;
        // A record whose identifier names no container number has no flag bytes to use.
        if (rec.record[2] == 0x00 && validNumber(rec.record[1] & 0x0F)) {
            freeRecord = n;
            record = std::move(rec.record);
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

int32_t destroyContainer(Session& s, const ContainerBytes& handle) {
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

// Closing a container and reading its information never reach the token, so they need a
// handle that X_ConnectDEV handed out, not one that still has its device: after a card pull
// the client must still be able to free its containers and drop the PIN directory override.
bool knownDevice(const DeviceHandle* device) {
    return isLiveDevice(device);
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
    return noThrow([&]() -> int32_t {
        if (buffer == nullptr || length == nullptr) return XR_BAD_PARAMETER;
        return runDeviceOp(device, Gate::None,
                           [&](Session& s) { return enumContainers(s, buffer, length); });
    });
}

XAPI X_OpenContainer(DeviceHandle* device, const char* name, ContainerHandle** container) {
    return noThrow([&]() -> int32_t {
        const auto validName = containerName(name);
        if (!validName) return XR_NAME_LENGTH;
        const char which = static_cast<char>(validName->back());
        if (which != '1' && which != '2') return XR_BAD_CONTAINER_NAME;
        if (container == nullptr) return XR_BAD_HANDLE;
        return runDeviceOp(device, Gate::None,
                           [&](Session& s) { return openContainer(s, which, container); });
    });
}

XAPI X_CloseContainer(DeviceHandle* device, ContainerHandle* container) {
    return noThrow([&]() -> int32_t {
        if (!knownDevice(device)) return XR_BAD_HANDLE;
        if (int32_t r = lookupContainer(container).result; r != 0) return r;
        freeContainer(container);
        clearPinDirectoryOverride();
        return 0;
    });
}

XAPI X_CreateContainer(DeviceHandle* device, const char* name, ContainerHandle** container) {
    return noThrow([&]() -> int32_t {
        const auto validName = containerName(name);
        if (!validName) return XR_NAME_LENGTH;
        if (container == nullptr) return XR_BAD_HANDLE;
        return runDeviceOp(device, Gate::UserVerified,
                           [&](Session& s) { return createContainer(s, *validName, container); });
    });
}

XAPI X_DestroyContainer(DeviceHandle* device, ContainerHandle* container) {
    return noThrow([&]() -> int32_t {
        // A missing container is a fault of the arguments, told before the verified user.
        if (container == nullptr) return XR_BAD_HANDLE;
        if (!usable(device)) return XR_BAD_HANDLE;
        if (device->userVerified == 0) return XR_NOT_VERIFIED;
        ContainerLookup handle = lookupContainer(container);
        if (handle.result != 0) return handle.result;
        if (!destroyable(handle.bytes)) return XR_BAD_CONTAINER;
        const int32_t r = runDeviceOp(device, Gate::UserVerified, [&](Session& s) {
            return destroyContainer(s, handle.bytes);
        });
        if (r == 0) freeContainer(container);
        return r;
    });
}

XAPI X_GetContainerInfo(DeviceHandle* device, ContainerHandle* container, uint32_t* info) {
    return noThrow([&]() -> int32_t {
        if (!knownDevice(device)) return XR_BAD_HANDLE;
        ContainerLookup handle = lookupContainer(container);
        if (handle.result != 0) return handle.result;
        if (info == nullptr) return XR_BAD_PARAMETER;
        *info = containerInfoWord(handle.bytes);
        return 0;
    });
}

XAPI X_GetContainerInfoEx(DeviceHandle* device, ContainerHandle* container, uint32_t* info,
                          uint8_t* rootFlag) {
    return noThrow([&]() -> int32_t {
        if (!knownDevice(device)) return XR_BAD_HANDLE;
        ContainerLookup handle = lookupContainer(container);
        if (handle.result != 0) return handle.result;
        if (info == nullptr || rootFlag == nullptr) return XR_BAD_PARAMETER;
        *info = containerInfoWord(handle.bytes);
        *rootFlag = handle.bytes.raw[ContainerBytes::kRoot];
        return 0;
    });
}

}  // extern "C"
