// A download thread ("http download thread %d"): fetches data blocks by HTTP byte range from
// the primary host, falling back to the backup host, retries failed blocks with a growing
// connect time-out, and hands every fetched block to its BlockSink (the update run, which
// passes it to the file writer). Each thread keeps its own FIFO queue and its own UrlFile.
// Threads are created by the DownloadPool and reused by later updates.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "engine/FileSystem/File.h"
#include "engine/Kernel/Lock.h"
#include "engine/Kernel/luThread.h"
#include "transfer/UrlFile.h"

namespace lume {

class BlockSink;

// One queued block.
struct BlockTask {
    int32_t type = 0;        // FileType: kTypePackMember has no ".gzf" on its remote name
    std::string urlPath;     // URL path up to and including the last "/"
    std::string name;        // the update run's first name for the file (narrow)
    std::string remoteName;  // file name part of the URL, before the version suffix
    uint32_t offset = 0;     // of the block in the remote file
    uint32_t localPosition = 0;
    uint32_t size = 0;
    uint32_t blockIndex = 0;
    uint32_t blockCount = 0;
    int32_t retries = 0;        // failed attempts so far
    int32_t timeOut = 0;        // connect time-out of the next attempt, ms
    uint32_t passThrough1 = 0;  // the file's zip size
    uint32_t passThrough2 = 0;  // the file's size
    uint32_t versionKey = 0;    // written in hex as the URL's suffix
    std::u16string localPath;
    std::unique_ptr<File> buffer;  // the fetched block; null until fetched
    uint32_t generation = 0;       // the update the task belongs to
};

// Timings of the download threads that the tests shorten; the product uses the defaults.
struct DownloadTuning {
    uint32_t retryPauseMs = 500;                    // after a failed block is queued again
    int32_t lowSpeedTime = UrlFile::kLowSpeedTime;  // seconds below 1 byte/s before giving up
};

class HttpDownloader : public luThread, public ObjectLevelLockable<HttpDownloader> {
public:
    static constexpr int32_t kInitialTimeOut = 1000;
    static constexpr int32_t kInitialRetryTimes = 10;

    // sink receives the fetched blocks; it must outlive the thread.
    HttpDownloader(std::string primaryHost, std::string backupHost, std::string basePath,
                   BlockSink* sink, DownloadTuning tuning = {});
    // Stops the thread (a transfer in progress is cut short), joins it, drops queued tasks.
    ~HttpDownloader() override;

    // Queues one block. firstName and localPath are wide; the URL is built from them, the
    // type and the thread's base path. A size of 0, or a localPath that names no file (ends
    // in "\"), queues nothing. Called on the update run's thread.
    void addTask(const std::u16string& firstName, const std::u16string& localPath, uint32_t offset,
                 uint32_t localPosition, uint32_t size, int32_t type, uint32_t blockIndex,
                 uint32_t blockCount, uint32_t passThrough1, uint32_t passThrough2,
                 uint32_t versionKey);

    // Ends this thread's part in an update: zeroes the time-out and retries, forgets the
    // hosts and base path, drops the queued tasks, marks the thread idle, logs and zeroes
    // the counts. A block still in transfer is cut short and neither counted nor delivered.
    // Called on the update run's thread.
    void finish();

    // Prepares an idle thread for a new update: hosts, base path, time-out, retries, zero
    // counts, no longer idle. Called on the update run's thread (by the pool).
    void reuse(const std::string& primaryHost, const std::string& backupHost,
               const std::string& basePath, int32_t timeOut, int32_t retryTimes);
    void setLimits(int32_t timeOut, int32_t retryTimes);

    // The thread loop: fetches queued blocks until the queue is empty or a stop is
    // requested, then waits for more (addTask wakes it).
    void run() override;

    bool idle() const;
    size_t queueSize() const;
    // Read without a lock to follow progress; they only grow during an update.
    uint32_t successCount() const { return success_.load(std::memory_order_acquire); }
    uint32_t failureCount() const { return failure_.load(std::memory_order_acquire); }

    // The retry rule: the time-out of the attempt after the n-th failure is the previous
    // one times n, held at the limits of 32 bits instead of wrapping.
    static int32_t nextTimeOut(int32_t timeOut, int32_t retries);

private:
    std::unique_ptr<BlockTask> popTask();
    // Fetches the block: primary host, then the backup host (or the primary again when there
    // is none). On the download thread.
    bool fetch(BlockTask& task);
    // Counts and delivers a fetched block, or queues a failed one again (true: the thread
    // pauses before its next attempt) or gives it up. A block of a finished update is
    // dropped. On the download thread.
    bool settle(std::unique_ptr<BlockTask> task, bool fetched);
    bool current(uint32_t generation) const {
        return generation == generation_.load(std::memory_order_acquire);
    }

    BlockSink* sink_;
    DownloadTuning tuning_;
    // Guarded by the object's lock.
    bool idle_ = false;
    int32_t timeOut_ = kInitialTimeOut;
    int32_t retryTimes_ = kInitialRetryTimes;
    std::string primaryHost_;
    std::string backupHost_;
    std::string basePath_;
    std::deque<std::unique_ptr<BlockTask>> queue_;
    // Changed by finish, so that work of a finished update is dropped wherever it is.
    std::atomic<uint32_t> generation_{0};
    std::atomic<uint32_t> success_{0};
    std::atomic<uint32_t> failure_{0};
    // The update of the block in transfer; the download thread's own.
    uint32_t fetching_ = 0;
    UrlFile transfer_;  // used on the download thread only
};

}  // namespace lume
