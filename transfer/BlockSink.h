// Where the download thread delivers the blocks it has fetched: the file writer.
#pragma once

#include <cstdint>
#include <vector>

#include "transfer/Block.h"

namespace lume {

class BlockSink {
public:
    virtual ~BlockSink() = default;

    // Takes one fetched block, bytes holding exactly block.size bytes. Called on the download
    // thread, once per block, under the download thread's lock (so that a finished update
    // delivers nothing more): it must not call back into the download thread or wait.
    virtual void onBlockDownloaded(const Block& block, std::vector<uint8_t> bytes) = 0;
    // True while the sink holds as many bytes as it wants to: the download thread then reads
    // nothing more from the network until the sink has room again and wakes it. Called on
    // the download thread.
    virtual bool full() const { return false; }
};

}  // namespace lume
