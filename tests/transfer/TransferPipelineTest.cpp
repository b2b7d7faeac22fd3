// The whole transfer pipeline as the update run drives it: blocks handed to the download
// threads, fetched by range, passed to the file writer and stored until the file completes;
// against the loopback server with faults, and against a real nginx.
#include <gtest/gtest.h>

#include <mutex>

#include "engine/FileSystem/File.h"
#include "engine/FileSystem/MemoryStream.h"
#include "tests/support/NginxServer.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TestHttpServer.h"
#include "tests/transfer/TransferTestSupport.h"
#include "transfer/BlockIndexFile.h"
#include "transfer/BlockSink.h"
#include "transfer/DownloadPool.h"
#include "transfer/FileCompletion.h"
#include "transfer/FileWritter.h"
#include "transfer/UrlFile.h"

namespace lume {
namespace {

using Clock = std::chrono::steady_clock;
using test::FaultPlan;

constexpr uint32_t kBlock = 32768;

// Stands in for the update run: passes fetched blocks to its writer and records completed
// files.
class UpdateRun : public BlockSink, public FileCompletion {
public:
    UpdateRun() : writer(this), pool(this, tuning()) {}
    ~UpdateRun() override {
        pool.finishAll();
        writer.requestStop();
    }

    static DownloadTuning tuning() {
        DownloadTuning t;
        t.retryPauseMs = 5;
        t.lowSpeedTime = 2;
        return t;
    }

    void onBlockDownloaded(BlockTask& task) override {
        writer.addTask(platform::narrowToWide(task.name), task.localPath, task.offset,
                       task.localPosition, std::move(task.buffer), task.type, task.blockIndex,
                       task.blockCount, task.passThrough1, task.passThrough2, task.versionKey);
    }
    bool onFileComplete(const std::u16string&, const std::u16string& localPath,
                        const std::u16string&, const std::u16string& dataPath, int32_t, uint32_t,
                        uint32_t, uint32_t versionKey) override {
        std::lock_guard<std::mutex> lock(mutex);
        completed.push_back(
            {platform::wideToUtf8(localPath), platform::wideToUtf8(dataPath), versionKey});
        return true;
    }

    // What the update run does for a file of length bytes: the data file at its length, the
    // index with every block unwritten, then one block request per block.
    void download(const std::u16string& localPath, uint32_t length, uint32_t versionKey) {
        std::vector<BlockIndexEntry> plan;
        for (uint32_t at = 0, i = 0; at < length; at += kBlock, ++i) {
            plan.push_back({at, i, at, std::min(kBlock, length - at), 0});
        }
        {
            File data;
            ASSERT_TRUE(data.create(localPath + u".gzf", 1, length));
            File index;
            ASSERT_TRUE(index.open(localPath + u".igzf", 1));
            ASSERT_TRUE(BlockIndexFile::write(index, versionKey, plan));
        }
        blocks += static_cast<uint32_t>(plan.size());
        for (const BlockIndexEntry& e : plan) {
            HttpDownloader* thread = pool.getDownloadThread(1000, 5);
            ASSERT_NE(thread, nullptr);
            thread->addTask(u"", localPath, e.offset, e.localPosition, e.size, 1, e.blockIndex,
                            static_cast<uint32_t>(plan.size()), length, length, versionKey);
        }
    }
    bool waitDone() {
        return test::waitFor(
            [&] {
                return pool.successTotal() + pool.failureTotal() >= blocks &&
                       writer.written() + writer.failed() >= blocks;
            },
            std::chrono::seconds(60));
    }

