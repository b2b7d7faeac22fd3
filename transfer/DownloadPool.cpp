#include "transfer/DownloadPool.h"

#include "engine/Kernel/Format.h"
#include "engine/Kernel/Logger.h"

namespace lume {

DownloadPool::DownloadPool(BlockSink* sink, DownloadTuning tuning) : sink_(sink), tuning_(tuning) {}

DownloadPool::~DownloadPool() {
    Lock lock(this);
    // Every thread is asked first, so their transfers wind down together.
    for (auto& thread : threads_) {
        thread->requestStop();
    }
    threads_.clear();
}

void DownloadPool::setAddresses(const std::string& primaryHost, const std::string& backupHost,
                                const std::string& basePath) {
    Lock lock(this);
    primaryHost_ = primaryHost;
    backupHost_ = backupHost;
    basePath_ = basePath;
}

HttpDownloader* DownloadPool::getDownloadThread(int32_t timeOut, int32_t retryTimes) {
    Lock lock(this);
    if (threads_.size() < kMaxThreads) {
        auto thread =
            std::make_unique<HttpDownloader>(primaryHost_, backupHost_, basePath_, sink_, tuning_);
        thread->setName(formatA("http download thread %d", threads_.size()));
        thread->setLimits(timeOut, retryTimes);
        logA_m1("BeginDownload timeOut:%d retryTimes:%d", timeOut, retryTimes);
        if (!thread->start(kStackSize)) {
            return nullptr;
        }
        threads_.push_back(std::move(thread));
        return threads_.back().get();
    }
    HttpDownloader* chosen = nullptr;
    size_t shortest = 0;
    for (auto& thread : threads_) {
        const size_t queued = thread->queueSize();
        if (chosen == nullptr || queued <= shortest) {
            chosen = thread.get();
            shortest = queued;
        }
    }
    if (chosen != nullptr && chosen->idle()) {
        // The backup host too: a thread left from an update with other servers would
        // otherwise fall back to the old mirror.
        chosen->reuse(primaryHost_, backupHost_, basePath_, timeOut, retryTimes);
    }
    return chosen;
}

void DownloadPool::finishAll() {
    Lock lock(this);
    for (auto& thread : threads_) {
        thread->finish();
    }
}

size_t DownloadPool::size() const {
    Lock lock(this);
    return threads_.size();
}

HttpDownloader* DownloadPool::thread(size_t index) const {
    Lock lock(this);
    return index < threads_.size() ? threads_[index].get() : nullptr;
}

uint32_t DownloadPool::successTotal() const {
    return total(&HttpDownloader::successCount);
}

uint32_t DownloadPool::failureTotal() const {
    return total(&HttpDownloader::failureCount);
}

uint32_t DownloadPool::total(uint32_t (HttpDownloader::*count)() const) const {
    Lock lock(this);
    uint32_t sum = 0;
    for (const auto& thread : threads_) {
        sum += (thread.get()->*count)();
    }
    return sum;
}

}  // namespace lume
