#include "transfer/FileWritter.h"

#include "engine/Kernel/Logger.h"
#include "transfer/BlockIndexFile.h"
#include "transfer/FileCompletion.h"
#include "transfer/FileType.h"

namespace lume {

FileWritter::FileWritter(FileCompletion* owner) : owner_(owner) {
    setName("file write thread");
}

FileWritter::~FileWritter() {
    requestStop();
    stopAndJoin();
    Lock lock(this);
    queue_.clear();
    closeAll();
}

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

}  // namespace

std::u16string FileWritter::dataFileName(int32_t type, const std::u16string& localPath) {
    const char16_t* extension = temporaryExtension(type);
    return extension ? localPath + u"." + extension : localPath;
}

std::u16string FileWritter::indexFileName(int32_t type, const std::u16string& localPath) {
    const char16_t* extension = temporaryExtension(type);
    return extension ? localPath + u".i" + extension : localPath;
}

void FileWritter::addTask(const std::u16string& name, const std::u16string& localPath,
                          uint32_t offset, uint32_t localPosition, std::unique_ptr<File> stream,
                          int32_t type, uint32_t blockIndex, uint32_t blockCount,
                          uint32_t passThrough1, uint32_t passThrough2, uint32_t versionKey) {
    auto task = std::make_unique<WriteTask>();
    task->name = name;
    task->localPath = localPath;
    task->offset = offset;
    task->localPosition = localPosition;
    task->stream = std::move(stream);
    task->type = type;
    task->blockIndex = blockIndex;
    task->blockCount = blockCount;
    task->passThrough1 = passThrough1;
    task->passThrough2 = passThrough2;
    task->versionKey = versionKey;
    {
        std::unique_lock<std::mutex> room(roomMutex_);
        room_.wait(room, [this] { return queued_ < kMaxQueued || isStopped(); });
        ++queued_;
    }
    {
        Lock lock(this);
        queue_.push_back(std::move(task));
        added_.fetch_add(1, std::memory_order_acq_rel);
    }
    wake();
}

bool FileWritter::requestStop() {
    const bool running = luThread::requestStop();
    { std::lock_guard<std::mutex> room(roomMutex_); }
    room_.notify_all();
    return running;
}

bool FileWritter::start() {
    requestStop();
    stopAndJoin();
    {
        std::lock_guard<std::mutex> room(roomMutex_);
        queued_ = 0;
    }
    {
        Lock lock(this);
        added_.store(0);
        written_.store(0);
        failed_.store(0);
        queue_.clear();
        closeAll();
    }
    unfinished_.store(0);
    setName("file write thread");
    return luThread::start();
}

void FileWritter::closeAll() {
    // Files whose blocks did not all arrive stay on disk as they are, for a later resume.
    open_.clear();
}

void FileWritter::run() {
    while (!isStopped()) {
        const uint64_t seen = wakeCount();
        std::unique_ptr<WriteTask> task;
        {
            Lock lock(this);
            if (!queue_.empty()) {
                task = std::move(queue_.front());
                queue_.pop_front();
            }
        }
        if (task) {
            {
                std::lock_guard<std::mutex> room(roomMutex_);
                --queued_;
            }
            room_.notify_one();
        }
        if (!task) {
            idleWait(seen, kIdleWaitLimit);
            continue;
        }
        if (isStopped()) {
            break;  // dropped, not counted
        }
        ParseTask(*task);
    }
}

void FileWritter::ParseTask(WriteTask& task) {
    auto found = open_.find(task.localPath);
    if (found == open_.end()) {
        OpenPair pair;
        const std::u16string dataName = dataFileName(task.type, task.localPath);
        const std::u16string indexName = indexFileName(task.type, task.localPath);
        auto data = std::make_unique<File>();
        if (!data->open(dataName, 2)) {
            logW_0(u"open '%s' error", dataName);
        } else {
            auto index = std::make_unique<File>();
            if (!index->open(indexName, 2)) {
                logW_0(u"open '%s' error", indexName);
            } else {
                pair.tempfile = std::move(data);
                pair.tempidxfile = std::move(index);
            }
        }
        pair.versionKey = task.versionKey;
        pair.expected = task.blockCount;
        found = open_.emplace(task.localPath, std::move(pair)).first;
    }
    OpenPair& pair = found->second;
    // Every early return below releases the block's memory with the task.
    if (!pair.tempfile || !pair.tempidxfile || !task.stream || !task.stream->isOpen()) {
        failed_.fetch_add(1, std::memory_order_acq_rel);
        logW_1(u"FileWritter::ParseTask : tempfile tempidxfile stream NoExist\n");
        return;
    }
    const uint32_t length = task.stream->size();
    if (!pair.tempfile->seek(task.localPosition)) {
        failed_.fetch_add(1, std::memory_order_acq_rel);
        logW_1(u"FileWritter::ParseTask : task.tempfile Failed\n");
        return;
    }
    if (!task.stream->seek(0)) {
        failed_.fetch_add(1, std::memory_order_acq_rel);
        logW_1(u"FileWritter::ParseTask : task.stream Failed\n");
        return;
    }
    if (!pair.tempfile->write(task.stream->data(), length)) {
        failed_.fetch_add(1, std::memory_order_acq_rel);
        logW_1(u"FileWritter::ParseTask : task.tempfile write Failed\n");
        return;
    }
    if (owner_ != nullptr) {
        owner_->onBlockStored(task.localPath, task.type, task.localPosition, task.stream->data(),
                              length);
    }
    task.stream.reset();
    const std::optional<uint32_t> entryAt = BlockIndexFile::entryPosition(task.blockIndex);
    if (!entryAt || !pair.tempidxfile->seek(*entryAt)) {
        failed_.fetch_add(1, std::memory_order_acq_rel);
        logW_1(u"FileWritter::ParseTask : task.tempidxfile Failed\n");
        return;
    }
    BlockIndexEntry entry;
    entry.offset = task.offset;
    entry.blockIndex = task.blockIndex;
    entry.localPosition = task.localPosition;
    entry.size = length;
    entry.written = length;
    if (!pair.tempidxfile->write(&entry, BlockIndexFile::kEntrySize)) {
        failed_.fetch_add(1, std::memory_order_acq_rel);
        logW_1(u"FileWritter::ParseTask : task.tempidxfile write Failed\n");
        return;
    }
    if (!completeBlock(task)) {
        unfinished_.fetch_add(1, std::memory_order_acq_rel);
    }
    written_.fetch_add(1, std::memory_order_acq_rel);
}

bool FileWritter::completeBlock(const WriteTask& task) {
    auto found = open_.find(task.localPath);
    if (found == open_.end()) {
        return false;
    }
    OpenPair& pair = found->second;
    ++pair.stored;
    if (pair.stored < pair.expected) {
        return true;
    }
    const uint32_t versionKey = pair.versionKey;
    open_.erase(found);  // closes both files
    if (owner_ == nullptr) {
        return true;
    }
    return owner_->onFileComplete(task.name, task.localPath,
                                  indexFileName(task.type, task.localPath),
                                  dataFileName(task.type, task.localPath), task.type,
                                  task.passThrough1, task.passThrough2, versionKey);
}

}  // namespace lume
