// The on-disk layout of resource packs (".pak") and of pack patch lists ("!PTI"): a fixed
// 8 MiB index region (header, key table, free-block table, record table, zero fill) and a
// data region of blocks. All integers are little-endian; the structs below are the exact
// byte layouts and are read and written as they stand.
#pragma once

#include <bit>
#include <cstdint>

namespace lume {

static_assert(std::endian::native == std::endian::little,
              "pack structures are read and written in host byte order");

constexpr uint32_t kPackMagic = 0x4B415021u;  // "!PAK"
constexpr uint32_t kPackVersion = 8;
constexpr uint32_t kIndexRegionSize = 0x800000u;  // the data region starts here
constexpr uint16_t kRootParent = 0xFFFF;

#pragma pack(push, 1)

struct PackHeader {
    uint32_t magic = kPackMagic;
    uint32_t version = kPackVersion;
    uint32_t recordCount = 0;  // records, root included
    uint32_t keyTableOffset = 48;
    uint32_t keyTableSize = 0;        // 4 * recordCount
    uint32_t freeTableOffset = 48;    // right after the key table
    uint32_t freeTableSize = 0;       // 12 * free blocks
    uint32_t indexCrc = 0;            // IndexCrc of the records
    uint32_t recordTableOffset = 48;  // right after the free-block table
    uint32_t recordTableSize = 0;     // 36 * recordCount
    uint32_t dataOffset = kIndexRegionSize;
    uint32_t dataSize = 0;  // file length - 8 MiB at the last index rewrite
};

struct PackRecord {
    uint32_t nameKey = 0;      // NameKey of the file; of the pack's stem for the root
    uint32_t zipSize = 0;      // stored bytes at the start of the block
    uint32_t offset = 0;       // absolute position of the block
    uint32_t size = 0;         // uncompressed size
    uint32_t blockSize = 0;    // bytes reserved; stored data then zeros
    uint32_t dataCrc = 0;      // checksum of the stored bytes
    uint16_t parentIndex = 0;  // kRootParent marks the root
    uint16_t flags = 0;
    uint32_t extra1 = 0;  // checksum of the uncompressed file
    uint32_t extra2 = 0;
};

struct FreeBlock {
    uint32_t offset = 0;
    uint32_t size = 0;
    uint32_t reserved = 0;
};

constexpr uint32_t kPatchListMagic = 0x49545021u;  // "!PTI"
constexpr uint32_t kPatchListVersion = 5;

// Pack modes: the patch list's mode and the pack write thread's task kind.
constexpr uint32_t kPackModeMerge = 2;  // patch the pack in place
constexpr uint32_t kPackModeBuild = 3;  // build the pack anew

struct PackPatchListHeader {
    uint32_t magic = kPatchListMagic;
    uint32_t version = kPatchListVersion;
    uint32_t listId = 0;  // the pack's expected IndexCrc
    uint32_t itemCount = 0;
    uint32_t doneCount = 0;  // the producer's; not used by the pack store
    uint32_t mode = 0;       // kPackModeMerge or kPackModeBuild
};

struct PackPatchItem {
    uint32_t nameKey = 0;  // names the staged file update\<stem>\<key>.gzf
    uint32_t zipSize = 0;
    uint32_t unused0 = 0;
    uint32_t size = 0;
    uint32_t blockSize = 0;
    uint32_t dataCrc = 0;
    uint16_t parentIndex = 0;
    uint16_t flags = 0;
    uint32_t extra1 = 0;
    uint32_t extra2 = 0;
    uint32_t unused1 = 0;
    uint32_t startOffset = 0;  // position in the producer's download file
};

#pragma pack(pop)

static_assert(sizeof(PackHeader) == 48);
static_assert(sizeof(PackRecord) == 36);
static_assert(sizeof(FreeBlock) == 12);
static_assert(sizeof(PackPatchListHeader) == 24);
static_assert(sizeof(PackPatchItem) == 44);

}  // namespace lume
