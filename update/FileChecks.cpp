#include "update/FileChecks.h"

#include <algorithm>
#include <vector>

#include "engine/FileSystem/File.h"
#include "engine/FileSystem/FileChecksum.h"
#include "engine/FileSystem/Inflate.h"
#include "engine/FileSystem/InstallFile.h"
#include "engine/FileSystem/MakeFileWritter.h"
#include "engine/FileSystem/PackCheck.h"
#include "engine/FileSystem/PackIndex.h"
#include "engine/FileSystem/PackJournal.h"
#include "engine/FileSystem/PackOperations.h"
#include "engine/FileSystem/PackPatchList.h"
#include "engine/FileSystem/WinStream.h"
#include "engine/Kernel/Logger.h"
#include "engine/Kernel/Reporter.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "transfer/BlockIndexFile.h"
#include "transfer/FileWritter.h"
#include "transfer/UrlFile.h"
#include "update/ListFetch.h"
#include "update/ReleaseGate.h"

namespace lume {

namespace {

// A pack that the pack store's own index load accepts and whose structure is sound, so
// that a merge can work on it.
bool mergeablePack(const std::u16string& pack) {
    const PackInspection state = inspectPack(pack);
    return state.readable && state.damage == PackDamage::kNone;
}

// What a pack patch list on disk is to the pack it sits beside.
enum class ListState { kNone, kCurrent, kStale };

ListState listState(const std::u16string& path, uint32_t crc, uint32_t mode) {
    if (!File::isFile(path)) {
        return ListState::kNone;
    }
    PackPatchList list;
    return list.load(path, crc) == PackPatchList::LoadError::kNone && list.header.mode == mode
               ? ListState::kCurrent
               : ListState::kStale;
}

bool readPackHeader(const std::u16string& pack, PackHeader& header) {
    File file;
    uint32_t got = 0;
    return file.open(pack, 0) && file.read(&header, sizeof header, &got) && got == sizeof header;
}

// The IndexCrc the pack has once the sub file list is applied: its records are exactly the
// files the list does not delete, each with the list's data crc.
uint32_t indexCrcAfter(const std::vector<SubFileEntry>& entries) {
    std::vector<PackRecord> records;
    records.reserve(entries.size());
    for (const SubFileEntry& entry : entries) {
        if (entry.operate != SubFileListDownloader::kOperateDelete) {
            PackRecord r;
            r.nameKey = entry.nameKey;
            r.dataCrc = entry.zipcrc;
            records.push_back(r);
        }
    }
    return indexCrc(records);
}

// The bytes a pack's change adds to the disk: a build writes the whole new pack beside the
// old one; a merge may append every block and journals what it overwrites (at most as much
// again, plus the index tables).
uint64_t packGrowth(const std::vector<PackPatchItem>& items, uint32_t mode) {
    uint64_t blocks = 0;
    for (const PackPatchItem& item : items) {
        blocks += item.blockSize;
    }
    if (mode == kPackModeBuild) {
        return kIndexRegionSize + blocks;
    }
    return 2 * blocks + indexTablesEnd(items.size(), 0);
}

// One read of a file for all its checks: length, file checksum and, when asked, SHA-256.
// open: the file already open (read from its start), else it is opened here.
bool digestFile(const std::u16string& path, bool withSha, DataDigest& digest,
                platform::NativeFile* open = nullptr) {
    platform::NativeFile own;
    platform::NativeFile& file = open != nullptr ? *open : own;
    if (open == nullptr && !own.open(path, 0)) {
        return false;
    }
    std::vector<uint8_t> buffer(0x40000);
    Sha256 sha;
    for (;;) {
        uint32_t got = 0;
        if (!file.readAt(digest.length, buffer.data(), static_cast<uint32_t>(buffer.size()), got)) {
            return false;
        }
        if (got == 0) {
            break;
        }
        digest.length += got;
        digest.crc = checksumUpdate(digest.crc, buffer.data(), got);
        if (withSha) {
            sha.update(buffer.data(), got);
        }
    }
    if (withSha) {
        digest.sha256 = sha.finish();
    }
    return true;
}

// The digest of download data that is whole in memory.
DataDigest digestBytes(const std::vector<uint8_t>& bytes, bool withSha) {
    DataDigest digest;
    digest.length = bytes.size();
    digest.crc = checksumUpdate(kChecksumStart, bytes.data(), bytes.size());
    if (withSha) {
        Sha256 sha;
        sha.update(bytes.data(), bytes.size());
        digest.sha256 = sha.finish();
    }
    return digest;
}

// Writes bytes as a new file (replacing one of the same name); the file is synced later,
// together with others.
bool writeNewFile(const std::u16string& path, const uint8_t* bytes, size_t length) {
    platform::NativeFile file;
    return file.open(path, 1) &&
           (length == 0 || file.writeAt(0, bytes, static_cast<uint32_t>(length))) && file.close();
}

// The whole of a file that is already open.
bool readWhole(platform::NativeFile& file, uint32_t length, std::vector<uint8_t>& bytes) {
    bytes.resize(length);
    uint32_t got = 0;
    return length == 0 || (file.readAt(0, bytes.data(), length, got) && got == length);
}

// Download data this large (and no larger once inflated) is checked and inflated whole in
// memory; larger data is streamed.
constexpr uint32_t kWholeInMemory = 2 * 1024 * 1024;

// The sink of a data file fetched again whole: written to the temporary data file as it
// arrives and digested on the way, so it is never read back; bytes past the expected size
// are refused (and end the transfer through the progress hook).
class RefetchSink : public Stream {
public:
    explicit RefetchSink(uint32_t limit) : limit_(limit) {}

