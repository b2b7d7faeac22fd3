// Byte patterns and raw-deflate data for the stream tests, made the way the pack tool
// makes them (zlib, raw deflate, no header).
#pragma once

#include <zlib.h>

#include "engine/FileSystem/Inflate.h"

#include <cstdint>
#include <stdexcept>
#include <string>

namespace lume::test {

// Text-like bytes that compress well but never repeat at short distances.
inline std::string patternBytes(size_t length, uint32_t seed = 1) {
    std::string out(length, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < length; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<char>('a' + (x >> 16) % 16);
    }
    return out;
}

inline std::string rawDeflate(const std::string& input) {
    std::string out;
    if (!compressData(input, out)) {
        throw std::runtime_error("deflate failed");
    }
    return out;
}

// A deflate stream whose first block has the reserved block type: inflate rejects it.
inline std::string damagedDeflate(const std::string& input) {
    std::string out = rawDeflate(input);
    out[0] = static_cast<char>(out[0] | 0x06);
    return out;
}

inline const uint8_t* bytes(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

}  // namespace lume::test
