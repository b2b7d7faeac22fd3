#include "platform/Thread.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

#include "platform/Error.h"
#include "platform/Time.h"

namespace {

// What a routine learns about the thread it runs on.
struct Observed {
    size_t stackSize = 0;
    uint32_t id = 0;
    std::string name;
    std::string nameToSet;
    std::atomic<bool> finished{false};
};

void observe(void* argument) {
    auto* observed = static_cast<Observed*>(argument);
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* base = nullptr;
        size_t size = 0;
        pthread_attr_getstack(&attr, &base, &size);
        observed->stackSize = size;
        pthread_attr_destroy(&attr);
    }
    observed->id = platform::currentThreadId();
    if (!observed->nameToSet.empty()) {
        platform::setCurrentThreadName(observed->nameToSet);
        char name[64] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        observed->name = name;
    }
    observed->finished = true;
}

class StackSizes : public ::testing::TestWithParam<size_t> {};

TEST_P(StackSizes, TheThreadRunsOnAStackOfTheRequestedSize) {
    const size_t requested = GetParam();
    Observed observed;
    platform::NativeThread thread;
    ASSERT_TRUE(thread.start(requested, &observe, &observed));
    ASSERT_TRUE(thread.join());
    EXPECT_GE(thread.stackSize(), requested);
    EXPECT_EQ(thread.stackSize() % static_cast<size_t>(sysconf(_SC_PAGESIZE)), 0u);
    EXPECT_GE(observed.stackSize, requested);
    if (requested >= (size_t{1} << 20)) {
        // Not the 8 MiB default or some other size: exactly what was asked for. (Sanitizers
        // raise very small stacks, so the bound is checked only for real sizes.)
        EXPECT_LT(observed.stackSize, requested + 2 * static_cast<size_t>(sysconf(_SC_PAGESIZE)));
    }
}

INSTANTIATE_TEST_SUITE_P(Threads, StackSizes,
                         ::testing::Values(size_t{8} << 20, size_t{1} << 20, size_t{100001}));

TEST(Threads, DefaultStackIsReported) {
    Observed observed;
    platform::NativeThread thread;
    ASSERT_TRUE(thread.start(0, &observe, &observed));
    thread.join();
    EXPECT_GT(thread.stackSize(), 0u);
    EXPECT_GE(observed.stackSize, thread.stackSize());
}

TEST(Threads, IdIsKnownWhenStartReturns) {
    Observed observed;
    platform::NativeThread thread;
    EXPECT_EQ(thread.id(), 0u);
    ASSERT_TRUE(thread.start(0, &observe, &observed));
    const uint32_t id = thread.id();
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, platform::currentThreadId());
    thread.join();
    EXPECT_EQ(observed.id, id);
    EXPECT_EQ(platform::currentThreadId(), static_cast<uint32_t>(getpid()))
        << "the main thread's id is the process id";
}

TEST(Threads, NamesAreCutToTheSystemLimit) {
    Observed observed;
    observed.nameToSet = "lume-download-worker";
    platform::NativeThread thread;
    ASSERT_TRUE(thread.start(0, &observe, &observed));
    thread.join();
    EXPECT_EQ(observed.name, "lume-download-w");

    // 6 Chinese characters are 18 bytes; the cut falls on a character boundary.
    Observed chinese;
    chinese.nameToSet = "\xE4\xB8\x8B\xE8\xBD\xBD\xE4\xB8\x8B\xE8\xBD\xBD\xE4\xB8\x8B\xE8\xBD\xBD";
    platform::NativeThread second;
    ASSERT_TRUE(second.start(0, &observe, &chinese));
    second.join();
    EXPECT_EQ(chinese.name, chinese.nameToSet.substr(0, 15));
}

TEST(Threads, JoinWaitsAndOnlyOnce) {
    struct Slow {
        static void run(void* argument) {
            platform::sleepMs(50);
            static_cast<std::atomic<bool>*>(argument)->store(true);
        }
    };
    std::atomic<bool> done{false};
    platform::NativeThread thread;
    EXPECT_FALSE(thread.join());
    EXPECT_EQ(platform::lastError(), platform::kErrInvalidHandle);
    ASSERT_TRUE(thread.start(0, &Slow::run, &done));
    EXPECT_TRUE(thread.joinable());
    EXPECT_FALSE(thread.start(0, &Slow::run, &done)) << "one thread per object at a time";
    EXPECT_TRUE(thread.join());
    EXPECT_TRUE(done.load());
    EXPECT_FALSE(thread.joinable());
    EXPECT_FALSE(thread.join());

    // The object can run another thread after the first was joined.
    done = false;
    ASSERT_TRUE(thread.start(0, &Slow::run, &done));
    EXPECT_TRUE(thread.join());
    EXPECT_TRUE(done.load());
}

TEST(Threads, DestructorJoins) {
    struct Slow {
        static void run(void* argument) {
            platform::sleepMs(30);
            static_cast<std::atomic<bool>*>(argument)->store(true);
        }
    };
    std::atomic<bool> done{false};
    {
        platform::NativeThread thread;
        ASSERT_TRUE(thread.start(0, &Slow::run, &done));
    }
    EXPECT_TRUE(done.load());
}

TEST(Threads, ManyThreadsRunConcurrently) {
    struct Counter {
        static void run(void* argument) { static_cast<std::atomic<int>*>(argument)->fetch_add(1); }
    };
    std::atomic<int> count{0};
    platform::NativeThread threads[16];
    for (platform::NativeThread& thread : threads) {
        ASSERT_TRUE(thread.start(256 * 1024, &Counter::run, &count));
    }
    for (platform::NativeThread& thread : threads) {
        EXPECT_TRUE(thread.join());
    }
    EXPECT_EQ(count.load(), 16);
}

TEST(Clocks, SleepLastsAtLeastTheRequestedTime) {
    const uint64_t start = platform::monotonicMs();
    platform::sleepMs(40);
    EXPECT_GE(platform::monotonicMs() - start, 40u);
    platform::sleepMs(0);
}

TEST(Clocks, LocalTimeTexts) {
    const std::string year = platform::formatLocalTime("%Y");
    ASSERT_EQ(year.size(), 4u);
    EXPECT_GE(std::stoi(year), 2024);
    EXPECT_EQ(platform::formatLocalTime("%Y-%m-%d").size(), 10u);
    EXPECT_EQ(platform::formatLocalTime(""), "");
    EXPECT_EQ(platform::formatLocalTime("log").size(), 3u);
    // A result longer than any first guess still comes out whole.
    const std::string longPattern(500, 'x');
    EXPECT_EQ(platform::formatLocalTime(longPattern.c_str()), longPattern);
}

}  // namespace