    bool open(const std::u16string& path) { return static_cast<bool>(file_.open(path, 1)); }
    bool close() { return static_cast<bool>(file_.close()) && !failed_; }

    bool read(void*, uint32_t, uint32_t*) override { return false; }
    [[nodiscard]] bool write(const void* buffer, uint32_t length) override {
        uint32_t put = 0;
        if (digest_.length + length > limit_) {
            failed_ = true;
        } else if (!file_.write(buffer, length, put)) {
            failed_ = true;
        }
        if (failed_) {
            return false;
        }
        digest_.length += length;
        digest_.crc = checksumUpdate(digest_.crc, buffer, length);
        sha_.update(buffer, length);
        return true;
    }
    bool seek(uint32_t position) override { return position == 0; }
    uint32_t tell() override { return static_cast<uint32_t>(digest_.length); }
    uint32_t size() override { return static_cast<uint32_t>(digest_.length); }

    bool failed() const { return failed_; }
    const DataDigest& finish() {
        digest_.sha256 = sha_.finish();
        return digest_;
    }

private:
    platform::NativeFile file_;
    uint32_t limit_;
    bool failed_ = false;
    DataDigest digest_;
    Sha256 sha_;
};

// A download of one remote file, before its blocks are planned or resumed.
std::shared_ptr<DownloadFile> makeDownloadFile(const std::u16string& firstName,
                                               const std::u16string& localPath, uint32_t versionKey,
                                               int32_t type, uint32_t zipSize, uint32_t size) {
    auto file = std::make_shared<DownloadFile>();
    file->firstName = firstName;
    file->localPath = localPath;
    file->type = type;
    file->zipSize = zipSize;
    file->size = size;
    file->versionKey = versionKey;
    return file;
}

}  // namespace

FileChecks::FileChecks(MakeFileWritter& packWriter, Reporter& reporter)
    : packWriter_(packWriter), reporter_(reporter), subList_(&reporter) {}

FileChecks::~FileChecks() = default;

void FileChecks::begin(const UpdateAddresses& addresses, const ReleaseManifest* manifest) {
    reset();
    addresses_ = addresses;
    manifest_ = manifest;
    cancelled_.store(false, std::memory_order_release);
    seen_.clear();
    failures_ = 0;
    verifyFailures_ = 0;
    lastHeaderUnverified_ = false;
    bytesToWrite_ = 0;
    writeFailures_.store(0, std::memory_order_release);
    std::lock_guard<std::mutex> lock(mutex_);
    contentCrc_.clear();
    streams_.clear();
}

void FileChecks::reset() {
    headerTasks_.clear();
    blockRequests_.clear();
    subList_.reset();
    std::lock_guard<std::mutex> lock(mutex_);
    packs_.clear();
}

size_t FileChecks::pendingPacks() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return packs_.size();
}

std::u16string FileChecks::localPathOf(const FileListEntry& entry) {
    return entry.folder.empty() ? entry.name : entry.folder + u"\\" + entry.name;
}

std::u16string FileChecks::subFileListPath(std::u16string_view pack, uint32_t crc) {
    std::u16string tail(pack);
    for (size_t at = tail.find(u".pak"); at != std::u16string::npos;
         at = tail.find(u".pak", at + 5)) {
        tail.replace(at, 4, u".fxml");
    }
    std::replace(tail.begin(), tail.end(), u'\\', u'/');
    return formatW(u"%s.%x", tail, crc);
}

std::u16string FileChecks::subFileListUrl(std::string_view host, std::string_view path,
                                          std::u16string_view pack, uint32_t crc) {
    return releaseUrl(host, path, subFileListPath(pack, crc));
}

bool FileChecks::admit(const FileListEntry& entry, std::u16string& path) {
    if (stop_ && stop_()) {
        return false;  // the run is stopping: no more checks
    }
    if (!containedLocalPath(entry, path)) {
        logW_m1(u"文件列表中的'%s'不在游戏目录中,不更新", path);
        ++failures_;
        return false;
    }
    if (!seen_.insert(path).second) {
        logW_m1(u"文件列表中的'%s'重复出现,不更新", path);
        ++failures_;
        return false;
    }
    reporter_.postText(u"检查:%s", path);
    return true;
}

bool FileChecks::checkFile(const FileListEntry& entry) {
    return checkLoose(entry);
}

// The must pass looks at the same place as the regular pass: the file is installed at its
// local path, so looking for it anywhere else would find it missing at every update.
bool FileChecks::checkMustFile(const FileListEntry& entry) {
    return checkLoose(entry);
}

bool FileChecks::checkLoose(const FileListEntry& entry) {
    std::u16string path;
    if (!admit(entry, path)) {
        return false;
    }
    const std::u16string dataPath = FileWritter::dataFileName(kTypeLoose, path);
    const std::u16string indexPath = FileWritter::indexFileName(kTypeLoose, path);
    if (File::isFile(indexPath) && File::isFile(dataPath) && resumeLoose(entry, path)) {
        return true;
    }
    File::deleteFile(indexPath);
    File::deleteFile(dataPath);
    if (!File::isFile(path)) {
        // Missing, or a folder where the file belongs (the install removes it when empty).
        return fetchLoose(entry, path);
    }
    File local;
    if (!local.open(path, 0)) {
        // Left alone; but unverified it cannot count as current.
        logW_0(u"'%s’无法只读打开", path);
        ++failures_;
        return false;
    }
    const uint32_t length = local.size();
    if (length != entry.size) {
        logW_m1(u"'%s’大小不同,old:%u new:%u", path, length, entry.size);
        local.close();
        return fetchLoose(entry, path);
    }
    const uint32_t crc = fileChecksum(local);
    if (crc != entry.crc) {
        logW_m1(u"'%s’crc编码不同,old:%x new:%x", path, crc, entry.crc);
        local.close();
        return fetchLoose(entry, path);
    }
    return false;
}

