#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include "vtoken/key_object.h"

namespace vtoken {

// Where the token's RSA key pairs come from when it generates one (80 D0).
class RsaKeySource {
  public:
    virtual ~RsaKeySource() = default;
    // A new key pair of `bits` (1024 or 2048) with every component 1 to 7, in the token's byte
    // order (least significant byte first; the exponent in 4 bytes, the modulus in bits/8, the
    // others in bits/16). Throws std::runtime_error when no key can be made.
    virtual KeyObject generate(unsigned bits) = 0;
};

// Generates every key pair with OpenSSL (public exponent 65537).
class FreshRsaKeys : public RsaKeySource {
  public:
    KeyObject generate(unsigned bits) override;
};

// Hands out key pairs generated beforehand (RSA generation takes long enough to slow a test
// suite that generates many): each key of the pool at most once, in the order of the file, and
// fresh ones when the pool has no more of the size asked for. Every process that loads the same
// pool hands out the same keys in the same order.
class RsaKeyPool : public RsaKeySource {
  public:
    // Reads a file of PEM private keys (as `vtoken key-pool` writes it). Throws
    // std::runtime_error naming the file when it cannot be read or holds anything but RSA keys
    // of 1024 or 2048 bits.
    static std::unique_ptr<RsaKeyPool> load(const std::filesystem::path& path);

    KeyObject generate(unsigned bits) override;
    // Keys of that size not handed out yet.
    std::size_t remaining(unsigned bits) const;

  private:
    std::map<unsigned, std::vector<KeyObject>> keys_;  // by size, in file order
    std::map<unsigned, std::size_t> next_;
    FreshRsaKeys fresh_;
};

// Writes a pool: `count[bits]` new keys of each size, PEM (PKCS #8), the file readable by its
// owner only. Replaces the file atomically.
void writeRsaKeyPool(const std::filesystem::path& path, const std::map<unsigned, unsigned>& count);

}  // namespace vtoken
