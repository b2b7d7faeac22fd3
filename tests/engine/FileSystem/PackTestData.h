// Packs and patch lists assembled field by field at their byte offsets, independently of the
// engine's structs, and read back the same way; plus a logger that records every line.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/Kernel/Logger.h"
#include "platform/Text.h"
#include "tests/engine/FileSystem/TestData.h"

namespace lume::test {

constexpr uint32_t kDataStart = 0x800000;

inline void put32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        s[at + i] = static_cast<char>(v >> (8 * i));
    }
}
inline void put16(std::string& s, size_t at, uint16_t v) {
    s[at] = static_cast<char>(v);
    s[at + 1] = static_cast<char>(v >> 8);
}
inline uint32_t get32(std::string_view s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | static_cast<uint8_t>(s[at + i]);
    }
    return v;
}
inline uint16_t get16(std::string_view s, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) |
                                 (static_cast<uint8_t>(s[at + 1]) << 8));
}

// The checksum of the file lists and the pack index: the complement of zlib's CRC-32.
inline uint32_t crcOf(std::string_view bytes) {
    return ~static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

struct Rec {
    uint32_t key = 0;
    uint32_t zipSize = 0;
    uint32_t offset = 0;
    uint32_t size = 0;
    uint32_t blockSize = 0;
    uint32_t dataCrc = 0;
    uint16_t parent = 0;
    uint16_t flags = 0;
    uint32_t extra1 = 0;
    uint32_t extra2 = 0;
    bool operator==(const Rec&) const = default;
};

struct Hole {
    uint32_t offset = 0;
    uint32_t size = 0;
    uint32_t reserved = 0;
    bool operator==(const Hole&) const = default;
};

// The index checksum computed from its definition: (key, crc) pairs of the non-root
// records, sorted, as little-endian bytes.
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
        put32(bytes, i * 8, pairs[i].first);
        put32(bytes, i * 8 + 4, pairs[i].second);
    }
    return crcOf(bytes);
}

// A pack written out header field by header field. Record 0 is the root.
class PackImage {
public:
    explicit PackImage(uint32_t rootKey) {
        Rec root;
        root.key = rootKey;
        root.offset = kDataStart;
        root.parent = 0xFFFF;
        records.push_back(root);
    }

    // Appends a block to the data region, stored as is or raw-deflated, with slack zero
    // bytes reserved after it. Returns the record's index.
    size_t addFile(uint32_t key, const std::string& content, bool deflate = false,
                   uint32_t slack = 0, uint16_t parent = 0) {
        const std::string stored = deflate ? rawDeflate(content) : content;
        Rec r;
        r.key = key;
        r.zipSize = static_cast<uint32_t>(stored.size());
        r.offset = kDataStart + static_cast<uint32_t>(data.size());
        r.size = static_cast<uint32_t>(content.size());
        r.blockSize = r.zipSize + slack;
        r.dataCrc = crcOf(stored);
        r.parent = parent;
        r.flags = deflate ? 1 : 0;
        r.extra1 = crcOf(content);
        data += stored;
        data.append(slack, '\0');
        records.push_back(r);
        return records.size() - 1;
    }
    // Grows the data region with bytes of value fill until the file is end bytes long.
    void growTo(uint32_t end, char fill = '\0') {
        if (end > kDataStart + data.size()) {
            data.append(end - kDataStart - data.size(), fill);
        }
    }
    void addHole(uint32_t offset, uint32_t size) { holes.push_back(Hole{offset, size, 0}); }

