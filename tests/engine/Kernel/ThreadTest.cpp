// Worker threads, locks and singletons: the lifecycle every background activity relies on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "engine/Kernel/Lock.h"
#include "engine/Kernel/Singleton.h"
#include "engine/Kernel/luThread.h"
#include "platform/Thread.h"

namespace lume {
namespace {

class CountingThread : public luThread {
public:
    ~CountingThread() override { stopAndJoin(); }
    void run() override {
        passes.fetch_add(1);
        ranOn.store(platform::currentThreadId());
        if (stopAfter != 0 && passes.load() >= stopAfter) {
            requestStop();  // a worker may end itself, as the probe threads do
        }
    }
    void onExit() override {
        exits.fetch_add(1);
        exitOn.store(platform::currentThreadId());
    }
    std::atomic<int> passes{0};
    std::atomic<int> exits{0};
    std::atomic<uint32_t> ranOn{0};
    std::atomic<uint32_t> exitOn{0};
    int stopAfter = 0;
};

TEST(luThread, NoThreadMeansNothingToStop) {
    CountingThread t;
    EXPECT_TRUE(t.isStopped());
    EXPECT_FALSE(t.requestStop());
    EXPECT_TRUE(t.isStopped());
    EXPECT_FALSE(t.stopAndJoin());
    EXPECT_EQ(t.threadHandle(), nullptr);
    EXPECT_EQ(t.name(), "thread");
}

TEST(luThread, RunsUntilStoppedThenExitsOnce) {
    CountingThread t;
    ASSERT_TRUE(t.start());
    EXPECT_FALSE(t.isStopped());
    EXPECT_NE(t.threadHandle(), nullptr);
    while (t.passes.load() < 3) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(t.requestStop());
    EXPECT_TRUE(t.stopAndJoin());
    EXPECT_EQ(t.exits.load(), 1);
    EXPECT_EQ(t.threadHandle(), nullptr);
    // run() and onExit() ran on the worker, not here.
    EXPECT_NE(t.ranOn.load(), platform::currentThreadId());
    EXPECT_EQ(t.exitOn.load(), t.ranOn.load());
    EXPECT_EQ(t.threadId(), t.ranOn.load());
    const int passes = t.passes.load();
    platform::sleepMs(20);
    EXPECT_EQ(t.passes.load(), passes);

    // A stopped thread object can be started again.
    ASSERT_TRUE(t.start());
    EXPECT_FALSE(t.isStopped());
    EXPECT_TRUE(t.stopAndJoin());
    EXPECT_EQ(t.exits.load(), 2);
}

TEST(luThread, WorkerStopsItself) {
    CountingThread t;
    t.stopAfter = 5;
    ASSERT_TRUE(t.start(0x100000));
    while (t.exits.load() == 0) {
        std::this_thread::yield();
    }
    EXPECT_EQ(t.passes.load(), 5);
    EXPECT_TRUE(t.stopAndJoin());
}

TEST(luThread, DestructorJoins) {
    std::atomic<int>* exits = nullptr;
    {
        auto t = std::make_unique<CountingThread>();
        ASSERT_TRUE(t->start(0x800000));
        t->setName("http download thread 3");
        EXPECT_EQ(t->name(), "http download thread 3");
        exits = &t->exits;
        EXPECT_EQ(exits->load(), 0);
    }
    SUCCEED();  // reaching here without a hang or a sanitizer report is the test
}

TEST(Locks, RecursiveAndExclusive) {
    CLock lock;
    lock.lock("file", 1);
    lock.lock();
    lock.unlock();
    lock.unlock();

    struct Counter : ObjectLevelLockable<Counter> {
        int value = 0;
    } counter;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            for (int k = 0; k < 10000; ++k) {
                ObjectLevelLockable<Counter>::Lock outer(&counter);
                ObjectLevelLockable<Counter>::Lock inner(&counter);  // recursive
                ++counter.value;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(counter.value, 40000);
    ObjectLevelLockable<Counter>::Lock none(nullptr);  // a null object locks nothing

    CLock shared;
    int total = 0;
    std::thread a([&] {
        for (int k = 0; k < 10000; ++k) {
            LockGuard g(shared);
            ++total;
        }
    });
    for (int k = 0; k < 10000; ++k) {
        LockGuard g(shared);
        ++total;
    }
    a.join();
    EXPECT_EQ(total, 20000);
}

struct Registered : Singleton<Registered> {
    int value = 3;
};
struct Other : Singleton<Other> {};

TEST(Singleton, LivesExactlyAsLongAsTheObject) {
    EXPECT_EQ(Registered::instance(), nullptr);
    auto* r = new Registered;
    EXPECT_EQ(Registered::instance(), r);
    EXPECT_EQ(Registered::instance()->value, 3);
    EXPECT_EQ(Other::instance(), nullptr);
    delete r;
    EXPECT_EQ(Registered::instance(), nullptr);

    // A newer object takes the pointer; destroying the older one leaves it alone.
    auto* first = new Registered;
    auto* second = new Registered;
    EXPECT_EQ(Registered::instance(), second);
    delete first;
    EXPECT_EQ(Registered::instance(), second);
    delete second;
    EXPECT_EQ(Registered::instance(), nullptr);
}

}  // namespace
}  // namespace lume
