#include "transfer/Block.h"

#include <algorithm>
#include <cstdio>

#include "platform/Text.h"
#include "transfer/FileType.h"

namespace lume {

std::vector<Block> planBlocks(const std::shared_ptr<const DownloadFile>& file) {
    const uint32_t count = file->zipSize / kBlockSize + (file->zipSize % kBlockSize != 0 ? 1 : 0);
    std::vector<Block> blocks(count);
    for (uint32_t i = 0; i < count; ++i) {
        Block& block = blocks[i];
        block.file = file;
        block.offset = i * kBlockSize;
        block.localPosition = block.offset;
        block.size = std::min(kBlockSize, file->zipSize - block.offset);
        block.blockIndex = i;
    }
    return blocks;
}

std::string remotePath(int32_t type, std::u16string_view firstName, std::u16string_view localPath,
                       uint32_t versionKey) {
    const size_t nameAt = localPath.rfind(u'\\');
    const std::u16string_view name =
        nameAt == std::u16string_view::npos ? localPath : localPath.substr(nameAt + 1);
    if (name.empty()) {
        return {};
    }
    // A file inside a pack is served in the pack's folder under its staged name.
    const std::u16string_view source = type == kTypePackMember ? firstName : localPath;
    const size_t folderAt = source.rfind(u'\\');
    std::u16string path = folderAt == std::u16string_view::npos
                              ? u""
                              : std::u16string(source.substr(0, folderAt + 1));
    path += name;
    std::replace(path.begin(), path.end(), u'\\', u'/');
    path += type == kTypePackMember ? u"." : u".gzf.";
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%x", static_cast<unsigned>(versionKey));
    return platform::wideToUtf8(path) + suffix;
}

}  // namespace lume
