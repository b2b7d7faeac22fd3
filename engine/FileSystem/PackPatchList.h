// The pack patch list ("!PTI", version 5): the files that the pack write thread merges into
// a pack or builds a pack from, each staged as "update\<stem>\<key>.gzf". Written by the
// update run and the patch processor, read by mergePatchToPack and buildPack.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/FileSystem/PackFormat.h"

namespace lume {

// The pack's file name without folder and extension ("..\data\Data.pak" -> "Data").
std::u16string packStem(std::u16string_view packPath);
// "update\<stem>", the folder of a pack's staged files, relative to the working directory.
std::u16string stagingDirectory(std::u16string_view packPath);
// "update\<stem>\<key>.gzf" with the key in lower-case hex without leading zeros.
std::u16string stagedFilePath(std::u16string_view packPath, uint32_t nameKey);

class PackPatchList {
public:
    enum class LoadError {
        kNone,
        kOpen,      // the file cannot be opened
        kHeader,    // shorter than its header, or without the "!PTI" magic
        kLength,    // not exactly 24 + 44 * item count bytes
        kListId,    // made for another index than the task expects
        kItemSize,  // an item stores more bytes than its block holds
    };

    PackPatchListHeader header;
    std::vector<PackPatchItem> items;

    // Accepts the file only when it is whole and carries listId; on any error the list is
    // left empty.
    LoadError load(std::u16string_view path, uint32_t listId);
    // Writes header and items (the item count taken from items), replacing the file in one
    // durable step.
    [[nodiscard]] bool save(std::u16string_view path);

    static const char* describe(LoadError error);
};

}  // namespace lume
