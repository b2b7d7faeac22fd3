// The last-error channel of the platform layer: every call that fails leaves a Win32-style
// error code here (per thread), so the code above keeps the error rules it was written with.
#pragma once

#include <cstdint>

namespace platform {

enum : uint32_t {
    kErrSuccess = 0,
    kErrFileNotFound = 2,
    kErrPathNotFound = 3,
    kErrTooManyOpenFiles = 4,
    kErrAccessDenied = 5,
    kErrInvalidHandle = 6,
    kErrNotEnoughMemory = 8,
    kErrInvalidAccess = 12,
    kErrSharingViolation = 32,
    kErrHandleDiskFull = 39,
    kErrFileExists = 80,
    kErrInvalidParameter = 87,
    kErrDiskFull = 112,
    kErrDirNotEmpty = 145,
    kErrAlreadyExists = 183,
    kErrBadExeFormat = 193,
    kErrFilenameTooLong = 206,
    kErrDirectory = 267,
    kErrGeneric = 31,  // "a device attached to the system is not functioning": anything unmapped
};

uint32_t lastError();
void setLastError(uint32_t code);
// Maps an errno value to the Win32 code with the same meaning.
uint32_t errorFromErrno(int err);

}  // namespace platform