bool FileChecks::fetchLoose(const FileListEntry& entry, const std::u16string& path) {
    if (entry.zip == 0) {
        return installEmpty(entry, path);
    }
    expectContent(path, entry.crc);
    if (entry.zip != entry.size) {
        bytesToWrite_ += entry.size;  // inflated beside the file before it replaces it
    }
    planFile(u"", path, entry.zipcrc, kTypeLoose, entry.zip, entry.size);
    return true;
}

// No download data: the file is empty, which needs no block (and so would never complete).
bool FileChecks::installEmpty(const FileListEntry& entry, const std::u16string& path) {
    if (entry.size != 0 || entry.crc != kChecksumStart) {
        logW_m1(u"'%s’的列表数据不一致 size:%u zip:%u crc:%x", path, entry.size, entry.zip,
                entry.crc);
        ++failures_;
        return false;
    }
    const std::u16string temporary = path + kInflateSuffix;
    bool written = false;
    {
        WinStream empty;
        written = empty.open(temporary, 1);
    }
    if (!written || !putInPlace(temporary, path)) {
        File::deleteFile(temporary);
        logW_0(u"写入 '%s' 失败", path);
        writeFailures_.fetch_add(1, std::memory_order_acq_rel);
        return false;
    }
    return true;
}

bool FileChecks::resumeLoose(const FileListEntry& entry, const std::u16string& path) {
    expectContent(path, entry.crc);
    if (entry.zip != entry.size) {
        bytesToWrite_ += entry.size;
    }
    switch (resumeBlocks(u"", path, kTypeLoose, entry.zipcrc, entry.zip, entry.size)) {
        case Resume::kNone:
            return false;
        case Resume::kPlanned:
            return true;
        case Resume::kComplete:
            break;
    }
    // Downloaded whole but never put in place. When it fails its check the completion has
    // deleted both files, and the file is checked afresh.
    DownloadFile file;
    file.localPath = path;
    file.type = kTypeLoose;
    file.zipSize = entry.zip;
    file.size = entry.size;
    file.versionKey = entry.zipcrc;
    return completeNow(file);
}

FileChecks::Resume FileChecks::resumeBlocks(const std::u16string& firstName,
                                            const std::u16string& localPath, int32_t type,
                                            uint32_t versionKey, uint32_t zipSize, uint32_t size) {
    const std::u16string dataPath = FileWritter::dataFileName(type, localPath);
    const std::u16string indexPath = FileWritter::indexFileName(type, localPath);
    BlockIndexHeader header;
    std::vector<BlockIndexEntry> entries;
    {
        File index;
        if (!index.open(indexPath, 0) || !BlockIndexFile::read(index, header, entries) ||
            header.versionKey != versionKey) {
            return Resume::kNone;
        }
    }
    // Entries that do not describe blocks of this download would never complete it.
    uint64_t total = 0;
    std::vector<const BlockIndexEntry*> missing;
    for (const BlockIndexEntry& block : entries) {
        if (block.size == 0 || block.blockIndex >= header.count ||
            uint64_t{block.offset} + block.size > zipSize ||
            uint64_t{block.localPosition} + block.size > zipSize) {
            return Resume::kNone;
        }
        total += block.size;
        if (block.written != block.size) {
            missing.push_back(&block);
        }
    }
    if (total != zipSize || !File::isFile(dataPath)) {
        return Resume::kNone;
    }
    {
        File data;
        if (!data.open(dataPath, 0) || data.size() != total) {
            return Resume::kNone;
        }
    }
    if (missing.empty()) {
        return Resume::kComplete;
    }
    logW_m1(u"索引文件%s 还有:%d 块没有下载", indexPath, missing.size());
    auto file = makeDownloadFile(firstName, localPath, versionKey, type, zipSize, size);
    file->blockCount = header.count;
    file->pending = static_cast<uint32_t>(missing.size());
    file->fresh = false;
    for (const BlockIndexEntry* entry : missing) {
        bytesToWrite_ += entry->size;
        blockRequests_.push_back(
            Block{file, entry->offset, entry->localPosition, entry->size, entry->blockIndex});
    }
    return Resume::kPlanned;
}

void FileChecks::planFile(const std::u16string& firstName, const std::u16string& localPath,
                          uint32_t versionKey, int32_t type, uint32_t zipSize, uint32_t size) {
    bytesToWrite_ += zipSize;  // the data file is sparse until its blocks arrive
    auto file = makeDownloadFile(firstName, localPath, versionKey, type, zipSize, size);
    std::vector<Block> blocks = planBlocks(file);
    file->blockCount = static_cast<uint32_t>(blocks.size());
    file->pending = file->blockCount;
    blockRequests_.insert(blockRequests_.end(), std::make_move_iterator(blocks.begin()),
                          std::make_move_iterator(blocks.end()));
}

