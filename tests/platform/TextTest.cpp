// Text conversions: the narrow code page (GBK unless LUME_CODEPAGE says otherwise), UTF-8,
// replacement of what cannot be converted, and the debugger-output channel.
#include "platform/Text.h"

#include <gtest/gtest.h>

#include "platform/DebugOutput.h"

namespace {

// "更新进度" ("update progress") in GBK, as UTF-16 and in UTF-8.
const std::string kGbk = "\xB8\xFC\xD0\xC2\xBD\xF8\xB6\xC8";
const std::u16string kWide = u"更新进度";
const std::string kUtf8 = "\xE6\x9B\xB4\xE6\x96\xB0\xE8\xBF\x9B\xE5\xBA\xA6";

TEST(GbkText, BothDirectionsWithReplacements) {
    if (platform::codePage() != "GBK") {
        GTEST_SKIP() << "LUME_CODEPAGE overrides the GBK default in this environment";
    }
    const std::pair<std::u16string, std::string> toNarrow[] = {
        {kWide, kGbk},
        {u"v1.2 " + kWide + u" 100%", "v1.2 " + kGbk + " 100%"},
        {u"a\U00010000\U0010FFFFb", "a??b"},      // a surrogate pair is one character: one '?'
        {u"更\uD55C新", "\xB8\xFC?\xD0\xC2"},     // Hangul is not in GBK
        {{u'a', char16_t(0xD800), u'b'}, "a?b"},  // a lone surrogate
        {{u'a', char16_t(0xD83D)}, "a?"},         // a high surrogate at the end
        {u"", ""},
    };
    for (const auto& [wide, narrow] : toNarrow) {
        EXPECT_EQ(platform::wideToNarrow(wide), narrow) << narrow;
    }
    // 0xFF is never a lead byte; 0x81 before a space is a lead without its trail.
    const std::pair<std::string, std::u16string> toWide[] = {
        {kGbk, kWide},
        {"A\xFFZ", u"A\uFFFDZ"},
        {"\x81 x", u"\uFFFD x"},
        {"ok\xB8", u"ok\uFFFD"},
        {kGbk + "\xFF" + kGbk, kWide + u"\uFFFD" + kWide},
        {"", u""},
    };
    for (const auto& [narrow, wide] : toWide) {
        EXPECT_EQ(platform::narrowToWide(narrow), wide) << narrow;
    }
    EXPECT_EQ(platform::utf8ToNarrow(kUtf8), kGbk);
    EXPECT_EQ(platform::utf8ToNarrow("a\xF0\x9F\x98\x80z"), "a?z");
}

TEST(Utf8Text, SurrogatesAndIllFormedInput) {
    const std::u16string pair = platform::utf8ToWide("x\xF0\x9F\x98\x80y");
    EXPECT_EQ(pair, (std::u16string{u'x', char16_t(0xD83D), char16_t(0xDE00), u'y'}));
    EXPECT_EQ(platform::wideToUtf8(pair), "x\xF0\x9F\x98\x80y");
    EXPECT_EQ(platform::wideToUtf8(kWide), kUtf8);
    const std::pair<std::string, std::u16string> cases[] = {
        {kUtf8, kWide},
        {"a\x80z", u"a\uFFFDz"},    // a stray continuation byte
        {"a\xC3(b", u"a\uFFFD(b"},  // a lead byte before ASCII
        {"\xE6\x9Bx", u"\uFFFDx"},  // a character cut after two bytes
        {"end\xE6\x9B", u"end\uFFFD"},
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // an encoded surrogate is not UTF-8
        {"\xF1\x80\x80\x80", u"\U00040000"},      // the leads of each four-byte range
        {"\xF3\xBF\xBF\xBF", u"\U000FFFFF"},
        {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // past U+10FFFF
        {"\xF1\x80\x80x", u"\uFFFDx"},                      // a four-byte character cut after three
        {"", u""},
    };
    for (const auto& [utf8, wide] : cases) {
        EXPECT_EQ(platform::utf8ToWide(utf8), wide) << utf8;
    }
    EXPECT_EQ(platform::wideToUtf8(std::u16string{u'a', char16_t(0xDC00), u'b'}), "a?b");
    // A replacement when the output is exactly full (18 characters of 3 bytes fill 2 * 19 + 16).
    EXPECT_EQ(platform::wideToUtf8(std::u16string(18, u'更') + char16_t(0xDC00)),
              platform::wideToUtf8(std::u16string(18, u'更')) + "?");
    EXPECT_EQ(platform::wideToUtf8(std::u16string(3, u'\0')), std::string(3, '\0'));
    std::string longText;
    for (int i = 0; i < 20000; ++i) {
        longText += "更新 " + std::to_string(i);
    }
    EXPECT_EQ(platform::wideToUtf8(platform::utf8ToWide(longText)), longText);
}

// The code page and the debug switch are read once per process: each check runs in a child.
TEST(TextDeathTest, CodePageAndDebugOutputFromTheEnvironment) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("LUME_CODEPAGE", "UTF-8", 1);
            const bool ok =
                platform::codePage() == "UTF-8" && platform::wideToNarrow(kWide) == kUtf8 &&
                platform::narrowToWide(kUtf8) == kWide && platform::utf8ToNarrow("a\xFFz") == "a?z";
            setenv("LUME_CODEPAGE", "GBK", 1);
            std::exit(ok && platform::codePage() == "UTF-8" ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            setenv("LUME_CODEPAGE", "NO-SUCH-ENCODING", 1);
            std::exit(platform::codePage() == "GBK" ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    // Another name of the family: an unmapped pair is one character, not a lead and a '@'.
    EXPECT_EXIT(
        {
            setenv("LUME_CODEPAGE", "gb2312", 1);
            std::exit(platform::narrowToWide("a\x81\x40z") == u"a\uFFFDz" ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            setenv("LUME_CODEPAGE", "GBK", 1);
            setenv("LUME_DEBUG_OUTPUT", "1", 1);
            platform::debugOutput(u"wide " + kWide + u"\n");
            platform::debugOutput("narrow " + kGbk + "\n");
            std::exit(platform::debugOutputEnabled() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "wide " + kUtf8 + "\nnarrow " + kUtf8 + "\n");
}

}  // namespace
