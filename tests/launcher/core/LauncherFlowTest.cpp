// The launcher's flow as a player meets it: which server is current, which addresses an
// update starts with, what the progress and result texts say, and what is started at the end.
#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "launcher/core/Handover.h"
#include "launcher/core/LauncherFlow.h"
#include "launcher/core/LauncherSettings.h"
#include "launcher/core/ProgressDisplay.h"
#include "launcher/core/Trace.h"
#include "platform/Text.h"
#include "tests/support/Sandbox.h"
#include "update/Messages.h"

namespace lume {
namespace {

namespace fs = std::filesystem;

// The window's side: records what it was told to show.
struct RecordingView : LauncherView {
    void showTip(const std::u16string& t) override { tips.push_back(t); }
    void showProgressText(const std::u16string& t) override { progressText = t; }
    void showSpeed(uint64_t rate) override { speed = rate; }
    void setProgressBar(int p) override { bar = p; }
    int progressBar() const override { return bar; }
    void showServerName(const std::u16string& n) override { serverName = n; }
    void showZoneButton(int i, const std::u16string* n) override { zone[i] = n ? *n : u"<hidden>"; }
    void setStartEnabled(bool e) override { startEnabled = e; }
    void messageBox(const std::u16string& t, const std::u16string&) override { boxes.push_back(t); }
    bool confirm(const std::u16string&, const std::u16string&) override {
        ++questions;
        return answer;
    }
    std::vector<std::u16string> tips, boxes;
    std::u16string progressText, serverName, zone[2];
    int bar = 0;
    uint64_t speed = UINT64_MAX;  // until shown
    bool startEnabled = false;
    bool answer = true;
    int questions = 0;
};

// The updater's side, without threads: a server list and a record of what was asked.
struct FakeUpdater : Updater {
    bool startPatch(const std::string&, const std::string&, const std::string&) override {
        return false;
    }
    int downloadServerList(int slot) override {
        requestedSlot = slot;
        return workingSlot;
    }
    bool beginUpdate(const std::string& h, const std::string& p, const std::string& bh,
                     const std::string& bp, uint8_t force) override {
        begun.push_back(h + " " + p + " " + bh + " " + bp);
        EXPECT_EQ(force, 0);
        return true;
    }
    std::u16string getDefaultServer() override { return defaultServer; }
    bool postMessage(uint32_t, uint32_t wParam, uint32_t) override {
        posted = wParam;
        return true;
    }

    uint32_t posted = 0;  // the last message's wParam
    int requestedSlot = -1;
    int workingSlot = 1;
    std::u16string defaultServer;
    std::vector<std::string> begun;  // the addresses of each update begun
};

ServerRecord server(const char16_t* name, int32_t id, int32_t group, const char* primary) {
    ServerRecord s;
    s.name = name;
    s.id = id;
    s.group = group;
    s.loginAddress = u"10.0.0." + platform::asciiToWide(std::to_string(id));
    s.loginPort = u"7000";
    s.primaryAddress = primary;
    s.primaryPath = "/patch";
    return s;
}

class Flow : public ::testing::Test {
protected:
    void SetUp() override {
        updater.servers() = {server(u"一区", 11, 0, "a.example"),
                             server(u"二区", 12, 0, "a.example"),
                             server(u"网通一", 21, 1, "b.example")};
        updater.defaultServer = u"二区";
    }
    // A flow on settings read from the directory as it is now, set up (the list requested).
    std::unique_ptr<LauncherFlow> make(bool launchAtEnd = true) {
        LauncherFlow::Environment env;
        env.launchAtEnd = launchAtEnd;
        env.programDirectory = u"\\games\\lumora\\";
        env.chooseMirror = [this](const ServerRecord& s) -> std::optional<DownloadAddressSet> {
            ++probes;
            if (s.primaryAddress == "b.example") {
                return std::nullopt;  // every mirror of this group failed
            }
            return DownloadAddressSet{s.primaryAddress, s.primaryPath, "mirror.example", "/m"};
        };
        env.launch = [this](const std::u16string& line, const std::u16string& dir) {
            launched.push_back({line, dir});
            return launchWorks;
        };
        env.beforeHandOver = [this] {
            ++beforeHandOvers;
            EXPECT_TRUE(launched.empty());  // just before the hand-over
        };
        env.cleanUp = [this] {
            ++cleanUps;
            EXPECT_EQ(launched.size(), 1u);  // the program is started first, while logging
        };
        env.runBlocking = [this](const std::function<void()>& step) {
            ++blockingSteps;
            step();
            if (closeDuringStep) {
                EXPECT_TRUE(flowUnderTest->requestClose());
            }
        };
        env.clock = [this] { return now; };
        auto flow = std::make_unique<LauncherFlow>(view, updater, settings.emplace_back(), env);
        flowUnderTest = flow.get();
        flow->setUp();
        return flow;
    }

