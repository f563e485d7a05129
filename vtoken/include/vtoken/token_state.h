#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vtoken/bytes.h"
#include "vtoken/file_system.h"

namespace vtoken {

inline constexpr std::size_t kSerialLength = 10;
inline constexpr std::size_t kKeyRecordLength = 18;
using KeyRecord = std::array<std::uint8_t, kKeyRecordLength>;

inline constexpr std::uint16_t kFirstApplication = 0xDDF1;
inline constexpr std::uint16_t kSecondApplication = 0xDDF2;
inline constexpr std::uint16_t kCounterFileId = 0x0020;
inline constexpr std::uint16_t kLabelFileId = 0x00E1;

struct DeviceIdentity {
    std::array<std::uint8_t, kSerialLength> serial{};
    std::uint8_t generation = 2;
    std::uint32_t maxBlock = 1024;
    // A token without the largest-block query answers BF C0 with 6D00.
    bool largestBlockQuery = true;
    // Older tokens lack BF 20 and leave counter resets to the host.
    bool pinCounterCommand = true;
    std::uint32_t capacity = 32768;
};

// The two PINs of an application directory, in the key record form WRITE KEY carries.
struct ApplicationKeys {
    std::uint16_t dfFid = 0;
    KeyRecord userPin{};
    KeyRecord adminPin{};
};

inline constexpr unsigned kContainerCount = 4;

// The pair of key files that holds one key of a container: container n (1 to 4), slot 1 or 2.
// They live in each application directory.
struct KeyFileIds {
    std::uint16_t publicKey = 0;
    std::uint16_t privateKey = 0;
};
KeyFileIds rsaKeyFiles(unsigned container, unsigned slot);  // 00 6n-2/6n-1, 00 6n/6n+1
KeyFileIds sm2KeyFiles(unsigned container, unsigned slot);  // 00 6n+30/6n+31, 00 6n+32/6n+33

// Adds the key files of every container and slot (RSA and SM2) to the directory `df` when they
// are not there yet: public key files readable freely, private key files usable with the user
// PIN, both written with the user PIN.
void addKeyFiles(FileSystem& files, std::size_t df);

// Everything the token keeps across power cycles and restarts.
struct TokenState {
    DeviceIdentity identity;
    FileSystem files;
    std::vector<ApplicationKeys> keys;

    ApplicationKeys* keysFor(std::uint16_t dfFid);
};

struct ProvisionOptions {
    std::array<std::uint8_t, kSerialLength> serial{0x01, 0x02, 0x03, 0x04, 0x05,
                                                   0x06, 0x07, 0x08, 0x09, 0x0A};
    std::string label = "Tarvex Virtual Token";
    std::uint8_t generation = 2;
    std::uint32_t maxBlock = 1024;
    bool largestBlockQuery = true;
    bool pinCounterCommand = true;
    std::uint32_t capacity = 32768;
    Bytes userPin;
    Bytes adminPin;
};

// A fresh token with the standard layout. Throws std::invalid_argument for values the
// layout cannot hold (PIN of 0 or more than 16 bytes, label over 126 bytes, ...).
TokenState provision(const ProvisionOptions& options);

// The label as stored in the label file, empty when the file holds none.
std::string labelOf(const TokenState& state);

}  // namespace vtoken
