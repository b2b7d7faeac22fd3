#include "engine/FileSystem/Stream.h"

#include <algorithm>
#include <cstring>

namespace lume {

bool Stream::copyFrom(Stream& source, uint32_t length) {
    uint8_t chunk[kChunk];
    while (length > 0) {
        const uint32_t n = std::min(length, kChunk);
        uint32_t got = 0;
        // A source that delivers less than asked would leave stale bytes in the chunk;
        // writing them would silently corrupt the destination.
        if (!source.read(chunk, n, &got) || got != n) {
            return false;
        }
        if (!write(chunk, n)) {
            return false;
        }
        length -= n;
    }
    return true;
}

bool Stream::writeZeros(uint32_t length) {
    static const uint8_t zeros[kZeroChunk] = {};
    while (length > 0) {
        const uint32_t n = std::min(length, kZeroChunk);
        if (!write(zeros, n)) {
            return false;
        }
        length -= n;
    }
    return true;
}

bool Stream::readAll(std::string& out) {
    const uint32_t total = size();
    out.assign(total, '\0');
    uint32_t got = 0;
    const bool ok = read(out.data(), total, &got);
    // Started away from the start, fewer bytes remain than the size; keep only those.
    out.resize(ok ? std::min(got, total) : 0);
    return ok;
}

}  // namespace lume
