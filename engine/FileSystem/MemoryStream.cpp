#include "engine/FileSystem/MemoryStream.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace lume {

MemoryStream::MemoryStream(uint32_t capacity)
    : buffer_(new (std::nothrow) uint8_t[capacity]()), capacity_(buffer_ ? capacity : 0) {}

bool readFromMemory(std::span<const uint8_t> bytes, uint32_t& position, void* buffer,
                    uint32_t length, uint32_t* count) {
    if (position > bytes.size() || (buffer == nullptr && length != 0)) {
        return false;
    }
    const uint32_t n = std::min<uint32_t>(length, static_cast<uint32_t>(bytes.size()) - position);
    if (n != 0) {
        std::memcpy(buffer, bytes.data() + position, n);
    }
    position += n;
    if (count != nullptr) {
        *count = n;
    }
    return true;
}

bool MemoryStream::read(void* buffer, uint32_t length, uint32_t* count) {
    // Bounded by the capacity, not by what was written.
    return readFromMemory({buffer_.get(), capacity_}, position_, buffer, length, count);
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
