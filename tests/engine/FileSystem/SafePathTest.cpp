// The one rule for names that become paths, which the updater and the pack tool share. The
// pack tool used to write names that the updater refuses.
#include "engine/FileSystem/SafePath.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/Text.h"

namespace lume {
namespace {

TEST(SafePath, NamesThatStayInsideTheirFolder) {
    for (const std::u16string name : {u"a b\\c.d\\文件.dat", u"ui/x.png", u"..a\\b."}) {
        EXPECT_TRUE(isSafeRelativePath(name)) << platform::wideToUtf8(name);
    }
    // From "..." on, names the pack tool wrote.
    for (const std::u16string name :
         {u"", u"\\x", u"/etc/x", u"a\\\\b", u"a\\", u"..\\x", u"a\\.\\x", u"C:x", u"x:stream",
          u"...", u"a\\. .\\b", u" ", u"what?.txt", u"a*b", u"a\"b<c>d|e", u"tab\there"}) {
        EXPECT_FALSE(isSafeRelativePath(name)) << platform::wideToUtf8(name);
    }
}

}  // namespace
}  // namespace lume
