#include "engine/FileSystem/PackOperations.h"

#include <algorithm>
#include <limits>
#include <string>
#include <unordered_map>

#include "engine/FileSystem/File.h"
#include "engine/FileSystem/PackIndex.h"
#include "engine/FileSystem/PackJournal.h"
#include "engine/FileSystem/PackPatchList.h"
#include "engine/FileSystem/WinStream.h"
#include "engine/Kernel/Checksum.h"
#include "engine/Kernel/Logger.h"
#include "engine/Kernel/NameKey.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace lume {

namespace {

constexpr uint64_t kMaxFileEnd = std::numeric_limits<uint32_t>::max();

// The log lines of the index load, one per step, as each operation words them.
struct LoadMessages {
    const char16_t* header;
    const char16_t* version;
    const char16_t* recordSeek;
    const char16_t* recordRead;
    const char16_t* freeSeek;
    const char16_t* freeLoad;
};

constexpr LoadMessages kMergeMessages = {
    u"mergePatchToPack过程中,解析本地%s头失败",
    u"mergePatchToPack过程中,本地%s 版本不对\r\n",
    u"mergePatchToPack过程中,setPosition解析本地%s数据失败\r\n",
    u"mergePatchToPack过程中,read解析本地%s数据失败\r\n",
    u"mergePatchToPack过程中,解析本地%s空白区域失败\r\n",
    u"解析本地空白区域%s失败\r\n",
};

constexpr LoadMessages kRemoveMessages = {
    u"removeFileFromPack过程中,解析本地%s头失败",
    u"removeFileFromPack过程中,本地%s 版本不对\r\n",
    u"removeFileFromPack过程中,解析本地%s数据失败\r\n",
    u"removeFileFromPack过程中,解析本地%s数据失败\r\n",
    u"removeFileFromPack过程中,解析本地%s空白区域失败\r\n",
    u"removeFileFromPack 解析本地空白区域%s失败\r\n",
};

constexpr LoadMessages kRepairMessages = {
    u"repairLocalFileCrc过程中,解析本地%s头失败",
    u"repairLocalFileCrc过程中,本地%s 版本不对\r\n",
    u"repairLocalFileCrc过程中,解析本地%s数据失败\r\n",
    u"repairLocalFileCrc过程中,解析本地%s数据失败\r\n",
    u"repairLocalFileCrc过程中,解析本地%s空白区域失败\r\n",
    u"repairLocalFileCrc 解析本地空白区域%s失败\r\n",
};

// Opens an existing pack for reading and writing, once a change that a crash interrupted
// has been undone; a missing pack is not created.
bool openPack(WinStream& pack, std::u16string_view path) {
    return File::isFile(path) && recoverPack(path) != PackRecovery::kFailed && pack.open(path, 2);
}

// A loaded index that is damaged is never written by: a write placed by it could land on
// a member (a hole over a live block) or drop members it does not see.
bool refuseDamaged(const char16_t* operation, std::u16string_view path, const PackIndex& index) {
    std::string why;
    if (checkPackStructure(index, &why) == PackDamage::kNone) {
        return false;
    }
    logW_m1(u"%s过程中,本地%s的索引已损坏\r\n", operation, path);
    logW_m1(u"%s: %s\r\n", path, platform::utf8ToWide(why));
    return true;
}

// Runs the writes of a change in place under the pack's journal (see PackJournal.h): writes
// puts the change through the stream it is given, which records it; only a complete change
// that was not stopped is committed and then written into the pack, after its disk space is
// taken, so that a failure, a full disk or a stop part way leaves the pack untouched. With
// settle the pack is synced and the journal deleted at once (an index rewrite: a sequential
// write whose sync costs little); a merge leaves that to whoever runs the merges (see
// MakeFileWritter::settle), so that the scattered blocks of many merges reach the disk with
// one sync.
template <class Writes>
bool changeInPlace(WinStream& pack, std::u16string_view path, uint32_t finalLength,
                   const StopCheck& stop, bool settle, Writes&& writes) {
    PackJournal journal(path);
    if (!journal.begin(pack.size())) {
        return false;
    }
    if (!writes(journal.writes()) || (stop && stop()) || !journal.commit(pack, finalLength)) {
        return false;
    }
    // A change whose settling fails stands all the same: its journal is played again at the
    // pack's next open.
    if (settle) {
        static_cast<void>(journal.settle(pack));
    }
    return true;
}

// Rewrites the index of an open pack under its journal, settled at once: the operations
// that change the index only (a removal, a checksum repair).
bool rewriteIndexInPlace(WinStream& pack, std::u16string_view packPath, const PackIndex& index,
                         const char16_t* operation) {
    return changeInPlace(pack, packPath, index.fileEnd, {}, true, [&](Stream& out) {
        if (!writePackIndex(out, index.records, index.pool, index.fileEnd, nullptr,
                            indexTablesEnd(index.header))) {
            logW_m1(u"%s过程中,重写本地%s索引失败\r\n", operation, packPath);
            return false;
        }
        return true;
    });
}

bool loadIndex(WinStream& pack, std::u16string_view path, PackIndex& index,
               const LoadMessages& messages) {
    std::string why;
    const char16_t* message = nullptr;
    switch (loadPackIndex(pack, index, &why)) {
        case IndexLoadError::kNone:
            return true;
        case IndexLoadError::kHeaderRead:
            message = messages.header;
            break;
        case IndexLoadError::kVersion:
            message = messages.version;
            break;
        case IndexLoadError::kRecordSeek:
            message = messages.recordSeek;
            break;
        case IndexLoadError::kRecordRead:
            message = messages.recordRead;
            break;
        case IndexLoadError::kFreeSeek:
            message = messages.freeSeek;
            break;
        case IndexLoadError::kFreeLoad:
            message = messages.freeLoad;
            break;
    }
    logW_m1(message, path);
    if (!why.empty()) {
        logW_m1(u"%s: %s\r\n", path, platform::utf8ToWide(why));
    }
    return false;
}

bool loadList(const char16_t* operation, std::u16string_view listPath, uint32_t listId,
              PackPatchList& list) {
    const PackPatchList::LoadError error = list.load(listPath, listId);
    if (error == PackPatchList::LoadError::kNone) {
        return true;
    }
    logW_m1(u"%s过程中,补丁列表%s无效: %s\r\n", operation, listPath,
            platform::utf8ToWide(PackPatchList::describe(error)));
    return false;
}

// Every staged file must hold the item's stored bytes before anything is written: a merge
// that skipped a missing file would report an update that was never applied. An item
// without stored bytes needs no staged file.
bool checkStagedFiles(const char16_t* operation, std::u16string_view packPath,
                      const PackPatchList& list) {
    for (const PackPatchItem& item : list.items) {
        if (item.zipSize == 0) {
            continue;
        }
        const std::u16string staged = stagedFilePath(packPath, item.nameKey);
        platform::FileAttributes attributes;
        if (!platform::getAttributes(staged, attributes) || attributes.directory ||
            attributes.size < item.zipSize) {
            logW_m1(u"%s过程中,缓存文件%s不存在或小于%lu字节\r\n", operation, staged, item.zipSize);
            return false;
        }
    }
    return true;
}

// Writes the item's block at the pack's position: its stored bytes from the staged file,
// zeros to the block size, then extra zeros (the unused tail of a hole taken whole). The
// stored bytes must have the item's data checksum: a staged file that lost its bytes (a
// power cut after it was staged) fails the change instead of entering the pack.
bool writeBlock(Stream& pack, std::u16string_view packPath, const PackPatchItem& item,
                uint32_t extraZeros, std::vector<uint8_t>& buffer) {
    if (item.zipSize != 0) {
        const std::u16string path = stagedFilePath(packPath, item.nameKey);
        WinStream staged;
        if (!staged.open(path, 0)) {
            return false;
        }
        uint32_t crc = kChecksumStart;
        uint32_t left = item.zipSize;
        while (left > 0) {
            const auto chunk = static_cast<uint32_t>(std::min<size_t>(left, buffer.size()));
            uint32_t got = 0;
            if (!staged.read(buffer.data(), chunk, &got) || got != chunk ||
                !pack.write(buffer.data(), chunk)) {
                return false;
            }
            crc = checksumUpdate(crc, buffer.data(), chunk);
            left -= chunk;
        }
        if (crc != item.dataCrc) {
            logW_m1(u"缓存文件%s校验失败[%x != %x]\r\n", path, crc, item.dataCrc);
            return false;
        }
    }
    return pack.writeZeros(item.blockSize - item.zipSize + extraZeros);
}

PackRecord recordFromItem(const PackPatchItem& item) {
    PackRecord r;
    r.nameKey = item.nameKey;
    r.zipSize = item.zipSize;
    r.size = item.size;
    r.blockSize = item.blockSize;
    r.dataCrc = item.dataCrc;
    r.parentIndex = item.parentIndex;
    r.flags = item.flags;
    r.extra1 = item.extra1;
    r.extra2 = item.extra2;
    return r;
}

// One write of a merge, planned before the pack is touched.
struct MergeWrite {
    uint32_t offset = 0;
    uint32_t item = 0;        // the list item whose block is written
    uint32_t extraZeros = 0;  // zeros after the block (a hole taken whole)
    bool zeroOnly = false;    // clears extraZeros bytes of a vacated block instead
};

class MergePlan {
public:
    MergePlan(PackIndex& index, const PackPatchList& list) : index_(index), list_(list) {
        firstByKey_.reserve(index.records.size() + list.items.size());
        for (uint32_t i = 0; i < index.records.size(); ++i) {
            firstByKey_.try_emplace(index.records[i].nameKey, i);
        }
        fileEnd_ = index.fileEnd;
    }

