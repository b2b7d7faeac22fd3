// The block index file (".igzf", ".ipatch") beside a file being downloaded: which blocks of
// the temporary data file are stored. The update run writes the header and every entry when
// it plans a file and reads the file back to resume; the file writer rewrites one entry per
// stored block. Little-endian u32 fields throughout; a complete file is exactly
// 16 + 20 * N bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/FileSystem/PackFormat.h"

namespace lume {

class Stream;

#pragma pack(push, 1)

struct BlockIndexHeader {
    uint32_t magic = kPatchListMagic;  // "!PTI"
    uint32_t version = kPatchListVersion;
    uint32_t versionKey = 0;  // id of the file's version (its zipcrc)
    uint32_t count = 0;       // N, the number of blocks
};

struct BlockIndexEntry {
    uint32_t offset = 0;  // of the block in the remote file
    uint32_t blockIndex = 0;
    uint32_t localPosition = 0;  // of the block in the temporary data file
    uint32_t size = 0;
    uint32_t written = 0;  // bytes stored; the block is done when written == size
};

#pragma pack(pop)

static_assert(sizeof(BlockIndexHeader) == 16);
static_assert(sizeof(BlockIndexEntry) == 20);

struct BlockIndexFile {
    static constexpr uint32_t kHeaderSize = sizeof(BlockIndexHeader);
    static constexpr uint32_t kEntrySize = sizeof(BlockIndexEntry);

    // Where the entry of a block lives; none when that lies beyond 4 GiB.
    static std::optional<uint32_t> entryPosition(uint32_t blockIndex);
    // The exact length of a complete file of count entries (64-bit: counts are untrusted).
    static uint64_t fileLength(uint32_t count) {
        return kHeaderSize + uint64_t{kEntrySize} * count;
    }

    // Writes the header and every entry from the stream's current position.
    [[nodiscard]] static bool write(Stream& stream, uint32_t versionKey,
                                    const std::vector<BlockIndexEntry>& entries);
    // Reads a whole file from position 0. False unless the stream's length is exactly
    // 16 + 20 * N and the magic and version are right; the caller compares versionKey.
    static bool read(Stream& stream, BlockIndexHeader& header,
                     std::vector<BlockIndexEntry>& entries);
};

}  // namespace lume
