// Linux errno values as the Windows system error codes that the service's clients read in
// every answer, whatever system the service runs on.
#pragma once

#include "device_io.h"

namespace diskgate::posix {

SystemError fromErrno(int error);

}  // namespace diskgate::posix
