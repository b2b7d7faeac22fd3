// Shared makings of the file list tests: sample files under tests/data/, local packs laid out
// as the pack store writes their index, and wide text made printable.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/FileSystem/PackFormat.h"
#include "platform/Text.h"

namespace lume::test {

inline std::string utf8(std::u16string_view s) {
    return platform::wideToUtf8(s);
}

inline std::filesystem::path dataPath(const std::string& relative) {
    return std::filesystem::path(LUME_TEST_DATA_DIR) / relative;
}

inline std::string sampleBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A record whose other fields derive from its key, so copies are recognisable.
inline PackRecord packRecord(uint32_t key, uint32_t dataCrc, uint16_t parent = 0,
                             uint32_t extra2 = 0) {
    PackRecord r;
    r.nameKey = key;
    r.zipSize = key & 0xFFF;
    r.offset = kIndexRegionSize + key;
    r.size = key & 0xFFFF;
    r.blockSize = 0x1000;
    r.dataCrc = dataCrc;
    r.parentIndex = parent;
    r.flags = 3;
    r.extra1 = ~key;
    r.extra2 = extra2;
    return r;
}

inline PackRecord rootRecord(uint32_t key) {
    return packRecord(key, 0, kRootParent);
}

// Header, key table, freeBlocks zeroed free blocks and the record table, as the pack store
// lays them out (without the zero fill and the data region, which the comparison never reads).
inline std::string packBytes(const std::vector<PackRecord>& records, uint32_t freeBlocks = 1) {
    PackHeader h;
    const auto n = static_cast<uint32_t>(records.size());
    h.recordCount = n;
    h.keyTableSize = 4 * n;
    h.freeTableOffset = 48 + h.keyTableSize;
    h.freeTableSize = 12 * freeBlocks;
    h.recordTableOffset = h.freeTableOffset + h.freeTableSize;
    h.recordTableSize = 36 * n;
    std::string bytes(reinterpret_cast<const char*>(&h), sizeof h);
    for (const PackRecord& r : records) {
        bytes.append(reinterpret_cast<const char*>(&r.nameKey), 4);
    }
    bytes.append(h.freeTableSize, '\0');
    bytes.append(reinterpret_cast<const char*>(records.data()), sizeof(PackRecord) * n);
    return bytes;
}

}  // namespace lume::test
