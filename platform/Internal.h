// Helpers shared by the POSIX implementation files of the platform layer; nothing above the
// platform layer includes this header.
#pragma once

#include <cstdint>
#include <string>

namespace platform::detail {

// Like errorFromErrno, but tells a missing file (kErrFileNotFound) from a missing parent
// directory (kErrPathNotFound) by looking at the path, as Win32 reports them differently.
uint32_t errorForPath(int err, const std::string& nativePath);

// Stores errorFromErrno(err) (or errorForPath when a path is given) and returns false, so
// failing calls can end with `return fail(errno)`.
bool fail(int err);
bool failPath(int err, const std::string& nativePath);
bool failCode(uint32_t code);

}  // namespace platform::detail
