// The updater as the window sees it: settings from bin\config.ini, the objects it owns,
// texts by index, and the meaning of the summary that ends an update run.
#include <gtest/gtest.h>

#include "engine/Kernel/LogWritter.h"
#include "platform/Text.h"
#include "serverlist/ServerListDownloader.h"
#include "tests/support/Sandbox.h"
#include "update/PatchUpdater.h"
#include "update/SPThread.h"
#include "update/UpdateThread.h"

namespace lume {
namespace {

TransferSettings settingsFrom(test::Sandbox& box, const std::string& ini) {
    box.writeFile("bin/config.ini", ini);
    return PatchUpdater::readTransferSettings(u"bin\\config.ini");
}

TEST(TransferSettings, TimeoutIsNeverBelowThirtySeconds) {
    test::Sandbox box;
    auto s = PatchUpdater::readTransferSettings(u"bin\\config.ini");  // no file at all
    EXPECT_EQ(s.timeout, 30000);
    EXPECT_EQ(s.retryTimes, 5);

    EXPECT_EQ(settingsFrom(box, "[other]\r\ntimeout=10000\r\n").timeout, 30000);
    EXPECT_EQ(settingsFrom(box, "[other]\ntimeout=45000\n").timeout, 45000);
    EXPECT_EQ(settingsFrom(box, "[other]\ntimeout=-5\n").timeout, 30000);
    EXPECT_EQ(settingsFrom(box, "[OTHER]\nTimeOut = 60000\nretrytimes=0\n").timeout, 60000);
    EXPECT_EQ(settingsFrom(box, "[other]\nretrytimes=0\n").retryTimes, 0);
    EXPECT_EQ(settingsFrom(box, "[other]\nretrytimes=12\n").retryTimes, 12);
    // Keys of another section do not count.
    s = settingsFrom(box, "[server]\ntimeout=90000\nretrytimes=9\n");
    EXPECT_EQ(s.timeout, 30000);
    EXPECT_EQ(s.retryTimes, 5);
}

TEST(TransferSettings, GarbledFilesGiveTheDefaults) {
    test::Sandbox box;
    auto s = settingsFrom(box, std::string("\x00\xFF\xFE[other\ntimeout\n=\n\xB8\xFC=1\n", 19));
    EXPECT_EQ(s.timeout, 30000);
    EXPECT_EQ(s.retryTimes, 5);
    s = settingsFrom(box, "[other]\ntimeout=abc\nretrytimes=many\n");
    EXPECT_EQ(s.timeout, 30000);
    EXPECT_EQ(s.retryTimes, 5);
}

class UpdaterFixture : public ::testing::Test {
protected:
    void SetUp() override {
        writer = std::make_unique<LogWritter>(-1);
        writer->setEcho(false);
        logger = std::make_unique<Logger>(writer.get());
    }
    void TearDown() override {
        logger.reset();
        writer.reset();
    }
    std::string logText() { return box.readFile(platform::nativePath(writer->path())); }

