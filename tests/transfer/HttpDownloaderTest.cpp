// The download thread against loopback servers: URL forms, consecutive blocks in large
// requests, answers that are not the range asked for, retries with their growing connect
// time-out, the bound on a stalled server, the bandwidth limit and a full sink.
#include "transfer/HttpDownloader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>

#include "platform/Text.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TestBytes.h"
#include "tests/support/TestHttpServer.h"
#include "transfer/BlockSink.h"
#include "transfer/FileType.h"

namespace lume {
namespace {

using Clock = std::chrono::steady_clock;
using test::FaultPlan;

class RecordingSink : public BlockSink {
public:
    void onBlockDownloaded(const Block& block, std::vector<uint8_t> bytes) override {
        std::lock_guard<std::mutex> lock(mutex);
        std::string& slot = files[platform::wideToUtf8(block.file->localPath)];
        slot.resize(std::max<size_t>(slot.size(), block.offset + block.size));
        std::copy(bytes.begin(), bytes.end(), slot.begin() + block.offset);
        ++deliveries[platform::wideToUtf8(block.file->localPath) + "#" +
                     std::to_string(block.blockIndex)];
        ++count;
    }
    bool full() const override { return isFull.load(); }
    std::string file(const std::string& path) {
        std::lock_guard<std::mutex> lock(mutex);
        return files[path];
    }
    size_t delivered() {
        std::lock_guard<std::mutex> lock(mutex);
        return count;
    }
    // Every block delivered exactly once.
    bool eachOnce() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::ranges::all_of(deliveries, [](const auto& d) { return d.second == 1; });
    }

    std::mutex mutex;
    std::map<std::string, std::string> files;
    std::map<std::string, int> deliveries;
    size_t count = 0;
    std::atomic<bool> isFull{false};
};

std::shared_ptr<DownloadFile> looseFile(const std::u16string& path, uint32_t length, uint32_t key,
                                        int32_t type = kTypeLoose,
                                        const std::u16string& firstName = u"") {
    auto file = std::make_shared<DownloadFile>(DownloadFile{.firstName = firstName,
                                                            .localPath = path,
                                                            .type = type,
                                                            .zipSize = length,
                                                            .size = length,
                                                            .versionKey = key});
    file->blockCount = file->pending = static_cast<uint32_t>(planBlocks(file).size());
    return file;
}

TransferSettings settings(int32_t retryTimes = 5) {
    TransferSettings s;
    s.timeout = 1000;
    s.retryTimes = retryTimes;
    return s;
}

class HttpDownloaderTest : public ::testing::Test {
protected:
    HttpDownloaderTest() : primary(box.path() + "/www"), backup(box.path() + "/www") {}

    // A file served at /base/<path>.gzf.<key> (with extra bytes after it); its blocks go to
    // blocks.
    void serve(const std::string& path, const std::string& bytes, uint32_t key,
               const std::string& extra = "") {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".gzf.%x", key);
        box.writeFile("www/base/" + path + suffix, bytes + extra);
        std::u16string local = platform::utf8ToWide(path);
        std::replace(local.begin(), local.end(), u'/', u'\\');
        const auto plan = planBlocks(looseFile(local, static_cast<uint32_t>(bytes.size()), key));
        blocks.insert(blocks.end(), plan.begin(), plan.end());
    }
    std::unique_ptr<HttpDownloader> make(const TransferSettings& s, bool withBackup = false,
                                         int32_t lowSpeedTime = 2, std::string host = "") {
        auto d = std::make_unique<HttpDownloader>(
            &sink, DownloadTuning{.retryPauseMs = 1, .lowSpeedTime = lowSpeedTime});
        EXPECT_TRUE(d->begin((host.empty() ? primary.host() : host) + "/base",
                             withBackup ? backup.host() + "/base" : "", s));
        return d;
    }
    // Hands d every block served; whether they all settled (fetched or failed).
    bool fetchAll(HttpDownloader& d) {
        d.addBlocks(blocks);
        return test::waitFor([&] { return d.successCount() + d.failureCount() >= blocks.size(); });
    }
    std::vector<std::string> ranges(const test::TestHttpServer& server, const std::string& part) {
        std::vector<std::string> out;
        for (const auto& r : server.requests()) {
            if (r.path.find(part) != std::string::npos) {
                out.push_back(r.range);
            }
        }
        std::sort(out.begin(), out.end());  // requests in flight together arrive in any order
        return out;
    }

    test::Sandbox box;
    test::LogCapture log;
    std::vector<Block> blocks;
    RecordingSink sink;
    test::TestHttpServer primary;
    test::TestHttpServer backup;
};

TEST(RemotePath, FollowsTheTypeAndTheFolders) {
    EXPECT_EQ(remotePath(*looseFile(u"top.dat", 1, 0)), "top.dat.gzf.0");
    // A file inside a pack: the pack's folder and the staged file's plain name.
    EXPECT_EQ(
        remotePath(*looseFile(u"update\\ui\\1f.gzf", 1, 0xABC, kTypePackMember, u"data\\ui.pak")),
        "data/1f.gzf.abc");
    EXPECT_EQ(remotePath(*looseFile(u"folder\\", 1, 1)), "");
}

