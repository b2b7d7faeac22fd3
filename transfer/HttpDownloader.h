// The download thread ("http download thread 0"): fetches the blocks of an update from the
// primary host, falling back to the backup host, and hands every block to its BlockSink (the
// file writer) as soon as its bytes are in. Consecutive blocks of one file are fetched with
// one range request of up to 4 MiB; many requests are in flight at once through one libcurl
// multi handle, over connections that are kept and reused, multiplexed over HTTP/2 where the
// server speaks it. A request that fails part way keeps the blocks it delivered; the rest is
// asked of the backup host, then retried with a growing connect time-out, as single blocks
// were.
//
// One thread instead of six: a thread that waited a whole round trip per 32 KiB block could
// never move more than six blocks per round trip; one thread driving every transfer through
// the multi interface keeps as many requests in flight as the servers allow, and needs no
// large stack of its own (the default stack instead of 8 MiB).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/Kernel/Lock.h"
#include "engine/Kernel/luThread.h"
#include "transfer/Block.h"
#include "transfer/TransferSettings.h"
#include "transfer/UrlFile.h"

namespace lume {

class BlockSink;

// Timings that the tests shorten; the product uses the defaults.
struct DownloadTuning {
    uint32_t retryPauseMs = 500;                    // before a failed request is tried again
    int32_t lowSpeedTime = UrlFile::kLowSpeedTime;  // seconds below 1 byte/s before giving up
};

class HttpDownloader : public luThread, public ObjectLevelLockable<HttpDownloader> {
public:
    // Blocks per request: few requests per MiB, yet a big file still spreads over several
    // connections.
    static constexpr uint32_t kSpanBytes = 0x400000;
    // Requests in flight over HTTP/1.1, one connection each (per host). Small files cost a
    // round trip each, so this many round trips overlap; a browser opens 6 per host, a
    // download manager up to 16.
    static constexpr size_t kConnectionsPerHost = 16;
    // Requests in flight once a server has answered over HTTP/2: streams of one connection.
    static constexpr size_t kStreams = 64;
    // With a bandwidth limit, fewer requests in flight, so that each still moves at least
    // this many bytes per second.
    static constexpr uint64_t kMinRequestRate = 32 * 1024;

    // sink receives the fetched blocks; it must outlive the thread.
    explicit HttpDownloader(BlockSink* sink, DownloadTuning tuning = {});
    // Stops the thread (transfers in flight are cut short) and joins it.
    ~HttpDownloader() override;

    // Starts an update's downloads: the primary and backup addresses ("host[:port]/path";
    // an empty backup means the primary again) and the settings. Starts the thread on first
    // use; false when it cannot be started. Called on the update run's thread.
    bool begin(const std::string& primary, const std::string& backup,
               const TransferSettings& settings);
    // Queues blocks in order; runs of consecutive blocks of one file become one request.
    // A block whose file names no remote file is counted as failed at once. Called on the
    // update run's thread.
    void addBlocks(const std::vector<Block>& blocks);
    // Ends the update: drops what is queued, cuts the transfers in flight short (nothing of
    // them is delivered after this returns), logs and zeroes the counts. Called on the update
    // run's thread.
    void finish();

    // Ends a wait of the thread: the sink has room again, or there is new work. Called on
    // any thread.
    void nudge();
    bool requestStop() override;
    void run() override;

    // Blocks delivered and blocks given up in this update; they only grow during an update
    // and are read without a lock.
    uint32_t successCount() const { return success_.load(std::memory_order_acquire); }
    uint32_t failureCount() const { return failure_.load(std::memory_order_acquire); }
    // Body bytes received since the thread was made (for the speed shown to the player).
    uint64_t bytesReceived() const { return received_.load(std::memory_order_acquire); }

    // The retry rule: the time-out of the attempt after the n-th failure is the previous
    // one times n, held at the limits of 32 bits instead of wrapping.
    static int32_t nextTimeOut(int32_t timeOut, int32_t retries);

    struct Span;
    struct Transfer;

private:
    using Clock = std::chrono::steady_clock;

    // On the download thread.
    void admit();
    void launch(std::unique_ptr<Span> span);
    void collectFinished();
    void settle(Transfer& transfer, int result);
    void dropAll(bool countAsFailed);
    bool checkStall(Clock::time_point now);
    Clock::time_point nextDeadline(Clock::time_point now) const;
    // The bandwidth limit: the bytes that may be taken refill at the limit's rate; transfers
    // paused for it go on as soon as there are some.
    void refill(Clock::time_point now);
    // The write callback of every transfer.
    static size_t onData(char* data, size_t size, size_t count, void* user);
    size_t take(Transfer& transfer, const char* data, size_t length);
    // Hands a filled block to the sink, then waits while the sink is full. False when the
    // update ended meanwhile (the block was dropped).
    bool deliver(Transfer& transfer, const Block& block, std::vector<uint8_t> bytes);
    bool cancelled(uint32_t generation) {
        return isStopped() || generation != generation_.load(std::memory_order_acquire);
    }

    BlockSink* sink_;
    const DownloadTuning tuning_;
    void* multi_ = nullptr;  // the CURLM handle, used on the download thread only

    // Guarded by the object's lock.
    std::string primary_;
    std::string backup_;
    TransferSettings settings_;
    std::deque<std::unique_ptr<Span>> queue_;

    // Changed by finish, so that work of a finished update is dropped wherever it is.
    std::atomic<uint32_t> generation_{0};
    std::atomic<uint32_t> success_{0};
    std::atomic<uint32_t> failure_{0};
    std::atomic<uint64_t> received_{0};

    // The download thread's own.
    std::vector<std::unique_ptr<Transfer>> inFlight_;
    bool multiplexing_ = false;  // a server answered over HTTP/2
    // HTTP/2 without TLS, per host: whether a connection is open, and the requests opening
    // one (httpVersion).
    struct H2cHost {
        bool open = false;
        int openers = 0;
    };
    std::map<std::string, H2cHost> h2cHosts_;
    Clock::time_point lastData_;
    double limitRate_ = 0;  // bytes per second; 0: no limit
    double tokens_ = 0;     // bytes that may still be taken; below 0 after a large read
    Clock::time_point refilled_;
};

}  // namespace lume