bool FileChecks::checkPack(const FileListEntry& entry) {
    std::u16string pack;
    if (!admit(entry, pack)) {
        return false;
    }
    // The index is distrusted when a forced run asks for it, when a change was rolled back,
    // when its checksum disagrees with its records, and when work of another version lies
    // beside it (a merge of an older launcher may have been cut short under the old index).
    bool distrust = addresses_.force;
    switch (recoverPack(pack)) {
        case PackRecovery::kFailed:
            logW_m1(u"'%s'上次未完成的修改无法回滚,不更新", pack);
            ++failures_;
            return false;
        case PackRecovery::kReplayed:
            distrust = true;
            break;
        default:
            break;
    }
    const std::u16string fullList = FileWritter::indexFileName(kTypePackBuild, pack);
    const std::u16string patchList = FileWritter::indexFileName(kTypePackPatch, pack);
    const ListState full = listState(fullList, entry.crc, kPackModeBuild);
    const ListState patch = listState(patchList, entry.crc, kPackModeMerge);
    const bool exists = File::isFile(pack);
    const PackInspection state = exists ? inspectPack(pack) : PackInspection{};
    if (full == ListState::kStale || patch == ListState::kStale) {
        logW_m1(u"完整包临时文件‘%s’过时了需要重新下载", entry.name);
        distrust = true;
    } else if (state.sound() && state.index.header.indexCrc == entry.crc && !distrust) {
        // Current. Lists made for this version are work that finished (a crash came after
        // the pack was replaced or merged, before they were deleted).
        dropPackWork(pack);
        return false;
    } else if (full == ListState::kCurrent &&
               resumePack(fullList, pack, entry.crc, kPackModeBuild)) {
        logW_m1(u"完整包断点续传‘%s’成功", entry.name);
        return true;
    } else if (patch == ListState::kCurrent && state.readable &&
               state.damage == PackDamage::kNone &&
               resumePack(patchList, pack, entry.crc, kPackModeMerge)) {
        logW_m1(u"补丁包断点续传‘%s’", entry.name);
        return true;
    }
    if (!exists) {
        switch (requestPack(pack, kPackModeBuild, entry.crc)) {
            case PackResult::kPlanned:
                return true;
            case PackResult::kNothingToDo:
                return false;
            case PackResult::kUnverified:
                logW_m1(u"获取'%s'的子文件列表失败", pack);
                ++verifyFailures_;
                return false;
            case PackResult::kFailed:
                // Reported as current, the missing pack would pass for updated.
                logW_m1(u"获取'%s'的子文件列表失败", pack);
                ++failures_;
                return false;
        }
    }
    if (state.readable && !state.crcConsistent) {
        logW_m1(u"'%s'的索引校验值%x与其记录不符", pack, state.index.header.indexCrc);
        distrust = true;
    }
    logW_m1(u"添加请求文件头任务:%s crc:%x", pack, entry.crc);
    headerTasks_.push_back(HeaderTask{pack, entry.zip, entry.crc, distrust});
    return true;
}

bool FileChecks::resumePack(const std::u16string& listPath, const std::u16string& pack, uint32_t id,
                            uint32_t mode) {
    PackPatchList list;
    // A list made for the other mode would become a task the pack writer drops, and a merge
    // needs a pack it can load and may write: either one would never finish.
    if (list.load(listPath, id) != PackPatchList::LoadError::kNone || list.header.mode != mode ||
        (mode == kPackModeMerge && !mergeablePack(pack))) {
        return false;
    }
    uint32_t pending = 0;
    for (const PackPatchItem& item : list.items) {
        if (item.zipSize == 0) {
            continue;  // nothing stored: the pack store needs no staged file
        }
        const std::u16string staged = stagedFilePath(pack, item.nameKey);
        const std::u16string dataPath = FileWritter::dataFileName(kTypePackMember, staged);
        const std::u16string indexPath = FileWritter::indexFileName(kTypePackMember, staged);
        // Staged by an earlier update, perhaps one that checked no manifest: under a
        // manifest it is merged only with the size and SHA-256 the manifest names.
        const ManifestFile* expected =
            manifest_ ? manifest_->find(remotePath(kTypePackMember, pack, staged, item.dataCrc))
                      : nullptr;
        const bool complete = (!manifest_ || expected) &&
                              verifyData(staged, item.zipSize, item.dataCrc, expected, false);
        if (complete && !(File::isFile(dataPath) && File::isFile(indexPath))) {
            continue;
        }
        // An interrupted member resumes from its block index as a loose file does.
        switch (
            resumeBlocks(pack, staged, kTypePackMember, item.dataCrc, item.zipSize, item.size)) {
            case Resume::kPlanned:
                ++pending;
                continue;
            case Resume::kComplete: {
                // Staged now (the pack is not pending yet, so nothing is counted twice).
                DownloadFile member;
                member.firstName = pack;
                member.localPath = staged;
                member.type = kTypePackMember;
                member.zipSize = item.zipSize;
                member.size = item.size;
                member.versionKey = item.dataCrc;
                if (completeNow(member)) {
                    continue;
                }
                break;
            }
            case Resume::kNone:
                break;
        }
        File::deleteFile(dataPath);
        File::deleteFile(indexPath);
        planFile(pack, staged, item.dataCrc, kTypePackMember, item.zipSize, item.size);
        ++pending;
    }
    bytesToWrite_ += packGrowth(list.items, mode);
    PackPatchListHeader header = list.header;
    header.doneCount = header.itemCount - pending;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        packs_[pack] = header;
    }
    if (pending == 0) {
        packItemDone(pack, true);
    }
    return true;
}

