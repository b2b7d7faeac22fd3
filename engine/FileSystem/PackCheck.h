// Whether a pack on disk deserves trust: its index read back and judged (is it whole, does
// its checksum agree with its records, is its structure sound), and, when the index may be
// wrong or the disk may have rotted, the stored bytes of its members checked one by one
// against their data checksums.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/FileSystem/PackIndex.h"

namespace lume {

class Stream;

struct PackInspection {
    bool readable = false;       // the index loads (see loadPackIndex)
    bool crcConsistent = false;  // header field 28 is the IndexCrc of the records
    PackDamage damage = PackDamage::kNone;
    std::string why;  // the reason when not readable or damaged
    PackIndex index;

    // Whole, consistent and undamaged: the header's checksum says what the pack holds (as
    // far as the index can tell; the members' bytes are another matter).
    bool sound() const { return readable && crcConsistent && damage == PackDamage::kNone; }
};

// Reads and judges the index of the pack at path (opened read-only).
PackInspection inspectPack(std::u16string_view path);

// Called with the bytes checked so far; true stops the check.
using PackCheckProgress = std::function<bool(uint64_t bytesDone)>;

// The positions (in index.records) of the non-root records whose stored bytes do not have
// their data checksum, or cannot be read; with unpack, also those whose stored bytes do not
// unpack to the size the record gives (a damaged size field leaves a member the game cannot
// read, while the index checksum covers only keys and data checksums). false when stopped by
// progress.
bool findRottenMembers(Stream& pack, const PackIndex& index, std::vector<uint32_t>& rotten,
                       const PackCheckProgress& progress = {}, bool unpack = false);

// The bytes findRottenMembers reads for an index.
uint64_t storedBytes(const PackIndex& index);

// Copies the stored bytes of a record to a new file at target, synced and put in place in
// one step, when they have the checksum expected; false (nothing left at target) otherwise.
bool salvageMember(Stream& pack, const PackRecord& record, uint32_t expectedCrc,
                   std::u16string_view target);

}  // namespace lume
