// Certificates of a container: imported into, exported from and deleted from the files named
// in container_files.h, with the flag bytes in 001A/001B and the handle kept in step.
#include <algorithm>

#include "commands.h"
#include "container_files.h"
#include "container_handle.h"
#include "operation.h"
#include "tokenapi.h"

using namespace tokenapi;
using namespace tokenapi::containers;

namespace {

constexpr size_t kPiece = 128;

// Import and export of user certificates take the types 1 and 2, and 3 for the root
// certificate, as the import and export of root certificates do.
std::optional<CertKind> certKind(uint32_t type) {
    if (type == 1) return CertKind::Type1;
    if (type == 2) return CertKind::Type2;
    if (type == 3) return CertKind::Root;
    return std::nullopt;
}

// Sets or clears a certificate's flag byte in 001A (user types) or 001B (root).
int32_t writeCertFlag(LockedDevice& s, uint8_t n, CertKind kind, uint8_t value) {
    if (kind == CertKind::Root) {
        if (int32_t r = s.select(kRootFlags); r != 0) return r;
        const uint8_t flag[1] = {value};
        return s.send(cmd::updateBinary(static_cast<uint16_t>(n - 1), flag)).result;
    }
    if (int32_t r = s.select(kKeyFlags); r != 0) return r;
    const auto offset = static_cast<uint16_t>(4 * (n - 1));
    Response flags = s.send(cmd::readBinary(offset, 4));
    if (!flags.ok()) return flags.result;
    if (flags.value.size() != 4) return -1;
    flags.value[keyFlagsCertOffset(kind)] = value;
    return s.send(cmd::updateBinary(offset, flags.value)).result;
}

int32_t importCertificate(LockedDevice& s, ContainerHandle& container, CertKind kind,
                          ByteView cert) {
    const ContainerBytes handle = container.bytes();
    if (int32_t r = selectApplication(s, certificateDirectory(handle)); r != 0) return r;
    if (int32_t r = s.select(certificateFile(handle, kind)); r != 0) return r;
    const uint8_t length[2] = {static_cast<uint8_t>(cert.size() >> 8),
                               static_cast<uint8_t>(cert.size())};
    if (Response r = s.send(cmd::updateBinary(0, length)); !r.ok()) return r.result;
    if (int32_t r = s.updateInPieces(2, cert); r != 0) return r;
    if (int32_t r = writeCertFlag(s, handle.number(), kind, ContainerBytes::kPresent); r != 0) {
        return r;
    }
    container.setByte(handleCertByte(kind), ContainerBytes::kPresent);
    return 0;
}

int32_t exportCertificate(LockedDevice& s, const ContainerBytes& handle, CertKind kind,
                          uint8_t* buffer, uint32_t* length) {
    if (int32_t r = selectApplication(s, certificateDirectory(handle)); r != 0) return r;
    if (int32_t r = s.select(certificateFile(handle, kind)); r != 0) return r;
    Response stored = s.send(cmd::readBinary(0, 2));
    if (!stored.ok()) return stored.result;
    if (stored.value.size() != 2) return -1;
    const size_t total = static_cast<size_t>(stored.value[0] << 8 | stored.value[1]);
    // No certificate is longer; a larger length is damage, never a size to copy.
    if (total > kMaxCertificate) return -1;
    if (buffer == nullptr) {
        *length = static_cast<uint32_t>(total);
        return 0;
    }
    for (size_t done = 0; done < total;) {
        const size_t piece = std::min(kPiece, total - done);
        Response r =
            s.send(cmd::readBinary(static_cast<uint16_t>(2 + done), static_cast<uint8_t>(piece)));
        if (!r.ok()) return r.result;
        if (r.value.size() != piece) return -1;
        std::copy(r.value.begin(), r.value.end(), buffer + done);
        done += piece;
    }
    *length = static_cast<uint32_t>(total);
    return 0;
}

// Clears the flag, then the stored length, so that neither an export nor a later open sees
// the certificate; the handle follows.
int32_t deleteCertificate(LockedDevice& s, ContainerHandle& container, CertKind kind) {
    const ContainerBytes handle = container.bytes();
    // The flag files are checked against the security state of the current application.
    if (int32_t r = selectApplication(s, certificateDirectory(handle)); r != 0) return r;
    if (int32_t r = writeCertFlag(s, handle.number(), kind, 0x00); r != 0) return r;
    if (int32_t r = selectApplication(s, certificateDirectory(handle)); r != 0) return r;
    if (int32_t r = s.select(certificateFile(handle, kind)); r != 0) return r;
    const uint8_t empty[2] = {0x00, 0x00};
    if (Response r = s.send(cmd::updateBinary(0, empty)); !r.ok()) return r.result;
    container.setByte(handleCertByte(kind), 0x00);
    return 0;
}

// The container check every certificate call shares: a live container handle that names one
// of the token's container numbers, leased for the call.
int32_t leaseNumberedContainer(const ContainerHandle* container, ContainerLease& held) {
    if (int32_t r = leaseContainer(container, held); r != 0) return r;
    return validNumber(held->bytes().number()) ? 0 : XR_BAD_CONTAINER;
}

int32_t importAny(DeviceHandle* device, ContainerHandle* container, std::optional<CertKind> kind,
                  const uint8_t* cert, uint32_t length) {
    // An empty certificate would be flagged as present and reported absent by the next open.
    const int32_t arguments = !kind                            ? XR_UNSUPPORTED
                              : length > kMaxCertificate       ? XR_CERT_TOO_LONG
                              : cert == nullptr || length == 0 ? XR_BAD_PARAMETER
                                                               : 0;
    ContainerLease held;
    const int32_t objects = leaseNumberedContainer(container, held);
    return runDeviceOp(device,
                       {.arguments = arguments, .objects = objects, .gate = Gate::UserVerified},
                       [&](LockedDevice& s) {
                           return importCertificate(s, *held, *kind, ByteView(cert, length));
                       });
}

int32_t exportAny(DeviceHandle* device, ContainerHandle* container, std::optional<CertKind> kind,
                  uint8_t* buffer, uint32_t* length) {
    const int32_t arguments = !kind ? XR_UNSUPPORTED : length == nullptr ? XR_BAD_PARAMETER : 0;
    ContainerLease held;
    int32_t objects = leaseNumberedContainer(container, held);
    const ContainerBytes bytes = objects == 0 ? held->bytes() : ContainerBytes{};
    if (objects == 0 && kind && bytes.raw[handleCertByte(*kind)] != ContainerBytes::kPresent) {
        objects = XR_NOT_FOUND;
    }
    return runDeviceOp(device, {.arguments = arguments, .objects = objects}, [&](LockedDevice& s) {
        return exportCertificate(s, bytes, *kind, buffer, length);
    });
}

}  // namespace

