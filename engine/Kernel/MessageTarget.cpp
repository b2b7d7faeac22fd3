#include "engine/Kernel/MessageTarget.h"

namespace lume {

bool MessageQueue::post(uint32_t message, uint32_t wParam, uint32_t lParam) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        queue_.push_back({message, wParam, lParam});
    }
    arrived_.notify_one();
    return true;
}

std::optional<PostedMessage> MessageQueue::waitPop(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!arrived_.wait_for(lock, timeout, [this] { return !queue_.empty(); })) {
        return std::nullopt;
    }
    PostedMessage m = queue_.front();
    queue_.pop_front();
    return m;
}

std::optional<PostedMessage> MessageQueue::tryPop() {
    return waitPop(std::chrono::milliseconds(0));
}

std::vector<PostedMessage> MessageQueue::drain() {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<PostedMessage> all(queue_.begin(), queue_.end());
    queue_.clear();
    return all;
}

}  // namespace lume
