// The 7-byte container handle of the key API and the registry of handles that are alive.
//
// Clients hold a ContainerHandle* as an opaque pointer. Every operation first checks it
// against the registry, so that a pointer that was never handed out, or one already closed or
// destroyed, is refused with 0x30003 instead of being dereferenced. The bytes are only read
// and changed under the registry's own lock (snapshot / update), so a close on one thread
// racing an import on another never touches freed memory.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "tokenapi.h"

struct ContainerHandle {
    std::array<uint8_t, 7> bytes{};
};

namespace tokenapi {

// The handle's bytes and what they mean.
struct ContainerBytes {
    std::array<uint8_t, 7> raw{};

    static constexpr size_t kCert1 = 2;  // 0x10: certificate of type 1 present
    static constexpr size_t kKey1 = 3;   // key flag of slot 1
    static constexpr size_t kCert2 = 4;  // 0x10: certificate of type 2 present
    static constexpr size_t kKey2 = 5;   // key flag of slot 2
    static constexpr size_t kRoot = 6;   // 0x10: root certificate present
    static constexpr uint8_t kPresent = 0x10;

    uint16_t identifier() const { return static_cast<uint16_t>(raw[0] << 8 | raw[1]); }
    // The container number n that names its flag bytes and certificate files.
    uint8_t number() const { return raw[1] & 0x0F; }
    bool opened() const { return raw[0] == 0xDD; }
};

// The information word of X_GetContainerInfo: bit 0 key pair in slot 1, bit 8 certificate of
// type 1, bit 16 key pair in slot 2, bit 24 certificate of type 2.
uint32_t containerInfoWord(const ContainerBytes& handle);

// Allocates and registers a handle holding `bytes`.
ContainerHandle* newContainer(const ContainerBytes& bytes);
// Unregisters and frees; false when the pointer was not a live handle.
bool freeContainer(ContainerHandle* handle);

// The result of checking a handle: 0x10003 for null, 0x30003 for a pointer that is not a
// live handle, else 0 with a copy of its bytes.
struct ContainerLookup {
    int32_t result = XR_BAD_HANDLE;
    ContainerBytes bytes;
};
ContainerLookup lookupContainer(const ContainerHandle* handle);

// Sets one byte of a live handle; does nothing when the handle went away meanwhile.
void setContainerByte(ContainerHandle* handle, size_t index, uint8_t value);

}  // namespace tokenapi
