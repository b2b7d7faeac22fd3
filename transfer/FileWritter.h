// The writer thread ("file write thread") that stores downloaded blocks: each block goes to
// its position in the file's temporary data file and is recorded in the file's block index
// file; when the last block of a file is stored, both files are closed and the owner is told
// (FileCompletion). One thread serialises all disk writes of an update, so the download
// threads do not wait for the disk, unless the writer falls kMaxQueued blocks behind: then
// the download thread delivering waits for room, so that what an update has received but
// not stored (and a kill would lose) stays bounded.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "engine/FileSystem/File.h"
#include "engine/Kernel/Lock.h"
#include "engine/Kernel/luThread.h"

namespace lume {

class FileCompletion;

// One block waiting to be stored.
struct WriteTask {
    std::u16string name;       // the update run's first name for the file
    std::u16string localPath;  // names the file's temporary files
    uint32_t offset = 0;       // of the block in the remote file
    uint32_t localPosition = 0;
    std::unique_ptr<File> stream;  // the block's bytes in memory
    int32_t type = 0;              // file kind: names the temporary files
    uint32_t blockIndex = 0;
    uint32_t blockCount = 0;    // blocks of the file
    uint32_t passThrough1 = 0;  // the file's zip size
    uint32_t passThrough2 = 0;  // the file's size
    uint32_t versionKey = 0;
};

class FileWritter : public luThread, public ObjectLevelLockable<FileWritter> {
public:
    static constexpr size_t kMaxQueued = 32;

    // owner may be null (a writer that never completes a file for anyone).
    explicit FileWritter(FileCompletion* owner);
    // Stops and joins the thread, then closes every open file; queued blocks are dropped.
    ~FileWritter() override;

    // Queues one block; the writer takes its memory. Waits while kMaxQueued blocks are queued
    // (not once a stop is requested). Called on the download threads (several at once),
    // through the update run.
    void addTask(const std::u16string& name, const std::u16string& localPath, uint32_t offset,
                 uint32_t localPosition, std::unique_ptr<File> stream, int32_t type,
                 uint32_t blockIndex, uint32_t blockCount, uint32_t passThrough1,
                 uint32_t passThrough2, uint32_t versionKey);

    // Starts the writer for an update: joins the thread of the previous update (which was
    // asked to stop), forgets its queue and closes the files it left open, zeroes the
    // counters, and starts the thread. Called on the owner's thread. False when no thread
    // could be started.
    bool start();

    // The thread loop: stores queued blocks until a stop is requested; blocks still queued
    // then are dropped without being counted.
    void run() override;
    // Also releases download threads waiting for room. Called on any thread.
    bool requestStop() override;

    // Followed by the update run without a lock.
    uint32_t added() const { return added_.load(std::memory_order_acquire); }
    uint32_t written() const { return written_.load(std::memory_order_acquire); }
    uint32_t failed() const { return failed_.load(std::memory_order_acquire); }
    uint32_t unfinished() const { return unfinished_.load(std::memory_order_acquire); }

    // The temporary data file and block index file of a file being downloaded: ".gzf" and
    // ".igzf" for types 1, 3 and 4, ".patch" and ".ipatch" for type 2, the local path itself
    // for any other type.
    static std::u16string dataFileName(int32_t type, const std::u16string& localPath);
    static std::u16string indexFileName(int32_t type, const std::u16string& localPath);

private:
    // The two open temporary files of a file with at least one block seen.
    struct OpenPair {
        std::unique_ptr<File> tempfile;
        std::unique_ptr<File> tempidxfile;
        uint32_t versionKey = 0;
        uint32_t expected = 0;
        uint32_t stored = 0;
    };

    // Stores one block. On the writer thread.
    void ParseTask(WriteTask& task);
    // Counts the stored block; when it was the file's last, closes the pair and asks the
    // owner. False when the owner refused the file (or the file was unknown).
    bool completeBlock(const WriteTask& task);
    void closeAll();

    FileCompletion* owner_;
    std::deque<std::unique_ptr<WriteTask>> queue_;  // under the object's lock
    std::mutex roomMutex_;
    std::condition_variable room_;
    size_t queued_ = 0;  // blocks added and not yet taken, under roomMutex_
    // Touched only by the writer thread, and by start and destruction with no thread.
    std::unordered_map<std::u16string, OpenPair> open_;
    std::atomic<uint32_t> added_{0};
    std::atomic<uint32_t> written_{0};
    std::atomic<uint32_t> failed_{0};
    std::atomic<uint32_t> unfinished_{0};
};

}  // namespace lume
