// A pack's index as its writers see it: the index checksum, the checks that keep a damaged
// index from steering reads or writes outside the file, the index load shared by every
// operation that changes a pack, and the one function that rewrites the index region.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/FileSystem/BlankBlockPool.h"
#include "engine/FileSystem/PackFormat.h"

namespace lume {

class Stream;

// The checksum in header field 28: the file checksum over the (name key, data crc) pairs of
// every record but the root, sorted by key. A root-only pack gives 0xFFFFFFFF.
uint32_t indexCrc(const std::vector<PackRecord>& records);

// True when index tables of recordCount records and freeBlocks holes fit the index region.
bool indexFits(uint64_t recordCount, uint64_t freeBlocks);

// The header's tables must lie back to back from byte 48, hold whole entries, agree with
// the record count and end inside the index region. False with a reason otherwise.
bool checkIndexLayout(const PackHeader& header, std::string* why = nullptr);

// A block that holds bytes must lie in the data region and end inside the file.
inline bool regionInData(uint32_t offset, uint32_t length, uint32_t fileEnd) {
    return length == 0 ||
           (offset >= kIndexRegionSize && static_cast<uint64_t>(offset) + length <= fileEnd);
}

// The upper bound of what zipSize bytes of raw deflate data can inflate to (deflate cannot
// do better than about 1032:1), so a damaged size never asks for gigabytes.
inline uint64_t maxInflatedSize(uint32_t zipSize) {
    return static_cast<uint64_t>(zipSize) * 1032 + 1024;
}

// The steps of the index load, in order; the first one that fails is reported.
enum class IndexLoadError {
    kNone,
    kHeaderRead,  // the 48 header bytes could not be read
    kVersion,     // magic or version wrong
    kRecordSeek,  // the table layout is impossible, the file is shorter than the index
    kRecordRead,  // the record table is short, or a record's block lies outside the file
    kFreeSeek,    // the free-block table cannot be reached
    kFreeLoad,    // the free-block table is short, or a hole lies outside the data region
};

// The index of a pack loaded for a change. fileEnd is the file length at load time.
struct PackIndex {
    PackHeader header;
    std::vector<PackRecord> records;
    BlankBlockPool pool;
    uint32_t fileEnd = 0;
};

// Reads header, record table and free-block table from a pack opened for reading and
// writing. Anything that would make a later write land outside the pack's data region is
// refused, so a pack that fails here is never written. why receives a reason for the
// refusals that are not plain read failures.
IndexLoadError loadPackIndex(Stream& pack, PackIndex& index, std::string* why = nullptr);

// The end of the index tables of a header (where the zero fill starts), and of tables with
// these counts.
inline uint64_t indexTablesEnd(const PackHeader& h) {
    return uint64_t{h.recordTableOffset} + h.recordTableSize;
}
inline uint64_t indexTablesEnd(uint64_t recordCount, uint64_t freeBlocks) {
    return sizeof(PackHeader) + recordCount * (sizeof(uint32_t) + sizeof(PackRecord)) +
           freeBlocks * sizeof(FreeBlock);
}

// Damage that an index can carry and still load: writing by it would destroy members, and
// reading by it would miss some.
enum class PackDamage {
    kNone,
    kNoRoot,       // record 0 is not the root, or there is no record at all
    kOutsideTree,  // a record hangs under no parent (its parent index is not an earlier
                   // record), or a second root cuts records off the pack's root
    kOverlap,      // two blocks overlap: records, holes, or a hole over a record
};

// The structure of a loaded index; why receives the first damage found.
PackDamage checkPackStructure(const PackIndex& index, std::string* why = nullptr);

// Rewrites the index region: zero fill, key table, free-block table, record table, and the
// header last, so that an interrupted rewrite leaves a header without its magic and the pack
// is refused rather than read with half an index. The region is written up to zeroUpTo (the
// whole 8 MiB by default), or further when the new tables need it: a rewrite in place passes
// where the old tables ended, beyond which the region is zero before and after. Data size is
// fileEnd - 8 MiB. Nothing is written when the tables would not fit the region. False when
// any step fails. written, when given, receives the header.
[[nodiscard]] bool writePackIndex(Stream& pack, const std::vector<PackRecord>& records,
                                  const BlankBlockPool& pool, uint32_t fileEnd,
                                  PackHeader* written = nullptr,
                                  uint64_t zeroUpTo = kIndexRegionSize);

}  // namespace lume
