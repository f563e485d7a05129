#pragma once

#include <cstdint>
#include <map>
#include <optional>

#include "vtoken/bytes.h"
#include "vtoken/secret_bytes.h"

namespace vtoken {

enum class KeyAlgorithm : std::uint8_t { Rsa = 1, Sm2 = 2 };

// The token's numbering of key components, as P2 of the component read and write commands.
namespace component {
inline constexpr std::uint8_t kRsaPublicExponent = 1;  // 4 bytes
inline constexpr std::uint8_t kRsaModulus = 2;         // k bytes
inline constexpr std::uint8_t kRsaPrime1 = 3;          // k/2 bytes each from here on
inline constexpr std::uint8_t kRsaPrime2 = 4;
inline constexpr std::uint8_t kRsaCoefficient = 5;
inline constexpr std::uint8_t kRsaExponent1 = 6;
inline constexpr std::uint8_t kRsaExponent2 = 7;
inline constexpr std::uint8_t kSm2PublicPoint = 1;  // X then Y, 32 bytes each
inline constexpr std::uint8_t kSm2PrivateKey = 3;   // d, 32 bytes
}  // namespace component

// Whether a component is part of the private key: never readable from a key file, masked in
// the trace when it travels.
bool isPrivateComponent(KeyAlgorithm algorithm, std::uint8_t number);

// A key (or the half of one that a key file holds) as the token keeps it: its components by
// number, each in the byte order the token takes and gives (RSA numbers least significant byte
// first, SM2 values as they are).
struct KeyObject {
    KeyAlgorithm algorithm = KeyAlgorithm::Rsa;
    std::map<std::uint8_t, SecretBytes> components;

    bool has(std::uint8_t number) const { return components.count(number) != 0; }
    // The component, or 6A88 when the key has none of that number.
    const SecretBytes& get(std::uint8_t number) const;
    void set(std::uint8_t number, ByteView value) { components[number] = secretCopy(value); }
};

}  // namespace vtoken
