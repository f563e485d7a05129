// The current user's "MY" store: certificates of the listed keys with a pointer back to their
// container and the provider, and the viewer.
#ifndef TOKENDESK_CERT_STORE_H
#define TOKENDESK_CERT_STORE_H

#include <cstdint>
#include <span>
#include <string_view>

#include "device_model.h"

namespace tokendesk {

// Adds or replaces the certificate with its key-provider information: the container (code page
// 936 bytes), the provider "Tarvex Cryptographic Provider v1.0", type 1, the key
// specification. 0 on success, -1 on failure.
int RegisterCertificate(std::string_view containerName, std::span<const std::uint8_t> der,
                        KeySpec keySpec);

// Deletes every certificate of the store with exactly these bytes. 0 when the store was
// searched, -1 when it could not be opened or a deletion failed.
int RemoveCertificate(std::span<const std::uint8_t> der);

// Writes the certificate to "pcert.dat" in the temporary folder and starts the viewer on it.
void ViewCertificate(std::span<const std::uint8_t> der);

}  // namespace tokendesk

#endif
