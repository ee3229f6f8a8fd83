#include "platform/win32_errors.h"

#include <cerrno>

namespace clst::platform {

namespace {
thread_local uint32_t t_lastError = kErrorSuccess;
}

uint32_t GetLastError() {
    return t_lastError;
}
void SetLastError(uint32_t code) {
    t_lastError = code;
}

uint32_t Win32ErrorFromErrno(int error) {
    switch (error) {
        case 0:
            return kErrorSuccess;
        case ENOENT:
            return kErrorFileNotFound;
        case ENOTDIR:
            return kErrorPathNotFound;
        case EMFILE:
        case ENFILE:
            return kErrorTooManyOpenFiles;
        case EACCES:
        case EPERM:
        case EWOULDBLOCK:
        case EROFS:
            return kErrorAccessDenied;
        case EBADF:
            return kErrorInvalidHandle;
        case ENOMEM:
            return kErrorNotEnoughMemory;
        case ENODEV:
            return kErrorGenFailure;
        case ENXIO:
            return kErrorNoSuchDevice;
        case EINVAL:
        case ERANGE:
        case ENAMETOOLONG:
            return kErrorInvalidParameter;
        case EPIPE:
            return kErrorBrokenPipe;
        case ENOSPC:
            return kErrorDiskFull;
        case ENOSYS:
            return kErrorCallNotImplemented;
        case ETIMEDOUT:
            return kErrorSemTimeout;
        case EBUSY:
            return kErrorBusy;
        case EEXIST:
            return 80;  // ERROR_FILE_EXISTS
        case EINTR:
            return kErrorOperationAborted;
        case EIO:
            return kErrorIoDevice;
        case ENOTTY:
            return kErrorInvalidFunction;
        default:
            return kErrorGenFailure;
    }
}

}  // namespace clst::platform
