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

std::optional<CertKind> userCertKind(uint32_t type) {
    if (type == 1) return CertKind::Type1;
    if (type == 2) return CertKind::Type2;
    return std::nullopt;
}

// Sets or clears a certificate's flag byte in 001A (user types) or 001B (root).
int32_t writeCertFlag(Session& s, uint8_t n, CertKind kind, uint8_t value) {
    if (kind == CertKind::Root) {
        if (int32_t r = s.select(kRootFlags); r != 0) return r;
        const uint8_t flag[1] = {value};
        return s.send(cmd::updateBinary(static_cast<uint16_t>(n - 1), flag)).result;
    }
    if (int32_t r = s.select(kKeyFlags); r != 0) return r;
    const auto offset = static_cast<uint16_t>(4 * (n - 1));
    Response flags = s.send(cmd::readBinary(offset, 4));
    if (!flags.ok()) return flags.result;
    if (flags.data.size() != 4) return -1;
    flags.data[keyFlagsCertOffset(kind)] = value;
    return s.send(cmd::updateBinary(offset, flags.data)).result;
}

int32_t importCertificate(Session& s, ContainerHandle* container, const ContainerBytes& handle,
                          CertKind kind, ByteView cert) {
    if (int32_t r = selectApplication(s, certificateDirectory(handle)); r != 0) return r;
    if (int32_t r = s.select(certificateFile(handle, kind)); r != 0) return r;
    const uint8_t length[2] = {static_cast<uint8_t>(cert.size() >> 8),
                               static_cast<uint8_t>(cert.size())};
    if (Response r = s.send(cmd::updateBinary(0, length)); !r.ok()) return r.result;
    if (int32_t r = s.updateInPieces(2, cert); r != 0) return r;
    if (int32_t r = writeCertFlag(s, handle.number(), kind, ContainerBytes::kPresent); r != 0) {
        return r;
    }
    setContainerByte(container, handleCertByte(kind), ContainerBytes::kPresent);
    return 0;
}

int32_t exportCertificate(Session& s, const ContainerBytes& handle, CertKind kind, uint8_t* buffer,
                          uint32_t* length) {
    if (int32_t r = selectApplication(s, certificateDirectory(handle)); r != 0) return r;
    if (int32_t r = s.select(certificateFile(handle, kind)); r != 0) return r;
    Response stored = s.send(cmd::readBinary(0, 2));
    if (!stored.ok()) return stored.result;
    if (stored.data.size() != 2) return -1;
    const size_t total = static_cast<size_t>(stored.data[0] << 8 | stored.data[1]);
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
        if (r.data.size() != piece) return -1;
        std::copy(r.data.begin(), r.data.end(), buffer + done);
        done += piece;
    }
    *length = static_cast<uint32_t>(total);
    return 0;
}

// Clears the flag, then the stored length, so that neither an export nor a later open sees
// the certificate; the handle follows.
int32_t deleteCertificate(Session& s, ContainerHandle* container, const ContainerBytes& handle,
                          CertKind kind) {
    // The flag files are checked against the security state of the current application.
    if (int32_t r = selectApplication(s, certificateDirectory(handle)); r != 0) return r;
    if (int32_t r = writeCertFlag(s, handle.number(), kind, 0x00); r != 0) return r;
    if (int32_t r = selectApplication(s, certificateDirectory(handle)); r != 0) return r;
    if (int32_t r = s.select(certificateFile(handle, kind)); r != 0) return r;
    const uint8_t empty[2] = {0x00, 0x00};
    if (Response r = s.send(cmd::updateBinary(0, empty)); !r.ok()) return r.result;
    setContainerByte(container, handleCertByte(kind), 0x00);
    return 0;
}

// The checks every certificate operation shares: a live device and a live container handle
// that names one of the token's container numbers.
ContainerLookup checkedContainer(DeviceHandle* device, const ContainerHandle* container) {
    if (!usable(device)) return {XR_BAD_HANDLE, {}};
    ContainerLookup handle = lookupContainer(container);
    if (handle.result == 0 && !validNumber(handle.bytes.number())) handle.result = XR_BAD_CONTAINER;
    return handle;
}

int32_t importAny(DeviceHandle* device, ContainerHandle* container, std::optional<CertKind> kind,
                  const uint8_t* cert, uint32_t length) {
    // The arguments first: their faults are told whatever the state of device and container.
    if (!kind) return XR_UNSUPPORTED;
    if (length > kMaxCertificate) return XR_CERT_TOO_LONG;
    // An empty certificate would be flagged as present and reported absent by the next open.
    if (cert == nullptr || length == 0) return XR_BAD_PARAMETER;
    ContainerLookup handle = checkedContainer(device, container);
    if (handle.result != 0) return handle.result;
    return runDeviceOp(device, Gate::UserVerified, [&](Session& s) {
        return importCertificate(s, container, handle.bytes, *kind, ByteView(cert, length));
    });
}

int32_t exportAny(DeviceHandle* device, ContainerHandle* container, std::optional<CertKind> kind,
                  uint8_t* buffer, uint32_t* length) {
    if (!kind) return XR_UNSUPPORTED;
    if (length == nullptr) return XR_BAD_PARAMETER;
    ContainerLookup handle = checkedContainer(device, container);
    if (handle.result != 0) return handle.result;
    if (handle.bytes.raw[handleCertByte(*kind)] != ContainerBytes::kPresent) return XR_NOT_FOUND;
    return runDeviceOp(device, Gate::None, [&](Session& s) {
        return exportCertificate(s, handle.bytes, *kind, buffer, length);
    });
}

}  // namespace

extern "C" {

XAPI X_ImportUserCert(DeviceHandle* device, ContainerHandle* container, uint32_t type,
                      const uint8_t* cert, uint32_t length) {
    return noThrow([&] { return importAny(device, container, userCertKind(type), cert, length); });
}

XAPI X_ExportUserCert(DeviceHandle* device, ContainerHandle* container, uint32_t type,
                      uint8_t* buffer, uint32_t* length) {
    return noThrow(
        [&] { return exportAny(device, container, userCertKind(type), buffer, length); });
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
        ContainerLookup handle = checkedContainer(device, container);
        if (handle.result != 0) return handle.result;
        const CertKind kind = userCertKind(type).value_or(CertKind::Root);
        // Nothing to delete when the handle says the user certificate is absent.
        if (kind != CertKind::Root &&
            handle.bytes.raw[handleCertByte(kind)] != ContainerBytes::kPresent) {
            return 0;
        }
        return runDeviceOp(device, Gate::UserVerified, [&](Session& s) {
            return deleteCertificate(s, container, handle.bytes, kind);
        });
    });
}

}  // extern "C"