TEST_F(HttpDownloaderTest, ConsecutiveBlocksTravelInLargeRequests) {
    const std::string big = test::noiseBytes(5 * 1024 * 1024 + 100, 1);
    const std::string small = test::noiseBytes(70000, 2);
    serve("maps/big.dat", big, 0x1A2B);
    serve("small.dat", small, 7);
    auto d = make(settings());
    ASSERT_TRUE(fetchAll(*d)) << log.text();
    EXPECT_EQ(d->successCount(), blocks.size());
    EXPECT_EQ(d->failureCount(), 0u);
    EXPECT_TRUE(sink.file("maps\\big.dat") == big);
    EXPECT_EQ(sink.file("small.dat"), small);
    EXPECT_TRUE(sink.eachOnce());
    // 4 MiB per request at most: 161 blocks in two requests, the small file in one.
    EXPECT_EQ(ranges(primary, "big.dat"),
              (std::vector<std::string>{"bytes=0-4194303", "bytes=4194304-5242979"}));
    EXPECT_EQ(ranges(primary, "small.dat"), (std::vector<std::string>{"bytes=0-69999"}));
    EXPECT_EQ(primary.requests()[0].userAgent, "libcurl-agent/1.0");
    EXPECT_EQ(d->bytesReceived(), big.size() + small.size());
}

// Answers that are not the range asked for are refused before a byte is kept; the block
// comes from the backup host instead. (Which answers are not: UrlFileTest.)
TEST_F(HttpDownloaderTest, RefusedOrBrokenAnswersGoToTheBackup) {
    const std::string a = test::noiseBytes(100000, 3), b = test::noiseBytes(70000, 4);
    // One byte more on the server, so that a range one byte further on exists.
    serve("a.dat", a, 0xA, "!");
    serve("b.dat", b, 0xB);
    primary.injectForPath("/base/a.dat.gzf.a", FaultPlan::otherRange());
    primary.injectForPath("/base/b.dat.gzf.b", FaultPlan::withStatus(500));
    auto d = make(settings(0), true);
    ASSERT_TRUE(fetchAll(*d)) << log.text();
    EXPECT_EQ(d->failureCount(), 0u) << log.text();
    EXPECT_EQ(sink.file("a.dat"), a);
    EXPECT_EQ(sink.file("b.dat"), b);
    EXPECT_TRUE(sink.eachOnce());
    EXPECT_EQ(backup.totalRequests(), 2);
    EXPECT_TRUE(log.has("bytes 1-100000/100001") && log.has("status 500")) << log.text();
}

TEST_F(HttpDownloaderTest, RetriesGrowTheConnectTimeOutThenGiveUp) {
    EXPECT_EQ(HttpDownloader::nextTimeOut(1000, 3), 3000);
    EXPECT_EQ(HttpDownloader::nextTimeOut(INT32_MAX / 2, 3), INT32_MAX);

    serve("gone.dat", test::noiseBytes(70000, 5), 0xD);
    // Nothing listens there.
    auto d = make(settings(2), false, 2, "127.0.0.1:1");
    ASSERT_TRUE(fetchAll(*d));
    EXPECT_EQ(std::tuple(d->failureCount(), d->successCount(), sink.delivered()),
              std::tuple(3u, 0u, 0u));
    // Without a backup host the primary is asked twice per round, three rounds.
    EXPECT_EQ(log.count({"下载[http://127.0.0.1:1/base/gone.dat.gzf.d]出错 offset:0-69999 res:7"}),
              6u)
        << log.text();
    EXPECT_EQ(log.count({"res:7 timeout:1000"}), 4u) << log.text();
    EXPECT_EQ(log.count({"res:7 timeout:2000"}), 2u) << log.text();
    EXPECT_TRUE(log.has("0 数据块下载失败 gone.dat.gzf offset:0 size:70000 0/3 retry:2 time:2000"))
        << log.text();
}

// Servers that deliver nothing at all fail the blocks once the stall bound has passed,
// whatever the per-request rules (30 s of low speed, five retries) would still allow.
TEST_F(HttpDownloaderTest, ServersThatDeliverNothingAreGivenUpAfterTheStallBound) {
    serve("stalled.dat", test::noiseBytes(100000, 8), 0x10);
    primary.injectForRanges(FaultPlan::stall(60000));
    TransferSettings s = settings();
    s.stallSeconds = 1;
    auto d = make(s, false, 30);
    ASSERT_TRUE(fetchAll(*d));
    EXPECT_EQ(d->failureCount(), blocks.size());
    EXPECT_EQ(log.count({"the servers delivered nothing for 1 s"}), 1u) << log.text();
}

// The limit holds for the update as a whole, however many requests are in flight.
TEST_F(HttpDownloaderTest, TheBandwidthLimitHoldsTheAverageBelowIt) {
    for (int i = 0; i < 6; ++i) {
        serve("l" + std::to_string(i), test::noiseBytes(128 * 1024, i), 1);
    }
    TransferSettings s = settings();
    s.limitRate = 256 * 1024;
    auto d = make(s);
    const auto start = Clock::now();
    ASSERT_TRUE(fetchAll(*d));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(d->failureCount(), 0u);
    // 768 KiB at 256 KiB/s: three seconds; a generous margin above the limit for the first
    // burst. A slower machine only makes it slower.
    const double rate = static_cast<double>(d->bytesReceived()) / seconds;
    EXPECT_LT(rate, 1.5 * static_cast<double>(s.limitRate)) << seconds << " s";
}

// While the sink is full nothing more is read: exactly one block arrives before the download
// thread waits, the rest once the sink has room.
TEST_F(HttpDownloaderTest, AFullSinkStopsTheReading) {
    const std::string bytes = test::noiseBytes(20 * 32768, 9);
    serve("wait.dat", bytes, 0x11);
    sink.isFull = true;
    auto d = make(settings());
    d->addBlocks(blocks);
    ASSERT_TRUE(test::waitFor([&] { return sink.delivered() >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(sink.delivered(), 1u);
    sink.isFull = false;
    d->nudge();
    ASSERT_TRUE(test::waitFor([&] { return sink.delivered() == blocks.size(); }));
    EXPECT_EQ(sink.file("wait.dat"), bytes);
}

}  // namespace
}  // namespace lume
