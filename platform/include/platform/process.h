// Facts about the running program.
#pragma once

#include <filesystem>

namespace platform {

// The full path of the running executable; empty when the system cannot tell.
std::filesystem::path executablePath();

}  // namespace platform
