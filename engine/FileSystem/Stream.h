// The one file-access abstraction: positioned reads and writes with 32-bit positions and
// sizes (nothing here handles files beyond 4 GiB).
#pragma once

#include <cstdint>
#include <string>

namespace lume {

class Stream {
public:
    virtual ~Stream() = default;

    // Reads up to length bytes at the current position; count receives the bytes read.
    virtual bool read(void* buffer, uint32_t length, uint32_t* count = nullptr) = 0;
    [[nodiscard]] virtual bool write(const void* buffer, uint32_t length) = 0;
    // Absolute position from the start.
    virtual bool seek(uint32_t position) = 0;
    virtual uint32_t tell() = 0;
    virtual uint32_t size() = 0;
    // The backing memory of a memory stream; null for other streams.
    virtual uint8_t* data() { return nullptr; }
    // The native file descriptor of a file stream; -1 for other streams.
    virtual int handle() { return -1; }
    // Makes the bytes written so far survive a power cut (a no-op in memory).
    [[nodiscard]] virtual bool sync() { return true; }

    // Moves length bytes from source's position to this stream's position through one
    // 4 KiB buffer, so copies of any size need no large allocation. Fails when the source
    // delivers fewer bytes than asked.
    [[nodiscard]] virtual bool copyFrom(Stream& source, uint32_t length);
    // Writes length zero bytes, 64 KiB at a time.
    [[nodiscard]] virtual bool writeZeros(uint32_t length);
    // Reads size() bytes from the current position into out, which keeps exactly the bytes
    // read (fewer than size() when the position was not at the start).
    virtual bool readAll(std::string& out);

    static constexpr uint32_t kChunk = 4096;
    static constexpr uint32_t kZeroChunk = 0x10000;
};

}  // namespace lume
