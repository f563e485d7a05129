#include <windows.h>

#include "platform/secure_wipe.h"

namespace platform {

void secureWipe(void* data, std::size_t size) noexcept {
    if (data != nullptr && size != 0) ::SecureZeroMemory(data, size);
}

}  // namespace platform
