#include "engine/FileSystem/FileChecksum.h"

#include <algorithm>
#include <vector>

#include "engine/FileSystem/Stream.h"

namespace lume {

uint32_t fileChecksum(Stream& stream, uint32_t limit, uint32_t start) {
    uint32_t reg = start;
    const uint32_t position = stream.tell();
    const uint32_t size = stream.size();
    uint32_t remaining = size > position ? std::min(limit, size - position) : 0;
    // Small files need no allocation; large ones are read in few calls.
    uint8_t small[4096];
    std::vector<uint8_t> large;
    uint8_t* buffer = small;
    uint32_t capacity = sizeof small;
    if (remaining > capacity) {
        large.resize(std::min<uint32_t>(remaining, 256 * 1024));
        buffer = large.data();
        capacity = static_cast<uint32_t>(large.size());
    }
    while (remaining > 0) {
        const uint32_t chunk = std::min<uint32_t>(remaining, capacity);
        uint32_t got = 0;
        if (!stream.read(buffer, chunk, &got)) {
            break;
        }
        reg = checksumUpdate(reg, buffer, got);
        if (got < chunk) {
            break;
        }
        remaining -= chunk;
    }
    return reg;
}

}  // namespace lume
