#include "update/SubFileListDownloader.h"

#include <algorithm>
#include <utility>

#include "engine/FileSystem/File.h"
#include "engine/FileSystem/GrowingMemoryStream.h"
#include "engine/Kernel/MessageTarget.h"
#include "update/ListFetch.h"

namespace lume {

SubFileListDownloader::SubFileListDownloader(MessageTarget* target) : target_(target) {
    onStart(u"pak", &SubFileListDownloader::startPak);
    onStart(u"subfile", &SubFileListDownloader::startSubfile);
}

void SubFileListDownloader::reset() {
    packName_.clear();
    dataCrc_ = 0;
    entries_.clear();
    items_.clear();
    removals_.clear();
    damaged_.clear();
    blockSizeTotal_ = 0;
    zipSizeTotal_ = 0;
}

void SubFileListDownloader::endDocument(bool parsed) {
    if (!parsed) {
        reset();
    }
}

int SubFileListDownloader::download(std::u16string_view url, std::u16string_view url2,
                                    std::u16string_view packPath, const ListCheck& check,
                                    std::vector<uint8_t> damaged) {
    reset();
    packPath_ = packPath;
    damaged_ = std::move(damaged);
    GrowingMemoryStream list(kListReserve);
    switch (fetchList(url, url2, list, check, stopping_, settings_)) {
        case ListFetch::kFetched:
            break;
        case ListFetch::kUnverified:
            return kUnverified;
        case ListFetch::kUnreachable:
            return kFailed;
    }
    if (target_ != nullptr) {
        target_->post(kMsgSubFileList, 0, 0);
    }
    return finish(parse(list), false);
}

int SubFileListDownloader::load(std::u16string_view listPath, std::u16string_view packPath,
                                bool lookInData) {
    reset();
    packPath_ = packPath;
    return finish(parseFile(listPath, lookInData), true);
}

int SubFileListDownloader::finish(bool parsed, bool checkVersion) {
    if (!parsed) {
        return kFailed;
    }
    if (dataCrc_ == kWithdrawnCrc) {
        return kWithdrawn;
    }
    compareWithPack(checkVersion);
    return kCompared;
}

void SubFileListDownloader::startPak(const XMLAttributes& attributes) {
    packName_ = attributes.readString(u"name");
    dataCrc_ = attributes.readUInt(u"data_crc");
}

void SubFileListDownloader::startSubfile(const XMLAttributes& attributes) {
    SubFileEntry entry;
    entry.nameKey = attributes.readHex(u"namekey");
    entry.size = attributes.readHex(u"size");
    entry.crc = attributes.readHex(u"crc");
    entry.zipSize = attributes.readHex(u"zipSize");
    entry.zipcrc = attributes.readHex(u"zipcrc");
    entry.blockSize = attributes.readHex(u"blocksize");
    entry.version = attributes.readHex(u"version");
    // Without a character to read the entry stays an addition: skipping it instead would
    // make a file the pack holds a leftover, and so remove it from the pack.
    if (const std::u16string* operate = attributes.find(u"operate"); operate && !operate->empty()) {
        entry.operate = static_cast<uint8_t>((*operate)[0] & 0xFF);
    }
    entry.bzip = static_cast<uint16_t>(attributes.readInt(u"bzip"));
    entries_.push_back(std::move(entry));
}

bool SubFileListDownloader::readPackRecords(std::u16string_view packPath,
                                            std::vector<PackRecord>& records) {
    records.clear();
    File pack;
    if (!pack.open(packPath, 0)) {
        return false;
    }
    PackHeader header;
    uint32_t got = 0;
    if (!pack.read(&header, sizeof header, &got) || got != sizeof header ||
        header.magic != kPackMagic || header.version != kPackVersion) {
        return false;
    }
    // The key table and the record table both live in the index region, so a count that
    // cannot fit it is damage, not a reason to allocate gigabytes.
    const uint64_t count = header.recordCount;
    const uint64_t tableBytes = count * sizeof(PackRecord);
    const uint64_t tableEnd = uint64_t{header.recordTableOffset} + tableBytes;
    if (sizeof(PackHeader) + count * (sizeof(uint32_t) + sizeof(PackRecord)) > kIndexRegionSize ||
        header.recordTableOffset < sizeof(PackHeader) || tableEnd > kIndexRegionSize ||
        tableEnd > pack.size()) {
        return false;
    }
    if (count == 0) {
        return true;
    }
    records.resize(count);
    const auto bytes = static_cast<uint32_t>(tableBytes);
    if (!pack.seek(header.recordTableOffset) || !pack.read(records.data(), bytes, &got) ||
        got != bytes) {
        records.clear();
        return false;
    }
    return true;
}

PackPatchItem SubFileListDownloader::makeItem(const SubFileEntry& entry, uint16_t parentIndex) {
    PackPatchItem item;
    item.nameKey = entry.nameKey;
    item.zipSize = entry.zipSize;
    item.size = entry.size;
    item.blockSize = entry.blockSize;
    item.dataCrc = entry.zipcrc;
    item.parentIndex = parentIndex;
    item.flags = entry.bzip;
    item.extra1 = entry.crc;
    return item;
}

// Whether a record holding the entry's stored bytes also says what the entry says of them.
// The block size is left out: the pack store may give a member more room than the list asks.
static bool describes(const SubFileEntry& entry, const PackRecord& record) {
    return record.zipSize == entry.zipSize && record.size == entry.size &&
           record.flags == entry.bzip && record.extra1 == entry.crc;
}

// Equivalent to the scan described in the header, without rescanning. Each scan stops at the
// first remaining non-root record with the key, which is always the earliest unmatched record
// of that key in table order (matches only ever take the earliest): so each key keeps a cursor
// over its records in table order. A scan passes exactly the records before the one it stops
// at (or all of them when nothing matches), so the roots dropped are those before the furthest
// stop of any scan.
void SubFileListDownloader::compareRecords(std::span<const SubFileEntry> entries,
                                           std::span<const PackRecord> records, bool checkVersion,
                                           std::vector<PackPatchItem>& items,
                                           std::vector<PackRecord>& removals,
                                           std::span<const uint8_t> damaged) {
    const size_t count = records.size();
    std::vector<std::pair<uint32_t, uint32_t>> byKey;  // (name key, position), non-roots only
    byKey.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        if (records[i].parentIndex != kRootParent) {
            byKey.emplace_back(records[i].nameKey, static_cast<uint32_t>(i));
        }
    }
    std::sort(byKey.begin(), byKey.end());
    // cursor[first of a key's run] = the run's next unmatched element.
    std::vector<uint32_t> cursor(byKey.size());
    for (size_t j = 0; j < cursor.size(); ++j) {
        cursor[j] = static_cast<uint32_t>(j);
    }
    std::vector<uint8_t> matched(count, 0);
    size_t passed = 0;  // roots before this position have been dropped
    const auto isDamaged = [&](size_t position) {
        return position < damaged.size() && damaged[position] != 0;
    };

