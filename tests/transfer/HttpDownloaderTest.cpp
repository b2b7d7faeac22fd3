// Download threads against loopback servers: URL forms, the primary and backup hosts, retries
// with their growing connect time-out, every server fault, and finishing or stopping with a
// transfer in flight.
#include "transfer/HttpDownloader.h"

#include <gtest/gtest.h>

#include <climits>
#include <mutex>

#include "tests/support/Sandbox.h"
#include "tests/support/TestHttpServer.h"
#include "tests/transfer/TransferTestSupport.h"
#include "transfer/BlockSink.h"

namespace lume {
namespace {

using Clock = std::chrono::steady_clock;
using test::FaultPlan;

struct Delivered {
    std::string name, remoteName, urlPath, bytes;
    std::u16string localPath;
    uint32_t offset, localPosition, blockIndex, blockCount, passThrough1, passThrough2, versionKey;
    int32_t type, retries;
    uint32_t position;
};

class RecordingSink : public BlockSink {
public:
    void onBlockDownloaded(BlockTask& task) override {
        Delivered d{task.name,       task.remoteName,   task.urlPath,       {},
                    task.localPath,  task.offset,       task.localPosition, task.blockIndex,
                    task.blockCount, task.passThrough1, task.passThrough2,  task.versionKey,
                    task.type,       task.retries,      task.buffer->tell()};
        d.bytes.resize(task.buffer->size());
        task.buffer->read(d.bytes.data(), static_cast<uint32_t>(d.bytes.size()));
        std::lock_guard<std::mutex> lock(mutex);
        blocks.push_back(std::move(d));
    }
    std::vector<Delivered> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return blocks;
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return blocks.size();
    }
    std::mutex mutex;
    std::vector<Delivered> blocks;
};

DownloadTuning fastTuning() {
    DownloadTuning tuning;
    tuning.retryPauseMs = 1;
    tuning.lowSpeedTime = 1;
    return tuning;
}

class HttpDownloaderTest : public ::testing::Test {
protected:
    HttpDownloaderTest() {
        box.writeFile("primary/base/bin/config.ini.gzf.1a2b", file);
        box.writeFile("backup/base/bin/config.ini.gzf.1a2b", file);
    }

    std::unique_ptr<HttpDownloader> make(const std::string& backupHost, int32_t retryTimes,
                                         int32_t timeOut = 1000) {
        auto d = std::make_unique<HttpDownloader>(primary.host(), backupHost, "/base", &sink,
                                                  fastTuning());
        d->setLimits(timeOut, retryTimes);
        return d;
    }
    void addConfigBlock(HttpDownloader& d, uint32_t index, uint32_t size = 32768) {
        d.addTask(u"", u"bin\\config.ini", index * 32768, index * 32768, size, 1, index, 4, 111,
                  222, 0x1A2B);
    }
    // n blocks fetched or given up, and every fetched one delivered (a thread counts a block
    // just before it hands it on).
    bool settled(HttpDownloader& d, uint32_t n) {
        return test::waitFor([&] {
            const uint32_t success = d.successCount();
            return success + d.failureCount() >= n && sink.count() >= success;
        });
    }

    test::Sandbox box;
    test::LogCapture log;
    const std::string file = test::patternBytes(4 * 32768);
    test::TestHttpServer primary{box.path() + "/primary"};
    test::TestHttpServer backup{box.path() + "/backup"};
    RecordingSink sink;
};

TEST_F(HttpDownloaderTest, UrlFormsFollowTheTypeAndFolders) {
    box.writeFile("primary/base/lume.exe.gzf.ff", "exe");
    box.writeFile("primary/base/data/1f.gzf.1a2b", "packed");
    box.writeFile("primary/base/数据/文件.txt.gzf.1", "wide");
    auto d = make("", 0);
    d->addTask(u"", u"lume.exe", 0, 0, 3, 1, 0, 1, 0, 0, 0xFF);
    d->addTask(u"data\\a.pak", u"update\\a\\1f.gzf", 0, 0, 6, 4, 0, 1, 0, 0, 0x1A2B);
    d->addTask(u"", u"数据\\文件.txt", 0, 0, 4, 1, 0, 1, 0, 0, 1);
    ASSERT_TRUE(d->start());
    ASSERT_TRUE(settled(*d, 3));
    EXPECT_EQ(d->successCount(), 3u);
    EXPECT_EQ(primary.requestCount("/base/lume.exe.gzf.ff"), 1);
    EXPECT_EQ(primary.requestCount("/base/data/1f.gzf.1a2b"), 1);
    EXPECT_EQ(primary.requestCount("/base/数据/文件.txt.gzf.1"), 1);
    const auto blocks = sink.snapshot();
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].urlPath, "/base/");
    EXPECT_EQ(blocks[0].remoteName, "lume.exe.gzf");
    EXPECT_EQ(blocks[1].urlPath, "/base/data/");
    EXPECT_EQ(blocks[1].remoteName, "1f.gzf");
    EXPECT_EQ(blocks[1].name, "data\\a.pak");
    EXPECT_EQ(blocks[1].bytes, "packed");
    EXPECT_EQ(blocks[2].bytes, "wide");
}

