#include "platform/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "platform/Error.h"
#include "platform/Files.h"
#include "platform/Internal.h"
#include "platform/Text.h"

namespace platform {

SingleInstance::~SingleInstance() {
    release();
}

namespace {

// Takes the lock on an opened file without waiting; on success the descriptor moves to out.
bool lockExclusive(detail::UniqueFd fd, int& out) {
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        setLastError(errno == EWOULDBLOCK ? kErrAlreadyExists : errorFromErrno(errno));
        return false;
    }
    out = fd.release();
    return true;
}

}  // namespace

bool SingleInstance::acquire(std::u16string_view name) {
    release();
    // One lock file per user in the temporary directory; flock locks belong to the open
    // file, so they also exclude a second holder inside this process and vanish with it.
    std::string path = nativePath(tempDirectory()) + "/" + wideToUtf8(name) + "-" +
                       std::to_string(getuid()) + ".lock";
    detail::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        setLastError(errorFromErrno(errno));
        return false;
    }
    return lockExclusive(std::move(fd), fd_);
}

bool SingleInstance::acquireDirectory(std::u16string_view path) {
    release();
    const std::string native = path.empty() ? std::string(".") : nativePath(path);
    detail::UniqueFd fd(::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) {
        setLastError(errorFromErrno(errno));
        return false;
    }
    return lockExclusive(std::move(fd), fd_);
}

void SingleInstance::release() {
    if (fd_ >= 0) {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace platform
