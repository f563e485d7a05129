// The token's two application directories DDF1 and DDF2, below the master file 3F00, and
// which of them an operation works in.
//
// PINs: the token keeps a user PIN in each directory; while a container is open,
// verification must reach the PIN of the directory that container lives in, whatever PIN type
// the caller names. The override is one value for the whole process: opening any container
// sets it, closing any container removes it.
//
// Data files live in the application directory that is current (the one the post-connect
// selection, a verification or a container open left). Certificates select their container's
// directory themselves: a certificate written into whatever directory happens to be current
// would overwrite another container's certificate.
#pragma once

#include <cstdint>

#include "operation.h"

namespace tokenapi {

inline constexpr uint16_t kMasterFile = 0x3F00;
inline constexpr uint16_t kFirstApplication = 0xDDF1;
inline constexpr uint16_t kSecondApplication = 0xDDF2;

// `directory` is 1 (DDF1) or 2 (DDF2).
void setPinDirectoryOverride(uint32_t directory);
void clearPinDirectoryOverride();

// The PIN type after the override: the override's 1 or 2 while one is set, else `type`.
uint32_t effectivePinType(uint32_t type);

// DDF2 for effective type 2, DDF1 for every other type.
uint16_t pinDirectoryFor(uint32_t effectiveType);

// SELECT 3F00 then the directory; the first failing result.
int32_t selectApplication(LockedDevice& session, uint16_t directory);

}  // namespace tokenapi
