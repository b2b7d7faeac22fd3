#include "engine/FileSystem/PackIndex.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "engine/FileSystem/Stream.h"
#include "engine/Kernel/Checksum.h"
#include "engine/Kernel/Format.h"

namespace lume {

namespace {

constexpr uint64_t kHeaderSize = sizeof(PackHeader);

void setWhy(std::string* why, std::string text) {
    if (why != nullptr) {
        *why = std::move(text);
    }
}

}  // namespace

uint32_t indexCrc(const std::vector<PackRecord>& records) {
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    pairs.reserve(records.size());
    for (const PackRecord& r : records) {
        if (r.parentIndex != kRootParent) {
            pairs.emplace_back(r.nameKey, r.dataCrc);
        }
    }
    // Equal keys are ordered by their crc, so the checksum never depends on record order.
    std::sort(pairs.begin(), pairs.end());
    std::vector<uint32_t> words;
    words.reserve(pairs.size() * 2);
    for (const auto& [key, crc] : pairs) {
        words.push_back(key);
        words.push_back(crc);
    }
    return checksumUpdate(kChecksumStart, words.data(), words.size() * sizeof(uint32_t));
}

bool indexFits(uint64_t recordCount, uint64_t freeBlocks) {
    return kHeaderSize + recordCount * (sizeof(uint32_t) + sizeof(PackRecord)) +
               freeBlocks * sizeof(FreeBlock) <=
           kIndexRegionSize;
}

bool checkIndexLayout(const PackHeader& h, std::string* why) {
    const uint64_t n = h.recordCount;
    if (h.keyTableOffset != kHeaderSize || h.keyTableSize != n * sizeof(uint32_t)) {
        setWhy(why, formatA("key table (offset %u, %u bytes) does not hold %u keys after the "
                            "header",
                            h.keyTableOffset, h.keyTableSize, h.recordCount));
        return false;
    }
    if (h.freeTableSize % sizeof(FreeBlock) != 0 ||
        h.freeTableOffset != uint64_t{h.keyTableOffset} + h.keyTableSize) {
        setWhy(why, formatA("free-block table (offset %u, %u bytes) is not a whole table after "
                            "the key table",
                            h.freeTableOffset, h.freeTableSize));
        return false;
    }
    if (h.recordTableSize != n * sizeof(PackRecord) ||
        h.recordTableOffset != uint64_t{h.freeTableOffset} + h.freeTableSize) {
        setWhy(why, formatA("record table (offset %u, %u bytes) does not hold %u records after "
                            "the free-block table",
                            h.recordTableOffset, h.recordTableSize, h.recordCount));
        return false;
    }
    if (!indexFits(n, h.freeTableSize / sizeof(FreeBlock))) {
        setWhy(why, formatA("%u records and %u free blocks do not fit the 8 MiB index region",
                            h.recordCount, h.freeTableSize / 12));
        return false;
    }
    return true;
}

IndexLoadError loadPackIndex(Stream& pack, PackIndex& index, std::string* why) {
    setWhy(why, {});
    index.records.clear();
    index.pool.clear();
    if (!pack.seek(0)) {
        return IndexLoadError::kHeaderRead;
    }
    index.fileEnd = pack.size();
    uint32_t got = 0;
    if (!pack.read(&index.header, sizeof index.header, &got) || got != sizeof index.header) {
        return IndexLoadError::kHeaderRead;
    }
    const PackHeader& h = index.header;
    if (h.magic != kPackMagic || h.version != kPackVersion) {
        return IndexLoadError::kVersion;
    }
    if (!checkIndexLayout(h, why)) {
        return IndexLoadError::kRecordSeek;
    }
    if (index.fileEnd < kIndexRegionSize) {
        setWhy(why, formatA("the file (%u bytes) ends inside the index region", index.fileEnd));
        return IndexLoadError::kRecordSeek;
    }

    if (!pack.seek(h.recordTableOffset)) {
        return IndexLoadError::kRecordSeek;
    }
    index.records.resize(h.recordCount);
    if (h.recordTableSize != 0 &&
        (!pack.read(index.records.data(), h.recordTableSize, &got) || got != h.recordTableSize)) {
        index.records.clear();
        return IndexLoadError::kRecordRead;
    }
    for (size_t i = 0; i < index.records.size(); ++i) {
        const PackRecord& r = index.records[i];
        if (!regionInData(r.offset, r.blockSize, index.fileEnd) ||
            !regionInData(r.offset, r.zipSize, index.fileEnd)) {
            setWhy(why, formatA("record %u (key 0x%08x) has its block at %u, %u bytes, outside "
                                "the data region of a %u-byte file",
                                static_cast<uint32_t>(i), r.nameKey, r.offset,
                                std::max(r.blockSize, r.zipSize), index.fileEnd));
            index.records.clear();
            return IndexLoadError::kRecordRead;
        }
    }

    if (!pack.seek(h.freeTableOffset)) {
        index.records.clear();
        return IndexLoadError::kFreeSeek;
    }
    if (h.freeTableSize != 0) {
        if (!index.pool.load(pack, h.freeTableSize)) {
            index.records.clear();
            return IndexLoadError::kFreeLoad;
        }
        for (const FreeBlock& b : index.pool.blocks()) {
            if (!regionInData(b.offset, b.size, index.fileEnd)) {
                setWhy(why, formatA("free block at %u, %u bytes, lies outside the data region of "
                                    "a %u-byte file",
                                    b.offset, b.size, index.fileEnd));
                index.records.clear();
                index.pool.clear();
                return IndexLoadError::kFreeLoad;
            }
        }
    }
    return IndexLoadError::kNone;
}

PackDamage checkPackStructure(const PackIndex& index, std::string* why) {
    setWhy(why, {});
    const std::vector<PackRecord>& records = index.records;
    if (records.empty() || records[0].parentIndex != kRootParent) {
        setWhy(why, "record 0 is not the root");
        return PackDamage::kNoRoot;
    }
    // A parent is named by its position in the table; only earlier records qualify, and
    // below a second root records would hang off a tree that lookups never reach.
    for (size_t i = 1; i < records.size(); ++i) {
        const uint16_t parent = records[i].parentIndex;
        if (parent == kRootParent || parent >= i) {
            setWhy(why, formatA("record %u (key 0x%08x) has parent index %u",
                                static_cast<uint32_t>(i), records[i].nameKey, parent));
            return PackDamage::kOutsideTree;
        }
    }
    struct Span {
        uint64_t begin;
        uint64_t end;
        bool hole;
    };
    std::vector<Span> spans;
    spans.reserve(records.size() + index.pool.count());
    for (const PackRecord& r : records) {
        if (r.blockSize != 0) {
            spans.push_back({r.offset, uint64_t{r.offset} + r.blockSize, false});
        }
    }
    for (const FreeBlock& b : index.pool.blocks()) {
        if (b.size != 0) {
            spans.push_back({b.offset, uint64_t{b.offset} + b.size, true});
        }
    }
    std::sort(spans.begin(), spans.end(),
              [](const Span& a, const Span& b) { return a.begin < b.begin; });
    size_t furthest = 0;  // the span reaching furthest so far
    for (size_t i = 1; i < spans.size(); ++i) {
        const Span& a = spans[furthest];
        const Span& b = spans[i];
        if (b.begin < a.end) {
            setWhy(why, formatA("%s at %u (%u bytes) overlaps %s at %u (%u bytes)",
                                b.hole ? "a hole" : "a block", b.begin, b.end - b.begin,
                                a.hole ? "a hole" : "a block", a.begin, a.end - a.begin));
            return PackDamage::kOverlap;
        }
        if (b.end > a.end) {
            furthest = i;
        }
    }
    return PackDamage::kNone;
}

bool writePackIndex(Stream& pack, const std::vector<PackRecord>& records,
                    const BlankBlockPool& pool, uint32_t fileEnd, PackHeader* written,
                    uint64_t zeroUpTo) {
    const uint64_t n = records.size();
    if (!indexFits(n, pool.count()) || fileEnd < kIndexRegionSize) {
        return false;
    }
    PackHeader h;
    h.recordCount = static_cast<uint32_t>(n);
    h.keyTableOffset = static_cast<uint32_t>(kHeaderSize);
    h.keyTableSize = static_cast<uint32_t>(n * sizeof(uint32_t));
    h.freeTableOffset = h.keyTableOffset + h.keyTableSize;
    h.freeTableSize = pool.byteSize();
    h.recordTableOffset = h.freeTableOffset + h.freeTableSize;
    h.recordTableSize = static_cast<uint32_t>(n * sizeof(PackRecord));
    h.indexCrc = indexCrc(records);
    h.dataOffset = kIndexRegionSize;
    h.dataSize = fileEnd - kIndexRegionSize;

    // The region after the header is laid out in memory and written in one go; the header
    // follows last, so that a rewrite cut short leaves a header without its magic.
    // The tables fit the region (checked above), so they end before end.
    const uint64_t end =
        std::min<uint64_t>(std::max(zeroUpTo, indexTablesEnd(n, pool.count())), kIndexRegionSize);
    const auto length = static_cast<uint32_t>(std::max<uint64_t>(end, kHeaderSize) - kHeaderSize);
    std::vector<uint8_t> region(length, 0);
    uint8_t* at = region.data();
    for (const PackRecord& r : records) {
        std::memcpy(at, &r.nameKey, sizeof r.nameKey);
        at += sizeof r.nameKey;
    }
    if (!pool.blocks().empty()) {
        std::memcpy(at, pool.blocks().data(), h.freeTableSize);
        at += h.freeTableSize;
    }
    if (!records.empty()) {
        std::memcpy(at, records.data(), h.recordTableSize);
    }
    const PackHeader noMagic{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    if (!pack.seek(0) || !pack.write(&noMagic, sizeof noMagic) ||
        (length != 0 && !pack.write(region.data(), length)) || !pack.seek(0) ||
        !pack.write(&h, sizeof h)) {
        return false;
    }
    if (written != nullptr) {
        *written = h;
    }
    return true;
}

}  // namespace lume