TEST_F(HttpDownloaderTest, TasksThatNameNoBlockAreNotQueued) {
    auto d = make("", 0);
    d->addTask(u"", u"bin\\config.ini", 0, 0, 0, 1, 0, 1, 0, 0, 1);  // size 0
    d->addTask(u"", u"bin\\", 0, 0, 16, 1, 0, 1, 0, 0, 1);           // no file name
    EXPECT_EQ(d->queueSize(), 0u);
    addConfigBlock(*d, 0);
    EXPECT_EQ(d->queueSize(), 1u);
}

TEST_F(HttpDownloaderTest, BlocksArriveWithTheirBytesAndFields) {
    auto d = make(backup.host(), 0);
    for (uint32_t i = 0; i < 4; ++i) {
        addConfigBlock(*d, i, i == 3 ? 1000 : 32768);
    }
    ASSERT_TRUE(d->start());
    ASSERT_TRUE(settled(*d, 4));
    EXPECT_EQ(d->successCount(), 4u);
    EXPECT_EQ(d->failureCount(), 0u);
    const auto blocks = sink.snapshot();
    ASSERT_EQ(blocks.size(), 4u);
    for (uint32_t i = 0; i < 4; ++i) {
        const Delivered& b = blocks[i];  // one thread: queue order
        EXPECT_EQ(b.blockIndex, i);
        EXPECT_EQ(b.bytes, file.substr(i * 32768, i == 3 ? 1000 : 32768));
        EXPECT_EQ(b.position, 0u);
        EXPECT_EQ(b.localPath, u"bin\\config.ini");
        EXPECT_EQ(b.localPosition, i * 32768);
        EXPECT_EQ(b.blockCount, 4u);
        EXPECT_EQ(b.passThrough1, 111u);
        EXPECT_EQ(b.passThrough2, 222u);
        EXPECT_EQ(b.versionKey, 0x1A2Bu);
        EXPECT_EQ(b.type, 1);
    }
    EXPECT_EQ(primary.requestCount("/base/bin/config.ini.gzf.1a2b"), 4);
    EXPECT_EQ(backup.totalRequests(), 0);
    EXPECT_EQ(primary.requests()[3].range, "bytes=98304-99303");
}

TEST_F(HttpDownloaderTest, FailedPrimaryFallsBackToTheBackupHost) {
    const std::string path = "/base/bin/config.ini.gzf.1a2b";
    primary.injectForPath(path, FaultPlan::withStatus(404));
    auto d = make(backup.host(), 0);
    addConfigBlock(*d, 1);
    ASSERT_TRUE(d->start());
    ASSERT_TRUE(settled(*d, 1));
    EXPECT_EQ(d->successCount(), 1u);
    EXPECT_EQ(primary.requestCount(path), 1);
    EXPECT_EQ(backup.requestCount(path), 1);
    ASSERT_EQ(sink.count(), 1u);
    EXPECT_EQ(sink.snapshot()[0].bytes, file.substr(32768, 32768));
}

