// The terminal launcher: arguments, the trace format, and whole runs in a game directory
// against a server list on a loopback server.
#include <gmock/gmock.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <sstream>

#include "launcher/cli/Cli.h"
#include "launcher/cli/TerminalView.h"
#include "launcher/core/Startup.h"
#include "platform/SingleInstance.h"
#include "platform/Text.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TestHttpServer.h"

namespace lume {
namespace {

using ::testing::HasSubstr, ::testing::Not;

// The arguments of a command line without quoting ("a b" is {"a", "b"}).
std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    return {std::istream_iterator<std::string>(in), {}};
}

TEST(CliOptions, ParsesAndRejects) {
    CliOptions o;
    std::string error;
    ASSERT_TRUE(parseCliOptions({"-C", "game", "--trace", "-"}, o, error));
    EXPECT_EQ(std::tuple(o.directory, o.trace, o.command), std::tuple("game", "-", "run"));

    CliOptions u;
    ASSERT_TRUE(parseCliOptions(
        words("update --host h:1 --path /p --mirror-host m --mirror-path /q --force"), u, error));
    EXPECT_EQ(std::tuple(u.host, u.mirrorPath, u.force, u.transfer.limitRate, u.transfer.proxy),
              std::tuple("h:1", "/q", true, std::nullopt, std::nullopt));

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
    EXPECT_EQ(std::tuple(p.command, p.patchDirectory), std::tuple("patch", "../patch"));

    for (const char* bad :
         {"--trace", "patch", "patch a b", "patch a --no-launch", "--frobnicate", "dance",
          "update --host h", "update --host h --path /p --no-launch", "servers --force",
          "run --mirror-host m", "servers --mirror-path /q", "--limit-rate fast",
          "--limit-rate -5K", "servers --proxy p:1", "run extra"}) {
        CliOptions b;
        EXPECT_FALSE(parseCliOptions(words(bad), b, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

std::string slurp(std::FILE* f) {
    std::fseek(f, 0, SEEK_END);  // after what was written, which the seek flushes
    std::string s(static_cast<size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    s.resize(std::fread(s.data(), 1, s.size(), f));
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
    EXPECT_THAT(slurp(out), HasSubstr("]  50% 2.0 MiB/s ETA 0:01  a.pak\n"));
    std::fclose(out);
    // On a terminal the line is drawn in place, and ended before the next line is written.
    std::FILE* tty = std::tmpfile();
    TerminalView live(tty, true, [&now] { return now += 1000; });
    live.onBytesProgress(2 << 20, 4 << 20, u"a.pak");
    live.line("done");
    EXPECT_THAT(slurp(tty), HasSubstr("a.pak\ndone\n"));
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
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
};

TEST_F(CliRun, ServersAreListedByZoneWithTheirAddresses) {
    ASSERT_EQ(cli({"servers", "--trace", box.path() + "/trace.jsonl"}), kExitOk) << slurp(err);
    const std::string text = slurp(out);
    const size_t wangtong = text.find("网通区\n");
    const size_t dianxin = text.find("电信区\n");
    const size_t first = text.find("电信一区 [新] [当前]  download http://" + server.host() +
                                   "/game  mirror http://" + server.host() + "/m\n");
    const size_t second = text.find("网通一区 [测试]  download http://" + server.host() + "/other");
    // In this order, each found (the last one is): a zone, its server, the other, its server.
    EXPECT_TRUE(wangtong < second && second < dianxin && dianxin < first &&
                first != std::string::npos)
        << text;
    EXPECT_THAT(text, Not(HasSubstr("隐藏")));
    // The slot that worked is remembered, and the trace has the list's result.
    EXPECT_THAT(box.readFile("game/bin/config.ini"), HasSubstr("zonetype=2"));
    EXPECT_THAT(box.readFile("trace.jsonl"), HasSubstr("{\"msg\":6025,\"wParam\":1,\"lParam\":0}"));
}

TEST_F(CliRun, AnUnknownServerOrAFailedListFails) {
    EXPECT_EQ(cli({"--server", "没有"}), kExitFailure);
    EXPECT_THAT(slurp(out), HasSubstr("no server named 没有"));
    server.injectForPath("/list.xml", test::FaultPlan::withStatus(404));
    EXPECT_EQ(cli({"--no-launch"}), kExitFailure);
    EXPECT_THAT(slurp(out), HasSubstr("下载服务器列表失败，请检查网络"));
}

TEST_F(CliRun, AGameThatCannotStartFails) {
    // Nothing to update; the game's command line is too long to start from this directory.
    box.writeFile("www/game/flist.xml", "<?xml version=\"1.0\"?><flist></flist>");
    const std::string deep = std::string(220, 'd');
    box.writeFile(deep + "/game/bin/config.ini", "[server]\r\nzonetype=2\r\n");
    box.writeFile(deep + "/data/bin/srvListUrl.xml", box.readFile("data/bin/srvListUrl.xml"));
    EXPECT_EQ(runCli({"-C", box.path() + "/" + deep + "/game"}, out, err), kExitFailure);
    const std::string text = slurp(out);
    EXPECT_THAT(text, HasSubstr("启动游戏失败，请检查游戏文件后重试"));
    EXPECT_THAT(text, Not(HasSubstr("started:")));
}

TEST_F(CliRun, ASecondLauncherRefusesToRun) {
    platform::SingleInstance first;
    ASSERT_TRUE(first.acquire(instanceName()));
    EXPECT_EQ(cli({}), kExitAlreadyRunning);
    EXPECT_THAT(slurp(err), HasSubstr("应用正在运行中，不要再点击哦!"));
}

TEST_F(CliRun, UsageErrorsExitWithTwo) {
    EXPECT_EQ(runCli({"-C", box.path() + "/missing"}, out, err), kExitUsage);
    EXPECT_THAT(slurp(err), HasSubstr("cannot work in"));
    EXPECT_EQ(runCli({"--nope"}, out, err), kExitUsage);
    EXPECT_EQ(runCli({"servers", "--trace", box.path() + "/no/such/dir/t.jsonl"}, out, err),
              kExitUsage);
    EXPECT_THAT(slurp(err), HasSubstr("cannot write the trace to"));
    EXPECT_EQ(runCli({"--help"}, out, err), kExitOk);
    // A patch directory that is not there, or that the code page cannot name.
    EXPECT_EQ(runCli({"patch", "-C", box.path(), "missing"}, out, err), kExitFailure);
    EXPECT_THAT(slurp(err), HasSubstr("there is no patch directory " + box.path() + "/missing"));
    if (platform::codePage() == "GBK") {
        EXPECT_EQ(runCli({"patch", "-C", box.path(), "한"}, out, err), kExitFailure);
        EXPECT_THAT(slurp(err), HasSubstr("cannot name the patch directory"));
    }
    EXPECT_THAT(slurp(out), HasSubstr("usage: lume-cli"));
}

}  // namespace
}  // namespace lume
