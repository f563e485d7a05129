#include "registration_plan.h"

#include "texts.h"

namespace tokendesk {

namespace {

constexpr Notice kDone{text::kRegistrationDone, text::kCaptionNotice, MessageIcon::Information};
constexpr Notice kNoContainer{text::kContainerUnreachable, text::kCaptionError, MessageIcon::Error};
constexpr Notice kKeyPairSelected{text::kSelectCertificate, text::kCaptionError,
                                  MessageIcon::Error};

CertificateRef encryption(const ContainerEntry& container) {
    return {&container, KeySpec::Exchange, container.encryptionCertificate};
}

CertificateRef signature(const ContainerEntry& container) {
    return {&container, KeySpec::Signature, container.signatureCertificate};
}

}  // namespace

std::vector<CertificateRef> containerCertificates(const ContainerEntry& container) {
    std::vector<CertificateRef> refs;
    if (container.hasEncryptionCertificate) refs.push_back(encryption(container));
    if (container.hasSignatureCertificate) refs.push_back(signature(container));
    return refs;
}

std::vector<CertificateRef> deviceCertificates(const DeviceEntry& device) {
    std::vector<CertificateRef> refs;
    for (const ContainerEntry& container : device.containers) {
        const auto own = containerCertificates(container);
        refs.insert(refs.end(), own.begin(), own.end());
    }
    return refs;
}

RegistrationPlan planRegistration(const DeviceEntry& device, ItemCode code) {
    const DecodedItem item = decodeItem(code);
    if (item.node == NodeKind::Key) return {deviceCertificates(device), kDone};
    const ContainerEntry* container = findContainer(device, code);
    if (container == nullptr) return {{}, kNoContainer};
    if (item.node == NodeKind::Container) return {containerCertificates(*container), kDone};
    switch (item.leaf) {
        case LeafKind::EncryptionCertificate:
            if (container->hasEncryptionCertificate) return {{encryption(*container)}, kDone};
            return {{}, kDone};
        case LeafKind::SignatureCertificate:
            if (container->hasSignatureCertificate) return {{signature(*container)}, kDone};
            return {{}, kDone};
        case LeafKind::EncryptionKeyPair:
        case LeafKind::SignatureKeyPair:
            break;
    }
    return {{}, kKeyPairSelected};
}

}  // namespace tokendesk
