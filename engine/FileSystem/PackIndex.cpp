#include "engine/FileSystem/PackIndex.h"

#include <algorithm>
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

bool writePackIndex(Stream& pack, const std::vector<PackRecord>& records,
                    const BlankBlockPool& pool, uint32_t fileEnd, PackHeader* written) {
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

    std::vector<uint32_t> keys;
    keys.reserve(records.size());
    for (const PackRecord& r : records) {
        keys.push_back(r.nameKey);
    }

    // Zero the whole region first: its header is then without magic until the last step.
    if (!pack.seek(0) || !pack.writeZeros(kIndexRegionSize)) {
        return false;
    }
    if (!keys.empty() &&
        (!pack.seek(h.keyTableOffset) || !pack.write(keys.data(), h.keyTableSize))) {
        return false;
    }
    if (h.freeTableSize != 0 && (!pack.seek(h.freeTableOffset) || !pool.write(pack))) {
        return false;
    }
    if (!records.empty() &&
        (!pack.seek(h.recordTableOffset) || !pack.write(records.data(), h.recordTableSize))) {
        return false;
    }
    if (!pack.seek(0) || !pack.write(&h, sizeof h)) {
        return false;
    }
    if (written != nullptr) {
        *written = h;
    }
    return true;
}

}  // namespace lume