    test::Sandbox box;
    std::unique_ptr<LogWritter> writer;
    std::unique_ptr<Logger> logger;
    MessageQueue window;
};

TEST_F(UpdaterFixture, OwnsItsWorkersForItsLifetime) {
    box.writeFile("bin/config.ini", "[other]\ntimeout=45000\nretrytimes=0\n");
    {
        PatchUpdater updater(&window, writer.get());
        EXPECT_EQ(PatchUpdater::instance(), &updater);
        EXPECT_NE(ServerListDownloader::instance(), nullptr);
        EXPECT_NE(UpdateThread::instance(), nullptr);
        EXPECT_NE(SPThread::instance(), nullptr);
        // The updater brings its own logger over the writer it was given.
        ASSERT_NE(Logger::instance(), nullptr);
        EXPECT_NE(Logger::instance(), logger.get());
        EXPECT_EQ(Logger::instance()->writer(), writer.get());
        EXPECT_EQ(updater.timeout(), 45000);
        EXPECT_EQ(updater.retryTimes(), 0);
    }
    EXPECT_EQ(PatchUpdater::instance(), nullptr);
    EXPECT_EQ(ServerListDownloader::instance(), nullptr);
    EXPECT_EQ(UpdateThread::instance(), nullptr);
    EXPECT_EQ(SPThread::instance(), nullptr);
    EXPECT_EQ(Logger::instance(), nullptr);

    const std::string log = logText();
    EXPECT_NE(log.find("]:create updater:"), std::string::npos) << log;
    EXPECT_NE(log.find(platform::utf8ToNarrow("]:timeout时间: retryTimes:45000 0\r\n")),
              std::string::npos);
}

TEST_F(UpdaterFixture, StopAllEndsTheWorkers) {
    PatchUpdater updater(&window, writer.get());
    updater.stopAll();
    EXPECT_EQ(UpdateThread::instance(), nullptr);
    EXPECT_EQ(ServerListDownloader::instance(), nullptr);
    EXPECT_EQ(SPThread::instance(), nullptr);
    EXPECT_FALSE(updater.beginUpdate("h", "/p", "", "", 0));
    EXPECT_EQ(updater.downloadServerList(3), 0);
    EXPECT_EQ(updater.getDefaultServer(), u"");
}

TEST_F(UpdaterFixture, TextsTravelAsPoolIndices) {
    PatchUpdater updater(&window, writer.get());
    EXPECT_TRUE(updater.postText(u"检查:%s", u"data\\a.pak"));
    EXPECT_TRUE(updater.postText(u"检查:%s", u"data\\b.pak"));
    EXPECT_TRUE(updater.postText(u"检查:%s", u"data\\a.pak"));
    auto posted = window.drain();
    ASSERT_EQ(posted.size(), 3u);
    for (const auto& m : posted) {
        EXPECT_EQ(m.message, kMsgText);
        EXPECT_EQ(m.lParam, 0u);
    }
    EXPECT_EQ(posted[0].wParam, posted[2].wParam);
    EXPECT_NE(posted[0].wParam, posted[1].wParam);
    EXPECT_EQ(updater.text(posted[0].wParam), u"检查:data\\a.pak");
    EXPECT_EQ(updater.text(posted[1].wParam), u"检查:data\\b.pak");
    EXPECT_EQ(updater.text(999), u"");
}

TEST_F(UpdaterFixture, AServerListThatIsNotThereIsAFailure) {
    PatchUpdater updater(&window, writer.get());
    EXPECT_EQ(updater.downloadServerList(0), 0);
    auto posted = window.drain();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].message, kMsgServerList);
    EXPECT_EQ(posted[0].wParam, 0u);  // a failure, never a success
}

TEST(UpdateResult, DecodesTheFourCases) {
    auto r = decodeUpdateResult(0, 0);
    EXPECT_EQ(r.kind, UpdateResult::Kind::Ready);
    EXPECT_TRUE(r.success());
    EXPECT_EQ(failureText(r), u"");

    r = decodeUpdateResult(packUpdateResultW(0, 1), 0);
    EXPECT_EQ(r.kind, UpdateResult::Kind::Restart);
    EXPECT_EQ(r.mustCount, 1);

    r = decodeUpdateResult(0, packUpdateResultL(0, 2));
    EXPECT_EQ(r.kind, UpdateResult::Kind::VerifyFailed);
    EXPECT_EQ(failureText(r), u"验证文件失败,请再次尝试更新");

    r = decodeUpdateResult(0, packUpdateResultL(1, 2));
    EXPECT_EQ(r.kind, UpdateResult::Kind::WriteFailed);
    EXPECT_EQ(failureText(r), u"写文件失败，请检查游戏目录剩余空间以及写文件权限");

    r = decodeUpdateResult(packUpdateResultW(1, 0), packUpdateResultL(3, 3));
    EXPECT_EQ(r.kind, UpdateResult::Kind::FileListFailed);
    EXPECT_EQ(failureText(r), u"下载文件列表失败,请换个入口再次尝试更新");

    r = decodeUpdateResult(packUpdateResultW(1, 2), 0);
    EXPECT_EQ(r.kind, UpdateResult::Kind::DownloadFailed);
    EXPECT_EQ(failureText(r), u"下载文件失败");
    r = decodeUpdateResult(packUpdateResultW(2, 0), 0);
    EXPECT_EQ(r.kind, UpdateResult::Kind::DownloadFailed);

    r = decodeUpdateResult(0x00030002u, 0x00050004u);
    EXPECT_EQ(r.failures, 3);
    EXPECT_EQ(r.mustCount, 2);
    EXPECT_EQ(r.writeFailures, 5);
    EXPECT_EQ(r.verifyFailures, 4);
}

TEST(UpdateResult, CountersSaturateInsteadOfWrappingToSuccess) {
    // 65536 failed blocks must not read as zero failures.
    auto r = decodeUpdateResult(packUpdateResultW(65536, 70000), packUpdateResultL(65536, 65536));
    EXPECT_EQ(r.failures, 0xFFFF);
    EXPECT_EQ(r.mustCount, 0xFFFF);
    EXPECT_EQ(r.writeFailures, 0xFFFF);
    EXPECT_EQ(r.verifyFailures, 0xFFFF);
    EXPECT_FALSE(r.success());
}

}  // namespace
}  // namespace lume
