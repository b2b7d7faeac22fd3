#include "engine/FileSystem/GrowingMemoryStream.h"

#include "engine/FileSystem/MemoryStream.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace lume {

GrowingMemoryStream::GrowingMemoryStream(uint32_t reserve, uint32_t limit) : limit_(limit) {
    bytes_.reserve(std::min(reserve, limit));
}

bool GrowingMemoryStream::read(void* buffer, uint32_t length, uint32_t* count) {
    return readFromMemory(bytes_, position_, buffer, length, count);
}

bool GrowingMemoryStream::write(const void* buffer, uint32_t length) {
    if (buffer == nullptr && length != 0) {
        return false;
    }
    const uint64_t end = uint64_t{position_} + length;
    if (end > limit_) {
        overflowed_ = true;
        return false;
    }
    if (end > bytes_.size()) {
        try {
            bytes_.resize(end);
        } catch (const std::bad_alloc&) {
            overflowed_ = true;
            return false;
        }
    }
    if (length != 0) {
        std::memcpy(bytes_.data() + position_, buffer, length);
    }
    position_ = static_cast<uint32_t>(end);
    return true;
}

bool GrowingMemoryStream::seek(uint32_t position) {
    if (position > size()) {
        return false;
    }
    position_ = position;
    return true;
}

void GrowingMemoryStream::clear() {
    bytes_.clear();
    position_ = 0;
    overflowed_ = false;
}

}  // namespace lume
