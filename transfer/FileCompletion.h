// What the file writer calls when every block of a file is stored. The update run implements
// it to verify the file and put it in place (or count it towards its pack).
#pragma once

#include <cstdint>
#include <string>

namespace lume {

class FileCompletion {
public:
    virtual ~FileCompletion() = default;

    // Called on the file writer's thread, once per file whose blocks are all stored, after
    // both temporary files are closed. firstName: the update run's first name for the file
    // (the pack path of a file inside a pack, empty for a loose file); indexPath and
    // dataPath: the block index file and the temporary data file; type, zipSize, size and
    // versionKey as the blocks carried them. False counts the file as unfinished.
    virtual bool onFileComplete(const std::u16string& firstName, const std::u16string& localPath,
                                const std::u16string& indexPath, const std::u16string& dataPath,
                                int32_t type, uint32_t zipSize, uint32_t size,
                                uint32_t versionKey) = 0;

    // Called on the file writer's thread after each block is stored in the temporary data
    // file, with its bytes and its position there, so that the owner can digest a file while
    // it streams in instead of reading it back when it is complete. Nothing by default.
    virtual void onBlockStored([[maybe_unused]] const std::u16string& localPath,
                               [[maybe_unused]] int32_t type,
                               [[maybe_unused]] uint32_t localPosition,
                               [[maybe_unused]] const uint8_t* data,
                               [[maybe_unused]] uint32_t length) {}
};

}  // namespace lume
