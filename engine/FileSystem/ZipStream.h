// A read-only view of one file stored inside a pack, raw-deflate-compressed or stored as
// is. It never owns its source stream.
#pragma once

#include <memory>

#include "engine/FileSystem/SafeBuffer.h"
#include "engine/FileSystem/Stream.h"

struct z_stream_s;

namespace lume {

class ZipStream : public Stream {
public:
    enum State : int { kOpen = 0, kFullyRead = 2, kNotOpened = 4 };

    ZipStream();
    ~ZipStream() override;

    // The entry starts at startOffset in source and has storedLength bytes there; it
    // inflates to length bytes (stored as is when the two are equal).
    bool open(Stream* source, uint32_t startOffset, uint32_t storedLength, uint32_t length);

    bool read(void* buffer, uint32_t length, uint32_t* count = nullptr) override;
    [[nodiscard]] bool write(const void*, uint32_t) override { return false; }
    // Lands on min(position, length) and succeeds.
    bool seek(uint32_t position) override;
    uint32_t tell() override { return position_; }
    uint32_t size() override { return length_; }

    int state() const { return state_; }

private:
    bool readStored(void* buffer, uint32_t length, uint32_t* count);
    bool loadCompressed(kiln::SafeBuffer<unsigned char>& stored);

    std::unique_ptr<uint8_t[]> decompressed_;
    bool inflated_ = false;
    std::unique_ptr<z_stream_s> inflater_;
    Stream* source_ = nullptr;
    uint32_t storedLength_ = 0;
    uint32_t length_ = 0;
    uint32_t position_ = 0;
    uint32_t capacity_ = 0;
    uint32_t startOffset_ = 0;
    int state_ = kNotOpened;
};

}  // namespace lume
