// Test data of the file-system tests: packs and patch lists assembled field by field at
// their byte offsets, independently of the engine's structs, and read back the same way.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/LogCapture.h"
#include "tests/support/TestBytes.h"

namespace lume::test {

// A deflate stream whose first block has the reserved block type: inflate rejects it.
inline std::string damagedDeflate(const std::string& input) {
    std::string out = rawDeflate(input);
    out[0] = static_cast<char>(out[0] | 0x06);
    return out;
}

inline const uint8_t* bytes(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

constexpr uint32_t kDataStart = 0x800000;

inline void put(std::string& s, size_t at, uint32_t v, int bytes = 4) {
    for (int i = 0; i < bytes; ++i) {
        s[at + i] = static_cast<char>(v >> (8 * i));
    }
}
inline uint32_t get(std::string_view s, size_t at, int bytes = 4) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        v = (v << 8) | static_cast<uint8_t>(s[at + i]);
    }
    return v;
}

// A record's fields in their on-disk order (offsets 0..32; parent and flags are 16 bits).
struct Rec {
    uint32_t key = 0, zipSize = 0, offset = 0, size = 0, blockSize = 0, dataCrc = 0;
    uint32_t parent = 0, flags = 0, extra1 = 0, extra2 = 0;
    bool operator==(const Rec&) const = default;
};
struct Hole {
    uint32_t offset = 0, size = 0, reserved = 0;
    bool operator==(const Hole&) const = default;
};
constexpr int kRecWidths[] = {4, 4, 4, 4, 4, 4, 2, 2, 4, 4};

inline void putRec(std::string& s, size_t at, const Rec& r) {
    const uint32_t fields[] = {r.key,     r.zipSize, r.offset, r.size,   r.blockSize,
                               r.dataCrc, r.parent,  r.flags,  r.extra1, r.extra2};
    for (int i = 0; i < 10; ++i) {
        put(s, at, fields[i], kRecWidths[i]);
        at += kRecWidths[i];
    }
}

// The index checksum from its definition: the (key, crc) pairs of the non-root records,
// sorted, as little-endian bytes.
inline uint32_t expectedIndexCrc(const std::vector<Rec>& records) {
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    for (const Rec& r : records) {
        if (r.parent != 0xFFFF) {
            pairs.emplace_back(r.key, r.dataCrc);
        }
    }
    std::sort(pairs.begin(), pairs.end());
    std::string bytes(pairs.size() * 8, '\0');
    for (size_t i = 0; i < pairs.size(); ++i) {
        put(bytes, i * 8, pairs[i].first);
        put(bytes, i * 8 + 4, pairs[i].second);
    }
    return crcOf(bytes);
}

// A pack written out header field by header field. Record 0 is the root.
struct PackImage {
    explicit PackImage(uint32_t rootKey) {
        records.push_back(Rec{rootKey, 0, kDataStart, 0, 0, 0, 0xFFFF});
    }

    // Appends content to the data region, stored or raw-deflated, with slack zero bytes
    // reserved after it; the record's index.
    size_t addFile(uint32_t key, const std::string& content, bool deflate = false,
                   uint32_t slack = 0, uint16_t parent = 0) {
        const std::string stored = deflate ? rawDeflate(content) : content;
        const auto zip = static_cast<uint32_t>(stored.size());
        records.push_back(Rec{key, zip, kDataStart + static_cast<uint32_t>(data.size()),
                              static_cast<uint32_t>(content.size()), zip + slack, crcOf(stored),
                              parent, deflate ? 1u : 0u, crcOf(content)});
        data += stored + std::string(slack, '\0');
        return records.size() - 1;
    }
    // Grows the data region with fill bytes until the file is end bytes long.
    void growTo(uint32_t end, char fill = '\0') {
        data.resize(std::max<size_t>(data.size(), end - kDataStart), fill);
    }

    std::string bytes() const {
        const auto n = static_cast<uint32_t>(records.size());
        const auto m = static_cast<uint32_t>(holes.size());
        std::string s(kDataStart, '\0');
        s.replace(0, 4, "!PAK");
        const uint32_t header[] = {version,
                                   n,
                                   48,
                                   4 * n,
                                   48 + 4 * n,
                                   12 * m,
                                   indexCrc.value_or(expectedIndexCrc(records)),
                                   48 + 4 * n + 12 * m,
                                   36 * n,
                                   kDataStart,
                                   static_cast<uint32_t>(data.size())};
        for (size_t i = 0; i < std::size(header); ++i) {
            put(s, 4 + 4 * i, header[i]);
        }
        for (uint32_t i = 0; i < n; ++i) {
            put(s, 48 + 4 * i, records[i].key);
            putRec(s, 48 + 4 * n + 12 * m + 36 * i, records[i]);
        }
        for (uint32_t i = 0; i < m; ++i) {
            put(s, 48 + 4 * n + 12 * i, holes[i].offset);
            put(s, 52 + 4 * n + 12 * i, holes[i].size);
            put(s, 56 + 4 * n + 12 * i, holes[i].reserved);
        }
        return s + data;
    }

    uint32_t version = 8;
    std::optional<uint32_t> indexCrc;  // the header's checksum; computed when not set
    std::vector<Rec> records;
    std::vector<Hole> holes;
    std::string data;  // the data region, from 8 MiB on
};

// A pack's index read back from its bytes at the documented offsets.
struct ParsedPack {
    uint32_t field(size_t offset) const { return get(bytes, offset); }
    std::string bytes;
    std::vector<uint32_t> keys;
    std::vector<Hole> holes;
    std::vector<Rec> records;
};

inline ParsedPack parsePack(std::string bytes) {
    ParsedPack p;
    p.bytes = std::move(bytes);
    for (uint32_t i = 0; i < p.field(16) / 4; ++i) {
        p.keys.push_back(p.field(p.field(12) + 4 * i));
    }
    for (uint32_t i = 0; i < p.field(24) / 12; ++i) {
        const size_t at = p.field(20) + 12 * i;
        p.holes.push_back(Hole{p.field(at), p.field(at + 4), p.field(at + 8)});
    }
    for (uint32_t i = 0; i < p.field(8); ++i) {
        size_t at = p.field(32) + 36 * i;
        uint32_t f[10];
        for (int k = 0; k < 10; ++k) {
            f[k] = get(p.bytes, at, kRecWidths[k]);
            at += kRecWidths[k];
        }
        p.records.push_back(Rec{f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], f[9]});
    }
    return p;
}

// A pack patch list: "!PTI", version 5, the list id, the count, the mode, then 44-byte
// items laid out like records (no offset; the producer's download offset last, ignored).
inline std::string patchListBytes(uint32_t listId, const std::vector<Rec>& items,
                                  uint32_t mode = 2) {
    std::string s(24 + 44 * items.size(), '\0');
    s.replace(0, 4, "!PTI");
    put(s, 4, 5);
    put(s, 8, listId);
    put(s, 12, static_cast<uint32_t>(items.size()));
    put(s, 20, mode);
    for (size_t i = 0; i < items.size(); ++i) {
        Rec r = items[i];
        r.offset = 0;
        putRec(s, 24 + 44 * i, r);
        put(s, 24 + 44 * i + 40, 1234);
    }
    return s;
}

}  // namespace lume::test
