// The update run as a worker of its own: built with a reporter and transfer settings and no
// updater, it reports through what it was given, and its download threads get its settings.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "engine/Kernel/Reporter.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TestHttpServer.h"
#include "tests/update/UpdateTestData.h"
#include "update/Messages.h"
#include "update/PatchUpdater.h"
#include "update/UpdateThread.h"

namespace lume {
namespace {

namespace fs = std::filesystem;

struct Window : Reporter {
    bool post(uint32_t message, uint32_t wParam, uint32_t lParam) override {
        return queue.post(message, wParam, lParam);
    }
    MessageQueue queue;
};

TEST(UpdateThread, ReportsToItsReporterAndGivesItsSettingsToTheDownloads) {
    test::Sandbox box;
    const fs::path root = box.path();
    const std::string data = test::noiseBytes(20000, 3);  // one block, stored as it is
    test::Sandbox::write(root / "release/a.bin", data);
    ASSERT_TRUE(test::publish(root / "release", root / "www/game"));
    fs::create_directories(root / "game");
    fs::current_path(root / "game");
    test::TestHttpServer server((root / "www").string());
    ASSERT_TRUE(server.started());
    const std::string blockPath = "/game/a.bin.gzf." + test::hexOf(test::checksumOf(data));
    server.injectForPath(blockPath, test::FaultPlan::withStatus(500));

    Window window;
    {
        TransferSettings settings;
        settings.timeout = 1000;
        settings.retryTimes = 0;
        UpdateThread run(window, settings);
        ASSERT_EQ(PatchUpdater::instance(), nullptr);
        ASSERT_TRUE(run.beginUpdate(server.host(), "/game", "", "", 0));
        std::optional<PostedMessage> m;
        bool checked = false;
        while ((m = window.queue.waitPop(std::chrono::seconds(120))) &&
               m->message != kMsgUpdateResult) {
            checked =
                checked || (m->message == kMsgText && window.text(m->wParam) == u"检查:a.bin");
        }
        ASSERT_TRUE(m);
        EXPECT_TRUE(checked);
        EXPECT_EQ(decodeUpdateResult(m->wParam, m->lParam).failures, 1u);  // the block
    }
    // No retries: the block is asked for once on the primary address and once more in place
    // of the missing mirror.
    EXPECT_EQ(server.requestCount(blockPath), 2);
}

TEST(UpdateThread, AStopCutsAStalledFileListShort) {
    test::Sandbox box;
    box.writeFile("www/game/flist.xml", "<?xml version=\"1.0\"?><flist></flist>");
    test::TestHttpServer server(box.path() + "/www");
    ASSERT_TRUE(server.started());
    server.injectForPath("/game/flist.xml", test::FaultPlan::stall());
    Window window;
    {
        TransferSettings settings;
        settings.retryTimes = 0;
        UpdateThread run(window, settings);
        ASSERT_TRUE(run.beginUpdate(server.host(), "/game", "", "", 0));
        ASSERT_TRUE(window.queue.waitPop(std::chrono::seconds(120)));  // 6028: fetching
        test::waitFor([&] { return server.requestCount("/game/flist.xml") != 0; });
    }  // the window closes during the fetch
    // Cut short, not answered by the stall's end: the second address was never tried.
    EXPECT_EQ(server.requestCount("/game/flist.xml"), 1);
    const auto summary = window.queue.drain();
    ASSERT_FALSE(summary.empty());
    EXPECT_EQ(summary.back().message, kMsgUpdateResult);
}

}  // namespace
}  // namespace lume