bool FileChecks::processHeaderTask(const HeaderTask& task) {
    reporter_.postText(u"开始处理文件头：%s", task.path);
    lastHeaderUnverified_ = false;
    if (recoverPack(task.path) == PackRecovery::kFailed) {
        return false;
    }
    PackInspection state = inspectPack(task.path);
    if (!state.readable) {
        logW_m1(u"'%s'无法读取(%s),重新下载整个包", task.path, platform::utf8ToWide(state.why));
        deletePack(task.path);
        return settled(requestPack(task.path, kPackModeBuild, task.crc));
    }
    if (state.damage != PackDamage::kNone) {
        // Built anew: from its members whose bytes are still right, and the rest fetched.
        logW_m1(u"'%s'的索引已损坏(%s),重建", task.path, platform::utf8ToWide(state.why));
        return settled(requestPack(task.path, kPackModeBuild, task.crc, &state.index));
    }
    std::vector<uint8_t> damaged;
    if (task.verify) {
        WinStream stream;
        std::vector<uint32_t> rotten;
        reporter_.postText(u"校验:%s", task.path);
        const PackCheckProgress stop = [this](uint64_t) { return stop_ && stop_(); };
        if (!stream.open(task.path, 0) || !findRottenMembers(stream, state.index, rotten, stop)) {
            return false;
        }
        damaged.assign(state.index.records.size(), 0);
        for (const uint32_t i : rotten) {
            logW_m1(u"'%s'中的文件%x已损坏", task.path, state.index.records[i].nameKey);
            damaged[i] = 1;
        }
    }
    return settled(requestPack(task.path, kPackModeMerge, task.crc, nullptr, std::move(damaged)));
}

FileChecks::PackResult FileChecks::requestPack(const std::u16string& pack, uint32_t mode,
                                               uint32_t crc, const PackIndex* salvage,
                                               std::vector<uint8_t> damaged) {
    const std::u16string url = subFileListUrl(addresses_.host, addresses_.path, pack, crc);
    const std::u16string backUrl =
        addresses_.backHost.empty()
            ? url
            : subFileListUrl(addresses_.backHost, addresses_.backPath, pack, crc);
    const std::string listPath = platform::wideToUtf8(subFileListPath(pack, crc));
    // A build takes every file of the list, whatever the pack on disk holds.
    const int result = subList_.download(
        url, backUrl, mode == kPackModeMerge ? pack : u"",
        [&](std::string_view bytes) {
            return matchesManifest(manifest_, listPath, bytes, &reporter_);
        },
        std::move(damaged));
    if (result == SubFileListDownloader::kUnverified) {
        return PackResult::kUnverified;
    }
    if (result == SubFileListDownloader::kWithdrawn) {
        deletePack(pack);
        dropPackWork(pack);
        return PackResult::kNothingToDo;  // withdrawn, and absent
    }
    if (result != SubFileListDownloader::kCompared) {
        return PackResult::kFailed;
    }
    // A list that would not give the pack the file list's IndexCrc belongs to another pack
    // or version; applied, it would leave a pack that is not current.
    const uint32_t after = indexCrcAfter(subList_.entries());
    if (after != crc) {
        logW_m1(u"'%s’的子文件列表不符 crc:%x 文件列表crc:%x", pack, after, crc);
        return PackResult::kFailed;
    }
    if (mode == kPackModeMerge) {
        const PackResult repaired = repair(pack, crc);
        if (repaired == PackResult::kNothingToDo) {
            dropPackWork(pack);
        }
        if (repaired != PackResult::kPlanned) {
            return repaired;
        }
    }
    const size_t mark = blockRequests_.size();
    const uint64_t plannedBytes = bytesToWrite_;
    uint32_t stagedAtOnce = 0;
    planPackFiles(pack, stagedAtOnce, salvage);
    if (!writePackList(pack, mode, crc, stagedAtOnce)) {
        blockRequests_.resize(mark);
        bytesToWrite_ = plannedBytes;
        return PackResult::kFailed;
    }
    return PackResult::kPlanned;
}

// kPlanned: files of the pack are to be downloaded.
FileChecks::PackResult FileChecks::repair(const std::u16string& pack, uint32_t crc) {
    const std::vector<PackPatchItem>& items = subList_.downloadItems();
    const std::vector<PackRecord>& removals = subList_.removals();
    if (items.empty() && removals.empty()) {
        logW_m1(u"修复本地文件的crc:%s", pack);
        // The header read back is the verdict, whatever the repair reports.
        static_cast<void>(repairLocalFileCrc(pack));
        PackHeader header;
        if (!readPackHeader(pack, header) || header.indexCrc != crc) {
            return PackResult::kFailed;
        }
        return PackResult::kNothingToDo;
    }
    if (!removals.empty()) {
        logW_m1(u"从%s包中删除 %d 个文件\r\n", pack, removals.size());
        if (!removeFileFromPack(pack, removals)) {
            return PackResult::kFailed;
        }
    }
    // Files without stored bytes count too: left out, the pack would never match.
    return items.empty() ? PackResult::kNothingToDo : PackResult::kPlanned;
}

