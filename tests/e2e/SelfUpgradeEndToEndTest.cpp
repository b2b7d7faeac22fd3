// The self-upgrade end to end on nginx: a release that changes the launcher's own file
// (lume.exe) makes the launcher hand over to bin\upgrade.tmp (the real upgrade program),
// which waits for the launcher's exit and starts the new launcher; that one finds its
// must-update files current, updates the game and starts it: no second hand-over.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "tests/e2e/EndToEnd.h"

namespace fs = std::filesystem;

namespace lume {
namespace {

std::string launcherScript(const std::string& version) {
    // The launcher as the game directory has it: notes its version and runs the launcher.
    return "#!/bin/sh\necho " + version + " >> launcher-runs.txt\nexec " LUME_CLI_EXE " \"$@\"\n";
}

using SelfUpgradeEndToEnd = test::EndToEnd;

TEST_F(SelfUpgradeEndToEnd, TheNewLauncherRunsOnceAndStartsTheGame) {
    setenv("LUME_INSTANCE_NAME", ("LumeSelfUpgrade-" + std::to_string(getpid())).c_str(), 1);
    for (const std::string version : {"1", "2"}) {
        test::makeVersion(
            box.path() + "/v" + version,
            {{"lume.exe", launcherScript("launcher " + version)},
             {"bin/upgrade.tmp", test::readBytes(LUME_UPGRADE_EXE)},
             {"bin/lume.dat", "#!/bin/sh\necho client " + version + " \"$1\" > started.txt\n"},
             {"readme.txt", "version " + version}});
        ASSERT_TRUE(test::publish(box.path() + "/v" + version, box.path() + "/www/game"));
    }
    serveServerList(*nginx, {nginx->host()}, "/game");
    install("v1");
    fs::permissions(box.path() + "/game/bin/upgrade.tmp", fs::perms::owner_exec,
                    fs::perm_options::remove);  // as an update would have installed it

    // The old launcher, as its own process: it updates lume.exe and hands over.
    EXPECT_EQ(test::runCliProcess({"-C", box.path() + "/game"}), 0);
    EXPECT_EQ(box.readFile("game/lume.exe"), launcherScript("launcher 2"));
    EXPECT_EQ(box.readFile("game/readme.txt"), "version 1");  // the must pass came alone

    // The upgrade program starts the new launcher, which starts the game.
    ASSERT_TRUE(test::waitFor([&] { return box.exists("game/bin/started.txt"); },
                              std::chrono::seconds(120)));
    EXPECT_EQ(box.readFile("game/launcher-runs.txt"), "launcher 2\n");
    EXPECT_EQ(box.readFile("game/readme.txt"), "version 2");
    // The game script writes its line as it starts; give it the moment it needs.
    test::waitFor([&] { return box.readFile("game/bin/started.txt").ends_with('\n'); });
    EXPECT_EQ(box.readFile("game/bin/started.txt"), "client 2 run\n");
}

}  // namespace
}  // namespace lume
