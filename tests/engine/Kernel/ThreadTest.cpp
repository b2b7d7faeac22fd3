// Worker threads: the lifecycle every background activity relies on.
#include <gtest/gtest.h>

#include <atomic>

#include "engine/Kernel/luThread.h"
#include "platform/Thread.h"
#include "tests/support/Sandbox.h"

namespace lume {
namespace {

class CountingThread : public luThread {
public:
    ~CountingThread() override { stopAndJoin(); }
    void run() override {
        ranOn = platform::currentThreadId();
        if (++passes == stopAfter) {
            requestStop();  // a worker may end itself, as the probe threads do
        }
    }
    void onExit() override {
        exitOn = platform::currentThreadId();
        ++exits;
    }
    std::atomic<int> passes{0}, exits{0};
    std::atomic<uint32_t> ranOn{0}, exitOn{0};
    int stopAfter = 0;
};

TEST(luThread, StartStopRestartAndSelfStop) {
    CountingThread t;
    EXPECT_TRUE(t.isStopped());
    EXPECT_FALSE(t.requestStop() || t.stopAndJoin());  // no thread: nothing to stop
    EXPECT_EQ(t.threadHandle(), nullptr);
    ASSERT_TRUE(t.start());
    t.setName("http download thread 3");
    EXPECT_EQ(t.name(), "http download thread 3");
    EXPECT_FALSE(t.isStopped());
    EXPECT_NE(t.threadHandle(), nullptr);
    ASSERT_TRUE(test::waitFor([&] { return t.passes.load() >= 3; }));
    EXPECT_TRUE(t.requestStop());
    EXPECT_TRUE(t.stopAndJoin());
    EXPECT_EQ(t.exits.load(), 1);
    EXPECT_EQ(t.threadHandle(), nullptr);
    EXPECT_NE(t.ranOn.load(), platform::currentThreadId());  // run and onExit on the worker
    EXPECT_EQ(t.exitOn.load(), t.ranOn.load());
    EXPECT_EQ(t.threadId(), t.ranOn.load());
    const int passes = t.passes.load();
    platform::sleepMs(20);
    EXPECT_EQ(t.passes.load(), passes);

    t.stopAfter = passes + 5;  // started again, it ends itself
    ASSERT_TRUE(t.start(0x100000));
    ASSERT_TRUE(test::waitFor([&] { return t.exits.load() >= 2; }));
    EXPECT_EQ(t.passes.load(), passes + 5);
    EXPECT_TRUE(t.stopAndJoin());
    auto running = std::make_unique<CountingThread>();
    ASSERT_TRUE(running->start(0x800000));
    running.reset();  // the destructor joins
}

}  // namespace
}  // namespace lume
