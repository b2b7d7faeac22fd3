// The block index file (".igzf") beside a file being downloaded, as a resume reads it.
#include "engine/FileSystem/MemoryStream.h"
#include "tests/fuzz/FuzzSupport.h"
#include "transfer/BlockIndexFile.h"

using namespace lume;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MemoryStream stream(static_cast<uint32_t>(size));
    if (size != 0 && !stream.write(data, static_cast<uint32_t>(size))) {
        return 0;
    }
    BlockIndexHeader header;
    std::vector<BlockIndexEntry> entries;
    if (BlockIndexFile::read(stream, header, entries)) {
        for (const BlockIndexEntry& e : entries) {
            static_cast<void>(BlockIndexFile::entryPosition(e.blockIndex));
        }
    }
    return 0;
}
