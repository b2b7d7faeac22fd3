// The pack write thread: applies finished pack work one task at a time, merging staged
// files into a pack or building a pack anew and putting it in place, then cleans up the
// staging files. Each producer (the update run, the patch processor) owns one.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "engine/FileSystem/PackFormat.h"
#include "engine/Kernel/Lock.h"
#include "engine/Kernel/luThread.h"

namespace lume {

struct PackTask {
    std::u16string packPath;    // the pack to change or replace
    std::u16string outputPath;  // where a build writes; deleted after every task
    std::u16string listPath;    // the pack patch list; deleted after every task
    uint32_t listId = 0;        // the id the patch list must carry
    uint32_t kind = 0;          // kPackModeMerge, kPackModeBuild; others are dropped
};

// A stop requested while a task runs ends it at its next write: a merge leaves the pack as
// it was (it ends before its commit), a
// build's output deleted, and neither its list nor its staged files are deleted nor is the
// task counted, so the next update resumes it.
class MakeFileWritter : public luThread, public ObjectLevelLockable<MakeFileWritter> {
public:
    MakeFileWritter() = default;
    // Stops and joins the thread; tasks still queued are discarded.
    ~MakeFileWritter() override;

    // Empties the queue, zeroes the counters and starts the thread; false while the thread
    // runs. Called on the producer's thread.
    bool start();
    // Queues a task. Called on the producer's thread.
    void enqueue(std::u16string_view packPath, std::u16string_view outputPath,
                 std::u16string_view listPath, uint32_t listId, uint32_t kind);

    // Read by the producer without a lock. Once the queue has drained, succeeded + failed
    // equals enqueued unless tasks of an unknown kind were dropped.
    uint32_t enqueuedCount() const { return enqueued_.load(std::memory_order_acquire); }
    uint32_t succeededCount() const { return succeeded_.load(std::memory_order_acquire); }
    uint32_t failedCount() const { return failed_.load(std::memory_order_acquire); }
    // Tasks queued or being processed.
    size_t pending() const;
    // Makes the packs merged since the last call durable: each is synced and its journal
    // deleted (a merge ends with its change safe in the journal and the pack written but not
    // synced, so that the packs of a whole update reach the disk together, after the other
    // files' sync). Called on the producer's thread once the queue has drained; returns the
    // packs that could not be settled (their journals stay and finish them at the next
    // open).
    uint32_t settle();

    // One pass of the thread: takes one task, or waits for one (or for a stop request) when
    // there is none. Called on the pack write thread.
    void run() override;

private:
    void process(const PackTask& task);
    bool merge(const PackTask& task);
    bool build(const PackTask& task);

    std::deque<PackTask> queue_;
    bool busy_ = false;                   // a task has been taken and is not finished
    std::vector<std::u16string> merged_;  // packs merged and not settled
    std::atomic<uint32_t> enqueued_{0};
    std::atomic<uint32_t> succeeded_{0};
    std::atomic<uint32_t> failed_{0};
};

}  // namespace lume
