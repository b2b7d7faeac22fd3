// Helpers shared by the transfer tests: bytes that show a misplaced block, a sink that keeps
// every delivered block, and bounded waits.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Text.h"
#include "tests/support/LogCapture.h"
#include "transfer/BlockSink.h"
#include "transfer/HttpDownloader.h"

namespace lume::test {

// Bytes that differ at every offset of a 32 KiB block, so a block in the wrong place shows.
inline std::string patternBytes(size_t size, uint32_t seed = 1) {
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<char>((x >> 16) ^ (i >> 8));
    }
    return out;
}

// Waits until done() holds, at most limit (a safety net); true when it held.
inline bool waitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Keeps every block a download thread delivers (called on the download threads).
class RecordingSink : public BlockSink {
public:
    struct Delivered {
        BlockTask task;  // without its buffer
        std::string bytes;
        uint32_t position = 0;  // of the buffer when delivered
    };
    void onBlockDownloaded(BlockTask& task) override {
        auto d = std::make_shared<Delivered>();
        d->position = task.buffer->tell();
        d->bytes.resize(task.buffer->size());
        task.buffer->seek(0);
        task.buffer->read(d->bytes.data(), static_cast<uint32_t>(d->bytes.size()));
        task.buffer.reset();
        d->task = std::move(task);
        std::lock_guard<std::mutex> lock(mutex_);
        blocks_.push_back(std::move(d));
    }
    std::vector<std::shared_ptr<const Delivered>> blocks() {
        std::lock_guard<std::mutex> lock(mutex_);
        return blocks_;
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return blocks_.size();
    }

private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<const Delivered>> blocks_;
};

}  // namespace lume::test
