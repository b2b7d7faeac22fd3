// What the file writer calls when every block of a file is stored. The update run implements
// it to verify the file and put it in place (or count it towards its pack). It comes in two
// steps so that files are checked on several cores at once and share the syncs of the disk:
// prepareFile checks the data and writes the file's final bytes; the step it returns runs
// once those bytes are on the disk and renames them into place.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "transfer/Block.h"

namespace platform {
class NativeFile;
}

namespace lume {

class FileCompletion {
public:
    struct Prepared {
        // The file failed its check or could not be prepared: it counts as unfinished, and
        // nothing else happens.
        bool refused = false;
        // Written bytes that must be on the disk before finish runs (by path).
        std::vector<std::u16string> durable;
        // Puts the file in place (the renames) and what follows; false counts the file as
        // unfinished. Called on the writer's sync thread, in the order the files were
        // prepared; synced is false when the bytes could not be synced (nothing may then
        // count as stored).
        std::function<bool(bool synced)> finish;
    };

    virtual ~FileCompletion() = default;

    // Called on one of the writer's install threads (several files at once), once per file
    // whose blocks are all stored. data: the temporary data file, open for reading and
    // writing, or null when the writer kept the file in memory (bytes then holds the whole
    // download data and no temporary file exists).
    virtual Prepared prepareFile(const DownloadFile& file, platform::NativeFile* data,
                                 std::vector<uint8_t> bytes) = 0;

    // Called on the file writer's thread after each block is stored in the temporary data
    // file, with its bytes and its position there, so that the owner can digest a file while
    // it streams in instead of reading it back when it is complete. Not called for files
    // kept in memory. Nothing by default.
    virtual void onBlockStored([[maybe_unused]] const std::u16string& localPath,
                               [[maybe_unused]] int32_t type,
                               [[maybe_unused]] uint32_t localPosition,
                               [[maybe_unused]] const uint8_t* data,
                               [[maybe_unused]] uint32_t length) {}
};

}  // namespace lume
