// The choice of a download thread: six threads created on demand with their names, stacks
// and settings, the shortest queue (the later thread on a tie), and idle threads reused
// with the new update's servers.
#include "transfer/DownloadPool.h"

#include <gtest/gtest.h>

#include <mutex>

#include "tests/support/Sandbox.h"
#include "tests/support/TestHttpServer.h"
#include "tests/transfer/TransferTestSupport.h"
#include "transfer/BlockSink.h"

namespace lume {
namespace {

using Clock = std::chrono::steady_clock;
using test::FaultPlan;

class KeepingSink : public BlockSink {
public:
    void onBlockDownloaded(BlockTask& task) override {
        std::string bytes(task.buffer->size(), '\0');
        task.buffer->read(bytes.data(), static_cast<uint32_t>(bytes.size()));
        std::lock_guard<std::mutex> lock(mutex);
        blocks.push_back(std::move(bytes));
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return blocks;
    }
    std::mutex mutex;
    std::vector<std::string> blocks;
};

DownloadTuning fastTuning() {
    DownloadTuning tuning;
    tuning.retryPauseMs = 1;
    tuning.lowSpeedTime = 2;
    return tuning;
}

void addBlock(HttpDownloader& thread, uint32_t index) {
    thread.addTask(u"", u"f.bin", index * 100, index * 100, 100, 1, index, 64, 0, 0, 7);
}

class DownloadPoolTest : public ::testing::Test {
protected:
    test::Sandbox box;
    test::LogCapture log;
    KeepingSink sink;
};

TEST_F(DownloadPoolTest, SeventhBlockGoesToTheShortestQueueLaterOnATie) {
    box.writeFile("www/base/f.bin.gzf.7", test::patternBytes(6400));
    test::TestHttpServer server(box.path() + "/www");
    // Every thread's first block hangs, so the queues hold what is added.
    server.injectForPath("/base/f.bin.gzf.7", FaultPlan::delayHeaders(30000));
    DownloadPool pool(&sink, fastTuning());
    pool.setAddresses(server.host(), "", "/base");

    for (size_t i = 0; i < DownloadPool::kMaxThreads; ++i) {
        HttpDownloader* thread = pool.getDownloadThread(1000, 0);
        ASSERT_NE(thread, nullptr);
        EXPECT_EQ(pool.size(), i + 1);
        EXPECT_EQ(thread, pool.thread(i));
        EXPECT_EQ(thread->name(), "http download thread " + std::to_string(i));
        ASSERT_NE(thread->threadHandle(), nullptr);
        EXPECT_EQ(thread->threadHandle()->stackSize(), 0x800000u);
        EXPECT_FALSE(thread->idle());
        addBlock(*thread, static_cast<uint32_t>(i));
    }
    EXPECT_EQ(log.matching({"-1 BeginDownload timeOut:1000 retryTimes:0"}).size(), 6u)
        << log.text();
    ASSERT_TRUE(test::waitFor([&] { return server.totalRequests() == 6; }));
    for (size_t i = 0; i < 6; ++i) {
        ASSERT_EQ(pool.thread(i)->queueSize(), 0u);
    }

    const size_t queued[6] = {3, 1, 2, 1, 2, 1};
    for (size_t i = 0; i < 6; ++i) {
        for (size_t k = 0; k < queued[i]; ++k) {
            addBlock(*pool.thread(i), 10);
        }
    }
    // Shortest are 1, 3 and 5: the last of them wins; then 3, then 1; then all but 0 tie.
    for (size_t expected : {5u, 3u, 1u, 5u, 4u}) {
        HttpDownloader* chosen = pool.getDownloadThread(1000, 0);
        EXPECT_EQ(chosen, pool.thread(expected));
        addBlock(*chosen, 20);
    }
    EXPECT_EQ(pool.size(), 6u);
    EXPECT_EQ(log.matching({"BeginDownload"}).size(), 6u);

    const auto start = Clock::now();
    pool.finishAll();
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_TRUE(pool.thread(i)->idle());
        EXPECT_EQ(pool.thread(i)->queueSize(), 0u);
    }
    ASSERT_TRUE(test::waitFor([&] { return log.matching({"res:42"}).size() == 6; })) << log.text();
    std::printf("[ figure   ] finishing six threads ended their transfers in %.3f s\n",
                test::secondsSince(start));
    EXPECT_TRUE(sink.snapshot().empty());
    EXPECT_EQ(pool.successTotal() + pool.failureTotal(), 0u);
}

TEST_F(DownloadPoolTest, IdleThreadTakesTheNewUpdatesServersBackupIncluded) {
    for (const char* host : {"a", "b", "c", "d"}) {
        box.writeFile(std::string(host) + "/base/f.bin.gzf.7", std::string(6400, host[0]));
    }
    test::TestHttpServer a(box.path() + "/a"), b(box.path() + "/b");
    test::TestHttpServer c(box.path() + "/c"), d(box.path() + "/d");
    DownloadPool pool(&sink, fastTuning());

    pool.setAddresses(a.host(), b.host(), "/base");
    for (uint32_t i = 0; i < DownloadPool::kMaxThreads; ++i) {
        addBlock(*pool.getDownloadThread(1000, 0), i);
    }
    ASSERT_TRUE(test::waitFor([&] { return pool.successTotal() == 6; }));
    EXPECT_EQ(a.totalRequests(), 6);
    pool.finishAll();
    EXPECT_EQ(log.matching({"-1 http下载器:1 成功:1 失败:0"}).size(), 6u) << log.text();

    // The next update names other servers, and its primary fails.
    pool.setAddresses(c.host(), d.host(), "/base");
    c.injectForPath("/base/f.bin.gzf.7", FaultPlan::withStatus(404));
    HttpDownloader* thread = pool.getDownloadThread(2000, 0);
    ASSERT_EQ(thread, pool.thread(5));  // all queues empty: the last one
    EXPECT_FALSE(thread->idle());
    EXPECT_EQ(thread->successCount(), 0u);
    addBlock(*thread, 0);
    ASSERT_TRUE(test::waitFor([&] { return sink.snapshot().size() == 7; }));
    EXPECT_EQ(thread->successCount(), 1u);
    EXPECT_EQ(c.totalRequests(), 1);
    EXPECT_EQ(d.totalRequests(), 1);
    EXPECT_EQ(b.totalRequests(), 0);  // not the old backup
    EXPECT_EQ(sink.snapshot().back(), std::string(100, 'd'));
    // The new connect time-out is in force.
    EXPECT_EQ(log.matching({"offset:0-99 res:23 timeout:2000"}).size(), 1u) << log.text();
    // No thread was created for the new update.
    EXPECT_EQ(log.matching({"BeginDownload"}).size(), 6u);
}

TEST_F(DownloadPoolTest, DestroyingThePoolWithStalledTransfersIsPrompt) {
    box.writeFile("www/base/f.bin.gzf.7", test::patternBytes(6400));
    test::TestHttpServer server(box.path() + "/www");
    server.injectForPath("/base/f.bin.gzf.7", FaultPlan::stall(60000));
    auto pool = std::make_unique<DownloadPool>(&sink, DownloadTuning{});
    pool->setAddresses(server.host(), "", "/base");
    for (uint32_t i = 0; i < 6; ++i) {
        HttpDownloader* thread = pool->getDownloadThread(1000, 10);
        addBlock(*thread, i);
        addBlock(*thread, i + 6);
    }
    ASSERT_TRUE(test::waitFor([&] { return server.totalRequests() == 6; }));
    const auto start = Clock::now();
    pool.reset();
    const double seconds = test::secondsSince(start);
    std::printf("[ figure   ] six threads with stalled transfers stopped in %.3f s\n", seconds);
    EXPECT_LT(seconds, 5.0);
    EXPECT_EQ(server.totalRequests(), 6);
    EXPECT_TRUE(sink.snapshot().empty());
    EXPECT_EQ(log.matching({"~HttpDownloader 'http download thread"}).size(), 6u);
}

}  // namespace
}  // namespace lume
