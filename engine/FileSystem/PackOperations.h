// The operations that change a pack on disk: merging staged files into it, building it
// anew, dropping records, and rewriting its index unchanged. Each opens the pack itself,
// works on a private copy of the index and ends with the index rewrite; the in-memory view
// of PackManager is not refreshed. Every failure is logged and fails the operation.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "engine/FileSystem/PackFormat.h"

namespace lume {

// Asked between the writes of a long operation; true stops it, and a change in place then
// leaves the pack untouched.
using StopCheck = std::function<bool()>;

// Every operation that changes a pack in place does so under the pack's journal (see
// PackJournal.h): after a crash, a failed write or a stop the pack is as it was before or
// as the whole change leaves it, at the latest when it is next opened. A pack whose index is
// damaged (see checkPackStructure) is never changed.

// Puts the files of the patch list (staged as "update\<stem>\<key>.gzf") into the pack:
// over their old block when it is big enough, else into the best-fitting hole, else at the
// end of the file; a block that moves leaves a zeroed hole. The list, every staged file and
// the room in the index are checked before the pack is written, so a missing staged file
// or an impossible list fails the merge with the pack untouched. Called on the pack write
// thread.
[[nodiscard]] bool mergePatchToPack(std::u16string_view packPath, std::u16string_view patchListPath,
                                    uint32_t listId, const StopCheck& stop = {});

// Writes a complete new pack of the listed files to outputPath (blocks back to back from
// 8 MiB, no holes), the root keyed by the hash of the pack's stem as it is written. The
// caller puts it in place of packPath. The output is synced before true; on false it is
// deleted. Called on the pack write thread.
[[nodiscard]] bool buildPack(std::u16string_view packPath, std::u16string_view outputPath,
                             std::u16string_view patchListPath, uint32_t listId,
                             const StopCheck& stop = {});

// Frees the block of each given record (its offset and block size) and drops the first
// record with its name key, if the pack has one. Block bytes stay; only the index changes.
// Called on the update thread.
[[nodiscard]] bool removeFileFromPack(std::u16string_view packPath,
                                      const std::vector<PackRecord>& records);

// Rewrites the index with the same records and holes, which recomputes its checksum.
// Called on the update thread.
[[nodiscard]] bool repairLocalFileCrc(std::u16string_view packPath);

}  // namespace lume
