#include <string.h>

#include "platform/secure_wipe.h"

namespace platform {

void secureWipe(void* data, std::size_t size) noexcept {
    if (data != nullptr && size != 0) ::explicit_bzero(data, size);
}

}  // namespace platform
