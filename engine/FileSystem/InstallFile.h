// Putting a file in place from the data it travels as (raw deflate, or its bytes as they
// are), for the online update and the offline patch alike: the file is written beside its
// target in fixed-size steps, checked, then moved over the target in one step, so a
// failure anywhere leaves the old file as it was and no file is ever held in memory.
#pragma once

#include <cstdint>
#include <string>

namespace lume {

enum class UnpackError {
    kNone,
    kOpen,     // the data cannot be opened or read
    kInflate,  // the data is damaged, or does not come out at the expected size
    kWrite,    // the new file cannot be written
};

// Writes the file that dataPath carries to a new file at target: inflated when packed,
// copied otherwise. It must come out at exactly size bytes; crc receives the checksum of
// what was written. With sync, the data is on the disk when this returns, so that the file
// can replace another. On any failure target is deleted and the failure is logged.
UnpackError unpackFile(const std::u16string& dataPath, const std::u16string& target, bool packed,
                       uint32_t size, bool sync, uint32_t& crc);

// Moves a finished file over target in one step that survives a power cut (its data synced
// first, the folders after), creating missing folders. Only a target held open by another
// program (the running game) makes the file go to target + ".back", which start-up puts in
// place: any other failure is a failure, since a ".back" copy nobody restores would pass
// for an installed file at every update. A folder where the file belongs is removed when
// empty; otherwise the file cannot be installed.
//
// With inBatch the caller has already synced from's data together with other files and will
// make the folders durable with one sync of the file system once the whole batch is in
// place (the file writer's sync thread does both): the rename alone is done here, since a
// sync per file and folder would cost thousands of journal flushes in a large update. Until
// that last sync a power cut can only undo the rename, leaving the old file, which the
// next run's check finds out of date and fetches again.
[[nodiscard]] bool putInPlace(const std::u16string& from, const std::u16string& target,
                              bool inBatch = false);

}  // namespace lume