    test::Sandbox box;
    RecordingView view;
    FakeUpdater updater;
    int probes = 0, cleanUps = 0, blockingSteps = 0, beforeHandOvers = 0;
    bool closeDuringStep = false, launchWorks = true;
    LauncherFlow* flowUnderTest = nullptr;
    int64_t now = 1000;
    std::vector<Handover> launched;
    std::deque<LauncherSettings> settings;
};

TEST_F(Flow, FirstStartTakesTheDefaultServer) {
    auto flow = make();
    // zonetype absent: slot 4 is tried and the slot that worked is written back.
    EXPECT_EQ(std::tuple(updater.requestedSlot, LauncherSettings().zoneType()), std::tuple(4, 1));
    flow->handleMessage({kMsgServerList, 1, 0});
    EXPECT_EQ(std::tuple(flow->currentServer(), view.serverName, view.tips.back()),
              std::tuple(u"二区", u"二区", u"下载服务器列表完成"));
    // One probe per group that has none cached; the failing group caches nothing.
    EXPECT_EQ(std::tuple(probes, flow->groupCache().size(), flow->idCache().size()),
              std::tuple(2, 1u, 2u));
    EXPECT_EQ(flow->addresses().mirrorHost, "mirror.example");
    EXPECT_EQ(view.zone[0] + u"," + view.zone[1], u"一区,二区");
    // The choice is remembered with the server's login details.
    EXPECT_EQ(LauncherSettings().serverName(), u"二区");
    platform::IniFile ini;
    ASSERT_TRUE(ini.load(u"bin\\config.ini"));
    EXPECT_EQ(ini.getInt(u"server", u"zone", 0), 12);
    EXPECT_EQ(ini.getString(u"server", u"loginaddress", u""), u"10.0.0.12");

    // A remembered server the list no longer has is replaced by the default.
    box.writeFile("bin/config.ini",
                  platform::utf8ToNarrow("[server]\nservername=旧服\nzonetype=3\n"));
    auto again = make();
    EXPECT_EQ(std::tuple(updater.requestedSlot, view.serverName), std::tuple(3, u"旧服"));
    // What an update writes there meanwhile (the newest accepted release) survives the save.
    ASSERT_TRUE(ini.load(u"bin\\config.ini"));
    ini.set(u"release", u"version", u"5");
    ASSERT_TRUE(ini.save(u"bin\\config.ini"));
    again->handleMessage({kMsgServerList, 1, 0});
    EXPECT_EQ(again->currentServer(), u"二区");
    ASSERT_TRUE(ini.load(u"bin\\config.ini"));
    EXPECT_EQ(ini.getInt(u"release", u"version", 0), 5);
    EXPECT_EQ(ini.getString(u"server", u"servername", u""), u"二区");
}

TEST_F(Flow, NoListOrNoAddressesLeaveNothingToStart) {
    auto flow = make();
    flow->handleMessage({kMsgServerList, 0, 0});
    EXPECT_EQ(view.boxes, std::vector<std::u16string>{u"下载服务器列表失败，请检查网络"});
    EXPECT_FALSE(flow->startUpdate());
    EXPECT_EQ(view.tips.back(), u"下载地址或路径没有设置");
    EXPECT_TRUE(view.startEnabled);
    flow->handleMessage({kMsgServerList, 1, 0});
    flow->chooseServer(u"网通一");  // its group's probe failed
    EXPECT_FALSE(flow->startUpdate());
    EXPECT_EQ(flow->state(), LauncherFlow::State::Idle);
    EXPECT_TRUE(updater.begun.empty());
}

TEST_F(Flow, TheUpdatersMessagesReachTheView) {
    auto flow = make();
    flow->handleMessage({kMsgServerList, 1, 0});
    ASSERT_TRUE(flow->startUpdate());
    EXPECT_EQ(updater.begun, std::vector<std::string>{"a.example /patch mirror.example /m"});
    EXPECT_FALSE(view.startEnabled);
    EXPECT_FALSE(flow->startUpdate());  // not twice
    ASSERT_TRUE(updater.postText(u"检查:%s", u"a.pak"));
    const uint32_t text = updater.posted;
    const struct {
        PostedMessage m;
        const char16_t* tip;  // the last tip afterwards
        int bar;
        size_t boxes;
    } steps[] = {
        {{kMsgFileList, 1, 0}, u"正在下载flist.xml", 0, 0},
        {{kMsgFileList, 0, 0}, u"下载flist.xml完成", 0, 0},
        {{kMsgText, text, 0}, u"检查:a.pak", 0, 0},
        {{kMsgText, 999, 0}, u"检查:a.pak", 0, 0},  // no text: nothing shown
        {{kMsgPhaseProgress, 4, 1}, u"检查:a.pak", 25, 0},
        {{kMsgPhaseProgress, 0, 1}, u"检查:a.pak", 25, 0},
        {{kMsgBlocksHandedOut, 3, 3}, u"检查:a.pak", 0, 0},
        {{kMsgProgress, 10, 0x00050005}, u"检查:a.pak", 50, 0},
        {{kMsgWriteFailed, 0, 0}, u"检查:a.pak", 50, 0},
        {{kMsgWriteFailed, 2, 0}, u"检查:a.pak", 50, 1},
    };
    for (const auto& step : steps) {
        flow->handleMessage(step.m);
        EXPECT_EQ(std::tuple(view.tips.back(), view.bar, view.boxes.size(), flow->state()),
                  std::tuple(step.tip, step.bar, step.boxes, LauncherFlow::State::Updating))
            << step.m.message;
    }
    EXPECT_EQ(view.progressText, u"更新进度:50%");
    EXPECT_EQ(view.speed, 0u);  // the updater's rate, with the progress: nothing downloads here
    EXPECT_EQ(view.boxes.back(), u"写文件失败，请检查游戏目录剩余空间以及写文件权限");
}

TEST_F(Flow, UpdateEndingsStartTheGameOrTheUpgradeOrAllowARetry) {
    const std::u16string bin = u"\\games\\lumora\\bin";
    const struct {
        uint32_t w, l;
        LauncherFlow::Ending ending;
        std::u16string launched;  // command line and working directory, or the tip
    } cases[] = {{0, 0, LauncherFlow::Ending::Game, bin + u"\\lume.dat run|" + bin},
                 {packUpdateResultW(0, 1), 0, LauncherFlow::Ending::Upgrade,
                  bin + u"\\upgrade.tmp " + bin + u"\\;\\games\\lumora\\;lume.exe|" + bin + u"\\"},
                 {packUpdateResultW(1, 0), 0, {}, u"下载文件列表失败,请换个入口再次尝试更新"},
                 {0, packUpdateResultL(0, 1), {}, u"验证文件失败,请再次尝试更新"}};
    for (const auto& c : cases) {
        auto flow = make();
        flow->handleMessage({kMsgServerList, 1, 0});
        launched.clear();
        ASSERT_TRUE(flow->startUpdate());
        now += 125;
        flow->handleMessage({kMsgUpdateResult, c.w, c.l});
        const bool done = c.ending != LauncherFlow::Ending::None;
        EXPECT_EQ(std::pair(flow->ending(), flow->updateDone()), std::pair(c.ending, done));
        if (!done) {
            EXPECT_EQ(
                std::tuple(view.tips.back(), view.startEnabled, flow->state(), launched.size()),
                std::tuple(c.launched, true, LauncherFlow::State::Idle, 0u));
            continue;
        }
        EXPECT_EQ(std::tuple(view.progressText, view.bar, view.startEnabled),
                  std::tuple(u"更新耗时:2分5秒", 100, c.ending == LauncherFlow::Ending::Game));
        ASSERT_EQ(launched.size(), 1u);
        EXPECT_EQ(launched[0].commandLine + u"|" + launched[0].workingDirectory, c.launched);
    }
    EXPECT_EQ(std::pair(cleanUps, beforeHandOvers), std::pair(2, 2));  // one per hand-over
}

TEST_F(Flow, AProgramThatCannotStartIsReportedAndCanBeRetried) {
    auto flow = make();
    flow->handleMessage({kMsgServerList, 1, 0});
    launchWorks = false;
    for (uint32_t must : {0u, 1u}) {
        launched.clear();
        ASSERT_TRUE(flow->startUpdate());
        flow->handleMessage({kMsgUpdateResult, packUpdateResultW(0, must), 0});
        const char16_t* text = must == 0 ? u"启动游戏失败，请检查游戏文件后重试"
                                         : u"启动升级程序失败，请重新运行更新程序";
        // Not done, so that start runs again.
        EXPECT_EQ(std::tuple(flow->launchFailed(), view.tips.back(), view.boxes.back(),
                             flow->state(), view.startEnabled, flow->updateDone()),
                  std::tuple(true, text, text, LauncherFlow::State::Idle, true, false));
    }
    EXPECT_EQ(cleanUps, 0);
    launchWorks = true;
    launched.clear();
    ASSERT_TRUE(flow->startUpdate());
    flow->handleMessage({kMsgUpdateResult, 0, 0});
    EXPECT_EQ(std::tuple(flow->launchFailed(), flow->state(), cleanUps),
              std::tuple(false, LauncherFlow::State::Closed, 1));
    EXPECT_EQ(blockingSteps, 2);  // the list download, then every mirror choice at once

    // Closed during the list download: the flow stops where it stood.
    test::Sandbox other;
    closeDuringStep = true;
    auto closed = make();
    EXPECT_EQ(closed->state(), LauncherFlow::State::Closed);
    EXPECT_FALSE(other.exists("bin/config.ini"));
    closed->handleMessage({kMsgServerList, 1, 0});
    EXPECT_FALSE(closed->startUpdate());
}

TEST_F(Flow, ServerChoicesZoneButtonsAndClosing) {
    auto flow = make(false);  // no hand-over: the window stays, idle
    flow->handleMessage({kMsgServerList, 1, 0});
    ASSERT_TRUE(flow->startUpdate());
    flow->handleMessage({kMsgUpdateResult, 0, 0});
    EXPECT_TRUE(flow->updateDone());
    EXPECT_EQ(flow->state(), LauncherFlow::State::Idle);
    EXPECT_FALSE(flow->startUpdate());  // a done update is not started again
    flow->chooseServer(u"二区");        // the current server again
    EXPECT_TRUE(flow->updateDone());
    EXPECT_FALSE(flow->chooseZoneButton(-1) || flow->chooseZoneButton(2));
    EXPECT_TRUE(flow->chooseZoneButton(1));  // the current server: still done
    EXPECT_TRUE(flow->updateDone());
    EXPECT_TRUE(flow->chooseZoneButton(0));  // another server needs its own update
    EXPECT_EQ(flow->currentServer(), u"一区");
    EXPECT_EQ(LauncherSettings().serverName(), u"一区");
    EXPECT_FALSE(flow->updateDone());
    ASSERT_TRUE(flow->startUpdate());
    EXPECT_EQ(updater.begun.size(), 2u);
    EXPECT_FALSE(flow->chooseZoneButton(1));  // not while updating
    view.answer = false;
    EXPECT_FALSE(flow->requestClose());
    view.answer = true;
    EXPECT_TRUE(flow->requestClose());
    EXPECT_TRUE(flow->closing());
    EXPECT_EQ(view.questions, 2);
    // A result arriving after the player confirmed closing is ignored.
    flow->handleMessage({kMsgUpdateResult, 0, 0});
    EXPECT_TRUE(launched.empty());
}

TEST(ProgressDisplay, AReportAtZeroStartsFromWhereTheBarStands) {
    ProgressDisplay display;
    const auto shown = [&](uint32_t lParam, int bar) {
        const ProgressDisplay::Shown s = display.onProgress(10, lParam, bar);
        return s.text + u"|" + platform::asciiToWide(std::to_string(s.bar));
    };
    EXPECT_EQ(shown(0, 30), u"更新进度:30%|30");
    EXPECT_EQ(shown(0x00020003, 0), u"更新进度:55%|55");
    EXPECT_EQ(shown(0, 60), u"更新进度:60%|60");  // a new phase from its own start
    EXPECT_EQ(display.onProgress(0, 0x00020003, 60).text, u"更新进度:5/0");  // no total yet
}

TEST(Trace, OneJsonObjectPerMessageAndItsOwnFileClosed) {
    test::Sandbox box;
    const auto open = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
    const auto before = open();
    {
        Trace file, out;
        ASSERT_TRUE(file.open("trace.jsonl") && out.open("-"));
        FakeUpdater updater;
        file.record({6027, 1, 2}, updater);  // on the disk at once, as a crash would leave it
        EXPECT_EQ(box.readFile("trace.jsonl"), "{\"msg\":6027,\"wParam\":1,\"lParam\":2}\n");
    }
    EXPECT_EQ(open(), before);  // standard output is not the trace's to close
    EXPECT_EQ(traceLine({6027, 100, 0x00050007}, nullptr),
              R"({"msg":6027,"wParam":100,"lParam":327687})");
    const std::u16string text = u"检查:data\\a.pak \"q\"\n\x1f";
    EXPECT_EQ(traceLine({6030, 3, 0}, &text),
              "{\"msg\":6030,\"wParam\":3,\"lParam\":0,\"text\":\"检查:data\\\\a.pak "
              "\\\"q\\\"\\n\\u001f\"}");
}

TEST(LauncherFiles, VersionTextIsTheFourthTabField) {
    test::Sandbox box;
    EXPECT_EQ(readVersionText(), u"");
    const std::pair<std::string, std::u16string> cases[] = {
        {"a\tb\tc", u""},
        {"a\tb\tc\t1.0.6", u"1.0.6"},
        {platform::utf8ToNarrow("lumora\t2026\tx\t1.0.7 正式版\trest"), u"1.0.7 正式版"},
    };
    for (const auto& [file, text] : cases) {
        box.writeFile("bin/version.dat", file);
        EXPECT_EQ(readVersionText(), text);
    }
    EXPECT_EQ(elapsedText(3599), u"更新耗时:59分59秒");
}

}  // namespace
}  // namespace lume
