#include "transfer/HttpDownloader.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "engine/Kernel/Logger.h"
#include "platform/Text.h"
#include "transfer/BlockSink.h"
#include "transfer/FileType.h"
#include "transfer/Https.h"

namespace lume {
namespace {

std::string hexSuffix(uint32_t versionKey) {
    char text[16];
    std::snprintf(text, sizeof text, ".%x", static_cast<unsigned>(versionKey));
    return text;
}

}  // namespace

HttpDownloader::HttpDownloader(std::string primaryHost, std::string backupHost,
                               std::string basePath, BlockSink* sink, DownloadTuning tuning)
    : sink_(sink),
      tuning_(tuning),
      primaryHost_(std::move(primaryHost)),
      backupHost_(std::move(backupHost)),
      basePath_(std::move(basePath)) {
    transfer_.setLowSpeedTime(tuning_.lowSpeedTime);
    // A stop, or the end of the update the block belongs to, cuts its transfer short
    // instead of waiting for it (up to the low-speed limit for a stalled server).
    transfer_.setProgressHook(
        [this](double, double) { return isStopped() || !current(fetching_) ? 1 : 0; });
}

HttpDownloader::~HttpDownloader() {
    logA_1("~HttpDownloader '%s'", name());
    requestStop();
    stopAndJoin();
    transfer_.cleanup();
    Lock lock(this);
    queue_.clear();
}

int32_t HttpDownloader::nextTimeOut(int32_t timeOut, int32_t retries) {
    const int64_t product = int64_t{timeOut} * retries;
    return static_cast<int32_t>(std::clamp<int64_t>(product, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

void HttpDownloader::addTask(const std::u16string& firstName, const std::u16string& localPath,
                             uint32_t offset, uint32_t localPosition, uint32_t size, int32_t type,
                             uint32_t blockIndex, uint32_t blockCount, uint32_t passThrough1,
                             uint32_t passThrough2, uint32_t versionKey) {
    const size_t nameAt = localPath.rfind(u'\\');
    const std::u16string fileName =
        nameAt == std::u16string::npos ? localPath : localPath.substr(nameAt + 1);
    if (size == 0 || fileName.empty()) {
        return;
    }
    const std::u16string& source = type == kTypePackMember ? firstName : localPath;
    const size_t folderAt = source.rfind(u'\\');
    std::u16string folder = folderAt == std::u16string::npos ? u"" : source.substr(0, folderAt);
    std::replace(folder.begin(), folder.end(), u'\\', u'/');

    auto task = std::make_unique<BlockTask>();
    task->type = type;
    task->name = platform::wideToNarrow(firstName);
    task->remoteName = platform::wideToNarrow(fileName);
    if (type != kTypePackMember) {
        task->remoteName += ".gzf";
    }
    task->offset = offset;
    task->localPosition = localPosition;
    task->size = size;
    task->blockIndex = blockIndex;
    task->blockCount = blockCount;
    task->retries = 0;
    task->passThrough1 = passThrough1;
    task->passThrough2 = passThrough2;
    task->versionKey = versionKey;
    task->localPath = localPath;
    {
        Lock lock(this);
        task->urlPath = folder.empty() ? basePath_ + "/"
                                       : basePath_ + "/" + platform::wideToNarrow(folder) + "/";
        task->timeOut = timeOut_;
        task->generation = generation_.load(std::memory_order_acquire);
        queue_.push_back(std::move(task));
    }
    wake();
}

std::unique_ptr<BlockTask> HttpDownloader::popTask() {
    Lock lock(this);
    if (queue_.empty()) {
        return nullptr;
    }
    std::unique_ptr<BlockTask> task = std::move(queue_.front());
    queue_.pop_front();
    return task;
}

bool HttpDownloader::fetch(BlockTask& task) {
    std::string primary;
    std::string backup;
    {
        Lock lock(this);
        primary = primaryHost_;
        backup = backupHost_.empty() ? primaryHost_ : backupHost_;
    }
    std::string tail = task.urlPath + task.remoteName;
    std::replace(tail.begin(), tail.end(), '\\', '/');
    tail += hexSuffix(task.versionKey);
    const std::string urls[2] = {serverUrl(primary) + tail, serverUrl(backup) + tail};
    for (const std::string& url : urls) {
        if (isStopped() || !current(task.generation)) {
            return false;
        }
        // A fresh buffer per attempt: a failed attempt may have left part of a body behind.
        auto buffer = std::make_unique<File>();
        if (!buffer->openMemory(task.size)) {
            return false;
        }
        if (transfer_.downloadRange(platform::narrowToWide(url), *buffer, task.offset, task.size,
                                    task.timeOut)) {
            task.buffer = std::move(buffer);
            return true;
        }
    }
    return false;
}

void HttpDownloader::run() {
    while (!isStopped()) {
        const uint64_t seen = wakeCount();
        std::unique_ptr<BlockTask> task = popTask();
        if (!task) {
            idleWait(seen, kIdleWaitLimit);
            return;
        }
        fetching_ = task->generation;
        const bool fetched = fetch(*task);
        if (isStopped()) {
            break;  // dropped, neither counted nor delivered
        }
        if (settle(std::move(task), fetched)) {
            // The failed block waits at the back of the queue; the thread pauses before its
            // next attempt, without holding the queue.
            waitForStop(std::chrono::milliseconds(tuning_.retryPauseMs));
        }
    }
}

bool HttpDownloader::settle(std::unique_ptr<BlockTask> task, bool fetched) {
    Lock lock(this);
    if (!current(task->generation)) {
        return false;  // its update has finished meanwhile
    }
    if (fetched) {
        success_.fetch_add(1, std::memory_order_acq_rel);
        if (sink_ != nullptr) {
            sink_->onBlockDownloaded(*task);
        }
        return false;
    }
    if (task->retries < retryTimes_) {
        task->retries += 1;
        task->timeOut = nextTimeOut(task->timeOut, task->retries);
        queue_.push_back(std::move(task));
        return true;
    }
    logA_0("数据块下载失败 %s offset:%d size:%d %d/%d retry:%d time:%d", task->remoteName,
           task->offset, task->size, task->blockIndex, task->blockCount, task->retries,
           task->timeOut);
    failure_.fetch_add(1, std::memory_order_acq_rel);
    return false;
}

void HttpDownloader::finish() {
    Lock lock(this);
    timeOut_ = 0;
    retryTimes_ = 0;
    primaryHost_.clear();
    backupHost_.clear();
    basePath_.clear();
    generation_.fetch_add(1, std::memory_order_acq_rel);
    queue_.clear();
    idle_ = true;
    const uint32_t success = success_.load(std::memory_order_acquire);
    const uint32_t failure = failure_.load(std::memory_order_acquire);
    logA_m1("http下载器:%d 成功:%d 失败:%d", success + failure, success, failure);
    success_.store(0, std::memory_order_release);
    failure_.store(0, std::memory_order_release);
}

void HttpDownloader::reuse(const std::string& primaryHost, const std::string& backupHost,
                           const std::string& basePath, int32_t timeOut, int32_t retryTimes) {
    Lock lock(this);
    primaryHost_ = primaryHost;
    backupHost_ = backupHost;
    basePath_ = basePath;
    timeOut_ = timeOut;
    retryTimes_ = retryTimes;
    success_.store(0, std::memory_order_release);
    failure_.store(0, std::memory_order_release);
    idle_ = false;
}

void HttpDownloader::setLimits(int32_t timeOut, int32_t retryTimes) {
    Lock lock(this);
    timeOut_ = timeOut;
    retryTimes_ = retryTimes;
}

bool HttpDownloader::idle() const {
    Lock lock(this);
    return idle_;
}

size_t HttpDownloader::queueSize() const {
    Lock lock(this);
    return queue_.size();
}

}  // namespace lume
