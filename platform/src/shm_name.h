// Maps a machine-wide object name in the system's own form ("Global\\TOKENAPI_MUTEX") onto
// a POSIX shared-memory object name.
#pragma once

#include <string>
#include <string_view>

namespace platform::detail {

// `space` is the value of TOKEN_PLATFORM_NAMESPACE (empty when unset).
std::string shmNameFor(std::string_view name, std::string_view space);

}  // namespace platform::detail
