#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "vtoken/bytes.h"
#include "vtoken/key_object.h"
#include "vtoken/secret_bytes.h"

namespace vtoken {

// A running SM3 digest (OpenSSL's), copyable so that the token can take a snapshot of its
// registers before a command and put them back when the command fails.
class Sm3Digest {
  public:
    static constexpr std::size_t kLength = 32;

    Sm3Digest();  // a fresh digest; throws std::runtime_error when SM3 is not available
    Sm3Digest(const Sm3Digest& other);
    Sm3Digest& operator=(const Sm3Digest& other);
    Sm3Digest(Sm3Digest&&) noexcept;
    Sm3Digest& operator=(Sm3Digest&&) noexcept;
    ~Sm3Digest();

    void update(ByteView data);
    // The value of everything fed so far; the digest itself goes on unchanged.
    std::array<std::uint8_t, kLength> value() const;

  private:
    struct Context;
    std::unique_ptr<Context> context_;
};

// The token's single registers. They are volatile: power off, reset and pulling the card
// forget them, and the host must not interleave sequences that use the same register.
struct Registers {
    // The temporary key pair: generation with P2 80 and the commands with P1 00 make, read,
    // write and use it. RSA and SM2 each have one (components numbered as in KeyObject).
    std::optional<KeyObject> temporaryRsa;
    std::optional<KeyObject> temporarySm2;

    // The cipher key register (80 C6 P2 02) and the algorithm code it was loaded with.
    struct CipherKey {
        std::uint8_t algorithm = 0;
        SecretBytes key;
    };
    std::optional<CipherKey> cipherKey;
    // The initial value register (80 C6 00 03), used by the CBC algorithms.
    std::optional<std::array<std::uint8_t, 16>> initialValue;

    // The running SM3 digest of 80 F0 02 01/02/04, finished by 80 F0 02 03.
    std::optional<Sm3Digest> digest;
};

}  // namespace vtoken