extern "C" {

XAPI X_ImportUserCert(DeviceHandle* device, ContainerHandle* container, uint32_t type,
                      const uint8_t* cert, uint32_t length) {
    return noThrow([&] { return importAny(device, container, certKind(type), cert, length); });
}

XAPI X_ExportUserCert(DeviceHandle* device, ContainerHandle* container, uint32_t type,
                      uint8_t* buffer, uint32_t* length) {
    return noThrow([&] { return exportAny(device, container, certKind(type), buffer, length); });
}

XAPI X_ImportRootCert(DeviceHandle* device, ContainerHandle* container, const uint8_t* cert,
                      uint32_t length) {
    return noThrow([&] { return importAny(device, container, CertKind::Root, cert, length); });
}

XAPI X_ExportRootCert(DeviceHandle* device, ContainerHandle* container, uint8_t* buffer,
                      uint32_t* length) {
    return noThrow([&] { return exportAny(device, container, CertKind::Root, buffer, length); });
}

XAPI X_DeletetUserCert(DeviceHandle* device, ContainerHandle* container, uint32_t type) {
    return noThrow([&]() -> int32_t {
        const CertKind kind = type == 1   ? CertKind::Type1
                              : type == 2 ? CertKind::Type2
                                          : CertKind::Root;
        ContainerLease held;
        const int32_t objects = leaseNumberedContainer(container, held);
        // Nothing to delete when the handle says the user certificate is absent.
        if (objects == 0 && kind != CertKind::Root &&
            held->bytes().raw[handleCertByte(kind)] != ContainerBytes::kPresent) {
            return runHandleCall(device, LostDevice::Refused, {}, [](DeviceHandle&) { return 0; });
        }
        return runDeviceOp(device, {.objects = objects, .gate = Gate::UserVerified},
                           [&](LockedDevice& s) { return deleteCertificate(s, *held, kind); });
    });
}

}  // extern "C"
