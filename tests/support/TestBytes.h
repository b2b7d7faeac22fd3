// Bytes the tests are made of, one copy each: byte patterns that deflate well or not at all,
// raw deflate as the pack tool makes it (zlib, no header), the lists' checksum computed with
// zlib rather than the launcher's own code, and whole files.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "engine/FileSystem/Inflate.h"

namespace lume::test {

// Text-like bytes that deflate well but never repeat at short distances.
inline std::string patternBytes(size_t length, uint32_t seed = 1) {
    std::string out(length, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < length; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<char>('a' + (x >> 16) % 16);
    }
    return out;
}

// Bytes that do not deflate, different per seed: a block of them in the wrong place shows.
inline std::string noiseBytes(size_t size, uint32_t seed = 1) {
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 1u;
    for (char& c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
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

// The checksum of the lists and the pack index: the complement of zlib's CRC-32.
inline uint32_t crcOf(std::string_view bytes) {
    return ~static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

// As the lists write numbers: lower-case hexadecimal without leading zeros.
inline std::string hexOf(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "%x", v);
    return b;
}

inline std::string readBytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace lume::test
