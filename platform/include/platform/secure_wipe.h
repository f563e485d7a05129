// Clearing memory that held a secret (a PIN typed at the terminal, a reply carrying key
// material) in a way the optimiser cannot drop because the buffer is about to be freed.
#pragma once

#include <cstddef>

namespace platform {

void secureWipe(void* data, std::size_t size) noexcept;

}  // namespace platform
