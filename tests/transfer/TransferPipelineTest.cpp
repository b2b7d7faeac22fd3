// The whole transfer pipeline as the update run drives it: blocks handed to the download
// threads, fetched by range, passed to the file writer and stored until the file completes;
// against the loopback server with faults.
#include <gtest/gtest.h>

#include <mutex>

#include "platform/Text.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TestBytes.h"
#include "tests/support/TestHttpServer.h"
#include "transfer/FileCompletion.h"
#include "transfer/FileWritter.h"
#include "transfer/HttpDownloader.h"

namespace lume {
namespace {

using test::FaultPlan;

constexpr uint32_t kBlock = 32768;

// Stands in for the update run: its download thread delivers to its writer, which records
// completed files.
class UpdateRun : public FileCompletion {
public:
    UpdateRun() : writer(this), downloader(&writer, {.retryPauseMs = 5, .lowSpeedTime = 2}) {
        writer.setRoomListener([this] { downloader.nudge(); });
    }
    ~UpdateRun() override {
        downloader.finish();
        downloader.requestStop();
        downloader.stopAndJoin();
        writer.finish();
    }

    Prepared prepareFile(const DownloadFile& file, platform::NativeFile*,
                         std::vector<uint8_t>) override {
        std::lock_guard<std::mutex> lock(mutex);
        completed.emplace_back(platform::wideToUtf8(file.localPath), file.versionKey);
        return Prepared{};
    }

    // What the update run does for a file of length bytes: every block to the download thread.
    void download(const std::string& host, const std::u16string& localPath, uint32_t length,
                  uint32_t versionKey) {
        auto file = std::make_shared<DownloadFile>(DownloadFile{.firstName = {},
                                                                .localPath = localPath,
                                                                .type = 1,
                                                                .zipSize = length,
                                                                .size = length,
                                                                .versionKey = versionKey});
        const std::vector<Block> plan = planBlocks(file);
        file->blockCount = file->pending = static_cast<uint32_t>(plan.size());
        blocks += file->blockCount;
        ASSERT_TRUE(writer.start());
        TransferSettings settings;
        settings.timeout = 1000;
        ASSERT_TRUE(downloader.begin(host + "/base", "", settings));
        downloader.addBlocks(plan);
    }
    bool waitDone() {
        return test::waitFor(
            [&] {
                std::lock_guard<std::mutex> lock(mutex);
                return downloader.failureCount() != 0 || !completed.empty();
            },
            std::chrono::seconds(60));
    }

    std::mutex mutex;
    std::vector<std::pair<std::string, uint32_t>> completed;  // local path, version key
    uint32_t blocks = 0;
    FileWritter writer;
    HttpDownloader downloader;
};

// A large range cut half way: the blocks that arrived are stored and recorded, only the rest
// is fetched again, and the file ends byte-identical and completes once.
TEST(TransferPipeline, AnAnswerCutShortStillYieldsTheExactFileOnceFetchingOnlyWhatIsMissing) {
    test::Sandbox box;
    test::LogCapture log;
    const std::string source = test::noiseBytes(96 * kBlock, 3);
    box.writeFile("www/base/game/big.dat.gzf.c0ffee", source);
    test::TestHttpServer server(box.path() + "/www");
    server.injectNext(FaultPlan::shortBody());
    UpdateRun run;
    run.download(server.host(), u"game\\big.dat", 96 * kBlock, 0xC0FFEE);
    ASSERT_TRUE(run.waitDone()) << log.text();
    EXPECT_EQ(std::tuple(run.downloader.successCount(), run.downloader.failureCount(),
                         run.writer.written(), run.writer.failed()),
              std::tuple(run.blocks, 0u, run.blocks, 0u));
    {
        std::lock_guard<std::mutex> lock(run.mutex);
        EXPECT_EQ(run.completed, (decltype(run.completed){{"game\\big.dat", 0xC0FFEEu}}));
    }
    EXPECT_TRUE(box.readFile("game/big.dat.gzf") == source);
    std::vector<std::string> ranges;
    for (const auto& r : server.requests()) {
        ranges.push_back(r.range);
    }
    EXPECT_EQ(ranges, (std::vector<std::string>{"bytes=0-3145727", "bytes=1572864-3145727"}));
}

}  // namespace
}  // namespace lume
