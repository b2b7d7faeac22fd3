// The holes of a pack's data region: the free-block table of the index, consulted by best
// fit when a block is placed and written back by the index rewrite. Holes are never merged
// and the file never shrinks.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/FileSystem/PackFormat.h"
#include "engine/Kernel/Lock.h"

namespace lume {

class Stream;

class BlankBlockPool {
public:
    // Requests more than this far below a hole's size never take it, so a huge hole is not
    // eaten by small blocks when the end of the file would do.
    static constexpr uint32_t kMaxSlack = 0x6400000;  // 100 MiB

    BlankBlockPool() = default;
    // A copy takes the holes, not the lock.
    BlankBlockPool(const BlankBlockPool& other) : blocks_(other.blocks_) {}
    BlankBlockPool& operator=(const BlankBlockPool& other) {
        blocks_ = other.blocks_;
        return *this;
    }

    void clear();
    // Replaces the pool with byteSize / 12 holes read from the stream's position. False when
    // the read fails or ends early; the pool is then empty.
    bool load(Stream& stream, uint32_t byteSize);
    // Writes every hole at the stream's position; byteSize() is what the header records.
    [[nodiscard]] bool write(Stream& stream) const;
    uint32_t byteSize() const { return static_cast<uint32_t>(blocks_.size() * sizeof(FreeBlock)); }

    // A hole at an offset already listed takes the new size (its reserved field stays);
    // otherwise the hole is appended. Returns the hole's index.
    size_t add(uint32_t offset, uint32_t size, uint32_t reserved = 0);
    // The hole with the least slack at or above needed; on equal slack the later hole wins.
    // The hole stays listed; the caller removes or splits it.
    bool findBestFit(uint32_t needed, FreeBlock& found) const;
    // Erases the first hole at the offset, if any.
    void remove(uint32_t offset);

    const std::vector<FreeBlock>& blocks() const { return blocks_; }
    size_t count() const { return blocks_.size(); }

private:
    CLock lock_;
    std::vector<FreeBlock> blocks_;
};

}  // namespace lume
