// Download threads against loopback servers: URL forms, the primary and backup hosts, retries
// with their growing connect time-out, every server fault, and finishing or stopping with a
// transfer in flight.
#include "transfer/HttpDownloader.h"

#include <gtest/gtest.h>

#include <climits>

#include "tests/support/Sandbox.h"
#include "tests/support/TestHttpServer.h"
#include "tests/transfer/TransferTestSupport.h"

namespace lume {
namespace {

using test::FaultPlan;

const std::string kPath = "/base/bin/config.ini.gzf.1a2b";

class HttpDownloaderTest : public ::testing::Test {
protected:
    HttpDownloaderTest() {
        box.writeFile("primary" + kPath, file);
        box.writeFile("backup" + kPath, file);
    }
    std::unique_ptr<HttpDownloader> make(bool withBackup, int32_t retryTimes) {
        DownloadTuning tuning;
        tuning.retryPauseMs = 1;
        tuning.lowSpeedTime = 1;
        auto d = std::make_unique<HttpDownloader>(primary.host(), withBackup ? backup.host() : "",
                                                  "/base", &sink, tuning);
        d->setLimits(1000, retryTimes);
        sinkBase = sink.count();
        return d;
    }
    void addBlock(HttpDownloader& d, uint32_t index, uint32_t size = 32768) {
        d.addTask(u"", u"bin\\config.ini", index * 32768, index * 32768, size, 1, index, 4, 111,
                  222, 0x1A2B);
    }
    // n blocks fetched or given up, and every fetched one delivered (a thread counts a block
    // just before it hands it on; the sink also holds the blocks of earlier downloaders).
    bool settled(HttpDownloader& d, uint32_t n) {
        return test::waitFor([&] {
            const uint32_t success = d.successCount();
            return success + d.failureCount() >= n && sink.count() >= sinkBase + success;
        });
    }

