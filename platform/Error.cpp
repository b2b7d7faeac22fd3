#include "platform/Error.h"

#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "platform/Internal.h"

namespace platform {

namespace {

thread_local uint32_t t_lastError = kErrSuccess;

}  // namespace

uint32_t lastError() {
    return t_lastError;
}

void setLastError(uint32_t code) {
    t_lastError = code;
}

uint32_t errorFromErrno(int err) {
    switch (err) {
        case 0:
            return kErrSuccess;
        case ENOENT:
            return kErrFileNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            return kErrAccessDenied;
        case EMFILE:
        case ENFILE:
            return kErrTooManyOpenFiles;
        case EBADF:
            return kErrInvalidHandle;
        case ENOMEM:
            return kErrNotEnoughMemory;
        case EEXIST:
            return kErrAlreadyExists;
        case ENOSPC:
        case EDQUOT:
            return kErrDiskFull;
        case ENOTEMPTY:
            return kErrDirNotEmpty;
        case ENAMETOOLONG:
            return kErrFilenameTooLong;
        case ENOTDIR:
            return kErrDirectory;
        case EINVAL:
            return kErrInvalidParameter;
        case ETXTBSY:
            // Writing a running executable is what Win32 refuses as a sharing conflict.
            return kErrSharingViolation;
        case ENOEXEC:
            return kErrBadExeFormat;
        default:
            return kErrGeneric;
    }
}

namespace detail {

uint32_t errorForPath(int err, const std::string& nativePath) {
    if (err == ENOTDIR) {
        // A file used as a directory inside a path: Win32 says the path was not found.
        return kErrPathNotFound;
    }
    if (err != ENOENT) {
        return errorFromErrno(err);
    }
    std::string parent;
    const size_t slash = nativePath.find_last_of('/');
    if (slash == std::string::npos) {
        parent = ".";
    } else if (slash == 0) {
        parent = "/";
    } else {
        parent = nativePath.substr(0, slash);
    }
    struct stat st {};
    if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return kErrPathNotFound;
    }
    return kErrFileNotFound;
}

Status failure(uint32_t code) {
    const Status status = Status::failed(code);
    setLastError(status.error());
    return status;
}

Status errnoFailure(int err) {
    return failure(errorFromErrno(err));
}

Status pathFailure(int err, const std::string& nativePath) {
    return failure(errorForPath(err, nativePath));
}

bool fail(int err) {
    return static_cast<bool>(errnoFailure(err));
}

bool failPath(int err, const std::string& nativePath) {
    return static_cast<bool>(pathFailure(err, nativePath));
}

bool failCode(uint32_t code) {
    return static_cast<bool>(failure(code));
}

}  // namespace detail

}  // namespace platform
