// Where a loaded library lives, so that it can find a file installed beside it.
#pragma once

#include <filesystem>

namespace platform {

// The folder of the executable or shared library that contains `address` (any function or
// object of that module), or an empty path when the system cannot tell.
std::filesystem::path moduleFolder(const void* address);

}  // namespace platform
