// The mapping of the C runtime's errno values to Win32 error numbers, which both backends
// need for the calls they make through the C library.
#include <cerrno>

#include "platform/System.h"

namespace Platform {

DWORD Win32ErrorFromErrno(int errnoValue) {
    // The C runtime's errno after a failed call on a stream or a descriptor.
    switch (errnoValue) {
        case 0:
            return Error::Success;
        case ENOENT:
            return Error::FileNotFound;
        case ENOTDIR:
        case ELOOP:
            return Error::PathNotFound;
        case EMFILE:
        case ENFILE:
            return Error::TooManyOpenFiles;
        case EACCES:
        case EPERM:
        case EISDIR:
            return Error::AccessDenied;
        case EROFS:
            return Error::WriteProtect;
        case EBADF:
            return Error::InvalidHandle;
        case ENOMEM:
            return Error::NotEnoughMemory;
        case EXDEV:
            return Error::NotSameDevice;
        case ETXTBSY:
        case EBUSY:
            return Error::SharingViolation;
        case EEXIST:
            return Error::AlreadyExists;
        case EINVAL:
            return Error::InvalidParameter;
        case EPIPE:
            return Error::BrokenPipe;
        case ENOSPC:
#ifdef EDQUOT  // no disk quotas in the Windows C runtime
        case EDQUOT:
#endif
            return Error::DiskFull;
        case ENAMETOOLONG:
            return Error::FilenameExcedRange;
        case ENOTEMPTY:
            return Error::DirNotEmpty;
        case ENOTSUP:
            return Error::NotSupported;
        case EIO:
            return Error::IoDevice;
        default:
            return Error::InvalidParameter;
    }
}

}  // namespace Platform
