// The outcome of a step that yields a value: result 0 and the value, or the failing result (a
// status word, -1, or a library code) with the value left as it was default-constructed.
// Build a success with {0, value} and a failure with {result}.
#pragma once

#include <cstdint>

namespace tokenapi {

template <class T>
struct Result {
    int32_t result = -1;
    T value{};

    bool ok() const { return result == 0; }
};

}  // namespace tokenapi
