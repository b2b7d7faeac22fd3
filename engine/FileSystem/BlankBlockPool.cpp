#include "engine/FileSystem/BlankBlockPool.h"

#include <algorithm>

#include "engine/FileSystem/Stream.h"

namespace lume {

void BlankBlockPool::clear() {
    LockGuard guard(lock_);
    blocks_.clear();
}

bool BlankBlockPool::load(Stream& stream, uint32_t byteSize) {
    LockGuard guard(lock_);
    clear();
    const uint32_t count = byteSize / sizeof(FreeBlock);
    if (count == 0) {
        return true;
    }
    std::vector<FreeBlock> blocks(count);
    const uint32_t bytes = count * sizeof(FreeBlock);
    uint32_t got = 0;
    if (!stream.read(blocks.data(), bytes, &got) || got != bytes) {
        return false;
    }
    blocks_ = std::move(blocks);
    return true;
}

bool BlankBlockPool::write(Stream& stream) const {
    if (blocks_.empty()) {
        return true;
    }
    return stream.write(blocks_.data(), byteSize());
}

size_t BlankBlockPool::add(uint32_t offset, uint32_t size, uint32_t reserved) {
    for (size_t i = 0; i < blocks_.size(); ++i) {
        if (blocks_[i].offset == offset) {
            blocks_[i].size = size;
            return i;
        }
    }
    blocks_.push_back(FreeBlock{offset, size, reserved});
    return blocks_.size() - 1;
}

bool BlankBlockPool::findBestFit(uint32_t needed, FreeBlock& found) const {
    uint32_t bestSlack = kMaxSlack;
    const FreeBlock* chosen = nullptr;
    for (const FreeBlock& block : blocks_) {
        if (block.size >= needed && block.size - needed <= bestSlack) {
            bestSlack = block.size - needed;
            chosen = &block;
        }
    }
    if (chosen == nullptr) {
        return false;
    }
    found = *chosen;
    return true;
}

void BlankBlockPool::remove(uint32_t offset) {
    const auto it = std::find_if(blocks_.begin(), blocks_.end(),
                                 [offset](const FreeBlock& b) { return b.offset == offset; });
    if (it != blocks_.end()) {
        blocks_.erase(it);
    }
}

}  // namespace lume
