// The writer of downloaded blocks ("file write thread") and the installation of finished
// files. Each block goes to its place in the file's temporary data file; a small file fetched
// whole is kept in memory instead and needs no temporary file at all. Stored blocks are
// recorded in the file's block index about once a second, after a sync of their data, so
// that an index never names a block the disk may not hold. When a file's last block is in,
// it goes to the install threads ("file install thread %d", one per core), which check and
// inflate files in parallel (FileCompletion::prepareFile); the renames into place wait for
// the sync thread (DiskCommit), where many files share one sync of the disk.
//
// The download thread never waits for the disk unless the blocks queued for the writer reach
// kQueueBytes: then it stops reading until there is room, so memory stays bounded.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/Kernel/Lock.h"
#include "engine/Kernel/luThread.h"
#include "platform/Files.h"
#include "transfer/Block.h"
#include "transfer/BlockIndexFile.h"
#include "transfer/BlockSink.h"
#include "transfer/DiskCommit.h"

namespace lume {

class FileCompletion;

// One block waiting to be stored.
struct WriteTask {
    Block block;
    std::vector<uint8_t> bytes;  // block.size of them
};

class FileWritter : public luThread, public ObjectLevelLockable<FileWritter>, public BlockSink {
public:
    static constexpr size_t kQueueBytes = 8 * 1024 * 1024;
    // A new file of at most this many bytes is assembled in memory.
    static constexpr uint32_t kInMemoryBytes = 256 * 1024;
    // Stored blocks are recorded in their block indexes this often, or as soon as this many
    // bytes of them wait: a killed update fetches at most about that much again.
    static constexpr std::chrono::milliseconds kRecordInterval{1000};
    static constexpr uint64_t kRecordBytes = 8 * 1024 * 1024;
    // Finished files waiting for an install thread; beyond this the writer stores no more
    // blocks until one is taken (each holds an open file, or the bytes of a small one).
    static constexpr size_t kInstallBacklog = 64;

    // owner may be null (a writer that never completes a file for anyone).
    explicit FileWritter(FileCompletion* owner);
    // finish, then the threads are gone.
    ~FileWritter() override;

    // Queues one block; the writer takes its memory. Called on the download thread.
    void addTask(WriteTask task);
    void onBlockDownloaded(const Block& block, std::vector<uint8_t> bytes) override {
        addTask(WriteTask{block, std::move(bytes)});
    }
    bool full() const override;
    // Called on the writer's thread whenever the queue has room again after full() said it
    // had none. Set before start.
    void setRoomListener(std::function<void()> listener) { roomListener_ = std::move(listener); }

    // Starts the writer for an update (finishing what an earlier one left): zeroes the
    // counters and starts the writer, install and sync threads. Called on the owner's
    // thread. False when a thread could not be started.
    bool start();
    // Ends the update's writing: blocks still queued are dropped uncounted; the blocks stored
    // are recorded in their block indexes; files already complete are installed. Returns when
    // all of that is on the disk and every thread has ended. Called on the owner's thread.
    void finish();

    // The writer thread's loop.
    void run() override;

    // Followed by the update run without a lock.
    uint32_t added() const { return added_.load(std::memory_order_acquire); }
    uint32_t written() const { return written_.load(std::memory_order_acquire); }
    uint32_t failed() const { return failed_.load(std::memory_order_acquire); }
    uint32_t unfinished() const { return unfinished_.load(std::memory_order_acquire); }
    // Files whose blocks are all stored but which are not yet installed (or refused).
    uint32_t installing() const { return installing_.load(std::memory_order_acquire); }
    const DiskCommit& commits() const { return commit_; }

    // The temporary data file and block index file of a file being downloaded: ".gzf" and
    // ".igzf" for types 1, 3 and 4, ".patch" and ".ipatch" for type 2, the local path itself
    // for any other type.
    static std::u16string dataFileName(int32_t type, const std::u16string& localPath);
    static std::u16string indexFileName(int32_t type, const std::u16string& localPath);

private:
    // A file with at least one block seen.
    struct OpenFile {
        std::shared_ptr<const DownloadFile> file;
        std::shared_ptr<platform::NativeFile> data;  // null for a file kept in memory
        bool inMemory = false;
        bool failed = false;                  // its temporary files could not be made
        bool indexMade = false;               // the block index exists (or is queued to be made)
        std::vector<uint8_t> bytes;           // the data of a file kept in memory
        std::vector<BlockIndexEntry> stored;  // blocks stored but not yet recorded
        uint32_t count = 0;                   // blocks stored in this update
    };
    struct InstallJob {
        std::shared_ptr<const DownloadFile> file;
        std::shared_ptr<platform::NativeFile> data;
        std::vector<uint8_t> bytes;
    };
    class Installer;

    // On the writer thread.
    void store(WriteTask& task);
    OpenFile* openFor(const std::shared_ptr<const DownloadFile>& file);
    void failBlock(const char16_t* what);
    void complete(OpenFile& open);
    // Queues the recording of the stored blocks of every file on disk (of all files when
    // everything is to be recorded, or only when kRecordInterval has passed or kRecordBytes
    // wait).
    void recordStored(bool now);
    // On an install thread: prepares one file and queues its finish for the sync thread.
    void install(InstallJob job);
    bool takeJob(InstallJob& job);

    FileCompletion* owner_;
    std::function<void()> roomListener_;
    // Under the object's lock.
    std::deque<WriteTask> queue_;
    size_t queuedBytes_ = 0;
    std::deque<InstallJob> jobs_;
    mutable std::atomic<bool> waiting_{false};  // full() said no room since the last call
    // The writer thread's own (and finish's, once that thread has ended).
    std::unordered_map<const DownloadFile*, OpenFile> open_;
    uint64_t unrecordedBytes_ = 0;
    std::chrono::steady_clock::time_point firstUnrecorded_;
    DiskCommit commit_;
    std::vector<std::unique_ptr<Installer>> installers_;
    std::atomic<uint32_t> added_{0};
    std::atomic<uint32_t> written_{0};
    std::atomic<uint32_t> failed_{0};
    std::atomic<uint32_t> unfinished_{0};
    std::atomic<uint32_t> installing_{0};
};

}  // namespace lume
