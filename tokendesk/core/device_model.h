// What the tool knows of each listed key: the entries its tree is built from.
#ifndef TOKENDESK_DEVICE_MODEL_H
#define TOKENDESK_DEVICE_MODEL_H

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "item_code.h"

struct DeviceHandle;

namespace tokendesk {

// Key specifications of a certificate's private key, as the certificate store names them.
enum class KeySpec : std::uint32_t { Exchange = 1, Signature = 2 };

struct ContainerEntry {
    std::string name;  // the bytes X_EnumContainer listed (code page 936)
    bool hasEncryptionKeyPair = false;
    bool hasEncryptionCertificate = false;
    bool hasSignatureKeyPair = false;
    bool hasSignatureCertificate = false;
    std::vector<std::uint8_t> encryptionCertificate;  // DER
    std::vector<std::uint8_t> signatureCertificate;   // DER
};

struct DeviceEntry {
    DeviceHandle* handle = nullptr;  // owned by the device list while the entry is listed
    ItemCode id = 0;
    std::string label;   // bytes of X_GetDEVInfo type 0, or "未格式化设备" in code page 936
    std::string serial;  // hexadecimal text of X_GetDEVInfo type 7; empty when unread
    std::vector<ContainerEntry> containers;
};

// Sets the four flags from the container information word: byte 0 the encryption key pair,
// byte 1 the encryption certificate, byte 2 the signature key pair, byte 3 the signature
// certificate.
void applyContainerInfo(ContainerEntry& container, std::uint32_t word);

// The names of X_EnumContainer's list: each ended by a NUL byte, the list ending at an empty
// name, at the returned length or at the end of the buffer, whichever comes first. A last name
// that the length cuts off before its NUL is kept as far as it goes.
std::vector<std::string> splitContainerNames(std::span<const char> buffer, std::uint32_t length);

// The label shown for a key whose label cannot be read, in code page 936 ("未格式化设备").
std::string_view unformattedLabel();

// Whether a listed key has this serial number (the whole text, not a prefix).
bool serialListed(std::span<const DeviceEntry> devices, std::string_view serial);

const DeviceEntry* findDevice(std::span<const DeviceEntry> devices, ItemCode code);

// The container an item stands for or lies under, found by its position in the item code.
const ContainerEntry* findContainer(const DeviceEntry& device, ItemCode code);

}  // namespace tokendesk

#endif
