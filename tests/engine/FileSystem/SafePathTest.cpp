// The one rule for names that become paths, which the updater and the pack tool share. The
// pack tool used to write names that the updater refuses (the rows marked so).
#include "engine/FileSystem/SafePath.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/Text.h"

namespace lume {
namespace {

TEST(SafePath, NamesThatStayInsideTheirFolder) {
    const struct {
        std::u16string name;
        bool safe;
    } rows[] = {
        {u"a b\\c.d\\文件.dat", true},
        {u"ui/x.png", true},
        {u"..a\\b.", true},
        {u"", false},
        {u"\\x", false},
        {u"/etc/x", false},
        {u"a\\\\b", false},
        {u"a\\", false},
        {u"..\\x", false},
        {u"a\\.\\x", false},
        {u"C:x", false},
        {u"x:stream", false},
        {u"...", false},         // the pack tool wrote it
        {u"a\\. .\\b", false},   // the pack tool wrote it
        {u" ", false},           // the pack tool wrote it
        {u"what?.txt", false},   // the pack tool wrote it
        {u"a*b", false},         // the pack tool wrote it
        {u"a\"b<c>d|e", false},  // the pack tool wrote it
        {u"tab\there", false},   // the pack tool wrote it
    };
    for (const auto& row : rows) {
        EXPECT_EQ(isSafeRelativePath(row.name), row.safe) << platform::wideToUtf8(row.name);
    }
}

}  // namespace
}  // namespace lume
