#include "update/SPThread.h"

#include "engine/FileSystem/File.h"
#include "engine/FileSystem/FileChecksum.h"
#include "engine/FileSystem/InstallFile.h"
#include "engine/FileSystem/MakeFileWritter.h"
#include "engine/FileSystem/PackOperations.h"
#include "engine/FileSystem/PackPatchList.h"
#include "engine/Kernel/Logger.h"
#include "engine/Kernel/Reporter.h"
#include "platform/PeVersion.h"
#include "transfer/FileType.h"
#include "transfer/FileWritter.h"
#include "update/FileChecks.h"

namespace lume {

namespace {

// Already what the list says: a file applied before is not written again.
bool holds(const std::u16string& path, uint32_t size, uint32_t crc) {
    File file;
    return file.open(path, 0) && file.size() == size && fileChecksum(file) == crc;
}

bool indexMatches(const std::u16string& pack, uint32_t crc) {
    File file;
    PackHeader header;
    uint32_t got = 0;
    return file.open(pack, 0) && file.read(&header, sizeof header, &got) && got == sizeof header &&
           header.magic == kPackMagic && header.version == kPackVersion && header.indexCrc == crc;
}

// A launcher file is replaced only by a program of a higher file version.
bool newerProgram(const std::u16string& fresh, const std::u16string& installed) {
    const auto freshVersion = platform::readFileVersion(fresh);
    const auto installedVersion = platform::readFileVersion(installed);
    return freshVersion && installedVersion && *freshVersion > *installedVersion;
}

}  // namespace

SPThread::SPThread(Reporter& reporter)
    : reporter_(reporter), packWriter_(std::make_unique<MakeFileWritter>()) {
    setName("SPThread thread");
}

SPThread::~SPThread() {
    withdrawInstance();
    stopAndJoin();
    packWriter_->stopAndJoin();
}

bool SPThread::start(const std::u16string& listName, const std::u16string& patchDir,
                     const std::u16string& gameDir) {
    bool idle = false;
    if (!busy_.compare_exchange_strong(idle, true, std::memory_order_acq_rel)) {
        logW_m1(u"补丁%s被拒绝: 上一个补丁还在进行", patchDir);
        return false;
    }
    // The thread of the previous pass has finished it (it cleared busy_ last), and so has
    // its pack writer, which was only asked to stop.
    stopAndJoin();
    packWriter_->stopAndJoin();
    listName_ = listName;
    patchDir_ = patchDir;
    if (!patchDir_.empty() && patchDir_.back() != u'\\' && patchDir_.back() != u'/') {
        patchDir_ += u'\\';
    }
    gameDir_ = gameDir;
    packs_.clear();
    staging_.clear();
    seen_.clear();
    failures_ = 0;
    setName("SPThread thread");
    if (!packWriter_->start() || !luThread::start()) {
        logA_m1("the patch could not start its threads");
        packWriter_->stopAndJoin();
        busy_.store(false, std::memory_order_release);
        return false;
    }
    return true;
}

void SPThread::run() {
    logW_m1(u"开始补丁:%s%s", patchDir_, listName_);
    list_.reset();
    const bool listed = list_.parseFile(patchDir_ + listName_, false);
    if (!listed) {
        logW_m1(u"解析补丁文件列表%s%s失败", patchDir_, listName_);
        fail(patchDir_ + listName_);
    }
    size_t left = list_.regularList().size() + list_.mustList().size();
    for (const auto* entries : {&list_.regularList(), &list_.mustList()}) {
        const bool must = entries == &list_.mustList();
        for (const FileListEntry& entry : *entries) {
            if (isStopped()) {
                break;
            }
            --left;
            if (entry.isPack()) {
                applyPack(entry);
            } else {
                installFile(entry, must);
            }
        }
    }
    const uint32_t done = waitForPacks();
    const auto total = static_cast<uint32_t>(packs_.size());
    uint32_t failures = failures_ + packWriter_->failedCount();
    if (packWriter_->pending() == 0) {
        failures += packWriter_->settle();
    }
    if (left != 0 || done < total) {
        logW_m1(u"补丁被中断");
        failures += static_cast<uint32_t>(left) + (total - done);
    }
    packWriter_->requestStop();
    packs_.clear();
    list_.reset();
    subList_.reset();
    if (!isStopped()) {
        requestStop();  // one pass per start
    }
    logW_m1(u"补丁结束, 失败:%d", failures);
    // A caller that starts the next pass on the end message must not be refused.
    busy_.store(false, std::memory_order_release);
    reporter_.post(kMsgWriteFailed, failures, 0);
    reporter_.post(kMsgPatchDone, failures, failures);
}

uint32_t SPThread::waitForPacks() {
    const auto total = static_cast<uint32_t>(packs_.size());
    while (true) {
        const uint32_t done = packWriter_->succeededCount() + packWriter_->failedCount();
        if (done >= total) {
            return done;
        }
        reporter_.post(kMsgPatchProgress, done, total);
        if (waitForStop(std::chrono::milliseconds(kWaitStepMs))) {
            return packWriter_->succeededCount() + packWriter_->failedCount();
        }
    }
}

bool SPThread::admit(const FileListEntry& entry, std::u16string& path) {
    if (!containedLocalPath(entry, path)) {
        logW_m1(u"文件列表中的'%s'不在游戏目录中,不更新", path);
        fail(path);
        return false;
    }
    if (!seen_.insert(path).second) {
        logW_m1(u"文件列表中的'%s'重复出现,不更新", path);
        fail(path);
        return false;
    }
    return true;
}

std::u16string SPThread::inGame(const std::u16string& path) const {
    if (gameDir_.empty()) {
        return path;
    }
    const bool separated = gameDir_.back() == u'\\' || gameDir_.back() == u'/';
    return gameDir_ + (separated ? u"" : u"\\") + path;
}

void SPThread::fail(const std::u16string& what) {
    ++failures_;
    logW_m1(u"补丁失败:%s", what);
    reporter_.postText(u"补丁失败:%s", what);
}

void SPThread::installFile(const FileListEntry& entry, bool must) {
    std::u16string path;
    if (!admit(entry, path)) {
        return;
    }
    const std::u16string target = inGame(path);
    reporter_.postText(u"补丁:%s", target);
    // An online download of the file is abandoned: the patch brings it.
    const int32_t type = kTypeLoose;
    File::deleteFile(FileWritter::indexFileName(type, target));
    File::deleteFile(FileWritter::dataFileName(type, target));
    if (holds(target, entry.size, entry.crc)) {
        return;
    }
    const std::u16string source = patchDir_ + path + u".gzf";
    if (!File::isFile(source)) {
        logW_m1(u"补丁中没有'%s'", source);
        fail(target);
        return;
    }
    // Unpacked and checked beside the target, which stays as it is until the new file
    // replaces it in one step.
    const std::u16string temporary = target + FileChecks::kInflateSuffix;
    uint32_t crc = 0;
    if (unpackFile(source, temporary, entry.zip != entry.size, entry.size, true, crc) !=
        UnpackError::kNone) {
        fail(target);
        return;
    }
    if (crc != entry.crc) {
        logW_m1(u"验证:‘%s’文件失败[tmp:%x zip:%x]", source, crc, entry.crc);
        File::deleteFile(temporary);
        fail(target);
        return;
    }
    if (must && File::isFile(target) && !newerProgram(temporary, target)) {
        logW_m1(u"'%s'的文件版本不比已安装的高,保留已安装的", target);
        File::deleteFile(temporary);
        return;
    }
    if (!putInPlace(temporary, target)) {
        logW_m1(u"写入 '%s' 失败", target);
        File::deleteFile(temporary);
        fail(target);
    }
}

void SPThread::applyPack(const FileListEntry& entry) {
    std::u16string path;
    if (!admit(entry, path)) {
        return;
    }
    const std::u16string target = inGame(path);
    reporter_.postText(u"补丁:%s", target);
    if (indexMatches(target, entry.crc)) {
        return;
    }
    // In the patch, the pack's stem is the folder of its members' stored bytes and, with
    // ".fxml", its sub file list; both are looked for inside the patch directory.
    const std::u16string source = patchDir_ + path.substr(0, path.rfind(u'.'));
    if (!File::isDirectory(source)) {
        logW_m1(u"补丁中没有'%s'", source);
        fail(target);
        return;
    }
    for (const int32_t type : {kTypePackPatch, kTypePackBuild}) {
        File::deleteFile(FileWritter::indexFileName(type, target));
        File::deleteFile(FileWritter::dataFileName(type, target));
    }
    const uint32_t mode = File::isFile(target) ? kPackModeMerge : kPackModeBuild;
    const int compared = subList_.load(source + u".fxml", target, false);
    if (compared == SubFileListDownloader::kFailed) {
        logW_m1(u"解析'%s.fxml'失败", source);
        fail(target);
        return;
    }
    if (compared == SubFileListDownloader::kWithdrawn) {
        if (mode == kPackModeMerge && !File::deleteFile(target)) {
            fail(target);
        }
        return;
    }
    // Files the new version no longer has leave the pack, as in the online update.
    if (mode == kPackModeMerge && !subList_.removals().empty() &&
        !removeFileFromPack(target, subList_.removals())) {
        fail(target);
        return;
    }
    if (subList_.downloadItems().empty()) {
        return;
    }
    // Packs of one stem share a staging folder: the earlier one must be merged first.
    if (staging_.count(stagingDirectory(target)) != 0) {
        waitForPacks();
        staging_.clear();
    }
    if (!stageMembers(target, source)) {
        fail(target);
        return;
    }
    queuePack(target, mode, entry.crc);
}

bool SPThread::stageMembers(const std::u16string& pack, const std::u16string& source) {
    const std::u16string staging = stagingDirectory(pack);
    File::deleteTree(staging);
    for (const PackPatchItem& item : subList_.downloadItems()) {
        if (item.zipSize == 0) {
            continue;  // nothing stored, nothing to stage
        }
        const std::u16string from = formatW(u"%s\\%x.gzf", source, item.nameKey);
        uint32_t crc = 0;
        // Staged bytes are copied into the pack at once; a crash before stages them again.
        if (unpackFile(from, stagedFilePath(pack, item.nameKey), false, item.zipSize, false, crc) !=
                UnpackError::kNone ||
            crc != item.dataCrc) {
            logW_m1(u"补丁中'%s'的数据不对", from);
            File::deleteTree(staging);
            return false;
        }
    }
    return true;
}

void SPThread::queuePack(const std::u16string& pack, uint32_t mode, uint32_t id) {
    PackPatchList list;
    list.items = subList_.downloadItems();
    list.header.listId = id;
    list.header.itemCount = static_cast<uint32_t>(list.items.size());
    list.header.mode = mode;
    // The pack modes are the file types of a pack's own temporary files.
    const auto type = static_cast<int32_t>(mode);
    const std::u16string listPath = FileWritter::indexFileName(type, pack);
    if (!list.save(listPath)) {
        logW_0(u"打开临时文件准备写入失败:%s", listPath);
        File::deleteTree(stagingDirectory(pack));
        fail(pack);
        return;
    }
    PackPatchListHeader& queued = packs_[pack];
    queued = list.header;
    queued.doneCount += 1;  // tasks queued for the pack
    staging_.insert(stagingDirectory(pack));
    packWriter_->enqueue(pack, FileWritter::dataFileName(type, pack), listPath, id, mode);
}

}  // namespace lume