    struct Completed {
        std::string localPath, dataPath;
        uint32_t versionKey;
    };
    std::mutex mutex;
    std::vector<Completed> completed;
    uint32_t blocks = 0;
    FileWritter writer;
    DownloadPool pool;
};

void expectIndexComplete(const test::Sandbox& box, const std::string& path, uint32_t length) {
    const std::string bytes = box.readFile(path);
    MemoryStream stream(static_cast<uint32_t>(bytes.size()));
    EXPECT_TRUE(stream.write(bytes.data(), static_cast<uint32_t>(bytes.size())));
    BlockIndexHeader header;
    std::vector<BlockIndexEntry> entries;
    ASSERT_TRUE(BlockIndexFile::read(stream, header, entries));
    uint32_t total = 0;
    for (const BlockIndexEntry& e : entries) {
        EXPECT_EQ(e.written, e.size);
        total += e.written;
    }
    EXPECT_EQ(total, length);
}

TEST(TransferPipeline, FaultyServerStillYieldsTheExactFileOnce) {
    test::Sandbox box;
    test::LogCapture log;
    const uint32_t length = 40 * kBlock + 1234;
    const std::string source = test::patternBytes(length, 3);
    box.writeFile("www/base/game/big.dat.gzf.c0ffee", source);
    test::TestHttpServer server(box.path() + "/www");
    // Three broken answers of each kind, whichever blocks they hit.
    server.injectNext(FaultPlan::reset(), 3);
    server.injectNext(FaultPlan::withStatus(500), 3);
    server.injectNext(FaultPlan::shortBody(), 3);
    server.injectNext(FaultPlan::withStatus(404), 3);

    UpdateRun run;
    ASSERT_TRUE(run.writer.start());
    run.pool.setAddresses(server.host(), "", "/base");
    run.download(u"game\\big.dat", length, 0xC0FFEE);
    ASSERT_TRUE(run.waitDone()) << log.text();
    ASSERT_TRUE(test::waitFor([&] {
        std::lock_guard<std::mutex> lock(run.mutex);
        return !run.completed.empty();
    }));

    EXPECT_EQ(run.pool.successTotal(), 41u);
    EXPECT_EQ(run.pool.failureTotal(), 0u);
    EXPECT_EQ(run.writer.written(), 41u);
    EXPECT_EQ(run.writer.failed(), 0u);
    EXPECT_EQ(server.totalRequests(), 41 + 12);
    {
        std::lock_guard<std::mutex> lock(run.mutex);
        ASSERT_EQ(run.completed.size(), 1u);
        EXPECT_EQ(run.completed[0].dataPath, "game\\big.dat.gzf");
        EXPECT_EQ(run.completed[0].versionKey, 0xC0FFEEu);
    }
    EXPECT_TRUE(box.readFile("game/big.dat.gzf") == source);
    expectIndexComplete(box, "game/big.dat.igzf", length);
}

class NginxTransfer : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::NginxServer::available()) {
            GTEST_SKIP() << "nginx is not installed (scripts/deps.sh installs it)";
        }
        box.writeFile("www/base/game/big.dat.gzf.1f", source);
        nginx = std::make_unique<test::NginxServer>(box.path() + "/www");
        ASSERT_TRUE(nginx->started()) << nginx->errorLog();
    }

    test::Sandbox box;
    test::LogCapture log;
    const uint32_t length = 64 * kBlock + 77;
    const std::string source = test::patternBytes(length, 9);
    std::unique_ptr<test::NginxServer> nginx;
};

TEST_F(NginxTransfer, RangesAndStatusesOfARealServer) {
    UrlFile transfer;
    const std::u16string url = platform::utf8ToWide(nginx->url("/base/game/big.dat.gzf.1f"));
    MemoryStream head(16);
    ASSERT_TRUE(transfer.downloadRange(url, head, 0, 16, 1000)) << log.text();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(head.data()), head.size()), source.substr(0, 16));
    MemoryStream tail(77);
    ASSERT_TRUE(transfer.downloadRange(url, tail, 64 * kBlock, 77, 1000));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(tail.data()), tail.size()),
              source.substr(64 * kBlock));
    // A range the server clips at the end of the file is not the range asked for.
    MemoryStream clipped(kBlock);
    EXPECT_FALSE(transfer.downloadRange(url, clipped, 64 * kBlock, kBlock, 1000));
    EXPECT_EQ(clipped.size(), 0u);

    // nginx's 404 and 416 carry bodies; they still end the transfer at once.
    const auto start = Clock::now();
    MemoryStream sink(kBlock);
    EXPECT_FALSE(transfer.downloadRange(platform::utf8ToWide(nginx->url("/base/missing")), sink, 0,
                                        16, 1000));
    EXPECT_FALSE(transfer.downloadRange(url, sink, length + 10, 16, 1000));
    EXPECT_LT(test::secondsSince(start), 5.0);
    EXPECT_EQ(sink.size(), 0u);
    EXPECT_EQ(log.matching({"res:23"}).size(), 3u) << log.text();  // the clipped one too
}

TEST_F(NginxTransfer, SixThreadsFetchAFileThroughTheWriter) {
    UpdateRun run;
    ASSERT_TRUE(run.writer.start());
    run.pool.setAddresses(nginx->host(), "", "/base");
    run.download(u"game\\big.dat", length, 0x1F);
    ASSERT_TRUE(run.waitDone()) << log.text() << nginx->errorLog();
    ASSERT_TRUE(test::waitFor([&] {
        std::lock_guard<std::mutex> lock(run.mutex);
        return !run.completed.empty();
    }));
    EXPECT_EQ(run.pool.size(), 6u);
    EXPECT_EQ(run.pool.successTotal(), 65u);
    EXPECT_EQ(run.pool.failureTotal(), 0u);
    EXPECT_EQ(run.writer.written(), 65u);
    EXPECT_TRUE(box.readFile("game/big.dat.gzf") == source);
    expectIndexComplete(box, "game/big.dat.igzf", length);
    // Every thread did part of the work.
    for (size_t i = 0; i < run.pool.size(); ++i) {
        EXPECT_GT(run.pool.thread(i)->successCount(), 0u) << i;
    }
}

}  // namespace
}  // namespace lume
