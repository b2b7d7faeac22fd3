// The self-upgrade program: its argument, a launcher that does not exit, and a staged file
// that cannot be put in place. (The whole hand-over: SelfUpgradeEndToEndTest.)
#include "launcher/upgrade/Upgrade.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "launcher/core/Startup.h"
#include "platform/SingleInstance.h"
#include "platform/Text.h"
#include "tests/support/Sandbox.h"

namespace lume {
namespace {

TEST(Upgrade, ArgumentIsBinProgramAndName) {
    UpgradeRequest r;
    ASSERT_TRUE(parseUpgradeArgument(u"\\g\\bin\\;\\g\\;lume.exe", r));
    EXPECT_EQ(std::tuple(r.binDirectory, r.programDirectory, r.launcherName),
              std::tuple(u"\\g\\bin\\", u"\\g\\", u"lume.exe"));
    ASSERT_TRUE(parseUpgradeArgument(u"b;p;x", r));
    EXPECT_EQ(r.programDirectory, u"p\\");
    for (const char16_t* bad : {u"", u"b;p", u";p;n", u"b;;n", u"b;p;", u"b;p;..\\evil.exe",
                                u"b;p;sub/lume.exe", u"b;p;.."}) {
        EXPECT_FALSE(parseUpgradeArgument(bad, r)) << platform::wideToUtf8(bad);
    }
}

class UpgradeRun : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("LUME_INSTANCE_NAME", ("LumeUpgradeTest-" + std::to_string(getpid())).c_str(), 1);
        // The new launcher as the update staged it, and the one still in place.
        box.writeFile("game/lume.exe", "#!/bin/sh\necho old >> runs.txt\n");
        box.writeFile("game/lume.exe.back", "#!/bin/sh\necho \"new $(pwd)\" >> runs.txt\n");
        box.writeFile("game/lumeui.dll.back", "new library");
        box.writeFile("game/bin/lume.dat.back", "the game's own: start-up restores it");
        argument =
            platform::utf8ToWide(box.path() + "/game/bin/;" + box.path() + "/game/;lume.exe");
    }
    test::Sandbox box;
    std::u16string argument;
};

TEST_F(UpgradeRun, ALauncherThatDoesNotExitIsLeftAlone) {
    platform::SingleInstance launcher;
    ASSERT_TRUE(launcher.acquire(instanceName()));
    EXPECT_EQ(runUpgrade({argument}, 200), kUpgradeFailed);
    EXPECT_TRUE(box.exists("game/lume.exe.back"));
    EXPECT_EQ(box.readFile("game/lume.exe"), "#!/bin/sh\necho old >> runs.txt\n");
    EXPECT_EQ(runUpgrade({u"no-semicolons"}), kUpgradeUsage);
}

TEST_F(UpgradeRun, AFileThatCannotBePutInPlaceStopsTheRestart) {
    std::filesystem::remove(box.path() + "/game/lumeui.dll.back");
    box.writeFile("game/busy.dll/inside", "a folder cannot be replaced by a file");
    box.writeFile("game/busy.dll.back", "new");
    EXPECT_EQ(runUpgrade({argument}), kUpgradeFailed);
    EXPECT_EQ(box.readFile("game/lume.exe"), "#!/bin/sh\necho \"new $(pwd)\" >> runs.txt\n");
    EXPECT_FALSE(box.exists("game/runs.txt"));  // not started: it would only loop
}

}  // namespace
}  // namespace lume
