// The read side of one pack: its index loaded into a tree of FileEntry objects, and the
// per-thread read handles through which contained files are opened as ZipStreams.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/FileSystem/BlankBlockPool.h"
#include "engine/FileSystem/PackFormat.h"
#include "engine/FileSystem/ZipStream.h"
#include "engine/Kernel/Lock.h"
#include "engine/Kernel/StringPool.h"

namespace lume {

class PackEntry;
class WinStream;

// Name key of a contained file -> (the key itself, the root key of the pack that supplies
// it). Filled while packs load; a later pack takes over a key from an earlier one.
using PackNameMap = std::unordered_map<uint32_t, std::pair<uint32_t, uint32_t>>;

// One record of a loaded pack, with the children that name it as their parent.
class FileEntry {
public:
    FileEntry(uint32_t index, const PackRecord& record, PackEntry* pack);
    virtual ~FileEntry();
    FileEntry(const FileEntry&) = delete;
    FileEntry& operator=(const FileEntry&) = delete;

    // Appends the child; a lookup by key finds the first child added under that key.
    void addChild(std::unique_ptr<FileEntry> child);
    const FileEntry* findChild(uint32_t nameKey) const;
    size_t childCount() const { return children_ ? children_->list.size() : 0; }

    uint32_t index() const { return index_; }
    uint32_t nameKey() const { return nameKey_; }
    uint32_t zipSize() const { return zipSize_; }
    uint32_t offset() const { return offset_; }
    uint32_t size() const { return size_; }
    uint32_t blockSize() const { return blockSize_; }
    uint32_t dataCrc() const { return dataCrc_; }
    uint32_t extra1() const { return extra1_; }
    uint16_t flags() const { return flags_; }
    PackEntry* pack() const { return pack_; }

private:
    struct Children {
        std::vector<std::unique_ptr<FileEntry>> list;
        std::unordered_map<uint32_t, FileEntry*> byKey;
    };

    uint32_t index_;
    uint32_t zipSize_;
    uint32_t offset_;
    uint32_t size_;
    uint32_t blockSize_;
    uint32_t dataCrc_;
    uint32_t extra1_;
    uint16_t flags_;
    uint32_t nameKey_;
    PackEntry* pack_;
    // Most records have no children; they pay for one pointer only.
    std::unique_ptr<Children> children_;
};

class PackEntry : public ObjectLevelLockable<PackEntry> {
public:
    explicit PackEntry(uint32_t packKey);
    virtual ~PackEntry();
    PackEntry(const PackEntry&) = delete;
    PackEntry& operator=(const PackEntry&) = delete;

    // Opens the pack read-only, loads its index and builds the tree, entering every
    // contained key in names. The handle is kept as the calling thread's read handle and
    // returned; null when the pack cannot be used, with the reason in problem (which also
    // reports records that were skipped as unreadable when the pack loads).
    WinStream* open(std::u16string_view path, PackNameMap& names, std::string* problem = nullptr);

    // Walks count keys down from the root, one per level, and opens the record found as a
    // stream owned by the caller; null when a key is missing or no handle can be opened.
    // The stream reads through this thread's handle on the pack and keeps that handle
    // alive, so it stays valid after the entry is gone; read on another thread, it opens
    // a private handle instead. The mode has no effect. Called on any thread.
    std::unique_ptr<ZipStream> openFile(const uint32_t* keys, size_t count, int mode);

    uint32_t packKey() const { return packKey_; }
    const std::u16string& path() const { return path_; }
    const PackHeader& header() const { return header_; }
    // The root through which lookups go; null until a pack with a root has loaded.
    const FileEntry* root() const { return roots_.empty() ? nullptr : roots_.back().get(); }
    // The key table, as a pool with its own lock.
    StringPool& keyTable() const { return keyTable_; }
    const BlankBlockPool& pool() const { return pool_; }
    // Read handles open on the pack, one per thread that has read from it.
    size_t handleCount() const;

private:
    std::shared_ptr<WinStream> threadHandle();
    void clearTree();

    std::unordered_map<uint32_t, std::shared_ptr<WinStream>> handles_;  // by thread id
    // Each root record starts a tree; the last one is the pack's root. Records whose block
    // lies outside the file hang in no tree and are owned here.
    std::vector<std::unique_ptr<FileEntry>> roots_;
    std::vector<std::unique_ptr<FileEntry>> unreadable_;
    uint32_t packKey_;
    std::u16string path_;
    mutable StringPool keyTable_;
    BlankBlockPool pool_;
    PackHeader header_;
};

}  // namespace lume
