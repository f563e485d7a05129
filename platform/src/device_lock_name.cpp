#include <algorithm>

#include "platform/named_mutex.h"

namespace platform {

std::string deviceLockName(std::string_view identification) {
    std::string name(identification.rbegin(), identification.rend());
    // A backslash would open a kernel namespace ("Global\...") inside the mutex name.
    std::replace(name.begin(), name.end(), '\\', 'a');
    return name;
}

}  // namespace platform