    test::Sandbox box;
    test::LogCapture log;
    const std::string file = test::patternBytes(4 * 32768);
    test::TestHttpServer primary{box.path() + "/primary"};
    test::TestHttpServer backup{box.path() + "/backup"};
    test::RecordingSink sink;
    size_t sinkBase = 0;  // what the sink held when the last downloader was made
};

TEST_F(HttpDownloaderTest, UrlFormsAndTheFieldsOfDeliveredBlocks) {
    box.writeFile("primary/base/lume.exe.gzf.ff", "exe");
    box.writeFile("primary/base/data/1f.gzf.1a2b", "packed");
    box.writeFile("primary/base/数据/文件.txt.gzf.1", "wide");
    auto d = make(true, 0);
    d->addTask(u"", u"bin\\config.ini", 0, 0, 0, 1, 0, 1, 0, 0, 1);  // size 0: not queued
    d->addTask(u"", u"bin\\", 0, 0, 16, 1, 0, 1, 0, 0, 1);           // no file name: not queued
    EXPECT_EQ(d->queueSize(), 0u);
    d->addTask(u"", u"lume.exe", 0, 0, 3, 1, 0, 1, 0, 0, 0xFF);
    d->addTask(u"data\\a.pak", u"update\\a\\1f.gzf", 0, 0, 6, 4, 0, 1, 0, 0, 0x1A2B);
    d->addTask(u"", u"数据\\文件.txt", 0, 0, 4, 1, 0, 1, 0, 0, 1);
    for (uint32_t i = 0; i < 4; ++i) {
        addBlock(*d, i, i == 3 ? 1000 : 32768);
    }
    EXPECT_EQ(d->queueSize(), 7u);
    ASSERT_TRUE(d->start());
    ASSERT_TRUE(settled(*d, 7));
    EXPECT_EQ(d->successCount(), 7u);
    EXPECT_EQ(d->failureCount(), 0u);
    const auto blocks = sink.blocks();  // one thread: queue order
    ASSERT_EQ(blocks.size(), 7u);
    const auto url = [](const auto& b) {
        return b->task.urlPath + b->task.remoteName + " " + b->task.name + " " + b->bytes;
    };
    EXPECT_EQ(url(blocks[0]), "/base/lume.exe.gzf  exe");
    EXPECT_EQ(url(blocks[1]), "/base/data/1f.gzf data\\a.pak packed");
    EXPECT_EQ(blocks[2]->bytes, "wide");
    for (uint32_t i = 0; i < 4; ++i) {
        const BlockTask& t = blocks[3 + i]->task;
        EXPECT_EQ(blocks[3 + i]->bytes, file.substr(i * 32768, i == 3 ? 1000 : 32768));
        EXPECT_EQ(std::tuple(blocks[3 + i]->position, t.blockIndex, t.localPosition, t.blockCount,
                             t.passThrough1, t.passThrough2, t.versionKey, t.type),
                  std::tuple(0u, i, i * 32768, 4u, 111u, 222u, 0x1A2Bu, 1));
        EXPECT_EQ(t.localPath, u"bin\\config.ini");
    }
    EXPECT_EQ(primary.requestCount("/base/数据/文件.txt.gzf.1"), 1);
    EXPECT_EQ(primary.requestCount(kPath), 4);
    EXPECT_EQ(primary.requests().back().range, "bytes=98304-99303");
    EXPECT_EQ(backup.totalRequests(), 0);
}

TEST_F(HttpDownloaderTest, FailuresGoToTheBackupThenRetryWithGrowingTimeOuts) {
    const struct {
        const char* name;
        std::vector<FaultPlan> primaryFaults;  // each for one request, then 404s if `always`
        bool always, withBackup;
        int32_t retryTimes;
        int primaryRequests, backupRequests;
        bool delivered;
        int32_t retries;
        const char* line;
    } cases[] = {
        {"404 then the backup", {}, true, true, 0, 1, 1, true, 0, "res:23 timeout:1000"},
        {"short body then the backup",
         {FaultPlan::shortBody()},
         false,
         true,
         0,
         1,
         1,
         true,
         0,
         "res:18"},
        {"stall then the backup",
         {FaultPlan::stall(30000)},
         false,
         true,
         0,
         1,
         1,
         true,
         0,
         "res:28"},
        {"no backup: the primary twice",
         {},
         true,
         false,
         0,
         2,
         0,
         false,
         0,
         "0 数据块下载失败 config.ini.gzf offset:32768 size:32768 1/4 retry:0 time:1000"},
        {"a transient failure retried to success",
         {FaultPlan::withStatus(500), FaultPlan::withStatus(500), FaultPlan::withStatus(500)},
         false,
         false,
         2,
         4,
         0,
         true,
         1,
         "res:23"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        primary.clearFaults();
        for (const FaultPlan& fault : c.primaryFaults) {
            primary.injectNext(fault);
        }
        if (c.always) {
            primary.injectForPath(kPath, FaultPlan::withStatus(404));
        }
        const int before = primary.requestCount(kPath), backupBefore = backup.requestCount(kPath);
        const size_t delivered = sink.count();
        auto d = make(c.withBackup, c.retryTimes);
        addBlock(*d, 1);
        ASSERT_TRUE(d->start());
        ASSERT_TRUE(settled(*d, 1));
        EXPECT_EQ(d->successCount(), c.delivered ? 1u : 0u);
        EXPECT_EQ(primary.requestCount(kPath) - before, c.primaryRequests);
        EXPECT_EQ(backup.requestCount(kPath) - backupBefore, c.backupRequests);
        ASSERT_EQ(sink.count(), delivered + (c.delivered ? 1 : 0));
        if (c.delivered) {  // a broken first answer leaves nothing in the block
            EXPECT_EQ(sink.blocks().back()->bytes, file.substr(32768, 32768));
            EXPECT_EQ(sink.blocks().back()->task.retries, c.retries);
        }
        EXPECT_TRUE(log.has(c.line)) << log.text();
    }
}

TEST_F(HttpDownloaderTest, RetriesGrowTheConnectTimeOutWithoutWrapping) {
    EXPECT_EQ(HttpDownloader::nextTimeOut(1000, 1), 1000);
    EXPECT_EQ(HttpDownloader::nextTimeOut(1000, 2), 2000);
    EXPECT_EQ(HttpDownloader::nextTimeOut(6000, 4), 24000);
    EXPECT_EQ(HttpDownloader::nextTimeOut(30000, 100000), INT32_MAX);
    EXPECT_EQ(HttpDownloader::nextTimeOut(INT32_MAX, 2), INT32_MAX);
    EXPECT_EQ(HttpDownloader::nextTimeOut(-30000, 100000), INT32_MIN);

    primary.injectForPath(kPath, FaultPlan::withStatus(404));
    backup.injectForPath(kPath, FaultPlan::withStatus(404));
    auto d = make(true, 4);
    addBlock(*d, 0);
    ASSERT_TRUE(d->start());
    ASSERT_TRUE(settled(*d, 1));
    EXPECT_EQ(d->failureCount(), 1u);
    EXPECT_EQ(primary.requestCount(kPath) + backup.requestCount(kPath), 10);
    // Each attempt logs its time-out twice (primary, backup): T, T, 2T, 6T, 24T.
    for (auto [timeout, attempts] :
         {std::pair{"1000", 2u}, {"2000", 1u}, {"6000", 1u}, {"24000", 1u}}) {
        EXPECT_EQ(log.count({"res:23 timeout:" + std::string(timeout)}), 2 * attempts) << timeout;
    }
    EXPECT_TRUE(
        log.has("数据块下载失败 config.ini.gzf offset:0 size:32768 0/4 retry:4 time:24000"));

    // 1000 ms times 11! passes 32 bits on the 11th retry.
    auto longer = make(false, 12);
    addBlock(*longer, 0);
    ASSERT_TRUE(longer->start());
    ASSERT_TRUE(settled(*longer, 1));
    EXPECT_EQ(primary.requestCount(kPath), 5 + 26);
    EXPECT_TRUE(log.has("retry:12 time:2147483647")) << log.text();
    EXPECT_FALSE(log.has("timeout:-"));
}

TEST_F(HttpDownloaderTest, FinishReuseAndDestructionWithTransfersInFlight) {
    primary.injectForPath(kPath, FaultPlan::withStatus(404), 2);
    auto d = make(false, 0);
    for (uint32_t i = 0; i < 3; ++i) {
        addBlock(*d, i);  // the first fails
    }
    ASSERT_TRUE(d->start());
    ASSERT_TRUE(settled(*d, 3));
    d->finish();
    EXPECT_TRUE(log.has("-1 http下载器:3 成功:2 失败:1"));
    EXPECT_EQ(d->successCount() + d->failureCount(), 0u);
    EXPECT_TRUE(d->idle());
    // A finished thread has no host: nothing it is given reaches a server until it is reused.
    d->reuse(primary.host(), backup.host(), "/base", 1000, 3);
    EXPECT_FALSE(d->idle());

    // The block in flight is abandoned (aborted, not timed out) and neither delivered nor
    // counted; the queue behind it is dropped, the backup never asked.
    primary.injectForPath(kPath, FaultPlan::delayHeaders(60000));
    const size_t delivered = sink.count();
    const int sent = primary.requestCount(kPath);
    for (uint32_t i = 0; i < 4; ++i) {
        addBlock(*d, i);
    }
    ASSERT_TRUE(test::waitFor([&] { return primary.requestCount(kPath) == sent + 1; }));
    d->finish();
    EXPECT_EQ(d->queueSize(), 0u);
    EXPECT_TRUE(log.has("-1 http下载器:0 成功:0 失败:0"));
    ASSERT_TRUE(test::waitFor([&] { return log.count({"res:42"}) == 1; })) << log.text();
    EXPECT_EQ(sink.count(), delivered);
    EXPECT_EQ(d->successCount() + d->failureCount(), 0u);
    EXPECT_EQ(backup.totalRequests(), 0);

    // Destroyed with a stalled transfer: cut short, joined, logged under its name.
    primary.injectForPath(kPath, FaultPlan::stall(60000));
    auto stalled = make(true, 3);
    stalled->setName("http download thread 0");
    addBlock(*stalled, 0);
    addBlock(*stalled, 1);
    ASSERT_TRUE(stalled->start(0x800000));
    ASSERT_TRUE(test::waitFor([&] { return primary.requestCount(kPath) == sent + 2; }));
    stalled.reset();
    EXPECT_EQ(log.count({"res:42"}), 2u) << log.text();
    EXPECT_EQ(sink.count(), delivered);
    EXPECT_EQ(backup.totalRequests(), 0);
    EXPECT_TRUE(log.has("1 ~HttpDownloader 'http download thread 0'"));
}

}  // namespace
}  // namespace lume
