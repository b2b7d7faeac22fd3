// A stream over a fixed heap buffer. Reads are bounded by the capacity, and the buffer
// starts zeroed, so bytes past the used size read as zeros, never as stale memory.
#pragma once

#include <memory>
#include <span>

#include "engine/FileSystem/Stream.h"

namespace lume {

// The read of a stream held in memory: up to length bytes of bytes from position on, the
// position advanced past them; count receives their number. False for a null buffer or a
// position beyond the bytes.
bool readFromMemory(std::span<const uint8_t> bytes, uint32_t& position, void* buffer,
                    uint32_t length, uint32_t* count);

class MemoryStream : public Stream {
public:
    // An allocation failure leaves a stream of capacity 0 (check capacity()).
    explicit MemoryStream(uint32_t capacity);

    bool read(void* buffer, uint32_t length, uint32_t* count = nullptr) override;
    // Only when position + length fits the capacity; otherwise nothing is written.
    [[nodiscard]] bool write(const void* buffer, uint32_t length) override;
    bool seek(uint32_t position) override;
    uint32_t tell() override { return position_; }
    // The used size: the highest position ever written.
    uint32_t size() override { return used_; }
    uint8_t* data() override { return buffer_.get(); }

    uint32_t capacity() const { return capacity_; }

private:
    uint32_t used_ = 0;
    std::unique_ptr<uint8_t[]> buffer_;
    uint32_t capacity_ = 0;
    uint32_t position_ = 0;
};

}  // namespace lume
