// Whole update runs through the updater over HTTP on loopback: releases made by lume-publish
// (loose files and packs built by lume-pak), the messages a window sees, the failure counts of
// the summary, resume, stops, hostile lists and servers that send wrong bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "engine/FileSystem/File.h"
#include "engine/Kernel/MessageTarget.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TestHttpServer.h"
#include "tests/transfer/TransferTestSupport.h"
#include "tests/update/UpdateTestSupport.h"
#include "transfer/BlockIndexFile.h"
#include "update/Messages.h"
#include "update/PatchUpdater.h"
#include "update/ReleaseGate.h"
#include "update/UpdateThread.h"

namespace lume {
namespace {

namespace fs = std::filesystem;
using test::Tree;

// A window that records every message; hook, when set, sees each one first (on the posting
// thread).
class Window : public MessageTarget {
public:
    bool post(uint32_t message, uint32_t wParam, uint32_t lParam) override {
        if (hook) {
            hook(PostedMessage{message, wParam, lParam});
        }
        return queue.post(message, wParam, lParam);
    }
    std::function<void(const PostedMessage&)> hook;
    MessageQueue queue;
};

// Two versions of a small game as installed. From 1 to 2: readme.txt and a block of
// data/big.bin change, a map is added; in the ui pack a member changes and grows, two are
// added (one empty) and one removed; the sound pack is new and the legacy pack is dropped.
Tree looseFiles(int version) {
    Tree t;
    t["readme.txt"] = test::textBytes(3000, version);
    t["bin/lume.dat"] = "#!/bin/sh\necho started \"$@\"\n";
    std::string big = test::noiseBytes(100000, 1);
    if (version == 2) {
        big.replace(40000, 100, test::noiseBytes(100, 7));
        t["maps/m1.map"] = test::noiseBytes(5000, 9);
    }
    t["data/big.bin"] = big;
    t["data/text.txt"] = test::textBytes(70000, 1);
    t["data/empty.cfg"] = "";
    return t;
}

void makeVersion(int version, const fs::path& dir, const fs::path& scratch) {
    test::writeTree(dir, looseFiles(version));
    Tree ui = {{"a.png", test::noiseBytes(40000, 2)}, {"b.txt", test::textBytes(5000, 1)}};
    if (version == 1) {
        ui["c.bin"] = test::noiseBytes(3000, 3);
        test::buildPack(scratch / "legacy", dir / "data/legacy.pak", {{"old.txt", "old"}});
    } else {
        ui["b.txt"] = test::textBytes(9000, 2);
        ui["d.txt"] = test::textBytes(2000, 4);
        ui["e.txt"] = "";  // members without stored bytes have nothing to fetch
        test::buildPack(scratch / "sound", dir / "data/sound.pak",
                        {{"s1.ogg", test::noiseBytes(70000, 5)}, {"silence.ogg", ""}});
    }
    test::buildPack(scratch / "ui", dir / "data/ui.pak", ui);
}

class UpdateRun : public ::testing::Test {
protected:
    void SetUp() override {
        root = box.path();
        game = root / "game";
        fs::create_directories(game);
        fs::current_path(game);
        test::writeBytes(game / "bin/config.ini", "[other]\nretrytimes=1\n");
        server = std::make_unique<test::TestHttpServer>((root / "www").string());
        ASSERT_TRUE(server->started());
        updater = std::make_unique<PatchUpdater>(&window, &log);
        window.queue.drain();
    }
    void TearDown() override {
        updater.reset();
        server.reset();
    }

    // v1 and v2 published in that order into www/game; v1 installed.
    void publishBothAndInstallV1() {
        makeVersion(1, root / "v1", root / "scratch");
        makeVersion(2, root / "v2", root / "scratch");
        test::publish(root / "v1", root / "www/game");
        test::publish(root / "v2", root / "www/game");
        fs::copy(root / "v1", game, fs::copy_options::recursive);
    }

