// Texts addressed by small indices, keyed by a 32-bit hash, so workers can hand the window
// an index instead of a pointer. Also holds a pack's key table (keys without texts).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/Kernel/Lock.h"

namespace lume {

class StringPool : public CLock {
public:
    void clear();
    // The index already mapped to key, or the index of text appended under key. A second
    // text under a known key is not stored: the first one's index comes back.
    uint32_t intern(uint32_t key, const std::u16string& text);
    // The text at index, or the empty text when the index is not below the size.
    std::u16string text(uint32_t index);
    // Replaces everything with the bytes read as size / 4 little-endian u32 keys (a rest of
    // fewer than 4 bytes is ignored), each mapped to its position; no texts are stored.
    void loadKeys(std::span<const uint8_t> bytes);
    // The index mapped to key, or -1.
    int64_t find(uint32_t key);
    uint32_t size();
    uint32_t keyCount();

private:
    std::vector<std::u16string> texts_;
    std::unordered_map<uint32_t, uint32_t> keys_;
};

}  // namespace lume