// A broken first answer must not leave its bytes in the block the backup host fills.
TEST_F(HttpDownloaderTest, BackupAnswerIsNotMixedWithABrokenPrimaryAnswer) {
    const std::string path = "/base/bin/config.ini.gzf.1a2b";
    for (FaultPlan fault : {FaultPlan::reset(), FaultPlan::shortBody(), FaultPlan::stall(30000)}) {
        primary.injectForPath(path, fault, 1);
        auto d = make(backup.host(), 0);
        addConfigBlock(*d, 2);
        ASSERT_TRUE(d->start());
        ASSERT_TRUE(settled(*d, 1));
        EXPECT_EQ(d->successCount(), 1u);
    }
    const auto blocks = sink.snapshot();
    ASSERT_EQ(blocks.size(), 3u);
    for (const Delivered& b : blocks) {
        EXPECT_EQ(b.bytes, file.substr(2 * 32768, 32768));
    }
    EXPECT_EQ(backup.requestCount(path), 3);
    EXPECT_EQ(log.matching({"res:56"}).size(), 1u) << log.text();
    EXPECT_EQ(log.matching({"res:18"}).size(), 1u) << log.text();
    EXPECT_EQ(log.matching({"res:28"}).size(), 1u) << log.text();
}

TEST_F(HttpDownloaderTest, WithoutBackupThePrimaryIsAskedTwice) {
    const std::string path = "/base/bin/config.ini.gzf.1a2b";
    primary.injectForPath(path, FaultPlan::withStatus(500));
    auto d = make("", 0);  // retryTimes 0: one pair of attempts
    addConfigBlock(*d, 0);
    const auto start = Clock::now();
    ASSERT_TRUE(d->start());
    ASSERT_TRUE(settled(*d, 1));
    EXPECT_LT(test::secondsSince(start), 5.0);
    EXPECT_EQ(d->failureCount(), 1u);
    EXPECT_EQ(d->successCount(), 0u);
    EXPECT_EQ(primary.requestCount(path), 2);
    EXPECT_EQ(sink.count(), 0u);
    EXPECT_EQ(
        log.matching({"0 数据块下载失败 config.ini.gzf offset:0 size:32768 0/4 retry:0 time:1000"})
            .size(),
        1u)
        << log.text();
}

TEST_F(HttpDownloaderTest, RetriesGrowTheConnectTimeOut) {
    const std::string path = "/base/bin/config.ini.gzf.1a2b";
    primary.injectForPath(path, FaultPlan::withStatus(404));
    backup.injectForPath(path, FaultPlan::withStatus(404));
    auto d = make(backup.host(), 4);
    addConfigBlock(*d, 0);
    ASSERT_TRUE(d->start());
    ASSERT_TRUE(settled(*d, 1));
    EXPECT_EQ(d->failureCount(), 1u);
    EXPECT_EQ(primary.requestCount(path), 5);
    EXPECT_EQ(backup.requestCount(path), 5);
    // Each attempt logs its connect time-out twice (primary, backup): T, T, 2T, 6T, 24T.
    for (auto [timeout, attempts] :
         {std::pair{"1000", 2u}, {"2000", 1u}, {"6000", 1u}, {"24000", 1u}}) {
        EXPECT_EQ(log.matching({"res:23 timeout:" + std::string(timeout)}).size(), 2 * attempts)
            << timeout << "\n"
            << log.text();
    }
    EXPECT_EQ(
        log.matching({"数据块下载失败 config.ini.gzf offset:0 size:32768 0/4 retry:4 time:24000"})
            .size(),
        1u)
        << log.text();
}

TEST_F(HttpDownloaderTest, TimeOutSaturatesInsteadOfWrapping) {
    EXPECT_EQ(HttpDownloader::nextTimeOut(1000, 1), 1000);
    EXPECT_EQ(HttpDownloader::nextTimeOut(1000, 2), 2000);
    EXPECT_EQ(HttpDownloader::nextTimeOut(6000, 4), 24000);
    EXPECT_EQ(HttpDownloader::nextTimeOut(30000, 100000), INT32_MAX);
    EXPECT_EQ(HttpDownloader::nextTimeOut(INT32_MAX, 2), INT32_MAX);
    EXPECT_EQ(HttpDownloader::nextTimeOut(-30000, 100000), INT32_MIN);

    // 1000 ms times 11! overflows 32 bits on the 11th retry.
    const std::string path = "/base/bin/config.ini.gzf.1a2b";
    primary.injectForPath(path, FaultPlan::withStatus(404));
    auto d = make("", 12);
    addConfigBlock(*d, 0);
    ASSERT_TRUE(d->start());
    ASSERT_TRUE(settled(*d, 1));
    EXPECT_EQ(primary.requestCount(path), 26);
    EXPECT_EQ(log.matching({"retry:12 time:2147483647"}).size(), 1u) << log.text();
    EXPECT_EQ(log.matching({"timeout:-"}).size(), 0u) << log.text();
}