    for (const SubFileEntry& entry : entries) {
        const PackRecord* found = nullptr;
        size_t foundAt = 0;
        auto run = std::lower_bound(byKey.begin(), byKey.end(),
                                    std::pair<uint32_t, uint32_t>(entry.nameKey, 0));
        if (run != byKey.end() && run->first == entry.nameKey) {
            uint32_t& next = cursor[static_cast<size_t>(run - byKey.begin())];
            if (next < byKey.size() && byKey[next].first == entry.nameKey) {
                const uint32_t position = byKey[next].second;
                ++next;
                matched[position] = 1;
                passed = std::max<size_t>(passed, position);
                found = &records[position];
                foundAt = position;
            }
        }
        if (found == nullptr) {
            passed = count;
            if (entry.operate != kOperateDelete) {
                items.push_back(makeItem(entry, 0));
            }
        } else if (entry.operate == kOperateDelete) {
            removals.push_back(*found);
        } else if (isDamaged(foundAt) || (entry.zipcrc == found->dataCrc
                                              ? !describes(entry, *found)
                                              : !checkVersion || found->extra2 < entry.version)) {
            items.push_back(makeItem(entry, found->parentIndex));
        }
    }
    // What is left: unmatched records, except the roots some scan went past.
    for (size_t i = 0; i < count; ++i) {
        const bool droppedRoot = records[i].parentIndex == kRootParent && i < passed;
        if (!matched[i] && !droppedRoot) {
            removals.push_back(records[i]);
        }
    }
}

void SubFileListDownloader::compareWithPack(bool checkVersion) {
    std::vector<PackRecord> records;
    if (!packPath_.empty() && readPackRecords(packPath_, records)) {
        compareRecords(entries_, records, checkVersion, items_, removals_, damaged_);
    } else {
        // No readable local pack: every file the list adds is fetched.
        for (const SubFileEntry& entry : entries_) {
            if (entry.operate != kOperateDelete) {
                items_.push_back(makeItem(entry, 0));
            }
        }
    }
    uint32_t offset = 0;  // the field is 32 bits; the totals are not
    for (PackPatchItem& item : items_) {
        item.startOffset = offset;
        offset += item.blockSize;
        blockSizeTotal_ += item.blockSize;
        zipSizeTotal_ += item.zipSize;
    }
}

}  // namespace lume