    // Runs one update; every message it posted up to and including its summary.
    std::vector<PostedMessage> update(const std::string& path = "/game",
                                      const std::string& backHost = "",
                                      const std::string& backPath = "", std::string host = "") {
        if (host.empty()) {
            host = server->host();
        }
        std::vector<PostedMessage> out;
        EXPECT_TRUE(updater->beginUpdate(host, path, backHost, backPath, 0));
        while (auto m = window.queue.waitPop(std::chrono::seconds(120))) {
            out.push_back(*m);
            if (m->message == kMsgUpdateResult) {
                return out;
            }
        }
        ADD_FAILURE() << "no summary";
        return out;
    }
    static UpdateResult resultOf(const std::vector<PostedMessage>& messages) {
        return messages.empty()
                   ? UpdateResult{}
                   : decodeUpdateResult(messages.back().wParam, messages.back().lParam);
    }
    static std::vector<std::string> frame(const std::vector<PostedMessage>& messages) {
        std::vector<std::string> out;
        for (const PostedMessage& m : messages) {
            if (m.message != kMsgText) {
                out.push_back(std::to_string(m.message) + "(" + std::to_string(m.wParam) + "," +
                              std::to_string(m.lParam) + ")");
            }
        }
        return out;
    }
    // The game holds version 2 exactly, and nothing of the update's own is left over.
    void expectVersion2() {
        for (const auto& [rel, bytes] : looseFiles(2)) {
            EXPECT_EQ(test::readBytes(game / rel), bytes) << rel;
        }
        for (const char* pack : {"data/ui.pak", "data/sound.pak"}) {
            const test::PackView want = test::viewPack(root / "v2" / pack);
            ASSERT_NE(want.indexCrc, 0u);
            EXPECT_EQ(test::viewPack(game / pack), want) << pack;
        }
        EXPECT_FALSE(fs::exists(game / "data/legacy.pak"));
        for (const auto& [rel, bytes] : test::readTree(game)) {
            for (const char* tail : {".gzf", ".igzf", ".patch", ".ipatch", ".tmp", ".back"}) {
                EXPECT_FALSE(rel.ends_with(tail)) << rel;
            }
            EXPECT_FALSE(rel.starts_with("update/")) << rel;
        }
    }

