// Helpers shared by the POSIX implementation files of the platform layer; nothing above the
// platform layer includes this header.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "platform/Error.h"

namespace platform::detail {

// Like errorFromErrno, but tells a missing file (kErrFileNotFound) from a missing parent
// directory (kErrPathNotFound) by looking at the path, as Win32 reports them differently.
uint32_t errorForPath(int err, const std::string& nativePath);

// Stores errorFromErrno(err) (or errorForPath when a path is given) and returns false, so
// failing calls can end with `return fail(errno)`.
bool fail(int err);
bool failPath(int err, const std::string& nativePath);
bool failCode(uint32_t code);
// The same failures as a Status that carries the code.
Status failure(uint32_t code);
Status errnoFailure(int err);
Status pathFailure(int err, const std::string& nativePath);

// Owns a file descriptor until it is released to a longer-lived owner; closes it on every
// other way out.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    // Closes the descriptor held (keeping errno of a failing close) and takes fd.
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }
    // Closes now; false (errno set) when the close reports an error, EINTR aside: Linux has
    // released the descriptor either way.
    bool close() {
        const int rc = ::close(release());
        return rc == 0 || errno == EINTR;
    }

private:
    int fd_;
};

// Owns an open directory stream.
struct DirClose {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirClose>;

}  // namespace platform::detail
