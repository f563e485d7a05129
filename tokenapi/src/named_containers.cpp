// Finding the named entries of the container directory again. X_CreateContainer hands out a
// handle only once, when the entry is made; without a way back to an existing entry a
// program could never import into or destroy a container created by an earlier run.
#include <algorithm>

#include "commands.h"
#include "container_directory.h"
#include "container_files.h"
#include "container_handle.h"
#include "operation.h"
#include "tokenapi.h"

using namespace tokenapi;
using namespace tokenapi::containers;

namespace {

// The handle of a created container as its flag files describe it.
int32_t openNamed(LockedDevice& s, ByteView name, ContainerHandle** out) {
    if (int32_t r = s.select(kDirectory); r != 0) return r;
    std::optional<Bytes> found;
    for (uint8_t n = 1; n <= kDirectoryRecords && !found; ++n) {
        Result<Bytes> rec = readContainerRecord(s, n);
        if (!rec.ok()) return rec.result;
        if (recordNamed(rec.value, name)) found = std::move(rec.value);
    }
    if (!found) return XR_NOT_FOUND;

    ContainerBytes handle;
    handle.raw[0] = (*found)[0];
    handle.raw[1] = (*found)[1];
    const uint8_t n = handle.number();
    if (!validNumber(n)) return XR_BAD_CONTAINER;

    if (int32_t r = s.select(kKeyFlags); r != 0) return r;
    Response flags = s.send(cmd::readBinary(static_cast<uint16_t>(4 * (n - 1)), 4));
    if (!flags.ok()) return flags.result;
    if (flags.value.size() != 4) return -1;
    handle.raw[ContainerBytes::kCert2] = flags.value[0];
    handle.raw[ContainerBytes::kKey2] = flags.value[1];
    handle.raw[ContainerBytes::kCert1] = flags.value[2];
    handle.raw[ContainerBytes::kKey1] = flags.value[3];

    const int32_t root = s.select(kRootFlags);
    if (root != 0 && root != kSwFileNotFound) return root;
    if (root == 0) {
        Response flag = s.send(cmd::readBinary(static_cast<uint16_t>(n - 1), 1));
        if (!flag.ok()) return flag.result;
        if (flag.value.size() != 1) return -1;
        handle.raw[ContainerBytes::kRoot] = flag.value[0];
    }
    *out = newContainer(handle);
    return 0;
}

int32_t enumNamed(LockedDevice& s, char* buffer, uint32_t* length) {
    if (int32_t r = s.select(kDirectory); r != 0) return r;
    uint32_t total = 0;
    for (uint8_t n = 1; n <= kDirectoryRecords; ++n) {
        Result<Bytes> rec = readContainerRecord(s, n);
        if (!rec.ok()) return rec.result;
        if (!recordInUse(rec.value)) continue;
        const ByteView name = recordName(rec.value);
        if (buffer != nullptr) {
            std::copy(name.begin(), name.end(), buffer + total);
            buffer[total + name.size()] = '\0';
        }
        total += static_cast<uint32_t>(name.size() + 1);
    }
    *length = total;
    return 0;
}

}  // namespace

extern "C" {

XAPI X_OpenNamedContainer(DeviceHandle* device, const char* name, ContainerHandle** container) {
    const auto validName = containerName(name);
    const int32_t arguments = !validName             ? XR_NAME_LENGTH
                              : container == nullptr ? XR_BAD_HANDLE
                                                     : 0;
    return runDeviceOp(device, {.arguments = arguments},
                       [&](LockedDevice& s) { return openNamed(s, *validName, container); });
}

XAPI X_EnumNamedContainers(DeviceHandle* device, char* buffer, uint32_t* length) {
    return runDeviceOp(device, {.arguments = length == nullptr ? XR_BAD_PARAMETER : 0},
                       [&](LockedDevice& s) { return enumNamed(s, buffer, length); });
}

}  // extern "C"
