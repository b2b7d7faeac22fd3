// The memory sink of list downloads: starts with a reserve and grows with what arrives, so a
// list of any length up to a ceiling arrives whole (a fixed MemoryStream would silently drop
// everything beyond its capacity and leave a truncated document).
#pragma once

#include <cstdint>
#include <vector>

#include "engine/FileSystem/Stream.h"

namespace lume {

class GrowingMemoryStream : public Stream {
public:
    static constexpr uint32_t kDefaultLimit = 256u << 20;

    explicit GrowingMemoryStream(uint32_t reserve, uint32_t limit = kDefaultLimit);

    bool read(void* buffer, uint32_t length, uint32_t* count = nullptr) override;
    // Refuses (and remembers the refusal) when position + length would pass the limit.
    [[nodiscard]] bool write(const void* buffer, uint32_t length) override;
    // Positions beyond the end are refused.
    bool seek(uint32_t position) override;
    uint32_t tell() override { return position_; }
    uint32_t size() override { return static_cast<uint32_t>(bytes_.size()); }
    uint8_t* data() override { return bytes_.data(); }

    // Empties the stream for another transfer; the reserve is kept.
    void clear();
    // A write was refused since the last clear, so the content is incomplete.
    bool overflowed() const { return overflowed_; }

private:
    std::vector<uint8_t> bytes_;
    uint32_t limit_;
    uint32_t position_ = 0;
    bool overflowed_ = false;
};

}  // namespace lume
