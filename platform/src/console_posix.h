// The terminal side of readSecret on POSIX systems, on a terminal the caller opened (tests
// drive it through a pseudo-terminal).
#pragma once

#include <string_view>

#include "platform/console.h"

namespace platform::detail {

// readSecret on the terminal `fd`: the prompt, one line with echo off, the settings back.
SecretRead readSecretOn(int fd, std::string_view prompt, SecretText& secret);

}  // namespace platform::detail
