#include "transfer/FileWritter.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "engine/Kernel/Format.h"
#include "engine/Kernel/Logger.h"
#include "transfer/FileCompletion.h"
#include "transfer/FileType.h"

namespace lume {

// An install thread: takes finished files from the writer until none is left and a stop has
// been asked for.
class FileWritter::Installer : public luThread {
public:
    explicit Installer(FileWritter& writer) : writer_(writer) {}
    ~Installer() override { stopAndJoin(); }

    void run() override {
        while (true) {
            const uint64_t seen = wakeCount();
            InstallJob job;
            if (writer_.takeJob(job)) {
                writer_.install(std::move(job));
                continue;
            }
            if (isStopped()) {
                return;
            }
            idleWait(seen, kIdleWaitLimit);
        }
    }

private:
    FileWritter& writer_;
};

namespace {

// The extension of a type's temporary data file; its block index file puts an "i" in front
// of it. Null for a type without temporary files.
const char16_t* temporaryExtension(int32_t type) {
    switch (type) {
        case kTypeLoose:
        case kTypePackBuild:
        case kTypePackMember:
            return u"gzf";
        case kTypePackPatch:
            return u"patch";
        default:
            return nullptr;
    }
}

// One install thread per core (at least two, so that a slow file does not hold up the
// rest), at most four: they share the disk with the writer and the downloads.
size_t installThreads() {
    return std::clamp<size_t>(std::thread::hardware_concurrency(), 2, 4);
}

// Records stored blocks in a file's block index; the index is made (every entry of the plan,
// those stored marked written) when it does not exist yet.
bool recordBlocks(const std::u16string& indexName, const DownloadFile& file, bool make,
                  const std::vector<BlockIndexEntry>& stored) {
    platform::NativeFile index;
    if (!index.open(indexName, 2)) {
        return false;
    }
    if (make) {
        std::vector<BlockIndexEntry> entries;
        entries.reserve(file.blockCount);
        for (const Block& b : planBlocks(std::make_shared<DownloadFile>(file))) {
            entries.push_back({b.offset, b.blockIndex, b.localPosition, b.size, 0});
        }
        for (const BlockIndexEntry& e : stored) {
            if (e.blockIndex < entries.size()) {
                entries[e.blockIndex].written = e.written;
            }
        }
        BlockIndexHeader header;
        header.versionKey = file.versionKey;
        header.count = static_cast<uint32_t>(entries.size());
        return index.truncate(0) && index.writeAt(0, &header, BlockIndexFile::kHeaderSize) &&
               (entries.empty() ||
                index.writeAt(BlockIndexFile::kHeaderSize, entries.data(),
                              static_cast<uint32_t>(entries.size() * BlockIndexFile::kEntrySize)));
    }
    for (const BlockIndexEntry& e : stored) {
        const std::optional<uint32_t> at = BlockIndexFile::entryPosition(e.blockIndex);
        if (!at || !index.writeAt(*at, &e, BlockIndexFile::kEntrySize)) {
            return false;
        }
    }
    return true;
}

}  // namespace

FileWritter::FileWritter(FileCompletion* owner) : owner_(owner) {
    setName("file write thread");
}

FileWritter::~FileWritter() {
    finish();
}

std::u16string FileWritter::dataFileName(int32_t type, const std::u16string& localPath) {
    const char16_t* extension = temporaryExtension(type);
    return extension ? localPath + u"." + extension : localPath;
}

std::u16string FileWritter::indexFileName(int32_t type, const std::u16string& localPath) {
    const char16_t* extension = temporaryExtension(type);
    return extension ? localPath + u".i" + extension : localPath;
}

void FileWritter::addTask(WriteTask task) {
    {
        Lock lock(this);
        queuedBytes_ += task.bytes.size();
        queue_.push_back(std::move(task));
        added_.fetch_add(1, std::memory_order_acq_rel);
    }
    wake();
}

bool FileWritter::full() const {
    Lock lock(this);
    if (queuedBytes_ < kQueueBytes) {
        return false;
    }
    waiting_.store(true, std::memory_order_release);
    return true;
}

bool FileWritter::start() {
    finish();
    {
        Lock lock(this);
        added_.store(0);
        written_.store(0);
        failed_.store(0);
        queue_.clear();
        queuedBytes_ = 0;
    }
    unfinished_.store(0);
    installing_.store(0);
    if (installers_.empty()) {
        for (size_t i = 0; i < installThreads(); ++i) {
            installers_.push_back(std::make_unique<Installer>(*this));
            installers_.back()->setName(formatA("file install thread %d", i));
        }
    }
    bool started = commit_.start();
    for (auto& installer : installers_) {
        started = installer->start() && started;
    }
    setName("file write thread");
    return luThread::start() && started;
}

void FileWritter::finish() {
    requestStop();
    stopAndJoin();
    {
        Lock lock(this);
        queue_.clear();
        queuedBytes_ = 0;
    }
    // Whatever was stored is recorded, for a later resume; files kept in memory and not
    // complete are dropped (a resume fetches them again).
    recordStored(true);
    open_.clear();
    // The install threads install every file already complete, then end.
    for (auto& installer : installers_) {
        installer->requestStop();
    }
    for (auto& installer : installers_) {
        installer->stopAndJoin();
    }
    commit_.finish();
}

void FileWritter::run() {
    while (!isStopped()) {
        const uint64_t seen = wakeCount();
        WriteTask task;
        bool have = false;
        bool room = false;
        {
            Lock lock(this);
            // Past the backlog of finished files nothing more is stored until an install
            // thread takes one (and wakes this thread).
            if (jobs_.size() < kInstallBacklog && !queue_.empty()) {
                task = std::move(queue_.front());
                queue_.pop_front();
                queuedBytes_ -= task.bytes.size();
                have = true;
                room = queuedBytes_ < kQueueBytes && waiting_.exchange(false);
            }
        }
        if (room && roomListener_) {
            roomListener_();
        }
        if (!have) {
            recordStored(false);
            auto limit = kIdleWaitLimit;
            if (unrecordedBytes_ != 0) {
                limit = std::min(limit, std::chrono::duration_cast<std::chrono::milliseconds>(
                                            firstUnrecorded_ + kRecordInterval -
                                            std::chrono::steady_clock::now()) +
                                            std::chrono::milliseconds(1));
            }
            idleWait(seen, std::max(limit, std::chrono::milliseconds(1)));
            continue;
        }
        if (isStopped()) {
            break;  // dropped, not counted
        }
        store(task);
        recordStored(false);
    }
}

FileWritter::OpenFile* FileWritter::openFor(const std::shared_ptr<const DownloadFile>& file) {
    auto found = open_.find(file.get());
    if (found != open_.end()) {
        return &found->second;
    }
    OpenFile open;
    open.file = file;
    // A small new file needs no temporary files: it is assembled in memory and installed
    // from there.
    open.inMemory =
        file->fresh && file->zipSize <= kInMemoryBytes && file->pending == file->blockCount;
    open.indexMade = !file->fresh;
    if (open.inMemory) {
        open.bytes.resize(file->zipSize);
    } else {
        const std::u16string dataName = dataFileName(file->type, file->localPath);
        auto data = std::make_shared<platform::NativeFile>();
        // A new download starts from an empty data file of the final length (as a resume
        // expects it), and no block index of an older download of the same file.
        if (!data->open(dataName, 2) ||
            (file->fresh && (!data->truncate(0) || !data->truncate(file->zipSize)))) {
            logW_0(u"open '%s' error", dataName);
            open.failed = true;
        } else {
            if (file->fresh) {
                platform::deleteFile(indexFileName(file->type, file->localPath));
            }
            open.data = std::move(data);
        }
    }
    return &open_.emplace(file.get(), std::move(open)).first->second;
}

void FileWritter::failBlock(const char16_t* what) {
    failed_.fetch_add(1, std::memory_order_acq_rel);
    logW_1(what);
}

void FileWritter::store(WriteTask& task) {
    const Block& block = task.block;
    OpenFile& open = *openFor(block.file);
    if (open.failed || task.bytes.size() != block.size ||
        uint64_t{block.localPosition} + block.size > block.file->zipSize) {
        failBlock(u"FileWritter::ParseTask : tempfile tempidxfile stream NoExist\n");
        return;
    }
    if (open.inMemory) {
        std::memcpy(open.bytes.data() + block.localPosition, task.bytes.data(), block.size);
    } else {
        if (!open.data->writeAt(block.localPosition, task.bytes.data(), block.size)) {
            failBlock(u"FileWritter::ParseTask : task.tempfile write Failed\n");
            return;
        }
        if (owner_ != nullptr) {
            owner_->onBlockStored(block.file->localPath, block.file->type, block.localPosition,
                                  task.bytes.data(), block.size);
        }
        if (unrecordedBytes_ == 0) {
            firstUnrecorded_ = std::chrono::steady_clock::now();
        }
        unrecordedBytes_ += block.size;
        open.stored.push_back(
            {block.offset, block.blockIndex, block.localPosition, block.size, block.size});
    }
    task.bytes = {};
    ++open.count;
    written_.fetch_add(1, std::memory_order_acq_rel);
    if (open.count >= open.file->pending) {
        complete(open);
    }
}

void FileWritter::complete(OpenFile& open) {
    InstallJob job{open.file, std::move(open.data), std::move(open.bytes)};
    installing_.fetch_add(1, std::memory_order_acq_rel);
    open_.erase(job.file.get());
    {
        Lock lock(this);
        jobs_.push_back(std::move(job));
    }
    for (auto& installer : installers_) {
        installer->wake();
    }
}

bool FileWritter::takeJob(InstallJob& job) {
    {
        Lock lock(this);
        if (jobs_.empty()) {
            return false;
        }
        job = std::move(jobs_.front());
        jobs_.pop_front();
    }
    wake();  // the writer may be waiting for the backlog to shrink
    return true;
}

void FileWritter::install(InstallJob job) {
    FileCompletion::Prepared prepared;
    if (owner_ != nullptr) {
        prepared = owner_->prepareFile(*job.file, job.data.get(), std::move(job.bytes));
    }
    job.data.reset();  // the temporary data file is closed before it is renamed
    if (prepared.refused) {
        unfinished_.fetch_add(1, std::memory_order_acq_rel);
        installing_.fetch_sub(1, std::memory_order_acq_rel);
        return;
    }
    DiskCommit::Entry entry;
    entry.paths = std::move(prepared.durable);
    entry.then = [this, finish = std::move(prepared.finish)](bool synced) {
        const bool done = finish ? finish(synced) : synced;
        if (!synced) {
            failed_.fetch_add(1, std::memory_order_acq_rel);
        } else if (!done) {
            unfinished_.fetch_add(1, std::memory_order_acq_rel);
        }
        installing_.fetch_sub(1, std::memory_order_acq_rel);
    };
    commit_.add(std::move(entry));
}

void FileWritter::recordStored(bool now) {
    if (unrecordedBytes_ == 0 ||
        (!now && unrecordedBytes_ < kRecordBytes &&
         std::chrono::steady_clock::now() - firstUnrecorded_ < kRecordInterval)) {
        return;
    }
    for (auto& [key, open] : open_) {
        if (open.stored.empty() || !open.data) {
            continue;
        }
        // The blocks' data is synced before the index names them (by path: the writer goes
        // on writing through its own handle meanwhile).
        DiskCommit::Entry entry;
        entry.paths.push_back(dataFileName(open.file->type, open.file->localPath));
        entry.then = [this, file = open.file, make = !open.indexMade,
                      stored = std::move(open.stored)](bool synced) {
            if (!synced) {
                return;  // not on the disk: not recorded, fetched again by a resume
            }
            if (!recordBlocks(indexFileName(file->type, file->localPath), *file, make, stored)) {
                failed_.fetch_add(1, std::memory_order_acq_rel);
                logW_1(u"FileWritter::ParseTask : task.tempidxfile write Failed\n");
            }
        };
        open.stored.clear();
        open.indexMade = true;
        commit_.add(std::move(entry));
    }
    unrecordedBytes_ = 0;
}

}  // namespace lume