void FileChecks::planPackFiles(const std::u16string& pack, uint32_t& stagedAtOnce,
                               const PackIndex* salvage) {
    stagedAtOnce = 0;
    // Members of a damaged pack by key, read through one handle.
    std::unordered_map<uint32_t, const PackRecord*> old;
    WinStream oldPack;
    if (salvage != nullptr && oldPack.open(pack, 0)) {
        for (const PackRecord& r : salvage->records) {
            if (r.parentIndex != kRootParent) {
                old.try_emplace(r.nameKey, &r);
            }
        }
    }
    uint32_t salvaged = 0;
    for (const PackPatchItem& item : subList_.downloadItems()) {
        if (item.zipSize == 0) {
            ++stagedAtOnce;  // nothing to fetch: done from the start
            continue;
        }
        const std::u16string staged = stagedFilePath(pack, item.nameKey);
        // Already staged whole by an earlier attempt, or still right inside the pack; under a
        // manifest only with the size and SHA-256 it names.
        const ManifestFile* expected =
            manifest_ ? manifest_->find(remotePath(kTypePackMember, pack, staged, item.dataCrc))
                      : nullptr;
        const auto verified = [&] {
            return (!manifest_ || expected) &&
                   verifyData(staged, item.zipSize, item.dataCrc, expected, false);
        };
        bool ready = File::isFile(staged) && verified();
        if (!ready) {
            const auto found = old.find(item.nameKey);
            ready = found != old.end() && found->second->zipSize == item.zipSize &&
                    regionInData(found->second->offset, item.zipSize, salvage->fileEnd) &&
                    salvageMember(oldPack, *found->second, item.dataCrc, staged) && verified();
            salvaged += ready ? 1 : 0;
        }
        if (ready) {
            File::deleteFile(FileWritter::dataFileName(kTypePackMember, staged));
            File::deleteFile(FileWritter::indexFileName(kTypePackMember, staged));
            ++stagedAtOnce;
            continue;
        }
        planFile(pack, staged, item.dataCrc, kTypePackMember, item.zipSize, item.size);
    }
    if (salvaged != 0) {
        logW_m1(u"'%s'中有%d个文件完好,无需下载", pack, salvaged);
    }
}

bool FileChecks::writePackList(const std::u16string& pack, uint32_t mode, uint32_t crc,
                               uint32_t stagedAtOnce) {
    PackPatchList list;
    list.header.listId = crc;
    list.header.doneCount = 0;
    list.header.mode = mode;
    list.items = subList_.downloadItems();
    const std::u16string path = FileWritter::indexFileName(static_cast<int32_t>(mode), pack);
    if (!list.save(path)) {
        logW_m1(u"打开临时文件准备写入失败:%s", path);
        writeFailures_.fetch_add(1, std::memory_order_acq_rel);
        return false;
    }
    // The other mode's list, if any, belonged to another attempt.
    const int32_t other = mode == kPackModeMerge ? kTypePackBuild : kTypePackPatch;
    File::deleteFile(FileWritter::indexFileName(other, pack));
    bytesToWrite_ += packGrowth(list.items, mode);
    PackPatchListHeader header = list.header;
    header.doneCount = stagedAtOnce;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        packs_[pack] = header;
    }
    // With no file to download no completion would ever hand the pack on.
    if (stagedAtOnce >= header.itemCount) {
        enqueuePack(pack, header);
    }
    return true;
}

bool FileChecks::settled(PackResult result) {
    lastHeaderUnverified_ = result == PackResult::kUnverified;
    return result == PackResult::kPlanned || result == PackResult::kNothingToDo;
}

void FileChecks::dropPackWork(const std::u16string& pack) {
    for (const int32_t type : {kTypePackBuild, kTypePackPatch}) {
        File::deleteFile(FileWritter::indexFileName(type, pack));
        File::deleteFile(FileWritter::dataFileName(type, pack));
    }
    if (File::isDirectory(stagingDirectory(pack))) {
        File::deleteTree(stagingDirectory(pack));
    }
}

void FileChecks::packItemDone(const std::u16string& pack, bool force) {
    PackPatchListHeader header;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = packs_.find(pack);
        if (found == packs_.end()) {
            return;
        }
        header = found->second;
        header.doneCount += 1;
        found->second.doneCount = header.doneCount;
        if (header.doneCount < header.itemCount && !force) {
            return;
        }
    }
    enqueuePack(pack, header);
}

void FileChecks::enqueuePack(const std::u16string& pack, const PackPatchListHeader& header) {
    // The pack modes are the file types of a pack's own temporary files.
    const auto type = static_cast<int32_t>(header.mode);
    packWriter_.enqueue(pack, FileWritter::dataFileName(type, pack),
                        FileWritter::indexFileName(type, pack), header.listId, header.mode);
}

void FileChecks::expectContent(const std::u16string& path, uint32_t crc) {
    std::lock_guard<std::mutex> lock(mutex_);
    contentCrc_[path] = crc;
}

bool FileChecks::expectedContent(const std::u16string& path, uint32_t& crc) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = contentCrc_.find(path);
    if (found == contentCrc_.end()) {
        return false;
    }
    crc = found->second;
    return true;
}

bool FileChecks::matches(const std::u16string& dataPath, const DataDigest& digest, uint32_t zipSize,
                         uint32_t versionKey, const ManifestFile* expected, bool report) const {
    if (digest.crc != versionKey || digest.length != zipSize) {
        if (report) {
            logW_0(u"验证:‘%s’文件失败[tmp:%x zip:%x]", dataPath, digest.crc, versionKey);
        }
        return false;
    }
    if (manifest_ != nullptr && (expected == nullptr || expected->size != digest.length ||
                                 expected->sha256 != digest.sha256)) {
        if (report) {
            logW_0(u"验证:‘%s’与发布清单不符", dataPath);
        }
        return false;
    }
    return true;
}

bool FileChecks::verifyData(const std::u16string& dataPath, uint32_t zipSize, uint32_t versionKey,
                            const ManifestFile* expected, bool report,
                            std::unique_ptr<StreamDigest> streamed,
                            platform::NativeFile* data) const {
    DataDigest digest;
    platform::FileAttributes attributes;
    if (streamed && !streamed->broken && streamed->next == zipSize &&
        platform::getAttributes(dataPath, attributes) && attributes.size == zipSize) {
        digest.length = streamed->next;
        digest.crc = streamed->crc;
        digest.sha256 = streamed->sha256.finish();
    } else if (!digestFile(dataPath, manifest_ != nullptr, digest, data)) {
        if (report) {
            logW_0(u"打开'%s'失败", dataPath);
        }
        return false;
    }
    return matches(dataPath, digest, zipSize, versionKey, expected, report);
}

