#include "engine/FileSystem/PackEntry.h"

#include "engine/FileSystem/PackIndex.h"
#include "engine/FileSystem/WinStream.h"
#include "engine/Kernel/Format.h"
#include "platform/Thread.h"

namespace lume {

namespace {

// The source of a contained file's stream: the opening thread's handle on the pack, shared
// with the entry so that it outlives both. Another thread reading the stream must not seek
// that handle under its owner's feet, so it gets a handle of its own on first use.
class PackHandleSource : public Stream {
public:
    PackHandleSource(std::shared_ptr<WinStream> shared, uint32_t owner, std::u16string path)
        : shared_(std::move(shared)), owner_(owner), path_(std::move(path)) {}

    bool read(void* buffer, uint32_t length, uint32_t* count) override {
        Stream* s = current();
        return s != nullptr && s->read(buffer, length, count);
    }
    bool write(const void*, uint32_t) override { return false; }
    bool seek(uint32_t position) override {
        Stream* s = current();
        return s != nullptr && s->seek(position);
    }
    uint32_t tell() override {
        Stream* s = current();
        return s != nullptr ? s->tell() : 0;
    }
    uint32_t size() override {
        Stream* s = current();
        return s != nullptr ? s->size() : 0;
    }

private:
    Stream* current() {
        if (platform::currentThreadId() == owner_) {
            return shared_.get();
        }
        if (!own_) {
            auto handle = std::make_unique<WinStream>();
            if (!handle->open(path_, 0)) {
                return nullptr;
            }
            own_ = std::move(handle);
        }
        return own_.get();
    }

    std::shared_ptr<WinStream> shared_;
    uint32_t owner_;
    std::u16string path_;
    std::unique_ptr<WinStream> own_;
};

class PackFileStream : public ZipStream {
public:
    PackFileStream(std::shared_ptr<WinStream> handle, std::u16string path)
        : source_(std::move(handle), platform::currentThreadId(), std::move(path)) {}

