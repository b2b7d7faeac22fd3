// Whole updates on a real nginx: each scenario serves a copy of the release (or a damaged one),
// updates a game directory with the terminal launcher in-process or with the updater itself,
// and compares the directory with the published version. (Killed updates: KillLoopTest.cpp.)
#include <gtest/gtest.h>

#include <functional>

#include "engine/Kernel/MessageTarget.h"
#include "platform/SingleInstance.h"
#include "tests/e2e/EndToEnd.h"
#include "tests/support/LogCapture.h"
#include "update/PatchUpdater.h"
#include "update/UpdateThread.h"

namespace fs = std::filesystem;

namespace lume {
namespace {

// From version 1 to 2: changed, added and removed loose files and pack members, a new pack,
// a withdrawn pack, a damaged pack rebuilt whole and a changed must file. The versions and
// their releases are made once for the suite.
class UpdateEndToEnd : public test::EndToEnd {
protected:
    static void SetUpTestSuite() {
        if (!test::NginxServer::available()) {
            return;
        }
        made = std::make_unique<test::Sandbox>();
        const fs::path r = made->path();
        using test::noiseBytes, test::textBytes;
        test::makeVersion(r / "v1",
                          {{"readme.txt", "Welcome to version 1.\r\n"},
                           {"bin/lume.dat", "#!/bin/sh\necho client 1\n"},
                           {"maps/a.map", textBytes(40000, 1)},
                           {"big.bin", noiseBytes(3 << 20, 1)},
                           {"说明.txt", "说明 1"}},
                          {{"ui",
                            {{"a.txt", textBytes(9000, 3)},
                             {"b.txt", textBytes(1500, 4)},
                             {"c.txt", noiseBytes(40000, 2)},
                             {"Small.txt", noiseBytes(30000, 3)}}},
                           {"legacy", {{"old.txt", textBytes(3000, 5)}}},
                           {"rebuilt", {{"x.txt", textBytes(4000, 6)}}}});
        test::makeVersion(r / "v2",
                          {{"readme.txt", "Welcome to version 2: the marsh is open.\r\n"},
                           {"bin/lume.dat", "#!/bin/sh\necho client 2\n"},
                           {"maps/a.map", textBytes(40000, 1)},
                           {"maps/b.map", textBytes(60000, 7)},
                           {"big.bin", noiseBytes(3 << 20, 11)},
                           {"说明.txt", "说明 1"}},
                          {{"ui",
                            {{"a.txt", textBytes(9000, 3)},
                             {"b.txt", textBytes(90000, 4)},
                             {"d.txt", noiseBytes(20000, 4)},
                             {"Small.txt", noiseBytes(1000, 5)},
                             {"empty.txt", ""}}},
                           {"rebuilt", {{"x.txt", textBytes(4000, 8)}, {"y.txt", "y"}}},
                           {"sound", {{"theme.ogg", noiseBytes(100000, 6)}}}});
        PublishOptions must;
        must.must = {"bin/lume.dat"};
        test::publish(r / "v1", r / "release", must);
        test::publish(r / "v2", r / "release", must);
        test::publish(r / "v1", r / "only1");
    }
    static void TearDownTestSuite() { made.reset(); }

    void prepare() override {
        versions = made->path();
        for (const char* release : {"release", "only1"}) {
            fs::create_directories(root + "/www/" + release);
            fs::copy(versions / release, root + "/www/" + release, fs::copy_options::recursive);
        }
    }

