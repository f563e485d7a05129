// The status words the library itself tests for, and the one mapping that several operations
// share. Every other status word is passed to the caller unchanged.
#pragma once

#include <cstdint>

#include "tokenapi.h"

namespace tokenapi {

inline constexpr int32_t kSwOk = 0x9000;
inline constexpr int32_t kSwSecurityNotSatisfied = 0x6982;
inline constexpr int32_t kSwPinBlocked = 0x6983;
inline constexpr int32_t kSwFileNotFound = 0x6A82;
inline constexpr int32_t kSwOffsetBeyondEnd = 0x6B00;
inline constexpr int32_t kSwInsNotSupported = 0x6D00;

// PIN writes and file creation, reading and writing report a refusal for lack of rights as
// "no verified PIN".
inline int32_t rightsMapped(int32_t result) {
    return result == kSwSecurityNotSatisfied ? XR_NOT_VERIFIED : result;
}

}  // namespace tokenapi
