#include "engine/Kernel/WakeSignal.h"

namespace lume {

uint64_t WakeSignal::count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

void WakeSignal::wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++count_;
    }
    changed_.notify_all();
}

bool WakeSignal::waitSince(uint64_t seen, Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_until(lock, deadline, [&] { return count_ != seen; });
}

}  // namespace lume
