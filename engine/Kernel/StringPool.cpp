#include "engine/Kernel/StringPool.h"

namespace lume {

void StringPool::clear() {
    LockGuard guard(*this);
    texts_.clear();
    keys_.clear();
}

uint32_t StringPool::intern(uint32_t key, const std::u16string& text) {
    LockGuard guard(*this);
    auto found = keys_.find(key);
    if (found != keys_.end()) {
        return found->second;
    }
    const auto index = static_cast<uint32_t>(texts_.size());
    texts_.push_back(text);
    keys_.emplace(key, index);
    return index;
}

std::u16string StringPool::text(uint32_t index) {
    LockGuard guard(*this);
    if (index >= texts_.size()) {
        return {};
    }
    return texts_[index];
}

void StringPool::loadKeys(std::span<const uint8_t> bytes) {
    const auto count = static_cast<uint32_t>(bytes.size() / 4);
    LockGuard guard(*this);
    texts_.clear();
    keys_.clear();
    keys_.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* p = bytes.data() + static_cast<size_t>(i) * 4;
        const uint32_t key =
            p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
        keys_.emplace(key, i);
    }
}

int64_t StringPool::find(uint32_t key) {
    LockGuard guard(*this);
    auto found = keys_.find(key);
    return found == keys_.end() ? -1 : static_cast<int64_t>(found->second);
}

uint32_t StringPool::size() {
    LockGuard guard(*this);
    return static_cast<uint32_t>(texts_.size());
}

uint32_t StringPool::keyCount() {
    LockGuard guard(*this);
    return static_cast<uint32_t>(keys_.size());
}

}  // namespace lume
