// Start-up: ".back" copies put in place.
#include <gtest/gtest.h>

#include "launcher/core/Startup.h"
#include "tests/support/Sandbox.h"

namespace lume {
namespace {

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
    EXPECT_FALSE(box.exists("bin/lume.dat.back") || box.exists("bin/lumcore.dll.back"));
    EXPECT_TRUE(box.exists("bin/other.dll.back"));
    EXPECT_FALSE(box.exists("lume.dat"));
    EXPECT_EQ(restoreBackFiles(), 0);
}

}  // namespace
}  // namespace lume
