#include "update/UpdateThread.h"

#include <chrono>
#include <deque>

#include "engine/FileSystem/File.h"
#include "engine/FileSystem/MakeFileWritter.h"
#include "engine/Kernel/Logger.h"
#include "engine/Kernel/Reporter.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "transfer/FileWritter.h"
#include "transfer/HttpDownloader.h"
#include "update/FileListDownloader.h"
#include "update/ListFetch.h"
#include "update/Messages.h"
#include "update/ReleaseGate.h"

#include <algorithm>

namespace lume {

namespace {

constexpr char16_t kCacheDirectory[] = u"data\\cache";

constexpr char16_t kFileListName[] = u"flist.xml";
// Room kept for what the run writes besides its files: lists, logs, the folders' entries.
constexpr uint64_t kDiskMargin = 1 << 20;

}  // namespace

UpdateThread::UpdateThread(Reporter& reporter, TransferSettings settings)
    : reporter_(reporter),
      settings_(settings),
      gate_(std::make_unique<ReleaseGate>(reporter)),
      fileList_(std::make_unique<FileListDownloader>(&reporter)),
      packWriter_(std::make_unique<MakeFileWritter>()),
      checks_(std::make_unique<FileChecks>(*packWriter_, reporter)),
      fileWriter_(std::make_unique<FileWritter>(checks_.get())),
      downloader_(std::make_unique<HttpDownloader>(fileWriter_.get())) {
    // The download thread stops reading while the writer is full; the writer says when it
    // has room again.
    fileWriter_->setRoomListener([this] { downloader_->nudge(); });
    gate_->setTransferSettings(settings_);
    fileList_->setTransferSettings(settings_);
    checks_->setTransferSettings(settings_);
    setName("download flist.xml thread");
    // A stop (the window closing) cuts a list download short instead of waiting for it.
    auto stopping = [this] { return isStopped(); };
    gate_->setStopping(stopping);
    fileList_->setStopping(stopping);
    checks_->setStopping(stopping);
}

UpdateThread::~UpdateThread() {
    withdrawInstance();
    // The run sees the stop at its next step and still posts its summary; finishing the
    // download threads first cuts their transfers short.
    requestStop();
    downloader_->finish();
    checks_->cancel();
    stopAndJoin();
    // The download thread delivers to the file writer, which completes files into the
    // checks, which hand packs to the pack writer: each stops before what it feeds. The
    // writer wakes the download thread, so both threads end before either object goes.
    downloader_->requestStop();
    downloader_->stopAndJoin();
    fileWriter_->finish();
    packWriter_->stopAndJoin();
    downloader_.reset();
    fileWriter_.reset();
    checks_.reset();
    packWriter_.reset();
    fileList_.reset();
}

void UpdateThread::post(uint32_t message, uint32_t wParam, uint32_t lParam) {
    reporter_.post(message, wParam, lParam);
}

bool UpdateThread::beginUpdate(const std::string& host, const std::string& path,
                               const std::string& backHost, const std::string& backPath,
                               uint8_t force) {
    bool idle = false;
    if (!busy_.compare_exchange_strong(idle, true, std::memory_order_acq_rel)) {
        logA_m1("update from http://%s%s refused: an update is running", host, path);
        return false;
    }
    // The thread of the previous update has finished its run (it cleared busy_ last).
    stopAndJoin();
    addresses_ = UpdateAddresses{host, path, backHost, backPath, force != 0};
    listUrl_ = releaseUrl(host, path, kFileListName);
    releaseBase_ = releaseBase(host, path);
    // The mirror is the second address when there is one; without it the primary address
    // is simply tried twice.
    backListUrl_ = backHost.empty() ? listUrl_ : releaseUrl(backHost, backPath, kFileListName);
    backReleaseBase_ = backHost.empty() ? releaseBase_ : releaseBase(backHost, backPath);
    logA_m1("path:%s%s", host, path);
    logA_m1("back path:%s%s", backHost, backPath);
    post(kMsgFileList, 1, 0);
    // The pack writer of the previous update was only asked to stop.
    packWriter_->stopAndJoin();
    if (!fileWriter_->start() || !packWriter_->start()) {
        abandonStart();
        return false;
    }
    setName("download flist.xml thread");
    if (!start()) {
        abandonStart();
        return false;
    }
    return true;
}

void UpdateThread::stopUpdate() {
    if (!updating()) {
        return;
    }
    logW_m1(u"更新被停止");
    // The run sees the stop within one progress step and ends the transfers itself.
    requestStop();
}

void UpdateThread::abandonStart() {
    logA_m1("the update could not start its threads");
    fileWriter_->finish();
    packWriter_->stopAndJoin();
    busy_.store(false, std::memory_order_release);
}

void UpdateThread::run() {
    logW_m1(u"开始更新");
    reporter_.noteDiskShortfall(0, 0);
    uint32_t failures = 0;
    uint32_t verifyFailures = 0;
    const bool admitted = passReleaseGate(failures, verifyFailures);
    checks_->begin(addresses_, gate_->manifest());
    checks_->setStopCheck([this] { return isStopped(); });
    if (!admitted) {
        // Nothing of an unaccepted release is fetched, let alone installed.
        endRun(failures, verifyFailures, 0);
        return;
    }
    failures += fetchFileList(verifyFailures);
    failures += runHeaderTasks(verifyFailures);
    if (verifyFailures != 0) {
        // Lists that differ from the signed manifest: the release is not what its operator
        // published, and nothing of it is downloaded.
        logW_m1(u"文件列表与发布清单不符,不下载数据");
        checks_->reset();
    }
    // Nothing is fetched that could not be stored.
    const uint32_t writeFailures = !isStopped() && !enoughDiskSpace() ? 1 : 0;
    uint32_t blockCount = 0;
    if (writeFailures == 0) {
        blockCount = handOutBlocks(failures);
        if (!isStopped()) {
            failures = waitForDownloads(blockCount, failures);
        }
    }
    // A stop counts the work left undone, and at least two, so that the summary never
    // reads as success nor as a failed file list.
    if (isStopped()) {
        failures += std::max<uint32_t>(2, workLeft(blockCount));
    }
    endRun(failures, verifyFailures, writeFailures);
}

bool UpdateThread::enoughDiskSpace() {
    const uint64_t needed = checks_->bytesToWrite();
    if (needed == 0) {
        return true;
    }
    uint64_t available = 0;
    if (!platform::freeDiskSpace(u".", available)) {
        return true;  // unknown: the writes will tell
    }
    if (needed + kDiskMargin <= available) {
        return true;
    }
    reporter_.noteDiskShortfall(needed + kDiskMargin, available);
    logW_m1(u"磁盘空间不足: 更新需要%s, 剩余%s", byteSizeText(needed + kDiskMargin),
            byteSizeText(available));
    reporter_.postText(u"%s", diskFullText(needed + kDiskMargin, available));
    return false;
}

uint32_t UpdateThread::workLeft(uint32_t blockCount) const {
    const uint32_t stored = fileWriter_->written() + fileWriter_->failed();
    const uint32_t merged = packWriter_->succeededCount() + packWriter_->failedCount();
    const auto packs = static_cast<uint32_t>(checks_->pendingPacks());
    return (blockCount > stored ? blockCount - stored : 0) + (packs > merged ? packs - merged : 0);
}

bool UpdateThread::passReleaseGate(uint32_t& failures, uint32_t& verifyFailures) {
    switch (gate_->check(releaseBase_, backReleaseBase_)) {
        case ReleaseGate::Verdict::kUnverified:
        case ReleaseGate::Verdict::kAccepted:
            return true;
        case ReleaseGate::Verdict::kUnreachable:
            failures = 1;  // as for an unreachable flist.xml
            return false;
        case ReleaseGate::Verdict::kRefused:
            verifyFailures = 1;
            return false;
    }
    return false;
}

uint32_t UpdateThread::fetchFileList(uint32_t& verifyFailures) {
    const ReleaseManifest* manifest = gate_->manifest();
    const ListCheck check = [this, manifest](std::string_view bytes) {
        return matchesManifest(manifest, "flist.xml", bytes, &reporter_);
    };
    // The checks run while the list is parsed.
    bool listed = false;
    for (int attempt = 0; attempt < kListAttempts && !listed && !isStopped(); ++attempt) {
        listed = fileList_->download(listUrl_, backListUrl_, *checks_, check);
    }
    uint32_t failures = 0;
    if (!listed) {
        logA_m1("下载flist.xml失败");
        if (fileList_->unverified()) {
            verifyFailures += 1;
        } else {
            failures = 1;
        }
    }
    verifyFailures += checks_->verifyFailures();
    return failures + checks_->failures();
}

uint32_t UpdateThread::runHeaderTasks(uint32_t& verifyFailures) {
    std::vector<HeaderTask>& tasks = checks_->headerTasks();
    if (tasks.empty()) {
        return 0;
    }
    logA_m1("请求%d个文件头", tasks.size());
    uint32_t failures = 0;
    const auto count = static_cast<uint32_t>(tasks.size());
    for (uint32_t i = 0; i < count; ++i) {
        if (isStopped()) {
            break;
        }
        bool handled = false;
        for (int attempt = 0; attempt < kHeaderAttempts && !handled; ++attempt) {
            handled = checks_->processHeaderTask(tasks[i]);
        }
        if (!handled) {
            if (checks_->lastHeaderUnverified()) {
                ++verifyFailures;
            } else {
                ++failures;
            }
        }
        post(kMsgPhaseProgress, count, i);
    }
    tasks.clear();
    File::deleteTree(kCacheDirectory);
    return failures;
}

uint32_t UpdateThread::handOutBlocks(uint32_t& failures) {
    std::vector<Block>& blocks = checks_->blockRequests();
    const auto blockCount = static_cast<uint32_t>(blocks.size());
    logA_m1("请求%d个数据块", blockCount);
    // Hosts carry their paths, so that a block's second URL is on the mirror's own path:
    // "http://" (or the host's "https://") + host + path + "/" + folder + "/" + name.
    const bool started =
        blockCount == 0 ||
        downloader_->begin(
            addresses_.host + addresses_.path,
            addresses_.backHost.empty() ? std::string() : addresses_.backHost + addresses_.backPath,
            settings_);
    uint32_t handedOut = 0;
    for (uint32_t i = 0; i < blockCount; ++i) {
        post(kMsgPhaseProgress, blockCount, i);
        if (isStopped()) {
            break;
        }
        if (!started) {
            reporter_.postText(u"没有找到合适的下载线程!");
            ++failures;
            continue;
        }
        ++handedOut;
    }
    blocks.resize(handedOut);
    downloader_->addBlocks(blocks);
    blocks.clear();
    post(kMsgBlocksHandedOut, blockCount, blockCount);
    return blockCount;
}

uint32_t UpdateThread::waitForDownloads(uint32_t blockCount, uint32_t failures) {
    // Every block counts once downloaded and once written, every pending pack once at the
    // start and once merged. The speed is the bytes received over the last two seconds.
    using Clock = std::chrono::steady_clock;
    std::deque<std::pair<Clock::time_point, uint64_t>> samples;
    while (failures == 0) {
        const Clock::time_point now = Clock::now();
        samples.emplace_back(now, downloader_->bytesReceived());
        while (samples.size() > 2 && now - samples[1].first >= std::chrono::seconds(2)) {
            samples.pop_front();
        }
        const double seconds = std::chrono::duration<double>(now - samples.front().first).count();
        rate_.store(
            seconds > 0
                ? static_cast<uint64_t>(
                      static_cast<double>(samples.back().second - samples.front().second) / seconds)
                : 0,
            std::memory_order_release);
        const uint32_t failed = downloader_->failureCount();
        const uint32_t done = downloader_->successCount() + failed;
        failures += failed;
        const uint32_t written = fileWriter_->written() + fileWriter_->failed();
        const uint32_t packed = packWriter_->succeededCount() + packWriter_->failedCount();
        const auto packs = static_cast<uint32_t>(checks_->pendingPacks());
        // Files whose blocks are all in are still being installed until installing is 0.
        if (done >= blockCount && written >= blockCount && fileWriter_->installing() == 0 &&
            (packed >= packs || fileWriter_->unfinished() > 0 || fileWriter_->failed() > 0)) {
            break;
        }
        post(kMsgProgress, packs + blockCount,
             (((written + packed) & 0xFFFF) << 16) | ((packs + done) & 0xFFFF));
        if (waitForStop(std::chrono::milliseconds(kWaitStepMs))) {
            break;
        }
    }
    return failures;
}

void UpdateThread::endRun(uint32_t failures, uint32_t verifyFailures, uint32_t writeFailures) {
    downloader_->finish();
    rate_.store(0, std::memory_order_release);
    // A data file still being fetched again belongs to a run that has ended.
    checks_->cancel();
    const uint32_t mustCount = fileList_->mustCount();
    uint32_t unfinished = verifyFailures;
    writeFailures += checks_->writeFailures();
    // The writer records what it stored and installs what is complete before its counts are
    // final.
    fileWriter_->finish();
    unfinished += fileWriter_->unfinished();
    writeFailures += fileWriter_->failed();
    if (!packWriter_->isStopped()) {
        writeFailures += packWriter_->failedCount();
        // The merged packs reach the disk now, most of their bytes already with the sync
        // the file writer has just made.
        if (packWriter_->pending() == 0) {
            writeFailures += packWriter_->settle();
        }
        packWriter_->requestStop();
    }

    // Writes that failed on a disk with (next to) no room left: the player is told so, and
    // how much the update needs.
    uint64_t available = 0;
    if (writeFailures != 0 && reporter_.diskShortfall().needed == 0 &&
        platform::freeDiskSpace(u".", available)) {
        const uint64_t needed = checks_->bytesToWrite() + kDiskMargin;
        if (available < needed || available < kDiskMargin) {
            reporter_.noteDiskShortfall(needed, available);
            logW_m1(u"磁盘空间不足: 更新需要%s, 剩余%s", byteSizeText(needed),
                    byteSizeText(available));
        }
    }

    // Ready for the next update.
    checks_->reset();
    fileList_->reset();
    if (!isStopped()) {
        requestStop();
    }

    post(kMsgWriteFailed, writeFailures, 0);
    logW_1(u"更新完毕\n");
    // A window that starts the next update on the summary must not be refused.
    busy_.store(false, std::memory_order_release);
    post(kMsgUpdateResult, packUpdateResultW(failures, mustCount),
         packUpdateResultL(writeFailures, unfinished));
}

}  // namespace lume
