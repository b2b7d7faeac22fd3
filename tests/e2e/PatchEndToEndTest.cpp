// The sample game's offline patch, as an operator and a player use it: versions 1 and 2 made
// from resources/sample-game as the demo makes them (packs built by lume-pak), the patch from
// 1 to 2 written by lume-publish --patch, and lume-cli patch applying it to version 1.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "tests/e2e/EndToEnd.h"

namespace lume {
namespace {

namespace fs = std::filesystem;

using PatchEndToEnd = test::EndToEnd;

TEST_F(PatchEndToEnd, TheSampleGameGoesFromOneToTwoAndAgainChangesNothing) {
    setenv("LUME_INSTANCE_NAME", ("LumePatchTest-" + std::to_string(getpid())).c_str(), 1);
    const fs::path sample = LUME_SAMPLE_GAME_DIR;
    for (const char* version : {"v1", "v2"}) {
        test::makeSampleVersion(versions / version, sample / version);
    }
    std::FILE* out = std::tmpfile();
    ASSERT_EQ(publishMain({"--patch", "v1", "v2", "patch"}, out, out), 0);
    std::fclose(out);
    install("v1");
    fs::copy(sample / "client", game(), fs::copy_options::recursive);

    // The patch directory is named from where the program starts, not from the game.
    ASSERT_EQ(cli({"patch", "patch", "-C", "game"}), kExitOk) << said();
    EXPECT_GE(std::ranges::count(last.messages, test::Message{kMsgPatchDone, 0, 0}), 1);
    test::Tree have = test::gameTree(game());
    for (const auto& [rel, bytes] : test::readTree(versions / "v2")) {
        test::expectFile(game(), versions / "v2", rel);
        have.erase(rel);
    }
    // Besides version 2 only the launcher's own files: no file of the patch's work.
    for (const auto& [rel, bytes] : test::readTree(sample / "client")) {
        have.erase(rel);
    }
    EXPECT_TRUE(have.empty()) << have.begin()->first;

    const test::Tree patched = test::gameTree(game());
    ASSERT_EQ(cli({"patch", versions.string() + "/patch", "-C", "game"}), kExitOk) << said();
    EXPECT_EQ(test::gameTree(game()), patched);

    // A patch that cannot apply fully says so.
    install("v1");
    fs::remove(versions / "patch/readme.txt.gzf");
    EXPECT_EQ(cli({"patch", "patch", "-C", "game"}), kExitFailure);
}

}  // namespace
}  // namespace lume
