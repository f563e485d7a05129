// Which certificates go into the user's store and which leave it: for the register command on
// a selected item, for a key that was listed, and for a key that went.
#ifndef TOKENDESK_REGISTRATION_PLAN_H
#define TOKENDESK_REGISTRATION_PLAN_H

#include <cstdint>
#include <span>
#include <vector>

#include "device_model.h"
#include "selection_guard.h"

namespace tokendesk {

struct CertificateRef {
    const ContainerEntry* container = nullptr;
    KeySpec keySpec = KeySpec::Exchange;
    std::span<const std::uint8_t> der;
};

// The flagged certificates of one container: encryption first, then signature.
std::vector<CertificateRef> containerCertificates(const ContainerEntry& container);

// Every flagged certificate of a key, container by container: what a key's listing registers
// and what its departure removes.
std::vector<CertificateRef> deviceCertificates(const DeviceEntry& device);

struct RegistrationPlan {
    std::vector<CertificateRef> certificates;
    Notice notice;  // shown after the certificates were registered, whatever their outcome
};

// The register command on the item `code` of `device` (which the selection guard found).
RegistrationPlan planRegistration(const DeviceEntry& device, ItemCode code);

}  // namespace tokendesk

#endif
