// Idle workers wait for work or a stop instead of polling: a wake is never lost, and both
// new work and a stop request end the wait however long its limit.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "engine/Kernel/MessageTarget.h"
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

TEST(WakeSignal, WorkAndStopEndAnIdleWait) {
    Worker worker;
    ASSERT_TRUE(worker.start());
    for (int i = 1; i <= 3; ++i) {
        worker.queued.store(i);
        worker.wake();
        while (worker.done.load() < i) {
            std::this_thread::yield();
        }
    }
    EXPECT_TRUE(worker.stopAndJoin());
    EXPECT_EQ(worker.done.load(), 3);
}

TEST(MessageQueue, APostFromAnotherThreadEndsAnHourLongWait) {
    MessageQueue queue;
    std::thread poster([&] { queue.post(6028, 1, 2); });
    const std::optional<PostedMessage> m = queue.waitPop(hours(1));
    poster.join();
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->message + m->wParam + m->lParam, 6031u);
}

}  // namespace
}  // namespace lume