    // Settles every record, hole and write; false when the pack would pass 4 GiB.
    bool make() {
        for (uint32_t i = 0; i < list_.items.size(); ++i) {
            const PackPatchItem& item = list_.items[i];
            const auto found = firstByKey_.find(item.nameKey);
            if (found == firstByKey_.end()) {
                PackRecord r = recordFromItem(item);
                if (!place(i, r.offset, r.blockSize)) {
                    return false;
                }
                firstByKey_.emplace(item.nameKey, static_cast<uint32_t>(index_.records.size()));
                index_.records.push_back(r);
                continue;
            }
            PackRecord& r = index_.records[found->second];
            uint32_t offset = r.offset;
            uint32_t blockSize = r.blockSize;
            if (r.blockSize < item.blockSize) {
                // The old block is still in use while the new one is placed, so it cannot be
                // chosen for it; it becomes a hole afterwards.
                if (!place(i, offset, blockSize)) {
                    return false;
                }
                index_.pool.add(r.offset, r.blockSize, 0);
                writes_.push_back(MergeWrite{r.offset, i, r.blockSize, true});
            } else {
                writes_.push_back(MergeWrite{r.offset, i, 0, false});
            }
            const uint32_t key = r.nameKey;
            r = recordFromItem(item);
            r.nameKey = key;
            r.offset = offset;
            r.blockSize = blockSize;
        }
        return true;
    }

