// Idle workers wait for work or a stop instead of polling: a wake is never lost.
#include <gtest/gtest.h>

#include <chrono>

#include "engine/Kernel/WakeSignal.h"

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

}  // namespace
}  // namespace lume