    bool openEntry(const FileEntry& entry) {
        return open(&source_, entry.offset(), entry.zipSize(), entry.size());
    }

private:
    PackHandleSource source_;
};

// A record whose stored bytes lie outside the file, or that claims to inflate to more
// than its stored bytes can hold, would make a read fail or allocate absurdly; it is
// skipped as if absent.
bool readable(const PackRecord& r, uint32_t fileLength) {
    if (!regionInData(r.offset, r.zipSize, fileLength)) {
        return false;
    }
    return r.zipSize == r.size || r.size <= maxInflatedSize(r.zipSize);
}

}  // namespace

FileEntry::FileEntry(uint32_t index, const PackRecord& record, PackEntry* pack)
    : index_(index),
      zipSize_(record.zipSize),
      offset_(record.offset),
      size_(record.size),
      blockSize_(record.blockSize),
      dataCrc_(record.dataCrc),
      extra1_(record.extra1),
      flags_(record.flags),
      nameKey_(record.nameKey),
      pack_(pack) {}

FileEntry::~FileEntry() = default;

void FileEntry::addChild(std::unique_ptr<FileEntry> child) {
    if (!children_) {
        children_ = std::make_unique<Children>();
    }
    children_->byKey.emplace(child->nameKey(), child.get());
    children_->list.push_back(std::move(child));
}

const FileEntry* FileEntry::findChild(uint32_t nameKey) const {
    if (!children_) {
        return nullptr;
    }
    const auto it = children_->byKey.find(nameKey);
    return it == children_->byKey.end() ? nullptr : it->second;
}

PackEntry::PackEntry(uint32_t packKey) : packKey_(packKey) {}

PackEntry::~PackEntry() = default;

void PackEntry::clearTree() {
    roots_.clear();
    unreadable_.clear();
}

WinStream* PackEntry::open(std::u16string_view path, PackNameMap& names, std::string* problem) {
    const auto fail = [problem](std::string why) -> WinStream* {
        if (problem != nullptr) {
            *problem = std::move(why);
        }
        return nullptr;
    };
    if (problem != nullptr) {
        problem->clear();
    }
    auto handle = std::make_shared<WinStream>();
    if (!handle->open(path, 0)) {
        return fail("cannot be opened");
    }
    path_.assign(path);
    clearTree();
    keyTable_.clear();
    pool_.clear();
    header_ = PackHeader{};

    const uint32_t fileLength = handle->size();
    PackHeader h;
    uint32_t got = 0;
    if (!handle->read(&h, sizeof h, &got) || got != sizeof h) {
        return fail("header cannot be read");
    }
    if (h.magic != kPackMagic || h.version != kPackVersion) {
        return fail(formatA("magic 0x%08x, version %u: not a version 8 pack", h.magic, h.version));
    }
    std::string why;
    if (!checkIndexLayout(h, &why)) {
        return fail(why);
    }
    header_ = h;
    // The tables lie back to back after the header, as checked above.
    std::vector<uint8_t> keys(h.keyTableSize);
    if (h.keyTableSize != 0 &&
        (!handle->read(keys.data(), h.keyTableSize, &got) || got != h.keyTableSize)) {
        return fail("key table is cut short");
    }
    keyTable_.loadKeys(keys);
    if (!pool_.load(*handle, h.freeTableSize)) {
        return fail("free-block table is cut short");
    }
    std::vector<PackRecord> records(h.recordCount);
    if (h.recordTableSize != 0 &&
        (!handle->read(records.data(), h.recordTableSize, &got) || got != h.recordTableSize)) {
        return fail("record table is cut short");
    }

    // Parents are named by their position among the entries created so far.
    std::vector<FileEntry*> working;
    working.reserve(records.size());
    uint32_t skipped = 0;
    for (uint32_t i = 0; i < records.size(); ++i) {
        const PackRecord& r = records[i];
        if (r.parentIndex == kRootParent) {
            roots_.push_back(std::make_unique<FileEntry>(i, r, this));
            working.push_back(roots_.back().get());
            continue;
        }
        if (roots_.empty() || r.parentIndex >= working.size()) {
            ++skipped;
            continue;
        }
        FileEntry* parent = working[r.parentIndex];
        auto entry = std::make_unique<FileEntry>(i, r, this);
        working.push_back(entry.get());
        if (!readable(r, fileLength)) {
            // Kept in the numbering so that later parent indices still mean what the
            // writer meant, but never found.
            unreadable_.push_back(std::move(entry));
            ++skipped;
            continue;
        }
        parent->addChild(std::move(entry));
        const auto [it, added] = names.try_emplace(r.nameKey, r.nameKey, parent->nameKey());
        if (!added) {
            it->second.second = parent->nameKey();
        }
    }
    if (roots_.empty()) {
        return fail("has no root record");
    }
    if (skipped != 0 && problem != nullptr) {
        *problem = formatA(
            "%u of %u records skipped (parent index out of range or block outside "
            "the file)",
            skipped, h.recordCount);
    }
    WinStream* raw = handle.get();
    Lock lock(this);
    handles_[platform::currentThreadId()] = std::move(handle);
    return raw;
}

std::shared_ptr<WinStream> PackEntry::threadHandle() {
    const uint32_t id = platform::currentThreadId();
    Lock lock(this);
    auto& slot = handles_[id];
    if (!slot) {
        auto handle = std::make_shared<WinStream>();
        if (!handle->open(path_, 0)) {
            handles_.erase(id);
            return nullptr;
        }
        slot = std::move(handle);
    }
    return slot;
}

std::unique_ptr<ZipStream> PackEntry::openFile(const uint32_t* keys, size_t count, int /*mode*/) {
    const FileEntry* entry = root();
    if (entry == nullptr || keys == nullptr || count == 0) {
        return nullptr;
    }
    for (size_t i = 0; i < count && entry != nullptr; ++i) {
        entry = entry->findChild(keys[i]);
    }
    if (entry == nullptr) {
        return nullptr;
    }
    std::shared_ptr<WinStream> handle = threadHandle();
    if (!handle) {
        return nullptr;
    }
    auto stream = std::make_unique<PackFileStream>(std::move(handle), path_);
    if (!stream->openEntry(*entry)) {
        return nullptr;
    }
    return stream;
}

size_t PackEntry::handleCount() const {
    Lock lock(this);
    return handles_.size();
}

}  // namespace lume
