// The terminal launcher: arguments, the trace format, and a whole run in a game directory.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

#include "launcher/cli/Cli.h"
#include "launcher/cli/Trace.h"
#include "tests/support/Sandbox.h"
#include "update/Messages.h"

namespace lume {
namespace {

TEST(CliOptions, ParsesAndRejects) {
    CliOptions o;
    std::string error;
    ASSERT_TRUE(parseCliOptions({"-C", "game", "--trace", "-"}, o, error));
    EXPECT_EQ(o.directory, "game");
    EXPECT_EQ(o.trace, "-");
    EXPECT_TRUE(o.command.empty());

    CliOptions r;
    EXPECT_TRUE(parseCliOptions({"run"}, r, error));
    EXPECT_EQ(r.command, "run");

    CliOptions bad;
    EXPECT_FALSE(parseCliOptions({"--trace"}, bad, error));
    EXPECT_NE(error.find("--trace"), std::string::npos);
    EXPECT_FALSE(parseCliOptions({"--frobnicate"}, bad, error));
    EXPECT_FALSE(parseCliOptions({"dance"}, bad, error));
}

TEST(Trace, OneJsonObjectPerMessage) {
    EXPECT_EQ(traceLine({6027, 100, 0x00050007}, nullptr),
              R"({"msg":6027,"wParam":100,"lParam":327687})");
    const std::u16string text = u"检查:data\\a.pak \"q\"\n";
    EXPECT_EQ(
        traceLine({6030, 3, 0}, &text),
        "{\"msg\":6030,\"wParam\":3,\"lParam\":0,\"text\":\"检查:data\\\\a.pak \\\"q\\\"\\n\"}");
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

TEST(Cli, RunsInAGameDirectory) {
    test::Sandbox box;
    box.writeFile("game/bin/config.ini", "[other]\ntimeout=45000\nretrytimes=2\n");
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const int code =
        runCli({"-C", box.path() + "/game", "--trace", box.path() + "/trace.jsonl"}, out, err);
    EXPECT_EQ(code, kExitOk) << slurp(err);
    const std::string text = slurp(out);
    EXPECT_NE(text.find("transfer time-out: 45000 ms, retries: 2"), std::string::npos) << text;
    // The run's log went to the game directory's log folder.
    EXPECT_TRUE(box.exists("game/log"));
    EXPECT_TRUE(box.exists("trace.jsonl"));
    std::fclose(out);
    std::fclose(err);
}

TEST(Cli, UsageErrorsExitWithTwo) {
    test::Sandbox box;
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    EXPECT_EQ(runCli({"-C", box.path() + "/missing"}, out, err), kExitUsage);
    EXPECT_NE(slurp(err).find("cannot work in"), std::string::npos);
    EXPECT_EQ(runCli({"--nope"}, out, err), kExitUsage);
    EXPECT_EQ(runCli({"--trace", box.path() + "/no/such/dir/t.jsonl"}, out, err), kExitUsage);
    EXPECT_EQ(runCli({"--help"}, out, err), kExitOk);
    EXPECT_NE(slurp(out).find("usage: lume-cli"), std::string::npos);
    std::fclose(out);
    std::fclose(err);
}

}  // namespace
}  // namespace lume
