// The sample game's offline patch, as an operator and a player use it: versions 1 and 2 made
// from resources/sample-game as the demo makes them (packs built by lume-pak), the patch from
// 1 to 2 written by lume-publish --patch, and lume-cli patch applying it to version 1.
#include <gtest/gtest.h>

#include <cstdlib>

#include "launcher/cli/Cli.h"
#include "tests/e2e/EndToEnd.h"
#include "tests/support/Sandbox.h"

namespace lume {
namespace {

namespace fs = std::filesystem;

int run(std::vector<std::string> args, const fs::path& cwd) {
    std::FILE* out = std::tmpfile();
    const int code = args[0] == "patch" ? runCli(args, out, out) : publishMain(args, out, out);
    std::fclose(out);
    fs::current_path(cwd);  // lume-cli works in the game directory
    return code;
}

TEST(PatchEndToEnd, TheSampleGameGoesFromOneToTwoAndAgainChangesNothing) {
    setenv("LUME_INSTANCE_NAME", ("LumePatchTest-" + std::to_string(getpid())).c_str(), 1);
    test::Sandbox box;
    const fs::path root = box.path();
    const fs::path sample = LUME_SAMPLE_GAME_DIR;
    for (const char* version : {"v1", "v2"}) {
        test::makeSampleVersion(root / version, sample / version);
    }
    ASSERT_EQ(run({"--patch", "v1", "v2", "patch"}, root), 0);
    fs::copy(root / "v1", root / "game", fs::copy_options::recursive);
    fs::copy(sample / "client", root / "game", fs::copy_options::recursive);

    // The patch directory is named from where the program starts, not from the game.
    ASSERT_EQ(run({"patch", "patch", "-C", "game", "--trace", "../trace"}, root), kExitOk);
    EXPECT_NE(test::readBytes(root / "trace").find(R"({"msg":6039,"wParam":0,"lParam":0})"),
              std::string::npos);
    test::Tree have = test::gameTree(root / "game");
    for (const auto& [rel, bytes] : test::readTree(root / "v2")) {
        test::expectFile(root / "game", root / "v2", rel);
        have.erase(rel);
    }
    // Besides version 2 only the launcher's own files: no file of the patch's work.
    for (const auto& [rel, bytes] : test::readTree(sample / "client")) {
        have.erase(rel);
    }
    EXPECT_TRUE(have.empty()) << have.begin()->first;

    const test::Tree patched = test::gameTree(root / "game");
    ASSERT_EQ(run({"patch", (root / "patch").string(), "-C", "game"}, root), kExitOk);
    EXPECT_EQ(test::gameTree(root / "game"), patched);

    // A patch that cannot apply fully says so.
    fs::remove_all(root / "game");
    fs::copy(root / "v1", root / "game", fs::copy_options::recursive);
    fs::remove(root / "patch/readme.txt.gzf");
    EXPECT_EQ(run({"patch", "patch", "-C", "game"}, root), kExitFailure);
}

}  // namespace
}  // namespace lume