    const std::vector<MergeWrite>& writes() const { return writes_; }
    uint32_t fileEnd() const { return fileEnd_; }

private:
    bool place(uint32_t itemIndex, uint32_t& offset, uint32_t& blockSize) {
        const uint32_t need = list_.items[itemIndex].blockSize;
        FreeBlock hole;
        if (!index_.pool.findBestFit(need, hole)) {
            logW_m1(u"追加前：文件大小:%lu, 写入的大小:%lu", fileEnd_, need);
            if (uint64_t{fileEnd_} + need > kMaxFileEnd) {
                return false;
            }
            offset = fileEnd_;
            blockSize = need;
            writes_.push_back(MergeWrite{offset, itemIndex, 0, false});
            fileEnd_ += need;
            logW_m1(u"追加后文件大小:%lu\r\n", fileEnd_);
            return true;
        }
        logW_m1(u"找到空白区域,位置：%lu, 大小: %lu", hole.offset, hole.size);
        const uint32_t slack = hole.size - need;
        offset = hole.offset;
        index_.pool.remove(hole.offset);
        if (slack / 4096 < 2) {
            blockSize = hole.size;
            writes_.push_back(MergeWrite{offset, itemIndex, slack, false});
        } else {
            blockSize = need;
            writes_.push_back(MergeWrite{offset, itemIndex, 0, false});
            index_.pool.add(hole.offset + need, slack, 0);
        }
        return true;
    }

