// lume-pak writes extracted files under the names the updater would accept, no others: a
// name a Windows game file cannot have is refused, where it used to be written.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/Sandbox.h"
#include "tools/pak/PakTool.h"

namespace lume {
namespace {

TEST(PakSafeNames, ThePackToolRefusesToExtractWhatTheUpdaterWouldRefuse) {
    test::Sandbox box;
    box.writeFile("src/ok.txt", "fine");
    box.writeFile("src/what?.txt", "a name no Windows game file has");
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(pak::run({u"create", u"src", u"res.pak"}, out, err), 0) << err.str();
    EXPECT_EQ(pak::run({u"extract", u"res.pak", u"--all", u"out", u"--names", u"src"}, out, err),
              1);
    EXPECT_NE(err.str().find("refusing to write what?.txt"), std::string::npos) << err.str();
    EXPECT_EQ(box.readFile("out/ok.txt"), "fine");
    EXPECT_FALSE(box.exists("out/what?.txt"));
}

}  // namespace
}  // namespace lume