    test::Sandbox box;
    test::LogCapture log;
    fs::path root;
    fs::path game;
    Window window;
    std::unique_ptr<test::TestHttpServer> server;
    std::unique_ptr<PatchUpdater> updater;
};

TEST_F(UpdateRun, UpToDateInstallPostsOnlyTheFrame) {
    makeVersion(2, root / "v2", root / "scratch");
    test::publish(root / "v2", root / "www/game");
    fs::copy(root / "v2", game, fs::copy_options::recursive);
    const auto messages = update();
    EXPECT_EQ(frame(messages), (std::vector<std::string>{"6028(1,0)", "6028(0,0)", "6036(0,0)",
                                                         "6034(0,0)", "6029(0,0)"}));
    // Without bin\release.pub the run says first that the release is not verified.
    EXPECT_EQ(updater->text(messages[1].wParam), kTextReleaseUnverified);
    EXPECT_EQ(updater->text(messages[3].wParam), u"检查:readme.txt");
    EXPECT_FALSE(log.matching({"开始更新"}).empty());
    EXPECT_FALSE(log.matching({"1 更新完毕\n"}).empty());
    EXPECT_EQ(server->requests().size(), 1u);  // flist.xml alone
}

TEST_F(UpdateRun, FileListThatCannotBeHadFailsAfterThreeAttempts) {
    auto messages = update("/none");
    EXPECT_EQ(frame(messages),
              (std::vector<std::string>{"6028(1,0)", "6036(0,0)", "6034(0,0)", "6029(65536,0)"}));
    EXPECT_EQ(server->requestCount("/none/flist.xml"), 6);  // three downloads, two tries each
    EXPECT_EQ(resultOf(messages).kind, UpdateResult::Kind::FileListFailed);
    EXPECT_EQ(log.matching({"-1 下载flist.xml失败"}).size(), 1u);

    // One that arrives but does not parse is as bad as none.
    test::writeBytes(root / "www/bad/flist.xml", "<flist><file name=\"a.dat\"");
    messages = update("/bad");
    EXPECT_EQ(frame(messages),
              (std::vector<std::string>{"6028(1,0)", "6028(0,0)", "6028(0,0)", "6028(0,0)",
                                        "6036(0,0)", "6034(0,0)", "6029(65536,0)"}));
    EXPECT_EQ(server->requestCount("/bad/flist.xml"), 3);
}

TEST_F(UpdateRun, FromAnEmptyDirectoryThroughTheMirror) {
    makeVersion(1, root / "v1", root / "scratch");
    makeVersion(2, root / "v2", root / "scratch");
    test::publish(root / "v1", root / "www/game");
    test::publish(root / "v2", root / "www/game");
    // Nothing listens on the primary address: every list and block comes from the mirror.
    const auto messages = update("/game", server->host(), "/game", "127.0.0.1:1");
    EXPECT_TRUE(resultOf(messages).success()) << log.text();
    expectVersion2();
    EXPECT_EQ(frame(messages).back(), "6029(0,0)");
}

TEST_F(UpdateRun, FromVersionOneToTwo) {
    publishBothAndInstallV1();
    // The ui pack's sub file list fails its first header task attempt (both addresses).
    const std::string uiList =
        "/game/data/ui.fxml." + test::hexOf(test::viewPack(root / "v2/data/ui.pak").indexCrc);
    server->injectForPath(uiList, test::FaultPlan::withStatus(500), 2);
    const auto messages = update();
    EXPECT_EQ(frame(messages).back(), "6029(0,0)") << log.text();
    expectVersion2();
    EXPECT_EQ(server->requestCount(uiList), 3);
    // Unchanged files were not fetched.
    EXPECT_EQ(server->requestCount(
                  "/game/data/text.txt.gzf." +
                  test::hexOf(test::checksumOf(test::deflateRaw(looseFiles(2)["data/text.txt"])))),
              0);
    // The next update finds everything current.
    EXPECT_EQ(frame(update()).back(), "6029(0,0)");
    EXPECT_TRUE(log.matching({"添加请求文件头任务"}).size() >= 2u);
}

TEST_F(UpdateRun, ResumeFetchesOnlyTheMissingBlocks) {
    publishBothAndInstallV1();
    // An earlier update stored the first two of the four blocks of data/big.bin (stored).
    const std::string big = looseFiles(2)["data/big.bin"];
    std::string partial = big.substr(0, 65536) + std::string(big.size() - 65536, '\0');
    test::writeBytes(game / "data/big.bin.gzf", partial);
    std::vector<BlockIndexEntry> entries;
    for (uint32_t i = 0; i < 4; ++i) {
        BlockIndexEntry e;
        e.offset = e.localPosition = i * 32768;
        e.blockIndex = i;
        e.size = std::min<uint32_t>(32768, static_cast<uint32_t>(big.size()) - e.offset);
        e.written = i < 2 ? e.size : 0;
        entries.push_back(e);
    }
    {
        File index;
        ASSERT_TRUE(index.open(u"data\\big.bin.igzf", 1));
        ASSERT_TRUE(BlockIndexFile::write(index, test::checksumOf(big), entries));
    }
    const auto messages = update();
    EXPECT_EQ(frame(messages).back(), "6029(0,0)") << log.text();
    expectVersion2();
    std::vector<std::string> ranges;
    for (const test::RequestRecord& r : server->requests()) {
        if (r.path.find("big.bin") != std::string::npos) {
            ranges.push_back(r.range);
        }
    }
    std::sort(ranges.begin(), ranges.end());
    EXPECT_EQ(ranges, (std::vector<std::string>{"bytes=65536-98303", "bytes=98304-99999"}));
}

TEST_F(UpdateRun, WrongBytesFailVerificationAndLeaveTheInstalledFile) {
    publishBothAndInstallV1();
    const std::string readme = looseFiles(2)["readme.txt"];
    const std::string data = test::deflateRaw(readme);
    const fs::path served =
        root / ("www/game/readme.txt.gzf." + test::hexOf(test::checksumOf(data)));
    ASSERT_TRUE(fs::exists(served));
    test::writeBytes(served, std::string(data.size(), 'x'));
    auto messages = update();
    const UpdateResult r = resultOf(messages);
    EXPECT_EQ(r.kind, UpdateResult::Kind::VerifyFailed) << log.text();
    EXPECT_EQ(test::readBytes(game / "readme.txt"), looseFiles(1)["readme.txt"]);
    EXPECT_FALSE(fs::exists(game / "readme.txt.gzf"));

    // Served right, the next update completes (resuming whatever the first one left).
    test::writeBytes(served, data);
    messages = update();
    EXPECT_EQ(frame(messages).back(), "6029(0,0)") << log.text();
    expectVersion2();
}

TEST_F(UpdateRun, MustFilesUpdateFirstAndAreCountedBeforeTheReset) {
    Tree v1 = {{"bin/lume.dat", "client 1"}, {"readme.txt", "readme 1"}};
    Tree v2 = {{"bin/lume.dat", "client 2"}, {"readme.txt", "readme 2"}};
    test::writeTree(root / "v1", v1);
    test::writeTree(root / "v2", v2);
    test::publish(root / "v1", root / "www/game", {"bin/lume.dat"});
    test::publish(root / "v2", root / "www/game", {"bin/lume.dat"});
    test::writeTree(game, v1);

    auto messages = update();
    EXPECT_EQ(resultOf(messages).kind, UpdateResult::Kind::Restart);
    EXPECT_EQ(frame(messages).back(), "6029(1,0)");
    EXPECT_EQ(test::readBytes(game / "bin/lume.dat"), "client 2");
    EXPECT_EQ(test::readBytes(game / "readme.txt"), "readme 1");  // the regular pass waits
    EXPECT_EQ(updater->text(messages[3].wParam), u"检查:bin\\lume.dat");
    UpdateThread* thread = UpdateThread::instance();
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(thread->fileList().mustCount(), 0u);
    EXPECT_TRUE(thread->fileList().mustList().empty());

    // The must file now current where it was installed, the regular pass runs.
    messages = update();
    EXPECT_EQ(frame(messages).back(), "6029(0,0)");
    EXPECT_EQ(test::readBytes(game / "readme.txt"), "readme 2");
}

TEST_F(UpdateRun, StopDuringTheBlockPhaseStillSummarises) {
    makeVersion(2, root / "v2", root / "scratch");
    test::publish(root / "v2", root / "www/game");
    window.hook = [](const PostedMessage& m) {
        if (m.message == kMsgPhaseProgress && m.lParam == 2) {
            UpdateThread::instance()->requestStop();
        }
    };
    const auto messages = update();
    std::vector<uint32_t> handedOut;
    uint32_t blocks = 0;
    for (const PostedMessage& m : messages) {
        EXPECT_NE(m.message, kMsgProgress);  // no waiting after a stop
        if (m.message == kMsgPhaseProgress) {
            handedOut.push_back(m.lParam);
            blocks = m.wParam;
        }
    }
    EXPECT_GT(blocks, 4u);
    // The stop came while block 2 was announced: blocks 0 and 1 went out, no more.
    EXPECT_EQ(handedOut, (std::vector<uint32_t>{0, 1, 2}));
    const auto f = frame(messages);
    ASSERT_GE(f.size(), 3u);
    EXPECT_EQ(f[f.size() - 3],
              "6036(" + std::to_string(blocks) + "," + std::to_string(blocks) + ")");
    EXPECT_EQ(messages.back().message, kMsgUpdateResult);
    int ranges = 0;
    for (const test::RequestRecord& r : server->requests()) {
        ranges += r.range.empty() ? 0 : 1;
    }
    EXPECT_LE(ranges, 2);

    // The updater takes the next update as usual.
    window.hook = nullptr;
    EXPECT_EQ(frame(update()).back(), "6029(0,0)");
    EXPECT_EQ(test::readBytes(game / "readme.txt"), looseFiles(2)["readme.txt"]);
}

TEST_F(UpdateRun, ClosingTheUpdaterMidDownloadEndsEveryThread) {
    makeVersion(2, root / "v2", root / "scratch");
    test::publish(root / "v2", root / "www/game");
    const std::string big = looseFiles(2)["data/big.bin"];
    server->injectForPath("/game/data/big.bin.gzf." + test::hexOf(test::checksumOf(big)),
                          test::FaultPlan::stall());
    ASSERT_TRUE(updater->beginUpdate(server->host(), "/game", "", "", 0));
    std::optional<PostedMessage> m;
    while ((m = window.queue.waitPop(std::chrono::seconds(120))) &&
           m->message != kMsgBlocksHandedOut) {
    }
    ASSERT_TRUE(m);
    // Blocks are stalled in transfer: the destructor cuts them short and joins.
    updater.reset();
    bool summarised = false;
    for (const PostedMessage& posted : window.queue.drain()) {
        summarised = summarised || posted.message == kMsgUpdateResult;
    }
    EXPECT_TRUE(summarised);
    EXPECT_EQ(UpdateThread::instance(), nullptr);
}

TEST_F(UpdateRun, HostileListWritesNothingOutsideTheGameAndFails) {
    const std::string good = "good file";
    const std::string attrs = " crc=\"" +
                              std::to_string(static_cast<int32_t>(test::checksumOf(good))) +
                              "\" size=\"9\" zip=\"9\" zipcrc=\"" +
                              std::to_string(static_cast<int32_t>(test::checksumOf(good))) + "\"";
    const std::string suffix = ".gzf." + test::hexOf(test::checksumOf(good));
    test::writeBytes(root / ("www/game/good.txt" + suffix), good);
    test::writeBytes(root / ("www/evil.txt" + suffix), good);  // where ..\evil.txt would lead
    test::writeBytes(root / "www/game/flist.xml",
                     "<flist><folder name=\"..\"><file name=\"evil.txt\"" + attrs +
                         "/></folder><file name=\"..\\..\\evil.txt\"" + attrs +
                         "/><file name=\"/tmp/evil.txt\"" + attrs +
                         "/><file name=\"C:\\evil.txt\"" + attrs + "/><file name=\"good.txt\"" +
                         attrs + "/></flist>");
    const auto outsideGame = [&] {
        Tree tree = test::readTree(root);
        std::erase_if(tree, [](const auto& file) { return file.first.starts_with("game/"); });
        return tree;
    };
    const Tree before = outsideGame();
    const auto messages = update();
    const UpdateResult r = resultOf(messages);
    EXPECT_FALSE(r.success());
    EXPECT_EQ(r.failures, 4);
    EXPECT_EQ(outsideGame(), before);
    EXPECT_EQ(log.matching({"不在游戏目录中"}).size(), 4u);
    for (const test::RequestRecord& req : server->requests()) {
        EXPECT_EQ(req.path.find("evil"), std::string::npos) << req.path;
    }
}

TEST_F(UpdateRun, SecondBeginWhileRunningIsRefused) {
    makeVersion(2, root / "v2", root / "scratch");
    test::publish(root / "v2", root / "www/game");
    server->injectForPath("/game/flist.xml", test::FaultPlan::delayHeaders(300), 1);
    ASSERT_TRUE(updater->beginUpdate(server->host(), "/game", "", "", 0));
    EXPECT_TRUE(UpdateThread::instance()->updating());
    EXPECT_FALSE(updater->beginUpdate(server->host(), "/game", "", "", 0));
    std::optional<PostedMessage> m;
    while ((m = window.queue.waitPop(std::chrono::seconds(120))) &&
           m->message != kMsgUpdateResult) {
    }
    ASSERT_TRUE(m);
    EXPECT_EQ(m->wParam, 0u);
    EXPECT_EQ(frame(update()).back(), "6029(0,0)");
}

}  // namespace
}  // namespace lume
