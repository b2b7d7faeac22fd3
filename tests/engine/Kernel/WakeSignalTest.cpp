// Idle workers wait for work or a stop instead of polling: a wake is never lost.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "engine/Kernel/WakeSignal.h"
#include "engine/Kernel/luThread.h"

namespace lume {
namespace {

using std::chrono::hours;

TEST(WakeSignal, AWakeBetweenLookingAndWaitingIsNotLost) {
    WakeSignal signal;
    const uint64_t seen = signal.count();
    signal.wake();
    EXPECT_TRUE(signal.waitSince(seen, WakeSignal::Clock::now() + hours(1)));
    // Without a wake since, the wait runs to its deadline.
    EXPECT_FALSE(signal.waitSince(signal.count(), WakeSignal::Clock::now()));
}

// Takes work items one by one and otherwise waits an hour at a time.
class Worker : public luThread {
public:
    ~Worker() override { stopAndJoin(); }
    void run() override {
        const uint64_t seen = wakeCount();
        if (queued.load() == done.load()) {
            idleWait(seen, hours(1));
            return;
        }
        done.fetch_add(1);
    }
    std::atomic<int> queued{0};
    std::atomic<int> done{0};
};

}  // namespace
}  // namespace lume