    std::string bytes() const {
        const auto n = static_cast<uint32_t>(records.size());
        const auto m = static_cast<uint32_t>(holes.size());
        std::string s(kDataStart, '\0');
        s.replace(0, 4, "!PAK");
        put32(s, 4, version);
        put32(s, 8, n);
        put32(s, 12, 48);
        put32(s, 16, 4 * n);
        put32(s, 20, 48 + 4 * n);
        put32(s, 24, 12 * m);
        put32(s, 28, indexCrc.value_or(expectedIndexCrc(records)));
        put32(s, 32, 48 + 4 * n + 12 * m);
        put32(s, 36, 36 * n);
        put32(s, 40, kDataStart);
        put32(s, 44, static_cast<uint32_t>(data.size()));
        for (uint32_t i = 0; i < n; ++i) {
            put32(s, 48 + 4 * i, records[i].key);
        }
        for (uint32_t i = 0; i < m; ++i) {
            const size_t at = 48 + 4 * n + 12 * i;
            put32(s, at, holes[i].offset);
            put32(s, at + 4, holes[i].size);
            put32(s, at + 8, holes[i].reserved);
        }
        for (uint32_t i = 0; i < n; ++i) {
            const size_t at = 48 + 4 * n + 12 * m + 36 * i;
            const Rec& r = records[i];
            put32(s, at, r.key);
            put32(s, at + 4, r.zipSize);
            put32(s, at + 8, r.offset);
            put32(s, at + 12, r.size);
            put32(s, at + 16, r.blockSize);
            put32(s, at + 20, r.dataCrc);
            put16(s, at + 24, r.parent);
            put16(s, at + 26, r.flags);
            put32(s, at + 28, r.extra1);
            put32(s, at + 32, r.extra2);
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
    uint32_t field(size_t offset) const { return get32(bytes, offset); }
    std::string bytes;
    std::vector<uint32_t> keys;
    std::vector<Hole> holes;
    std::vector<Rec> records;
};

inline ParsedPack parsePack(std::string bytes) {
    ParsedPack p;
    p.bytes = std::move(bytes);
    const uint32_t n = p.field(8);
    for (uint32_t i = 0; i < p.field(16) / 4; ++i) {
        p.keys.push_back(p.field(p.field(12) + 4 * i));
    }
    for (uint32_t i = 0; i < p.field(24) / 12; ++i) {
        const size_t at = p.field(20) + 12 * i;
        p.holes.push_back(Hole{p.field(at), p.field(at + 4), p.field(at + 8)});
    }
    for (uint32_t i = 0; i < n; ++i) {
        const size_t at = p.field(32) + 36 * i;
        Rec r;
        r.key = p.field(at);
        r.zipSize = p.field(at + 4);
        r.offset = p.field(at + 8);
        r.size = p.field(at + 12);
        r.blockSize = p.field(at + 16);
        r.dataCrc = p.field(at + 20);
        r.parent = get16(p.bytes, at + 24);
        r.flags = get16(p.bytes, at + 26);
        r.extra1 = p.field(at + 28);
        r.extra2 = p.field(at + 32);
        p.records.push_back(r);
    }
    return p;
}

// A pack patch list item, field by field.
struct Item {
    uint32_t key = 0;
    uint32_t zipSize = 0;
    uint32_t size = 0;
    uint32_t blockSize = 0;
    uint32_t dataCrc = 0;
    uint16_t parent = 0;
    uint16_t flags = 0;
    uint32_t extra1 = 0;
    uint32_t extra2 = 0;
};

inline std::string patchListBytes(uint32_t listId, const std::vector<Item>& items,
                                  uint32_t mode = 2) {
    std::string s(24 + 44 * items.size(), '\0');
    s.replace(0, 4, "!PTI");
    put32(s, 4, 5);
    put32(s, 8, listId);
    put32(s, 12, static_cast<uint32_t>(items.size()));
    put32(s, 20, mode);
    for (size_t i = 0; i < items.size(); ++i) {
        const size_t at = 24 + 44 * i;
        const Item& it = items[i];
        put32(s, at, it.key);
        put32(s, at + 4, it.zipSize);
        put32(s, at + 12, it.size);
        put32(s, at + 16, it.blockSize);
        put32(s, at + 20, it.dataCrc);
        put16(s, at + 24, it.parent);
        put16(s, at + 26, it.flags);
        put32(s, at + 28, it.extra1);
        put32(s, at + 32, it.extra2);
        put32(s, at + 40, 1234);  // the producer's download offset; ignored
    }
    return s;
}

// Receives every log line, as UTF-8, while it exists.
class LogRecorder : public Logger::Writter {
public:
    LogRecorder() : logger_(this) {}

    void write(int, std::u16string_view text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(platform::wideToUtf8(text));
    }
    void write(int, std::string_view text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(platform::wideToUtf8(platform::narrowToWide(text)));
    }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    bool has(std::string_view line) const {
        const auto all = lines();
        return std::find(all.begin(), all.end(), line) != all.end();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    Logger logger_;
};

}  // namespace lume::test
