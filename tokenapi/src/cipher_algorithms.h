// The symmetric algorithm identifiers of the key API and what each means to the token: key
// and block length, the algorithm code the key load carries, and whether the CBC calls take it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tokenapi.h"

namespace tokenapi::cipher {

struct Algorithm {
    uint32_t identifier;
    size_t keyLength;
    size_t blockLength;
    uint8_t tokenCode;  // P1 of the key load
    bool cbc;           // offered by the CBC calls
};

// The largest block length of any identifier: the most a session holds back.
inline constexpr size_t kMaxBlockLength = 16;
// CBC always runs on 16-byte blocks with a 16-byte initial value.
inline constexpr size_t kCbcBlockLength = 16;

// The algorithm for an identifier, or null for one the key API does not know.
const Algorithm* findAlgorithm(uint32_t identifier);

// The checks every call makes first, in this order: the identifier (0x30005), then the key
// length (0x30006). 0 when both are right.
int32_t checkAlgorithmAndKey(uint32_t identifier, uint32_t keyLength);

}  // namespace tokenapi::cipher
