#include "engine/FileSystem/MakeFileWritter.h"

#include <algorithm>
#include <optional>

#include "engine/FileSystem/File.h"
#include "engine/FileSystem/PackJournal.h"
#include "engine/FileSystem/PackOperations.h"
#include "engine/FileSystem/PackPatchList.h"
#include "engine/Kernel/Format.h"
#include "platform/DebugOutput.h"

namespace lume {

MakeFileWritter::~MakeFileWritter() {
    stopAndJoin();
}

bool MakeFileWritter::start() {
    if (threadHandle() != nullptr) {
        return false;  // running: its queue is not thrown away
    }
    {
        Lock lock(this);
        queue_.clear();
        busy_ = false;
        enqueued_.store(0, std::memory_order_release);
        succeeded_.store(0, std::memory_order_release);
        failed_.store(0, std::memory_order_release);
    }
    setName("pack write thread");
    return luThread::start();
}

void MakeFileWritter::enqueue(std::u16string_view packPath, std::u16string_view outputPath,
                              std::u16string_view listPath, uint32_t listId, uint32_t kind) {
    {
        Lock lock(this);
        queue_.push_back(PackTask{std::u16string(packPath), std::u16string(outputPath),
                                  std::u16string(listPath), listId, kind});
        enqueued_.fetch_add(1, std::memory_order_acq_rel);
    }
    wake();
}

size_t MakeFileWritter::pending() const {
    Lock lock(this);
    return queue_.size() + (busy_ ? 1 : 0);
}

void MakeFileWritter::run() {
    const uint64_t seen = wakeCount();
    std::optional<PackTask> task;
    {
        Lock lock(this);
        if (!queue_.empty()) {
            task = std::move(queue_.front());
            queue_.pop_front();
            busy_ = true;
        }
    }
    if (!task) {
        idleWait(seen, kIdleWaitLimit);
        return;
    }
    // Stopping: the task is dropped unprocessed.
    if (!isStopped()) {
        process(*task);
    }
    Lock lock(this);
    busy_ = false;
}

void MakeFileWritter::process(const PackTask& task) {
    if (task.kind != kPackModeMerge && task.kind != kPackModeBuild) {
        return;
    }
    const bool ok = task.kind == kPackModeMerge ? merge(task) : build(task);
    if (!ok && isStopped()) {
        // Stopped part way (a merge left the pack untouched): list and staged files stay, so that
        // the next update resumes the task without fetching anything again.
        return;
    }
    // Neither file is of use after the task, whatever its outcome. On success the list goes
    // before the staged files: a list outliving some of its staged files (after a crash)
    // would have them fetched again, while staged files without a list are only clutter.
    // The counters move last, so a producer that sees them move finds the files gone.
    File::deleteFile(task.outputPath);
    File::deleteFile(task.listPath);
    if (ok) {
        File::deleteTree(stagingDirectory(task.packPath));
    }
    (ok ? succeeded_ : failed_).fetch_add(1, std::memory_order_acq_rel);
    platform::debugOutput(task.kind == kPackModeMerge ? u"更新结束\n" : u"打包结束\n");
}

bool MakeFileWritter::merge(const PackTask& task) {
    platform::debugOutput(formatW(u"开始更新包:%s\n", task.packPath));
    // A stop ends a merge before its commit rather than waiting for its end: the next update
    // merges again from the staged files.
    const bool ok =
        mergePatchToPack(task.packPath, task.listPath, task.listId, [this] { return isStopped(); });
    if (ok) {
        Lock lock(this);
        merged_.push_back(task.packPath);
    }
    return ok;
}

uint32_t MakeFileWritter::settle() {
    std::vector<std::u16string> packs;
    {
        Lock lock(this);
        packs.swap(merged_);
    }
    std::sort(packs.begin(), packs.end());
    packs.erase(std::unique(packs.begin(), packs.end()), packs.end());
    uint32_t failed = 0;
    for (const std::u16string& pack : packs) {
        if (recoverPack(pack) == PackRecovery::kFailed) {
            ++failed;
        }
    }
    return failed;
}

bool MakeFileWritter::build(const PackTask& task) {
    platform::debugOutput(formatW(u"开始打包:%s\n", task.packPath));
    // One rename puts the new pack in place: the old one stays whole until the new one
    // replaces it, and stays when the rename fails. A journal of the old pack is settled
    // first, so that it can never be played over the new one.
    return recoverPack(task.packPath) != PackRecovery::kFailed &&
           buildPack(task.packPath, task.outputPath, task.listPath, task.listId,
                     [this] { return isStopped(); }) &&
           File::replaceDurably(task.outputPath, task.packPath);
}

}  // namespace lume
