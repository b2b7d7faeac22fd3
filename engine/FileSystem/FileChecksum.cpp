#include "engine/FileSystem/FileChecksum.h"

#include <algorithm>

#include "engine/FileSystem/Stream.h"

namespace lume {

uint32_t fileChecksum(Stream& stream, uint32_t limit, uint32_t start) {
    uint32_t reg = start;
    const uint32_t position = stream.tell();
    const uint32_t size = stream.size();
    uint32_t remaining = size > position ? std::min(limit, size - position) : 0;
    uint8_t buffer[4096];
    while (remaining > 0) {
        const uint32_t chunk = std::min<uint32_t>(remaining, sizeof buffer);
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
