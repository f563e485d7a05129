#include "posix_errors.h"

#include <cerrno>

namespace diskgate::posix {

SystemError fromErrno(int error) {
    switch (error) {
        case 0:
            return kErrorIoDevice;  // a failure that left no reason is still a failure
        case ENOENT:
            return 2;  // ERROR_FILE_NOT_FOUND
        case EACCES:
        case EPERM:
        case EROFS:
            return kErrorAccessDenied;
        case EMFILE:
        case ENFILE:
            return 4;  // ERROR_TOO_MANY_OPEN_FILES
        case ENOMEM:
            return 8;  // ERROR_NOT_ENOUGH_MEMORY
        case EBUSY:
            return 170;  // ERROR_BUSY
        case EINVAL:
            return 87;  // ERROR_INVALID_PARAMETER
        case ENODEV:
        case ENXIO:
            return 1167;  // ERROR_DEVICE_NOT_CONNECTED
        case ETIMEDOUT:
            return 1460;  // ERROR_TIMEOUT
        case ENOTTY:
            return 1;  // ERROR_INVALID_FUNCTION: not a device that takes pass-through
        case ENOSPC:
            return 112;  // ERROR_DISK_FULL
        default:
            return kErrorIoDevice;
    }
}

}  // namespace diskgate::posix
