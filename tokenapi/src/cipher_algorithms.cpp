#include "cipher_algorithms.h"

#include <algorithm>
#include <array>

namespace tokenapi::cipher {
namespace {

// Which ciphers codes 00 and 01 select is the token's business; the lengths are not.
constexpr std::array<Algorithm, 4> kAlgorithms = {{
    {XCIPHER_BLOCK8, 8, 8, 0x01, false},
    {XCIPHER_BLOCK16, 16, 16, 0x00, false},
    {XCIPHER_SSF33, 16, 16, 0x02, true},
    {XCIPHER_SM1, 16, 16, 0x03, true},
}};

}  // namespace

const Algorithm* findAlgorithm(uint32_t identifier) {
    auto found = std::find_if(kAlgorithms.begin(), kAlgorithms.end(),
                              [&](const Algorithm& a) { return a.identifier == identifier; });
    return found == kAlgorithms.end() ? nullptr : &*found;
}

int32_t checkAlgorithmAndKey(uint32_t identifier, uint32_t keyLength) {
    const Algorithm* algorithm = findAlgorithm(identifier);
    if (algorithm == nullptr) return XR_BAD_ALGORITHM;
    if (keyLength != algorithm->keyLength) return XR_BAD_KEY_LENGTH;
    return 0;
}

}  // namespace tokenapi::cipher