    PackIndex& index_;
    const PackPatchList& list_;
    std::unordered_map<uint32_t, uint32_t> firstByKey_;
    std::vector<MergeWrite> writes_;
    uint32_t fileEnd_ = 0;
};

}  // namespace

bool mergePatchToPack(std::u16string_view packPath, std::u16string_view patchListPath,
                      uint32_t listId, const StopCheck& stop) {
    PackPatchList list;
    if (!loadList(u"mergePatchToPack", patchListPath, listId, list) ||
        !checkStagedFiles(u"mergePatchToPack", packPath, list)) {
        return false;
    }
    WinStream pack;
    if (!openPack(pack, packPath)) {
        logW_m1(u"打开本地 %s 文件失败\r\n", packPath);
        return false;
    }
    PackIndex index;
    if (!loadIndex(pack, packPath, index, kMergeMessages) ||
        refuseDamaged(u"mergePatchToPack", packPath, index)) {
        return false;
    }
    logW_m1(u"开始merge: %s 文件\r\n", packPath);

    MergePlan plan(index, list);
    if (!plan.make()) {
        logW_m1(u"mergePatchToPack过程中,本地%s将超过4GB\r\n", packPath);
        return false;
    }
    if (!indexFits(index.records.size(), index.pool.count())) {
        logW_m1(u"mergePatchToPack过程中,本地%s的索引区放不下%lu个文件\r\n", packPath,
                index.records.size());
        return false;
    }
    std::vector<uint8_t> buffer(64 * 1024);
    const bool merged =
        changeInPlace(pack, packPath, plan.fileEnd(), stop, false, [&](Stream& out) {
            for (const MergeWrite& w : plan.writes()) {
                const bool ok = !(stop && stop()) && out.seek(w.offset) &&
                                (w.zeroOnly ? out.writeZeros(w.extraZeros)
                                            : writeBlock(out, packPath, list.items[w.item],
                                                         w.extraZeros, buffer));
                if (!ok) {
                    logW_m1(u"mergePatchToPack过程中,写入本地%s失败\r\n", packPath);
                    return false;
                }
            }
            logW_m1(u"结束merge: %s 文件\r\n", packPath);
            logW_m1(u"merge后文件信息:\r\n");
            if (!writePackIndex(out, index.records, index.pool, plan.fileEnd(), nullptr,
                                indexTablesEnd(index.header))) {
                logW_m1(u"mergePatchToPack过程中,重写本地%s索引失败\r\n", packPath);
                return false;
            }
            return true;
        });
    if (merged) {
        logW_m1(u"%s文件更新结束\n", packPath);
    }
    return merged;
}

