#include "transfer/BlockIndexFile.h"

#include "engine/FileSystem/Stream.h"

namespace lume {

std::optional<uint32_t> BlockIndexFile::entryPosition(uint32_t blockIndex) {
    const uint64_t position = kHeaderSize + uint64_t{kEntrySize} * blockIndex;
    if (position + kEntrySize > UINT32_MAX) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(position);
}

bool BlockIndexFile::write(Stream& stream, uint32_t versionKey,
                           const std::vector<BlockIndexEntry>& entries) {
    if (entries.size() > UINT32_MAX ||
        fileLength(static_cast<uint32_t>(entries.size())) > UINT32_MAX) {
        return false;
    }
    BlockIndexHeader header;
    header.versionKey = versionKey;
    header.count = static_cast<uint32_t>(entries.size());
    if (!stream.write(&header, kHeaderSize)) {
        return false;
    }
    return entries.empty() ||
           stream.write(entries.data(), static_cast<uint32_t>(entries.size() * kEntrySize));
}

bool BlockIndexFile::read(Stream& stream, BlockIndexHeader& header,
                          std::vector<BlockIndexEntry>& entries) {
    entries.clear();
    const uint32_t length = stream.size();
    uint32_t got = 0;
    if (length < kHeaderSize || !stream.seek(0) || !stream.read(&header, kHeaderSize, &got) ||
        got != kHeaderSize) {
        return false;
    }
    if (header.magic != kPatchListMagic || header.version != kPatchListVersion ||
        fileLength(header.count) != length) {
        return false;
    }
    entries.resize(header.count);
    if (header.count == 0) {
        return true;
    }
    const uint32_t bytes = header.count * kEntrySize;
    if (!stream.read(entries.data(), bytes, &got) || got != bytes) {
        entries.clear();
        return false;
    }
    return true;
}

}  // namespace lume
