#include "engine/FileSystem/WinStream.h"

#include "engine/Kernel/Format.h"
#include "platform/DebugOutput.h"
#include "platform/Error.h"

namespace lume {

WinStream::~WinStream() {
    close();
}

bool WinStream::open(std::u16string_view path, int mode) {
    close();
    if (file_.isOpen()) {
        return false;  // the old handle would not let go
    }
    // The platform creates the missing parent folders for the writing modes (1-3).
    if (const platform::Status opened = file_.open(path, mode); !opened) {
        return failed(opened);
    }
    path_.assign(path);
    state_ = kGood;
    return true;
}

void WinStream::close() {
    if (!file_.isOpen()) {
        return;
    }
    if (const platform::Status closed = file_.close(); !closed) {
        failed(closed);
        return;
    }
    state_ = kClosed;
}

bool WinStream::read(void* buffer, uint32_t length, uint32_t* count) {
    if (state_ != kGood || length == 0) {
        return false;
    }
    uint32_t got = 0;
    if (const platform::Status read = file_.read(buffer, length, got); !read) {
        const uint32_t code = read.error();
        if (platform::debugOutputEnabled()) {
            platform::debugOutput(
                formatW(u"read %s Failed size:%d code %d\n", path_, length, code));
        }
        return failed(read);
    }
    if (got < length) {
        state_ = kEndOfFile;
    }
    if (count != nullptr) {
        *count = got;
    }
    return true;
}

bool WinStream::write(const void* buffer, uint32_t length) {
    if ((state_ != kGood && state_ != kEndOfFile) || length == 0) {
        return false;
    }
    uint32_t put = 0;
    if (const platform::Status written = file_.write(buffer, length, put); !written) {
        return failed(written);
    }
    return true;
}

bool WinStream::sync() {
    if (!file_.isOpen()) {
        return false;
    }
    const platform::Status synced = file_.flush();
    return synced || failed(synced);
}

bool WinStream::reserve(uint32_t length) {
    if (!file_.isOpen()) {
        return false;
    }
    const platform::Status reserved = file_.reserve(length);
    return reserved || failed(reserved);
}

bool WinStream::resize(uint32_t length) {
    if (!file_.isOpen()) {
        return false;
    }
    const platform::Status resized = file_.truncate(length);
    return resized || failed(resized);
}

bool WinStream::failed(const platform::Status& status) {
    error_ = status.error();
    state_ = stateFromError(error_);
    return false;
}

bool WinStream::seek(uint32_t position) {
    if (!file_.isOpen()) {
        return false;
    }
    uint64_t total = 0;
    platform::Status status = file_.seek(position);
    if (status) {
        status = file_.size(total);
    }
    if (!status) {
        return failed(status);
    }
    state_ = position < total ? kGood : kEndOfFile;
    return true;
}

uint32_t WinStream::tell() {
    return file_.isOpen() ? static_cast<uint32_t>(file_.tell()) : 0;
}

uint32_t WinStream::size() {
    if (state_ != kGood && state_ != kEndOfFile) {
        return 0;
    }
    uint64_t total = 0;
    return file_.size(total) ? static_cast<uint32_t>(total) : 0;
}

int WinStream::stateFromError(uint32_t code) {
    switch (code) {
        case platform::kErrFileNotFound:
        case platform::kErrTooManyOpenFiles:
        case platform::kErrInvalidHandle:
        case platform::kErrInvalidAccess:
        case platform::kErrSharingViolation:
        case platform::kErrHandleDiskFull:
            return kAccessFailed;
        default:
            return kFailed;
    }
}

}  // namespace lume
