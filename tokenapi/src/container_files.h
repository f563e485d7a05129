// Where the token keeps containers and their certificates.
//
// 00E2 (in the master file): the container directory, 4 records of 128 bytes: bytes 0-1 the
// container identifier (preset, AD Fn), byte 2 in use, byte 3 name length, bytes 4-123 the
// name, rest FF. 001A: 4 flag bytes per container n at offset 4(n-1): certificate of type 2,
// key flag of slot 2, certificate of type 1, key flag of slot 1. 001B (optional): one root
// certificate flag byte per container at offset n-1.
//
// Certificate files live in the application directory: bytes 0-1 the length, then the
// certificate. Container n keeps its type-1 certificate in 00(6n-4), its type-2 certificate in
// 00(6n-3) and its root certificate in 00(n+27). File 0003 is also the directory's own
// certificate: an opened container reports it as the type-2 certificate of container 1 (where
// the numbering puts it anyway) and as the type-1 certificate of container 2; container 2's
// type-1 certificate therefore lives in 0003, so that what an import writes is what the next
// open and every export see.
#pragma once

#include <cstdint>
#include <optional>

#include "application_directory.h"
#include "container_handle.h"
#include "status_words.h"

namespace tokenapi::containers {

inline constexpr uint16_t kDirectory = 0x00E2;
inline constexpr uint8_t kDirectoryRecords = 4;
inline constexpr uint8_t kDirectoryRecordLength = 128;
inline constexpr uint16_t kKeyFlags = 0x001A;
inline constexpr uint16_t kRootFlags = 0x001B;
inline constexpr uint16_t kDirectoryCertificate = 0x0003;
inline constexpr uint8_t kKeyPairShortId = 7;
inline constexpr size_t kMaxName = 120;
inline constexpr size_t kMaxCertificate = 2048;

enum class CertKind { Type1, Type2, Root };

// Container numbers 1 to 4 are the ones the token has flag bytes and files for.
inline bool validNumber(uint8_t n) {
    return n >= 1 && n <= 4;
}

inline uint16_t certificateFile(const ContainerBytes& handle, CertKind kind) {
    const uint16_t n = handle.number();
    switch (kind) {
        case CertKind::Type1:
            return handle.opened() && n == 2 ? kDirectoryCertificate
                                             : static_cast<uint16_t>(6 * n - 4);
        case CertKind::Type2:
            return static_cast<uint16_t>(6 * n - 3);
        case CertKind::Root:
            return static_cast<uint16_t>(n + 27);
    }
    return 0;
}

// Container 2 opened is the directory DDF2; every other container keeps its certificates in
// DDF1, so that where a certificate lives never depends on what else is open.
inline uint16_t certificateDirectory(const ContainerBytes& handle) {
    return handle.opened() && handle.number() == 2 ? kSecondApplication : kFirstApplication;
}

// The offset, inside the container's 4 bytes of 001A, of a user certificate's flag.
inline size_t keyFlagsCertOffset(CertKind kind) {
    return kind == CertKind::Type1 ? 2 : 0;
}

// The handle byte that says a certificate is present.
inline size_t handleCertByte(CertKind kind) {
    switch (kind) {
        case CertKind::Type1:
            return ContainerBytes::kCert1;
        case CertKind::Type2:
            return ContainerBytes::kCert2;
        case CertKind::Root:
            return ContainerBytes::kRoot;
    }
    return ContainerBytes::kRoot;
}

}  // namespace tokenapi::containers
