// The choice of a download thread: six threads created on demand with their names, stacks
// and settings, the shortest queue (the later thread on a tie), finishing with transfers in
// flight, and idle threads reused with the new update's servers.
#include "transfer/DownloadPool.h"

#include <gtest/gtest.h>

#include "tests/support/Sandbox.h"
#include "tests/support/TestHttpServer.h"
#include "tests/transfer/TransferTestSupport.h"

namespace lume {
namespace {

using test::FaultPlan;

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
    test::RecordingSink sink;
};

TEST_F(DownloadPoolTest, SixThreadsThenTheShortestQueueLaterOnATie) {
    box.writeFile("www/base/f.bin.gzf.7", test::patternBytes(6400));
    test::TestHttpServer server(box.path() + "/www");
    // Every thread's first block hangs, so the queues hold what is added.
    server.injectForPath("/base/f.bin.gzf.7", FaultPlan::delayHeaders(60000));
    auto pool = std::make_unique<DownloadPool>(&sink, fastTuning());
    pool->setAddresses(server.host(), "", "/base");
    for (size_t i = 0; i < DownloadPool::kMaxThreads; ++i) {
        HttpDownloader* thread = pool->getDownloadThread(1000, 0);
        ASSERT_EQ(thread, pool->thread(i));
        EXPECT_EQ(thread->name(), "http download thread " + std::to_string(i));
        EXPECT_EQ(thread->threadHandle()->stackSize(), 0x800000u);
        addBlock(*thread, static_cast<uint32_t>(i));
    }
    EXPECT_EQ(log.count({"-1 BeginDownload timeOut:1000 retryTimes:0"}), 6u) << log.text();
    ASSERT_TRUE(test::waitFor([&] { return server.totalRequests() == 6; }));
    const size_t queued[6] = {3, 1, 2, 1, 2, 1};
    for (size_t i = 0; i < 6; ++i) {
        for (size_t k = 0; k < queued[i]; ++k) {
            addBlock(*pool->thread(i), 10);
        }
    }
    // Shortest are 1, 3 and 5: the last of them wins; then 3, then 1; then all but 0 tie.
    for (size_t expected : {5u, 3u, 1u, 5u, 4u}) {
        HttpDownloader* chosen = pool->getDownloadThread(1000, 0);
        EXPECT_EQ(chosen, pool->thread(expected));
        addBlock(*chosen, 20);
    }
    EXPECT_EQ(pool->size(), 6u);
    // Finished, every hanging transfer is abandoned and every queue emptied.
    pool->finishAll();
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_TRUE(pool->thread(i)->idle());
        EXPECT_EQ(pool->thread(i)->queueSize(), 0u);
    }
    ASSERT_TRUE(test::waitFor([&] { return log.count({"res:42"}) == 6; })) << log.text();
    EXPECT_EQ(pool->successTotal() + pool->failureTotal(), 0u);
}

}  // namespace
}  // namespace lume
