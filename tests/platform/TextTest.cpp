#include "platform/Text.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/DebugOutput.h"

namespace {

// "更新进度" ("update progress") in GBK.
const std::string kProgressGbk = "\xB8\xFC\xD0\xC2\xBD\xF8\xB6\xC8";
const std::u16string kProgressWide = u"更新进度";
const std::string kProgressUtf8 = "\xE6\x9B\xB4\xE6\x96\xB0\xE8\xBF\x9B\xE5\xBA\xA6";

class GbkText : public ::testing::Test {
protected:
    void SetUp() override {
        if (platform::codePage() != "GBK") {
            GTEST_SKIP() << "LUME_CODEPAGE overrides the GBK default in this environment";
        }
    }
};

TEST_F(GbkText, ChineseRoundTripsThroughTheCodePage) {
    EXPECT_EQ(platform::wideToNarrow(kProgressWide), kProgressGbk);
    EXPECT_EQ(platform::narrowToWide(kProgressGbk), kProgressWide);
    EXPECT_EQ(platform::utf8ToNarrow(kProgressUtf8), kProgressGbk);
    EXPECT_EQ(platform::wideToNarrow(u"v1.2 " + kProgressWide + u" 100%"),
              "v1.2 " + kProgressGbk + " 100%");
}

TEST_F(GbkText, CharactersOutsideTheCodePageBecomeOneQuestionMarkEach) {
    // An emoji is a surrogate pair in UTF-16 but one character: one '?', not two.
    EXPECT_EQ(platform::wideToNarrow(u"a\U0001F600b"), "a?b");
    EXPECT_EQ(platform::wideToNarrow(u"\U0001F600\U0001F600"), "??");
    EXPECT_EQ(platform::utf8ToNarrow("a\xF0\x9F\x98\x80"
                                     "b"),
              "a?b");
    // Hangul is not in GBK; the Chinese around it survives.
    EXPECT_EQ(platform::wideToNarrow(u"更\uD55C新"), "\xB8\xFC?\xD0\xC2");
    // A lone surrogate is not a character at all.
    const std::u16string lone = {u'a', char16_t(0xD800), u'b'};
    EXPECT_EQ(platform::wideToNarrow(lone), "a?b");
    const std::u16string trailingHigh = {u'a', char16_t(0xD83D)};
    EXPECT_EQ(platform::wideToNarrow(trailingHigh), "a?");
}

TEST_F(GbkText, InvalidCodePageBytesBecomeReplacementCharacters) {
    // 0xFF is never a GBK lead byte; 0x81 followed by a space is a lead without its trail.
    EXPECT_EQ(platform::narrowToWide("A\xFF"
                                     "B"),
              u"A\uFFFDB");
    EXPECT_EQ(platform::narrowToWide("\x81 x"), u"\uFFFD x");
    // A lead byte cut off at the end of the text.
    EXPECT_EQ(platform::narrowToWide("ok\xB8"), u"ok\uFFFD");
    EXPECT_EQ(platform::narrowToWide(kProgressGbk + "\xFF" + kProgressGbk),
              kProgressWide + u"\uFFFD" + kProgressWide);
}

TEST_F(GbkText, LongTextsConvertCompletely) {
    std::u16string wide;
    std::string narrow;
    for (int i = 0; i < 20000; ++i) {
        wide += kProgressWide + u"\U0001F600";
        narrow += kProgressGbk + "?";
    }
    EXPECT_EQ(platform::wideToNarrow(wide), narrow);
    std::string garbage(50000, '\xFF');
    EXPECT_EQ(platform::narrowToWide(garbage), std::u16string(50000, u'\uFFFD'));
}

TEST(Utf8Text, NonBmpCharactersUseSurrogatePairs) {
    const std::u16string wide = platform::utf8ToWide("x\xF0\x9F\x98\x80y");
    ASSERT_EQ(wide.size(), 4u);
    EXPECT_EQ(wide[1], char16_t(0xD83D));
    EXPECT_EQ(wide[2], char16_t(0xDE00));
    EXPECT_EQ(platform::wideToUtf8(wide), "x\xF0\x9F\x98\x80y");
    EXPECT_EQ(platform::utf8ToWide(kProgressUtf8), kProgressWide);
    EXPECT_EQ(platform::wideToUtf8(kProgressWide), kProgressUtf8);
}

TEST(Utf8Text, IllFormedInputIsReplacedAndConversionContinues) {
    // A stray continuation byte and a lead byte followed by ASCII.
    EXPECT_EQ(platform::utf8ToWide("a\x80"
                                   "b"),
              u"a\uFFFDb");
    EXPECT_EQ(platform::utf8ToWide("a\xC3(b"), u"a\uFFFD(b");
    // A three-byte character cut after two bytes is one replacement, then the rest follows.
    EXPECT_EQ(platform::utf8ToWide("\xE6\x9B"
                                   "x"),
              u"\uFFFDx");
    EXPECT_EQ(platform::utf8ToWide("end\xE6\x9B"), u"end\uFFFD");
    // An encoded surrogate is not UTF-8: every byte is bad on its own.
    EXPECT_EQ(platform::utf8ToWide("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
    // A lone surrogate cannot be written as UTF-8.
    const std::u16string lone = {u'a', char16_t(0xDC00), u'b'};
    EXPECT_EQ(platform::wideToUtf8(lone), "a?b");
}

TEST(Utf8Text, EmptyAndAsciiTexts) {
    EXPECT_EQ(platform::utf8ToWide(""), u"");
    EXPECT_EQ(platform::wideToUtf8(u""), "");
    EXPECT_EQ(platform::narrowToWide(""), u"");
    EXPECT_EQ(platform::wideToNarrow(u""), "");
    EXPECT_EQ(platform::asciiToWide("Version 1.0.3"), u"Version 1.0.3");
    // Embedded NULs are text like any other character.
    EXPECT_EQ(platform::wideToUtf8(std::u16string(3, u'\0')), std::string(3, '\0'));
}

TEST(TextThreads, ConcurrentConversionsDoNotInterfere) {
    // Each thread has its own converters; sharing one would mix up their states.
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 500; ++i) {
                const std::u16string wide =
                    kProgressWide + u"\U0001F600" + std::u16string(1, u'a' + t);
                if (platform::utf8ToWide(platform::wideToUtf8(wide)) != wide ||
                    platform::narrowToWide(platform::wideToNarrow(kProgressWide)).size() !=
                        kProgressWide.size()) {
                    ++failures[t];
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

TEST(DebugOutputDeathTest, WritesWideAndNarrowTextToStderrAsUtf8) {
    if (platform::codePage() != "GBK") {
        GTEST_SKIP() << "the narrow sample is GBK";
    }
    // The switch is read once per process, so the check runs in a fresh child process.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("LUME_DEBUG_OUTPUT", "1", 1);
            platform::debugOutput(u"wide " + kProgressWide + u"\n");
            platform::debugOutput("narrow " + kProgressGbk + "\n");
            std::exit(platform::debugOutputEnabled() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "wide " + kProgressUtf8 + "\nnarrow " + kProgressUtf8 + "\n");
}

}  // namespace

namespace {

TEST(CodePageDeathTest, EnvironmentChoosesTheCodePageOnce) {
    // The code page is fixed at its first use, so each choice is tried in a fresh process.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("LUME_CODEPAGE", "UTF-8", 1);
            const bool ok = platform::codePage() == "UTF-8" &&
                            platform::wideToNarrow(kProgressWide) == kProgressUtf8 &&
                            platform::narrowToWide(kProgressUtf8) == kProgressWide &&
                            platform::utf8ToNarrow(kProgressUtf8) == kProgressUtf8 &&
                            platform::utf8ToNarrow(
                                "a\xFF"
                                "b") == "a?b";
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
}

}  // namespace