void FileChecks::onBlockStored(const std::u16string& localPath, int32_t type,
                               uint32_t localPosition, const uint8_t* data, uint32_t length) {
    if (manifest_ == nullptr) {
        return;
    }
    StreamDigest* stream = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::unique_ptr<StreamDigest>& slot = streams_[localPath];
        if (!slot) {
            slot = std::make_unique<StreamDigest>();
        }
        stream = slot.get();
    }
    // Only this thread digests; the map's lock guards the map alone.
    if (stream->broken) {
        return;
    }
    if (localPosition != stream->next) {
        stream->broken =
            localPosition < stream->next || !stream->ahead.emplace(localPosition, length).second;
        return;
    }
    stream->sha256.update(data, length);
    stream->crc = checksumUpdate(stream->crc, data, length);
    stream->next += length;
    if (stream->ahead.empty() || stream->ahead.begin()->first != stream->next) {
        return;
    }
    // Blocks that arrived early are stored already: they are read back (from the page
    // cache) in order.
    platform::NativeFile file;
    std::vector<uint8_t> buffer;
    if (!file.open(FileWritter::dataFileName(type, localPath), 0)) {
        stream->broken = true;
        return;
    }
    while (!stream->ahead.empty() && stream->ahead.begin()->first == stream->next) {
        const auto [position, size] = *stream->ahead.begin();
        buffer.resize(size);
        uint32_t got = 0;
        if (!file.seek(position) || !file.read(buffer.data(), size, got) || got != size) {
            stream->broken = true;
            return;
        }
        stream->sha256.update(buffer.data(), size);
        stream->crc = checksumUpdate(stream->crc, buffer.data(), size);
        stream->next += size;
        stream->ahead.erase(stream->ahead.begin());
    }
}

bool FileChecks::refetch(const std::u16string& dataPath, const std::string& remotePath,
                         uint32_t zipSize, uint32_t versionKey, const ManifestFile& expected) {
    // The blocks may have come from either host: the mirror is asked first, then the primary.
    std::vector<std::pair<std::string, std::string>> sources;
    if (!addresses_.backHost.empty()) {
        sources.emplace_back(addresses_.backHost, addresses_.backPath);
    }
    sources.emplace_back(addresses_.host, addresses_.path);
    for (const auto& [host, path] : sources) {
        if (cancelled_.load(std::memory_order_acquire)) {
            return false;
        }
        const std::u16string url = releaseUrl(host, path, platform::utf8ToWide(remotePath));
        logW_m1(u"重新下载'%s'", url);
        RefetchSink sink(zipSize);
        if (!sink.open(dataPath)) {
            logW_0(u"临时文件:%s打开失败", dataPath);
            return false;
        }
        UrlFile transfer;
        transfer.setTransferSettings(settings_);
        transfer.setProgressHook([&](double, double) {
            return sink.failed() || cancelled_.load(std::memory_order_acquire) ? 1 : 0;
        });
        const bool fetched = transfer.downloadToStream(url, sink, kListConnectTimeoutMs);
        const bool stored = sink.close();
        if (fetched && stored &&
            matches(dataPath, sink.finish(), zipSize, versionKey, &expected, true)) {
            return true;
        }
    }
    return false;
}

FileCompletion::Prepared FileChecks::prepareFile(const DownloadFile& file,
                                                 platform::NativeFile* data,
                                                 std::vector<uint8_t> bytes) {
    const std::u16string dataPath = FileWritter::dataFileName(file.type, file.localPath);
    const std::u16string indexPath = FileWritter::indexFileName(file.type, file.localPath);
    const ManifestFile* expected = nullptr;
    std::string remotePath;
    std::unique_ptr<StreamDigest> streamed;
    if (manifest_ != nullptr) {
        remotePath = lume::remotePath(file);
        expected = manifest_->find(remotePath);
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = streams_.find(file.localPath);
        if (found != streams_.end()) {
            streamed = std::move(found->second);
            streams_.erase(found);
        }
    }
    const bool inMemory = data == nullptr && !bytes.empty();
    bool verified = inMemory ? matches(dataPath, digestBytes(bytes, manifest_ != nullptr),
                                       file.zipSize, file.versionKey, expected, true)
                             : verifyData(dataPath, file.zipSize, file.versionKey, expected, true,
                                          std::move(streamed), data);
    if (!verified && expected != nullptr) {
        // Fetched again into the data file: what was in memory or open is no longer it.
        if (data != nullptr) {
            static_cast<void>(data->close());  // the fetch writes the file anew
        }
        verified = refetch(dataPath, remotePath, file.zipSize, file.versionKey, *expected);
        bytes.clear();
        data = nullptr;
    }
    if (!verified && manifest_ != nullptr) {
        reporter_.postText(expected == nullptr ? kTextNotInManifest : kTextManifestMismatch,
                           platform::utf8ToWide(remotePath));
    }
    const Prepared refused{true, {}, {}};
    if (!verified || (file.type != kTypeLoose && file.type != kTypePackMember)) {
        // A pack member's block index says every block is in: kept, the next resume would
        // take the same wrong bytes again.
        File::deleteFile(dataPath);
        File::deleteFile(indexPath);
        return refused;
    }
    if (file.type == kTypeLoose) {
        return prepareLoose(file, dataPath, indexPath, data, std::move(bytes));
    }
    if (!bytes.empty() && !writeNewFile(dataPath, bytes.data(), bytes.size())) {
        logW_m1(u"写入 '%s' 失败", dataPath);
        writeFailures_.fetch_add(1, std::memory_order_acq_rel);
        File::deleteFile(dataPath);
        return refused;
    }
    Prepared prepared;
    prepared.durable.push_back(dataPath);
    prepared.finish = [this, firstName = file.firstName, localPath = file.localPath, dataPath,
                       indexPath](bool synced) {
        // Not synced: the writer counts the failure. A staged file is checked against its
        // checksum whenever it is used, so its rename needs no sync of its own.
        if (!synced) {
            return false;
        }
        if (!File::replace(dataPath, localPath)) {
            logW_m1(u"写入 '%s' 失败", localPath);
            writeFailures_.fetch_add(1, std::memory_order_acq_rel);
            return false;
        }
        File::deleteFile(indexPath);
        packItemDone(firstName, false);
        return true;
    };
    return prepared;
}

