// The update run's download threads: at most six, created on demand, kept between updates
// and reused. Each block goes to the thread with the shortest queue (the later thread on a
// tie); an idle thread left from an earlier update is given this update's settings first.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/Kernel/Lock.h"
#include "transfer/HttpDownloader.h"

namespace lume {

class BlockSink;

class DownloadPool : public ObjectLevelLockable<DownloadPool> {
public:
    static constexpr size_t kMaxThreads = 6;
    static constexpr size_t kStackSize = 0x800000;  // 8 MiB

    // sink receives every fetched block; it must outlive the pool.
    explicit DownloadPool(BlockSink* sink, DownloadTuning tuning = {});
    // Stops every thread (transfers in progress are cut short) and joins them.
    ~DownloadPool();
    DownloadPool(const DownloadPool&) = delete;
    DownloadPool& operator=(const DownloadPool&) = delete;

    // The servers of the coming update: primary and backup host ("name" or "name:port") and
    // the URL path prefix. Called on the update run's thread before blocks are handed out.
    void setAddresses(const std::string& primaryHost, const std::string& backupHost,
                      const std::string& basePath);

    // Chooses the thread for one block, creating one while there are fewer than six, and
    // gives it the update's connect time-out and retries when it is new or idle. Null when
    // no thread could be started. Called on the update run's thread.
    HttpDownloader* getDownloadThread(int32_t timeOut, int32_t retryTimes);

    // Ends the update on every thread (HttpDownloader::finish).
    void finishAll();

    size_t size() const;
    HttpDownloader* thread(size_t index) const;
    // Sums over the threads, read without their locks.
    uint32_t successTotal() const;
    uint32_t failureTotal() const;

private:
    uint32_t total(uint32_t (HttpDownloader::*count)() const) const;

    BlockSink* sink_;
    DownloadTuning tuning_;
    std::string primaryHost_;
    std::string backupHost_;
    std::string basePath_;
    std::vector<std::unique_ptr<HttpDownloader>> threads_;
};

}  // namespace lume