    static inline std::unique_ptr<test::Sandbox> made;
};

// Whole updates from a mirror alone (nothing listens on the primary address), through a
// proxy (the download host is a name nothing resolves; an nginx answers requests in absolute
// form from its own root) and over HTTP/2 without TLS (bin\config.ini "http2=1").
TEST_F(UpdateEndToEnd, AWholeUpdateTravelsThroughAMirrorAProxyAndHttp2) {
    const auto h2 = serve({}, {}, true);
    fs::create_directories(game("mirror") / "bin");
    install("v1", "proxy");
    box.writeFile("h2/bin/config.ini", "[other]\nhttp2=1\n");
    const std::vector<std::tuple<std::string, std::string, std::vector<std::string>>> ways = {
        {"mirror", "127.0.0.1:1", {"--mirror-host", nginx->host(), "--mirror-path", "/release"}},
        {"proxy", "release.invalid", {"--proxy", "http://" + nginx->host()}},
        {"h2", h2->host(), {}}};
    for (const auto& [name, host, extra] : ways) {
        ASSERT_EQ(updateFully("/release", extra, name, host), kExitOk) << name << said();
        EXPECT_EQ(last.result.kind, UpdateResult::Kind::Ready);
        expectVersion("v2", name, true);
    }
    EXPECT_GT(h2->logged().size(), 10u);
    for (const auto& l : h2->logged()) {
        EXPECT_EQ(l.protocol, "HTTP/2.0") << l.path;
    }
}

TEST_F(UpdateEndToEnd, AFileListThatCannotBeHadFailsAfterThreeAttempts) {
    install("v1");
    // Unreachable, missing (each download tries both addresses) or unparsable.
    box.writeFile("www/bad/flist.xml", "<flist><file name=\"a.dat\"");
    for (const auto& [host, path, requests] :
         {std::tuple{std::string("127.0.0.1:1"), "/release", 0},
          {nginx->host(), "/none", 6},
          {nginx->host(), "/bad", 3}}) {
        ASSERT_EQ(update(path, {}, "game", host), kExitFailure);
        EXPECT_EQ(last.messages.back(), (test::Message{kMsgUpdateResult, 0x10000, 0}));
        EXPECT_EQ(nginx->requests(path + std::string("/flist.xml")), requests) << path;
    }
    expectVersion("v1", "game", true);
}

// One launcher per game directory: the second is refused at once, having fetched nothing.
TEST_F(UpdateEndToEnd, ASecondLauncherInTheSameDirectoryIsRefused) {
    install("v1");
    platform::SingleInstance first;
    ASSERT_TRUE(first.acquireDirectory(platform::utf8ToWide(game().string())));
    const int requests = nginx->requests();
    EXPECT_EQ(update("/release"), kExitAlreadyRunning);
    EXPECT_EQ(launcher("verify", "/release"), kExitAlreadyRunning);
    EXPECT_EQ(nginx->requests(), requests);
    first.release();
    EXPECT_EQ(update("/release"), kExitOk) << said();
}

// A window for the updater itself; hook, when set, sees each message on the posting thread.
struct Window : MessageTarget {
    bool post(uint32_t message, uint32_t wParam, uint32_t lParam) override {
        if (hook) {
            hook(PostedMessage{message, wParam, lParam});
        }
        return queue.post(message, wParam, lParam);
    }
    // Every message up to and including the summary (or, with until, that message).
    std::vector<PostedMessage> wait(uint32_t until = kMsgUpdateResult) {
        std::vector<PostedMessage> out;
        while (auto m = queue.waitPop(std::chrono::seconds(120))) {
            out.push_back(*m);
            if (m->message == until) {
                return out;
            }
        }
        ADD_FAILURE() << "no message " << until;
        return out;
    }
    std::function<void(const PostedMessage&)> hook;
    MessageQueue queue;
};

TEST_F(UpdateEndToEnd, TheUpdaterStopsBeginsOnceAndClosesMidDownload) {
    install("v1");
    fs::current_path(game());
    test::LogCapture log;
    Window window;
    auto updater = std::make_unique<PatchUpdater>(&window, &log);
    ASSERT_TRUE(updater->beginUpdate(nginx->host(), "/release", "", "", 0));
    window.wait();  // the must pass
    // A stop while block 2 is announced: blocks 0 and 1 went out, no more, and no waiting.
    window.hook = [](const PostedMessage& m) {
        if (m.message == kMsgPhaseProgress && m.lParam == 2 && m.wParam > 4) {
            UpdateThread::instance()->requestStop();
        }
    };
    const size_t before = nginx->logged().size();
    ASSERT_TRUE(updater->beginUpdate(nginx->host(), "/release", "", "", 0));
    std::vector<uint32_t> handedOut;
    for (const PostedMessage& m : window.wait()) {
        EXPECT_NE(m.message, kMsgProgress);
        if (m.message == kMsgPhaseProgress && m.wParam > 4) {  // blocks, not header tasks
            handedOut.push_back(m.lParam);
        }
    }
    EXPECT_EQ(handedOut, (std::vector<uint32_t>{0, 1, 2}));
    const auto all = nginx->logged();
    EXPECT_LE(std::count_if(all.begin() + before, all.end(),
                            [](const auto& request) { return !request.range.empty(); }),
              2);
    window.hook = nullptr;

    // On a server whose blocks stall after their first 16 KiB a second begin is refused, and
    // closing the updater cuts the transfers short and joins every thread.
    const auto slow = serve("limit_rate 1k; limit_rate_after 16k;");
    ASSERT_TRUE(updater->beginUpdate(slow->host(), "/release", "", "", 0));
    EXPECT_TRUE(UpdateThread::instance()->updating());
    EXPECT_FALSE(updater->beginUpdate(slow->host(), "/release", "", "", 0));
    window.wait(kMsgBlocksHandedOut);
    updater.reset();
    EXPECT_EQ(window.queue.drain().back().message, kMsgUpdateResult);
    EXPECT_EQ(UpdateThread::instance(), nullptr);

    // A new updater takes the next update as usual.
    updater = std::make_unique<PatchUpdater>(&window, &log);
    ASSERT_TRUE(updater->beginUpdate(nginx->host(), "/release", "", "", 0));
    const PostedMessage last = window.wait().back();
    EXPECT_EQ(decodeUpdateResult(last.wParam, last.lParam).kind, UpdateResult::Kind::Ready);
    updater.reset();
    expectVersion("v2", "game", true);
}

}  // namespace
}  // namespace lume