TEST_F(HttpDownloaderTest, TransientFailureIsRetriedToSuccess) {
    const std::string path = "/base/bin/config.ini.gzf.1a2b";
    primary.injectForPath(path, FaultPlan::withStatus(500), 3);  // one pair, then one more
    auto d = make("", 2);
    addConfigBlock(*d, 0);
    ASSERT_TRUE(d->start());
    ASSERT_TRUE(settled(*d, 1));
    EXPECT_EQ(d->successCount(), 1u);
    EXPECT_EQ(d->failureCount(), 0u);
    EXPECT_EQ(primary.requestCount(path), 4);
    ASSERT_EQ(sink.count(), 1u);
    EXPECT_EQ(sink.snapshot()[0].retries, 1);
}

TEST_F(HttpDownloaderTest, FinishCutsTheUpdateShort) {
    const std::string path = "/base/bin/config.ini.gzf.1a2b";
    primary.injectForPath(path, FaultPlan::delayHeaders(30000));
    auto d = make(backup.host(), 3);
    for (uint32_t i = 0; i < 4; ++i) {
        addConfigBlock(*d, i);
    }
    ASSERT_TRUE(d->start());
    ASSERT_TRUE(test::waitFor([&] { return primary.requestCount(path) == 1; }));
    const auto start = Clock::now();
    d->finish();
    EXPECT_TRUE(d->idle());
    EXPECT_EQ(d->queueSize(), 0u);
    EXPECT_EQ(log.matching({"-1 http下载器:0 成功:0 失败:0"}).size(), 1u) << log.text();
    // The block in flight is abandoned quickly and neither delivered nor counted.
    ASSERT_TRUE(test::waitFor([&] { return log.matching({"res:42"}).size() == 1; }));
    std::printf("[ figure   ] finish ended a transfer in flight after %.3f s\n",
                test::secondsSince(start));
    EXPECT_LT(test::secondsSince(start), 5.0);
    platform::sleepMs(50);
    EXPECT_EQ(sink.count(), 0u);
    EXPECT_EQ(d->successCount() + d->failureCount(), 0u);
    EXPECT_EQ(backup.totalRequests(), 0);
    EXPECT_EQ(d->queueSize(), 0u);
}

TEST_F(HttpDownloaderTest, FinishLogsAndZeroesTheCounts) {
    const std::string path = "/base/bin/config.ini.gzf.1a2b";
    primary.injectForPath(path, FaultPlan::withStatus(404), 2);
    auto d = make("", 0);
    addConfigBlock(*d, 0);  // fails
    addConfigBlock(*d, 1);
    addConfigBlock(*d, 2);
    ASSERT_TRUE(d->start());
    ASSERT_TRUE(settled(*d, 3));
    d->finish();
    EXPECT_EQ(log.matching({"-1 http下载器:3 成功:2 失败:1"}).size(), 1u) << log.text();
    EXPECT_EQ(d->successCount(), 0u);
    EXPECT_EQ(d->failureCount(), 0u);
    // A finished thread has no host: nothing it is given reaches a server until it is reused.
    d->reuse(primary.host(), "", "/base", 1000, 0);
    EXPECT_FALSE(d->idle());
    addConfigBlock(*d, 3, 100);
    ASSERT_TRUE(settled(*d, 1));
    EXPECT_EQ(d->successCount(), 1u);
}

TEST_F(HttpDownloaderTest, DestructionWithATransferInFlightIsPrompt) {
    const std::string path = "/base/bin/config.ini.gzf.1a2b";
    primary.injectForPath(path, FaultPlan::stall(60000));
    auto d = make(backup.host(), 3);
    d->setName("http download thread 0");
    addConfigBlock(*d, 0);
    addConfigBlock(*d, 1);
    ASSERT_TRUE(d->start(0x800000));
    ASSERT_TRUE(test::waitFor([&] { return primary.requestCount(path) == 1; }));
    const auto start = Clock::now();
    d.reset();
    const double seconds = test::secondsSince(start);
    std::printf("[ figure   ] a download thread with a stalled transfer stopped in %.3f s\n",
                seconds);
    EXPECT_LT(seconds, 5.0);
    EXPECT_EQ(sink.count(), 0u);
    EXPECT_EQ(backup.totalRequests(), 0);
    EXPECT_EQ(log.matching({"1 ~HttpDownloader 'http download thread 0'"}).size(), 1u)
        << log.text();
}

}  // namespace
}  // namespace lume
