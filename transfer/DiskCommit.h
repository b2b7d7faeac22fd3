// The file writer's sync thread ("file sync thread"): steps that may only run once some
// written bytes are on the disk (a file renamed over its target, a block recorded in a block
// index) are queued here with the files they depend on, and run in the order they came, after
// one sync of all of them. Syncing each installed file alone costs a few milliseconds of the
// disk's journal per file; many files queued together share one sync of the file system, so
// an update of thousands of files pays for a few syncs, not thousands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/Kernel/Lock.h"
#include "engine/Kernel/luThread.h"
#include "platform/Files.h"

namespace lume {

class DiskCommit : public luThread, public ObjectLevelLockable<DiskCommit> {
public:
    // A step waits this long for others to join its sync, unless that many are queued.
    static constexpr std::chrono::milliseconds kGather{20};
    static constexpr size_t kBatch = 256;
    // Up to this many files are synced one by one; more, through one sync of the file system.
    static constexpr size_t kFewFiles = 4;

    struct Entry {
        // The files whose written bytes must be on the disk first.
        std::vector<std::u16string> paths;
        // The step; synced says whether the sync succeeded (when it did not, the step must not
        // make the bytes count as stored). Called on the sync thread.
        std::function<void(bool synced)> then;
    };

    DiskCommit();
    // Runs what is queued, then stops and joins.
    ~DiskCommit() override;

    // Called on any thread.
    void add(Entry entry);
    // Entries queued or being run.
    size_t pending() const;
    // Runs everything queued, makes the renames of its steps durable too (one more sync), and
    // stops the thread. Called on the owner's thread.
    void finish();

    void run() override;

    // How the syncs went (for tests and the log): syncs of single files, syncs of the file
    // system.
    uint64_t fileSyncs() const { return fileSyncs_.load(std::memory_order_acquire); }
    uint64_t systemSyncs() const { return systemSyncs_.load(std::memory_order_acquire); }

private:
    // Syncs what the batch depends on; false when a sync failed.
    bool sync(const std::vector<Entry>& batch);
    void runBatch();

    std::deque<Entry> queue_;  // under the object's lock
    size_t running_ = 0;       // under the object's lock
    bool stepsSinceSync_ = false;
    std::atomic<uint64_t> fileSyncs_{0};
    std::atomic<uint64_t> systemSyncs_{0};
};

}  // namespace lume