FileCompletion::Prepared FileChecks::prepareLoose(const DownloadFile& file,
                                                  const std::u16string& dataPath,
                                                  const std::u16string& indexPath,
                                                  platform::NativeFile* data,
                                                  std::vector<uint8_t> bytes) {
    uint32_t expected = 0;
    const bool known = expectedContent(file.localPath, expected);
    const Prepared refused{true, {}, {}};
    const auto refuse = [&] {
        File::deleteFile(dataPath);
        File::deleteFile(indexPath);
        return refused;
    };
    // A write that fails (a full disk) is told apart from data that fails its check.
    const auto writeFailed = [&](const std::u16string& path) {
        logW_m1(u"写入 '%s' 失败", path);
        writeFailures_.fetch_add(1, std::memory_order_acq_rel);
        return refuse();
    };
    std::u16string ready;  // the file's final bytes, to be renamed over it
    if (file.zipSize == file.size) {
        // Stored: the data is the file itself.
        if (known && file.versionKey != expected) {
            logW_0(u"验证:‘%s’文件失败[tmp:%x zip:%x]", file.localPath, file.versionKey, expected);
            return refuse();
        }
        if (!bytes.empty() && !writeNewFile(dataPath, bytes.data(), bytes.size())) {
            return writeFailed(dataPath);
        }
        ready = dataPath;
    } else {
        ready = file.localPath + kInflateSuffix;
        uint32_t crc = 0;
        if (file.zipSize <= kWholeInMemory && file.size <= kWholeInMemory) {
            // Whole in memory: one read (none when the writer kept it), one inflate.
            platform::NativeFile own;
            if (bytes.empty() && data == nullptr && !own.open(dataPath, 0)) {
                logW_0(u"打开 '%s' 失败", dataPath);
                return refuse();
            }
            if (bytes.empty() && !readWhole(data != nullptr ? *data : own, file.zipSize, bytes)) {
                logW_0(u"打开 '%s' 失败", dataPath);
                return refuse();
            }
            std::vector<uint8_t> out(file.size);
            if (!inflateWhole(bytes, out)) {
                logW_0(u"解压 '%s' 失败", dataPath);
                return refuse();
            }
            crc = checksumUpdate(kChecksumStart, out.data(), out.size());
            if (known && crc != expected) {
                logW_0(u"验证:‘%s’文件失败[tmp:%x zip:%x]", file.localPath, crc, expected);
                return refuse();
            }
            if (!writeNewFile(ready, out.data(), out.size())) {
                File::deleteFile(ready);
                return writeFailed(dataPath);
            }
        } else {
            // Streamed (logged there when it fails); synced with the others later.
            if (unpackFile(dataPath, ready, true, file.size, false, crc) != UnpackError::kNone) {
                writeFailures_.fetch_add(1, std::memory_order_acq_rel);
                return refuse();
            }
            if (known && crc != expected) {
                logW_0(u"验证:‘%s’文件失败[tmp:%x zip:%x]", file.localPath, crc, expected);
                File::deleteFile(ready);
                return refuse();
            }
        }
    }
    Prepared prepared;
    prepared.durable.push_back(ready);
    prepared.finish = [this, localPath = file.localPath, dataPath, indexPath, ready](bool synced) {
        // Not synced: the writer counts the failure.
        const bool installed = synced && putInPlace(ready, localPath, true);
        if (!installed) {
            File::deleteFile(ready);
            logW_m1(u"写入 '%s' 失败", dataPath);
            if (synced) {
                writeFailures_.fetch_add(1, std::memory_order_acq_rel);
            }
        }
        File::deleteFile(dataPath);
        File::deleteFile(indexPath);
        return installed;
    };
    return prepared;
}

bool FileChecks::completeNow(const DownloadFile& file) {
    Prepared prepared = prepareFile(file, nullptr, {});
    if (prepared.refused) {
        return false;
    }
    bool synced = true;
    for (const std::u16string& path : prepared.durable) {
        synced = static_cast<bool>(platform::syncFile(path)) && synced;
    }
    if (!synced) {
        writeFailures_.fetch_add(1, std::memory_order_acq_rel);  // no writer here to count it
    }
    // No batch sync follows here: the rename reaches the disk with its folder now.
    const bool installed = prepared.finish(synced);
    if (installed && !platform::syncParentDirectory(file.localPath)) {
        logW_m1(u"写入 '%s' 失败", file.localPath);
        writeFailures_.fetch_add(1, std::memory_order_acq_rel);
        return false;
    }
    return installed;
}

}  // namespace lume
