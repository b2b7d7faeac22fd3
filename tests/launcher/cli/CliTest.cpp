// The terminal launcher: arguments, the trace format, and whole runs in a game directory
// against a server list on a loopback server.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "launcher/cli/Cli.h"
#include "launcher/cli/TerminalView.h"
#include "launcher/core/Startup.h"
#include "platform/SingleInstance.h"
#include "platform/Text.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TestHttpServer.h"
#include "update/Messages.h"

namespace lume {
namespace {

TEST(CliOptions, ParsesAndRejects) {
    CliOptions o;
    std::string error;
    ASSERT_TRUE(parseCliOptions({"-C", "game", "--trace", "-"}, o, error));
    EXPECT_EQ(o.directory, "game");
    EXPECT_EQ(o.trace, "-");
    EXPECT_EQ(o.command, "run");

    CliOptions u;
    ASSERT_TRUE(parseCliOptions({"update", "--host", "h:1", "--path", "/p", "--mirror-host", "m",
                                 "--mirror-path", "/q", "--force"},
                                u, error));
    EXPECT_EQ(u.host, "h:1");
    EXPECT_EQ(u.mirrorPath, "/q");
    EXPECT_TRUE(u.force);
    EXPECT_FALSE(u.transfer.limitRate);
    EXPECT_FALSE(u.transfer.proxy);

    // The bandwidth as curl writes it, in powers of 1024; the proxy as libcurl takes it.
    for (const auto& [text, rate] : std::vector<std::pair<std::string, uint64_t>>{
             {"500", 500}, {"500K", 512000}, {"2m", 2097152}, {"1.5M", 1572864}, {"0", 0}}) {
        CliOptions r;
        ASSERT_TRUE(
            parseCliOptions({"--limit-rate", text, "--proxy", "socks5h://p:1080"}, r, error))
            << text;
        EXPECT_EQ(r.transfer.limitRate, rate) << text;
        EXPECT_EQ(r.transfer.proxy, "socks5h://p:1080");
    }

    CliOptions p;
    ASSERT_TRUE(parseCliOptions({"patch", "-C", "game", "../patch"}, p, error));
    EXPECT_EQ(p.command, "patch");
    EXPECT_EQ(p.patchDirectory, "../patch");

    for (std::vector<std::string> bad : {std::vector<std::string>{"--trace"},
                                         {"patch"},
                                         {"patch", "a", "b"},
                                         {"patch", "a", "--no-launch"},
                                         {"--frobnicate"},
                                         {"dance"},
                                         {"update", "--host", "h"},
                                         {"update", "--host", "h", "--path", "/p", "--no-launch"},
                                         {"servers", "--force"},
                                         {"run", "--mirror-host", "m"},
                                         {"servers", "--mirror-path", "/q"},
                                         {"--limit-rate", "fast"},
                                         {"--limit-rate", "-5K"},
                                         {"servers", "--proxy", "p:1"},
                                         {"run", "extra"}}) {
        CliOptions b;
        EXPECT_FALSE(parseCliOptions(bad, b, error)) << bad[0];
        EXPECT_FALSE(error.empty());
    }
}

std::string slurp(std::FILE* f) {
    std::rewind(f);
    std::string s;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        s.append(buffer, n);
    }
    return s;
}

TEST(TerminalView, ProgressLine) {
    EXPECT_EQ(TerminalView::progressLine(50, 1.5 * 1024 * 1024, 75, "检查:a.pak", 200),
              "[############............]  50% 1.5 MiB/s ETA 1:15  检查:a.pak");
    EXPECT_EQ(TerminalView::progressLine(0, 0, -1, "", 200),
              "[........................]   0% 0 KiB/s");
    // Cut to the width on a character boundary.
    const std::string cut = TerminalView::progressLine(100, 2048, 0, "检查检查检查", 50);
    EXPECT_LE(cut.size(), 50u);
    EXPECT_EQ(platform::wideToUtf8(platform::utf8ToWide(cut)), cut);
    // The bytes of the block phase, as a line of its own where the terminal is not one.
    std::FILE* out = std::tmpfile();
    uint64_t now = 0;  // a second passes between the first report and the line
    TerminalView view(out, false, [&now] { return now += 1000; });
    view.onBytesProgress(2 << 20, 4 << 20, u"a.pak");
    EXPECT_NE(slurp(out).find("]  50% 2.0 MiB/s ETA 0:01  a.pak\n"), std::string::npos)
        << slurp(out);
    std::fclose(out);
    // On a terminal the line is drawn in place, and ended before the next line is written.
    std::FILE* tty = std::tmpfile();
    TerminalView live(tty, true, [&now] { return now += 1000; });
    live.onBytesProgress(2 << 20, 4 << 20, u"a.pak");
    live.line("done");
    EXPECT_NE(slurp(tty).find("a.pak\ndone\n"), std::string::npos) << slurp(tty);
    std::fclose(tty);
}

// A game directory "game" beside its data directory "data", a server list on a loopback
// server, and bin\srvListUrl.xml pointing at it.
class CliRun : public ::testing::Test {
protected:
    void SetUp() override {
        // Each test process has a lock of its own; tests run side by side.
        setenv("LUME_INSTANCE_NAME", ("LumeTest-" + std::to_string(getpid())).c_str(), 1);
        box.writeFile("game/bin/config.ini", "[server]\r\nzonetype=2\r\n");
        box.writeFile("www/list.xml", platform::utf8ToNarrow(R"(<server><patch>
            <items type="0"><serverItem addr=")" + server.host() +
                                                             R"(" path="/game" flag="1"/>
            <serverItem addr=")" + server.host() + R"(" path="/m" flag="2"/></items>
            <items type="20"><serverItem addr=")" + server.host() +
                                                             R"(" path="/other" flag="1"/></items>
            </patch><zones default="电信一区">
            <zone name="电信一区" type="0" outer="1" id="1" zone="1" default="1" new="1"/>
            <zone name="网通一区" type="20" outer="1" id="2" zone="0" default="2" test="1"/>
            <zone name="隐藏" type="0" outer="1" id="3" zone="7"/>
            </zones></server>)"));
        box.writeFile("data/bin/srvListUrl.xml",
                      "<l><url type=\"2\" path=\"" + server.url("/list.xml") + "\"/></l>");
        box.writeFile("www/m/flist.xml", "<flist/>");  // the mirror answers its probe
        out = std::tmpfile();
        err = std::tmpfile();
    }
    void TearDown() override {
        std::fclose(out);
        std::fclose(err);
    }
    int cli(std::vector<std::string> args) {
        args.insert(args.begin(), {"-C", box.path() + "/game"});
        return runCli(args, out, err);
    }

    test::Sandbox box;
    test::TestHttpServer server{box.path() + "/www"};
    std::FILE* out = nullptr;
    std::FILE* err = nullptr;
};

TEST_F(CliRun, ServersAreListedByZoneWithTheirAddresses) {
    ASSERT_EQ(cli({"servers", "--trace", box.path() + "/trace.jsonl"}), kExitOk) << slurp(err);
    const std::string text = slurp(out);
    const size_t wangtong = text.find("网通区\n");
    const size_t dianxin = text.find("电信区\n");
    ASSERT_NE(wangtong, std::string::npos) << text;
    ASSERT_NE(dianxin, std::string::npos) << text;
    const size_t first = text.find("电信一区 [新] [当前]  download http://" + server.host() +
                                   "/game  mirror http://" + server.host() + "/m\n");
    const size_t second = text.find("网通一区 [测试]  download http://" + server.host() + "/other");
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_GT(first, dianxin);
    EXPECT_GT(second, wangtong);
    EXPECT_LT(second, dianxin);
    EXPECT_EQ(text.find("隐藏"), std::string::npos);
    // The slot that worked is remembered, and the trace has the list's result.
    EXPECT_NE(box.readFile("game/bin/config.ini").find("zonetype=2"), std::string::npos);
    EXPECT_NE(box.readFile("trace.jsonl").find("{\"msg\":6025,\"wParam\":1,\"lParam\":0}"),
              std::string::npos);
}

TEST_F(CliRun, AnUnknownServerOrAFailedListFails) {
    EXPECT_EQ(cli({"--server", "没有"}), kExitFailure);
    EXPECT_NE(slurp(out).find("no server named 没有"), std::string::npos);
    server.injectForPath("/list.xml", test::FaultPlan::withStatus(404));
    EXPECT_EQ(cli({"--no-launch"}), kExitFailure);
    EXPECT_NE(slurp(out).find("下载服务器列表失败，请检查网络"), std::string::npos);
}

TEST_F(CliRun, AGameThatCannotStartFails) {
    // Nothing to update; the game's command line is too long to start from this directory.
    box.writeFile("www/game/flist.xml", "<?xml version=\"1.0\"?><flist></flist>");
    const std::string deep = std::string(220, 'd');
    box.writeFile(deep + "/game/bin/config.ini", "[server]\r\nzonetype=2\r\n");
    box.writeFile(deep + "/data/bin/srvListUrl.xml", box.readFile("data/bin/srvListUrl.xml"));
    EXPECT_EQ(runCli({"-C", box.path() + "/" + deep + "/game"}, out, err), kExitFailure);
    const std::string text = slurp(out);
    EXPECT_NE(text.find("启动游戏失败，请检查游戏文件后重试"), std::string::npos) << text;
    EXPECT_EQ(text.find("started:"), std::string::npos);
}

TEST_F(CliRun, ASecondLauncherRefusesToRun) {
    platform::SingleInstance first;
    ASSERT_TRUE(first.acquire(instanceName()));
    EXPECT_EQ(cli({}), kExitAlreadyRunning);
    EXPECT_NE(slurp(err).find("应用正在运行中，不要再点击哦!"), std::string::npos);
}

TEST(Cli, UsageErrorsExitWithTwo) {
    test::Sandbox box;
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    EXPECT_EQ(runCli({"-C", box.path() + "/missing"}, out, err), kExitUsage);
    EXPECT_NE(slurp(err).find("cannot work in"), std::string::npos);
    EXPECT_EQ(runCli({"--nope"}, out, err), kExitUsage);
    EXPECT_EQ(runCli({"servers", "--trace", box.path() + "/no/such/dir/t.jsonl"}, out, err),
              kExitUsage);
    EXPECT_NE(slurp(err).find("cannot write the trace to"), std::string::npos);
    EXPECT_EQ(runCli({"--help"}, out, err), kExitOk);
    // A patch directory that is not there, or that the code page cannot name.
    setenv("LUME_INSTANCE_NAME", ("LumeCliTest-" + std::to_string(getpid())).c_str(), 1);
    EXPECT_EQ(runCli({"patch", "-C", box.path(), "missing"}, out, err), kExitFailure);
    EXPECT_NE(slurp(err).find("there is no patch directory " + box.path() + "/missing"),
              std::string::npos);
    if (platform::codePage() == "GBK") {
        EXPECT_EQ(runCli({"patch", "-C", box.path(), "한"}, out, err), kExitFailure);
        EXPECT_NE(slurp(err).find("cannot name the patch directory"), std::string::npos);
    }
    EXPECT_NE(slurp(out).find("usage: lume-cli"), std::string::npos);
    std::fclose(out);
    std::fclose(err);
}

}  // namespace
}  // namespace lume
