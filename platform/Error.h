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

// The outcome of a call that moves data or opens, syncs or closes a file: success, or the
// Win32-style code of the failure. The code comes back with the call, so no later call can
// change it; the thread's last error is set to it as well.
class [[nodiscard]] Status {
public:
    constexpr Status() = default;
    // A failure; a code of kErrSuccess still fails, as kErrGeneric.
    static constexpr Status failed(uint32_t code) {
        return Status(code == kErrSuccess ? kErrGeneric : code);
    }
    explicit operator bool() const { return error_ == kErrSuccess; }
    uint32_t error() const { return error_; }

private:
    explicit constexpr Status(uint32_t error) : error_(error) {}
    uint32_t error_ = kErrSuccess;
};
// Maps an errno value to the Win32 code with the same meaning.
uint32_t errorFromErrno(int err);

}  // namespace platform
