#include "transfer/DiskCommit.h"

#include "engine/Kernel/Logger.h"

namespace lume {

DiskCommit::DiskCommit() {
    setName("file sync thread");
}

DiskCommit::~DiskCommit() {
    finish();
}

void DiskCommit::add(Entry entry) {
    {
        Lock lock(this);
        queue_.push_back(std::move(entry));
    }
    wake();
}

size_t DiskCommit::pending() const {
    Lock lock(this);
    return queue_.size() + running_;
}

void DiskCommit::finish() {
    // The thread runs what is left before it ends; without a thread this one does.
    stopAndJoin();
    while (true) {
        {
            Lock lock(this);
            if (queue_.empty()) {
                break;
            }
        }
        runBatch();
    }
    if (stepsSinceSync_) {
        // The renames of the last steps: their folders' entries reach the disk too.
        if (!platform::syncFileSystem(u".")) {
            logA_m1("sync of the game directory failed");
        }
        systemSyncs_.fetch_add(1, std::memory_order_acq_rel);
        stepsSinceSync_ = false;
    }
}

void DiskCommit::run() {
    while (!isStopped()) {
        const uint64_t seen = wakeCount();
        size_t queued = 0;
        {
            Lock lock(this);
            queued = queue_.size();
        }
        if (queued == 0) {
            idleWait(seen, kIdleWaitLimit);
            continue;
        }
        // Others may join this sync: wait a little unless the batch is full already.
        if (queued < kBatch) {
            const auto deadline = WakeSignal::Clock::now() + kGather;
            while (!isStopped() && WakeSignal::Clock::now() < deadline) {
                const uint64_t now = wakeCount();
                {
                    Lock lock(this);
                    if (queue_.size() >= kBatch) {
                        break;
                    }
                }
                idleWait(now, std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - WakeSignal::Clock::now()) +
                                  std::chrono::milliseconds(1));
            }
        }
        runBatch();
    }
    // Stopping: what is queued still runs (finish does it on the owner's thread).
}

void DiskCommit::runBatch() {
    std::vector<Entry> batch;
    {
        Lock lock(this);
        while (!queue_.empty() && batch.size() < kBatch) {
            batch.push_back(std::move(queue_.front()));
            queue_.pop_front();
        }
        running_ = batch.size();
    }
    const bool synced = sync(batch);
    for (Entry& entry : batch) {
        if (entry.then) {
            entry.then(synced);
        }
    }
    stepsSinceSync_ = stepsSinceSync_ || !batch.empty();
    Lock lock(this);
    running_ = 0;
}

bool DiskCommit::sync(const std::vector<Entry>& batch) {
    size_t files = 0;
    for (const Entry& entry : batch) {
        files += entry.paths.size();
    }
    if (files == 0) {
        return true;
    }
    stepsSinceSync_ = false;
    if (files > kFewFiles) {
        systemSyncs_.fetch_add(1, std::memory_order_acq_rel);
        if (!platform::syncFileSystem(u".")) {
            logA_m1("sync of the game directory failed");
            return false;
        }
        return true;
    }
    bool synced = true;
    for (const Entry& entry : batch) {
        for (const std::u16string& path : entry.paths) {
            fileSyncs_.fetch_add(1, std::memory_order_acq_rel);
            if (!platform::syncFile(path)) {
                logW_m1(u"sync of '%s' failed", path);
                synced = false;
            }
        }
    }
    return synced;
}

}  // namespace lume
