#include "engine/FileSystem/ZipStream.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "engine/FileSystem/Inflate.h"
#include "engine/Kernel/Logger.h"

namespace lume {

ZipStream::ZipStream() : inflater_(new (std::nothrow) z_stream()) {}

ZipStream::~ZipStream() = default;

bool ZipStream::open(Stream* source, uint32_t startOffset, uint32_t storedLength, uint32_t length) {
    if (state_ != kNotOpened || source == nullptr) {
        return false;
    }
    source_ = source;
    startOffset_ = startOffset;
    storedLength_ = storedLength;
    length_ = length;
    state_ = kOpen;
    return true;
}

bool ZipStream::seek(uint32_t position) {
    position_ = std::min(position, length_);
    return true;
}

bool ZipStream::read(void* buffer, uint32_t length, uint32_t* count) {
    if (state_ == kNotOpened || buffer == nullptr || length == 0) {
        return false;
    }
    if (storedLength_ == length_) {
        return readStored(buffer, length, count);
    }

    if (position_ == 0 && length == length_ && !inflated_) {
        // The whole entry in one call: inflate straight into the caller's buffer and keep
        // no copy.
        kiln::SafeBuffer<unsigned char> stored(storedLength_);
        if (!loadCompressed(stored)) {
            return false;
        }
        uint32_t produced = length;
        if (unCompressData(inflater_.get(), static_cast<uint8_t*>(buffer), produced, stored.data(),
                           storedLength_) != kUncompressOk ||
            produced != length_) {
            return false;
        }
        position_ = length_;
        state_ = kFullyRead;
        if (count != nullptr) {
            *count = produced;
        }
        return true;
    }

    if (!inflated_) {
        kiln::SafeBuffer<unsigned char> stored(storedLength_);
        if (!loadCompressed(stored)) {
            return false;
        }
        decompressed_.reset(new (std::nothrow) uint8_t[length_]);
        if (decompressed_ == nullptr) {
            logW_0(u"内存申请失败，空指针");
            return false;
        }
        capacity_ = length_;
        uint32_t produced = capacity_;
        if (unCompressData(inflater_.get(), decompressed_.get(), produced, stored.data(),
                           storedLength_) != kUncompressOk ||
            produced != length_) {
            decompressed_.reset();
            capacity_ = 0;
            return false;
        }
        inflated_ = true;
        state_ = kOpen;
    }

    if (position_ >= length_) {
        return false;
    }
    const uint32_t n = std::min(length, length_ - position_);
    std::memcpy(buffer, decompressed_.get() + position_, n);
    position_ += n;
    if (count != nullptr) {
        *count = n;
    }
    return true;
}

bool ZipStream::readStored(void* buffer, uint32_t length, uint32_t* count) {
    if (position_ >= length_) {
        return false;
    }
    const uint32_t n = std::min(length, length_ - position_);
    uint32_t got = 0;
    const bool ok = source_->seek(startOffset_ + position_) && source_->read(buffer, n, &got);
    if (ok) {
        position_ += got;
        if (count != nullptr) {
            *count = got;
        }
    }
    // The source is a shared pack handle; leave it where the entry starts.
    source_->seek(startOffset_);
    // A pack that ends inside the entry is damaged, not a short file.
    return ok && got == n;
}

bool ZipStream::loadCompressed(kiln::SafeBuffer<unsigned char>& stored) {
    if (inflater_ == nullptr || stored.data() == nullptr) {
        logW_0(u"内存申请失败，空指针");
        return false;
    }
    uint32_t got = 0;
    return source_->seek(startOffset_) && source_->read(stored.data(), storedLength_, &got) &&
           got == storedLength_;
}

}  // namespace lume
