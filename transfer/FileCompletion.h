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
};

}  // namespace lume
