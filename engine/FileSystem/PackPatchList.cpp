#include "engine/FileSystem/PackPatchList.h"

#include "engine/FileSystem/WinStream.h"
#include "engine/Kernel/Format.h"
#include "platform/Files.h"

namespace lume {

std::u16string packStem(std::u16string_view packPath) {
    const size_t slash = packPath.find_last_of(u"\\/");
    std::u16string_view name =
        slash == std::u16string_view::npos ? packPath : packPath.substr(slash + 1);
    const size_t dot = name.find_last_of(u'.');
    return std::u16string(dot == std::u16string_view::npos ? name : name.substr(0, dot));
}

std::u16string stagingDirectory(std::u16string_view packPath) {
    return u"update\\" + packStem(packPath);
}

std::u16string stagedFilePath(std::u16string_view packPath, uint32_t nameKey) {
    return formatW(u"%s\\%x.gzf", stagingDirectory(packPath), nameKey);
}

PackPatchList::LoadError PackPatchList::load(std::u16string_view path, uint32_t listId) {
    header = PackPatchListHeader{};
    items.clear();
    WinStream file;
    if (!file.open(path, 0)) {
        return LoadError::kOpen;
    }
    PackPatchListHeader read;
    uint32_t got = 0;
    if (!file.read(&read, sizeof read, &got) || got != sizeof read ||
        read.magic != kPatchListMagic) {
        return LoadError::kHeader;
    }
    if (file.size() != sizeof read + uint64_t{read.itemCount} * sizeof(PackPatchItem)) {
        return LoadError::kLength;
    }
    if (read.listId != listId) {
        return LoadError::kListId;
    }
    std::vector<PackPatchItem> list(read.itemCount);
    const uint32_t bytes = read.itemCount * static_cast<uint32_t>(sizeof(PackPatchItem));
    if (bytes != 0 && (!file.read(list.data(), bytes, &got) || got != bytes)) {
        return LoadError::kLength;
    }
    for (const PackPatchItem& item : list) {
        if (item.zipSize > item.blockSize) {
            return LoadError::kItemSize;
        }
    }
    header = read;
    items = std::move(list);
    return LoadError::kNone;
}

bool PackPatchList::save(std::u16string_view path) {
    header.itemCount = static_cast<uint32_t>(items.size());
    std::string bytes(reinterpret_cast<const char*>(&header), sizeof header);
    bytes.append(reinterpret_cast<const char*>(items.data()), items.size() * sizeof(PackPatchItem));
    // Whole or not at all, and durable: the pack write thread trusts a list it finds.
    return static_cast<bool>(platform::writeWholeFile(path, bytes));
}

const char* PackPatchList::describe(LoadError error) {
    switch (error) {
        case LoadError::kNone:
            return "ok";
        case LoadError::kOpen:
            return "cannot be opened";
        case LoadError::kHeader:
            return "has no complete \"!PTI\" header";
        case LoadError::kLength:
            return "length does not match its item count";
        case LoadError::kListId:
            return "was made for another pack index";
        case LoadError::kItemSize:
            return "has an item whose zip size exceeds its block size";
    }
    return "unknown error";
}

}  // namespace lume
