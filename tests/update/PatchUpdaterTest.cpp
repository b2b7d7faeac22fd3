// The updater as the window sees it: settings from bin\config.ini, texts by index, what it
// does once its workers are stopped, and the meaning of the summary that ends an update.
#include "update/PatchUpdater.h"

#include <gtest/gtest.h>

#include "tests/support/LogCapture.h"
#include "tests/support/Sandbox.h"

namespace lume {
namespace {

TEST(PatchUpdater, SettingsTextsAndStoppedWorkers) {
    test::Sandbox box;
    box.writeFile("bin/config.ini", "[other]\ntimeout=45000\nretrytimes=0\n");
    test::LogCapture log;
    MessageQueue window;
    PatchUpdater updater(&window, &log);
    EXPECT_EQ(std::tuple(updater.timeout(), updater.retryTimes()), std::tuple(45000, 0));
    EXPECT_EQ(log.count({"-1 create updater:"}), 1u);
    EXPECT_EQ(log.count({"-1 timeout时间: retryTimes:45000 0"}), 1u) << log.text();

    // Texts travel as indices into the updater's pool; the same text keeps its index.
    EXPECT_TRUE(updater.postText(u"检查:%s", u"data\\a.pak"));
    EXPECT_TRUE(updater.postText(u"检查:%s", u"data\\b.pak"));
    EXPECT_TRUE(updater.postText(u"检查:%s", u"data\\a.pak"));
    // A list from nowhere is a failure, never a success.
    EXPECT_EQ(updater.downloadServerList(0), 0);
    const auto posted = window.drain();
    ASSERT_EQ(posted.size(), 4u);
    EXPECT_EQ(posted[0].message, kMsgText);
    EXPECT_EQ(posted[0].wParam, posted[2].wParam);
    EXPECT_NE(posted[0].wParam, posted[1].wParam);
    EXPECT_EQ(updater.text(posted[0].wParam), u"检查:data\\a.pak");
    EXPECT_EQ(updater.text(posted[1].wParam), u"检查:data\\b.pak");
    EXPECT_EQ(updater.text(999), u"");
    EXPECT_EQ(std::tuple(posted[3].message, posted[3].wParam), std::tuple(kMsgServerList, 0u));

    updater.stopAll();
    EXPECT_FALSE(updater.beginUpdate("h", "/p", "", "", 0));
    EXPECT_EQ(updater.downloadServerList(3), 0);
    EXPECT_EQ(updater.getDefaultServer(), u"");
    EXPECT_FALSE(updater.startPatch("a", "b", "c"));
}

TEST(UpdateResult, DecodingAndTexts) {
    using K = UpdateResult::Kind;
    // The two message words, what they say, the failure text.
    const std::tuple<uint32_t, uint32_t, K, const char16_t*> cases[] = {
        {0, 0, K::Ready, u""},
        {packUpdateResultW(0, 1), 0, K::Restart, u""},
        {0, packUpdateResultL(0, 2), K::VerifyFailed, u"验证文件失败,请再次尝试更新"},
        {0, packUpdateResultL(1, 2), K::WriteFailed,
         u"写文件失败，请检查游戏目录剩余空间以及写文件权限"},
        {packUpdateResultW(1, 0), packUpdateResultL(3, 3), K::FileListFailed,
         u"下载文件列表失败,请换个入口再次尝试更新"},
        {packUpdateResultW(1, 2), 0, K::DownloadFailed, u"下载文件失败"},
        {packUpdateResultW(2, 0), 0, K::DownloadFailed, u"下载文件失败"},
    };
    for (const auto& [w, l, kind, text] : cases) {
        const UpdateResult r = decodeUpdateResult(w, l);
        EXPECT_EQ(r.kind, kind) << w << " " << l;
        EXPECT_EQ(r.success(), kind == K::Ready || kind == K::Restart);
        EXPECT_EQ(failureText(r), text);
    }
    UpdateResult r = decodeUpdateResult(0x00030002u, 0x00050004u);
    EXPECT_EQ(std::tuple(r.failures, r.mustCount, r.writeFailures, r.verifyFailures),
              std::tuple(3, 2, 5, 4));
    // Counters saturate: 65536 failed blocks must not read as zero failures.
    r = decodeUpdateResult(packUpdateResultW(65536, 70000), packUpdateResultL(65536, 65536));
    EXPECT_EQ(r.failures & r.mustCount & r.writeFailures & r.verifyFailures, 0xFFFF);
    EXPECT_FALSE(r.success());
}

}  // namespace
}  // namespace lume
