#include "engine/FileSystem/MemoryStream.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace lume {

MemoryStream::MemoryStream(uint32_t capacity)
    : buffer_(new (std::nothrow) uint8_t[capacity]()), capacity_(buffer_ ? capacity : 0) {}

bool MemoryStream::read(void* buffer, uint32_t length, uint32_t* count) {
    if (position_ > capacity_ || (buffer == nullptr && length != 0)) {
        return false;
    }
    const uint32_t n = std::min(length, capacity_ - position_);
    if (n != 0) {
        std::memcpy(buffer, buffer_.get() + position_, n);
    }
    position_ += n;
    if (count != nullptr) {
        *count = n;
    }
    return true;
}

bool MemoryStream::write(const void* buffer, uint32_t length) {
    if (uint64_t{position_} + length > capacity_ || (buffer == nullptr && length != 0)) {
        return false;
    }
    if (length != 0) {
        std::memcpy(buffer_.get() + position_, buffer, length);
    }
    position_ += length;
    used_ = std::max(used_, position_);
    return true;
}

bool MemoryStream::seek(uint32_t position) {
    if (position > capacity_) {
        return false;
    }
    position_ = position;
    return true;
}

}  // namespace lume