bool buildPack(std::u16string_view packPath, std::u16string_view outputPath,
               std::u16string_view patchListPath, uint32_t listId, const StopCheck& stop) {
    PackPatchList list;
    if (!loadList(u"buildPack", patchListPath, listId, list) ||
        !checkStagedFiles(u"buildPack", packPath, list)) {
        return false;
    }
    std::vector<PackRecord> records;
    records.reserve(list.items.size() + 1);
    PackRecord root;
    root.nameKey = nameKey(packStem(packPath));
    root.parentIndex = kRootParent;
    records.push_back(root);
    uint64_t dataEnd = kIndexRegionSize;
    for (const PackPatchItem& item : list.items) {
        PackRecord r = recordFromItem(item);
        r.offset = static_cast<uint32_t>(dataEnd);
        dataEnd += item.blockSize;
        if (dataEnd > kMaxFileEnd) {
            logW_m1(u"buildPack过程中,%s将超过4GB\r\n", outputPath);
            return false;
        }
        records.push_back(r);
    }
    records.front().offset = kIndexRegionSize;
    if (!indexFits(records.size(), 0)) {
        logW_m1(u"buildPack过程中,%s的索引区放不下%lu个文件\r\n", outputPath, records.size());
        return false;
    }

    WinStream out;
    if (!out.open(outputPath, 1)) {
        logW_m1(u"buildPack过程中,创建%s失败\r\n", outputPath);
        return false;
    }
    // The whole length first, so that a full disk fails the build before its first block;
    // and synced last, so that the pack is whole on disk before it replaces the old one.
    std::vector<uint8_t> buffer(64 * 1024);
    bool ok = out.reserve(static_cast<uint32_t>(dataEnd)) && out.seek(kIndexRegionSize);
    for (size_t i = 0; ok && i < list.items.size(); ++i) {
        ok = !(stop && stop()) && writeBlock(out, packPath, list.items[i], 0, buffer);
    }
    const BlankBlockPool noHoles;
    if (!ok || !writePackIndex(out, records, noHoles, static_cast<uint32_t>(dataEnd)) ||
        !out.sync()) {
        logW_m1(u"buildPack过程中,写入%s失败\r\n", outputPath);
        out.close();
        File::deleteFile(outputPath);
        return false;
    }
    return true;
}

bool removeFileFromPack(std::u16string_view packPath, const std::vector<PackRecord>& records) {
    WinStream pack;
    if (!openPack(pack, packPath)) {
        return false;
    }
    PackIndex index;
    if (!loadIndex(pack, packPath, index, kRemoveMessages) ||
        refuseDamaged(u"removeFileFromPack", packPath, index)) {
        return false;
    }
    // The first record of each key, and for every record the next one with its key, so
    // that dropping the first of a key leaves the next one to be found.
    constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();
    std::unordered_map<uint32_t, uint32_t> first;
    first.reserve(index.records.size());
    std::vector<uint32_t> next(index.records.size(), kNone);
    for (uint32_t i = static_cast<uint32_t>(index.records.size()); i-- > 0;) {
        auto [it, added] = first.try_emplace(index.records[i].nameKey, i);
        if (!added) {
            next[i] = it->second;
            it->second = i;
        }
    }
    std::vector<bool> dropped(index.records.size(), false);
    for (const PackRecord& gone : records) {
        if (regionInData(gone.offset, gone.blockSize, index.fileEnd)) {
            index.pool.add(gone.offset, gone.blockSize, 0);
        } else {
            logW_m1(u"removeFileFromPack过程中,%s的区域(%lu, %lu)不在数据区内,不回收\r\n", packPath,
                    gone.offset, gone.blockSize);
        }
        const auto it = first.find(gone.nameKey);
        if (it == first.end()) {
            continue;
        }
        dropped[it->second] = true;
        if (next[it->second] == kNone) {
            first.erase(it);
        } else {
            it->second = next[it->second];
        }
    }
    std::vector<PackRecord> kept;
    kept.reserve(index.records.size());
    for (size_t i = 0; i < index.records.size(); ++i) {
        if (!dropped[i]) {
            kept.push_back(index.records[i]);
        }
    }
    // A region named for removal that is still some other member's block must not become
    // a hole, or the next merge would write over that member.
    index.records = std::move(kept);
    if (refuseDamaged(u"removeFileFromPack", packPath, index)) {
        return false;
    }
    return rewriteIndexInPlace(pack, packPath, index, u"removeFileFromPack");
}

bool repairLocalFileCrc(std::u16string_view packPath) {
    WinStream pack;
    if (!openPack(pack, packPath)) {
        logW_m1(u"修复crc文件打开失败:%s", packPath);
        return false;
    }
    PackIndex index;
    if (!loadIndex(pack, packPath, index, kRepairMessages) ||
        refuseDamaged(u"repairLocalFileCrc", packPath, index)) {
        return false;
    }
    logW_m1(u"本地文件%s 修复后的crc大小为:%x", packPath, indexCrc(index.records));
    return rewriteIndexInPlace(pack, packPath, index, u"repairLocalFileCrc");
}

}  // namespace lume
