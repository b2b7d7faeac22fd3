// Start-up: one launcher at a time, and ".back" copies put in place.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "launcher/core/Startup.h"
#include "tests/support/Sandbox.h"

namespace lume {
namespace {

TEST(Startup, OnlyOneLauncherHoldsTheInstance) {
    platform::SingleInstance first;
    ASSERT_TRUE(first.acquire(u"LumeTestInstance"));
    platform::SingleInstance second;
    EXPECT_FALSE(second.acquire(u"LumeTestInstance"));

    // Another process is refused too, and gets the name once the holder is gone.
    pid_t child = fork();
    if (child == 0) {
        platform::SingleInstance other;
        _exit(other.acquire(u"LumeTestInstance") ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 0);

    first.release();
    EXPECT_TRUE(second.acquire(u"LumeTestInstance"));
}

TEST(Startup, BackCopiesReplaceTheirFiles) {
    // The copies sit where the update leaves them: beside the game client in bin\.
    test::Sandbox box;
    box.writeFile("bin/lume.dat.back", "new client");
    box.writeFile("bin/lumcore.dll", "old core");
    box.writeFile("bin/lumcore.dll.back", "new core");
    box.writeFile("bin/other.dll.back", "not on the list");
    box.writeFile("lume.dat.back", "not the client's place");
    EXPECT_EQ(restoreBackFiles(), 2);
    EXPECT_EQ(box.readFile("bin/lume.dat"), "new client");
    EXPECT_EQ(box.readFile("bin/lumcore.dll"), "new core");
    EXPECT_FALSE(box.exists("bin/lume.dat.back"));
    EXPECT_FALSE(box.exists("bin/lumcore.dll.back"));
    EXPECT_TRUE(box.exists("bin/other.dll.back"));
    EXPECT_FALSE(box.exists("lume.dat"));
    EXPECT_EQ(restoreBackFiles(), 0);
}

}  // namespace
}  // namespace lume
