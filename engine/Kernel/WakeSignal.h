// A wake-up a waiting thread cannot miss: the waiter notes the count before it looks for
// work, and a wait from that count returns at once when a wake came in between. Idle
// workers wait on one instead of polling with short sleeps.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace lume {

class WakeSignal {
public:
    using Clock = std::chrono::steady_clock;

    uint64_t count() const;
    // Called on any thread.
    void wake();
    // Waits until a wake after seen, or until the deadline. True when woken.
    bool waitSince(uint64_t seen, Clock::time_point deadline);

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t count_ = 0;
};

}  // namespace lume
