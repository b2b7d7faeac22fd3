// Where a download thread delivers the blocks it has fetched. The update run implements it
// and passes each block on to its file writer.
#pragma once

namespace lume {

struct BlockTask;

class BlockSink {
public:
    virtual ~BlockSink() = default;

    // Called on the download thread that fetched the block, once per fetched block (blocks
    // that fail are only counted by their thread). task.buffer holds the block's bytes,
    // positioned at 0; the sink may move it out (the writer takes it), otherwise it is
    // released with the task. Several download threads call this at once, each holding its
    // own lock (so that a finished update receives nothing more): it must not call back into
    // the download threads or wait for anything that does.
    virtual void onBlockDownloaded(BlockTask& task) = 0;
};

}  // namespace lume
