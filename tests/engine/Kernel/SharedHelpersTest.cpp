// The small shared rules every subsystem leans on: the name hash, the boolean text rule,
// the checksum register, the string pool and printf-style formatting.
#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "engine/FileSystem/FileChecksum.h"
#include "engine/FileSystem/MemoryStream.h"
#include "engine/Kernel/Checksum.h"
#include "engine/Kernel/Format.h"
#include "engine/Kernel/NameKey.h"
#include "engine/Kernel/StringPool.h"
#include "platform/Text.h"

namespace lume {
namespace {

TEST(NameKey, KnownValues) {
    EXPECT_EQ(nameKey(u""), 0x811C9DC5u);
    EXPECT_EQ(nameKey(u"abc"), 0x439C2F4Bu);
    EXPECT_EQ(nameKey(u"ABC", true), 0x439C2F4Bu);
    EXPECT_NE(nameKey(u"ABC", false), 0x439C2F4Bu);
    // Whole UTF-16 code units, so a non-BMP character is hashed as its two surrogates.
    EXPECT_EQ(nameKey(u"\U0001F600"), 0x14B54A86u);
    EXPECT_EQ(nameKey(u"DATA\\A.XML", true), nameKey(u"data\\a.xml"));
    EXPECT_EQ(nameKey(u"data\\a.xml"), 0x848DADADu);
    // Only ASCII letters are lowered; Chinese text hashes its own code units.
    EXPECT_EQ(nameKey(u"更新", true), 0xDD423741u);
    EXPECT_EQ(nameKey(u"Ä", true), nameKey(u"Ä"));
}

TEST(BoolText, TheListRule) {
    for (const char16_t* t : {u"1", u"是", u"true", u"True", u"", u"T", u"ru", u"1,是"}) {
        EXPECT_TRUE(readBoolText(t)) << platform::wideToUtf8(t);
    }
    for (const char16_t* t : {u"0", u"yes", u"TRUE", u",", u"false", u"2", u"true "}) {
        EXPECT_FALSE(readBoolText(t)) << platform::wideToUtf8(t);
    }
}

TEST(Checksum, RegisterValues) {
    EXPECT_EQ(checksumUpdate(kChecksumStart, "", 0), 0xFFFFFFFFu);
    // The complement of the usual CRC-32 of "123456789" (0xCBF43926).
    EXPECT_EQ(checksumUpdate(kChecksumStart, "123456789", 9), 0x340BC6D9u);
    EXPECT_EQ(checksumUpdateTable(kChecksumStart, "123456789", 9), 0x340BC6D9u);

    std::mt19937 rng(7);
    std::vector<uint8_t> data(70000);
    for (auto& b : data) {
        b = static_cast<uint8_t>(rng());
    }
    for (size_t len :
         {size_t{1}, size_t{3}, size_t{4095}, size_t{4096}, size_t{65537}, data.size()}) {
        for (uint32_t start : {kChecksumStart, 0u, 0x12345678u}) {
            EXPECT_EQ(checksumUpdate(start, data.data(), len),
                      checksumUpdateTable(start, data.data(), len))
                << len << " " << start;
        }
    }
    // Chaining two halves gives the same register as one pass.
    uint32_t half = checksumUpdate(kChecksumStart, data.data(), 1000);
    EXPECT_EQ(checksumUpdate(half, data.data() + 1000, data.size() - 1000),
              checksumUpdate(kChecksumStart, data.data(), data.size()));
}

TEST(Checksum, OverStreams) {
    MemoryStream empty(16);
    EXPECT_EQ(fileChecksum(empty), 0xFFFFFFFFu);

    std::string text(10000, 'x');
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char>('a' + i % 26);
    }
    MemoryStream m(static_cast<uint32_t>(text.size()));
    ASSERT_TRUE(m.write(text.data(), static_cast<uint32_t>(text.size())));
    ASSERT_TRUE(m.seek(0));
    EXPECT_EQ(fileChecksum(m), checksumUpdate(kChecksumStart, text.data(), text.size()));
    // From the current position, up to the limit.
    ASSERT_TRUE(m.seek(100));
    EXPECT_EQ(fileChecksum(m, 5000), checksumUpdate(kChecksumStart, text.data() + 100, 5000));
    ASSERT_TRUE(m.seek(9000));
    EXPECT_EQ(fileChecksum(m, 5000), checksumUpdate(kChecksumStart, text.data() + 9000, 1000));
}

// A stream that fails every read after the first n bytes.
class FailingStream : public MemoryStream {
public:
    FailingStream(uint32_t size, uint32_t failAfter) : MemoryStream(size), failAfter_(failAfter) {
        std::vector<uint8_t> bytes(size, 0x5A);
        EXPECT_TRUE(write(bytes.data(), size));
        seek(0);
    }
    bool read(void* buffer, uint32_t length, uint32_t* count) override {
        if (tell() >= failAfter_) {
            return false;
        }
        return MemoryStream::read(buffer, length, count);
    }

private:
    uint32_t failAfter_;
};

TEST(Checksum, StopsAtAFailedRead) {
    FailingStream s(20000, 8192);
    std::vector<uint8_t> bytes(8192, 0x5A);
    EXPECT_EQ(fileChecksum(s), checksumUpdate(kChecksumStart, bytes.data(), bytes.size()));
}

TEST(StringPool, InternKeepsTheFirstText) {
    StringPool pool;
    EXPECT_EQ(pool.intern(7, u"first"), 0u);
    EXPECT_EQ(pool.intern(9, u"other"), 1u);
    EXPECT_EQ(pool.intern(7, u"second"), 0u);
    EXPECT_EQ(pool.text(0), u"first");
    EXPECT_EQ(pool.text(1), u"other");
    EXPECT_EQ(pool.text(2), u"");
    EXPECT_EQ(pool.text(0xFFFFFFFF), u"");
    pool.clear();
    EXPECT_EQ(pool.text(0), u"");
    EXPECT_EQ(pool.intern(9, u"again"), 0u);
}

TEST(StringPool, LoadKeysMapsPositions) {
    const uint8_t bytes[] = {1, 0, 0, 0, 0x44, 0x33, 0x22, 0x11, 9, 9, 9, 9, 0xEE};
    StringPool pool;
    pool.intern(5, u"gone");
    // 11 bytes round down to two keys; the third key is never read.
    pool.loadKeys(std::span(bytes, 11));
    EXPECT_EQ(pool.keyCount(), 2u);
    EXPECT_EQ(pool.find(1), 0);
    EXPECT_EQ(pool.find(0x11223344), 1);
    EXPECT_EQ(pool.find(0x09090909), -1);
    EXPECT_EQ(pool.find(5), -1);
    EXPECT_EQ(pool.size(), 0u);
}

TEST(StringPool, ConcurrentInternsAgree) {
    StringPool pool;
    std::vector<std::thread> threads;
    std::vector<std::vector<uint32_t>> seen(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (uint32_t k = 0; k < 500; ++k) {
                seen[t].push_back(pool.intern(k, u"text"));
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(pool.size(), 500u);
    for (int t = 1; t < 4; ++t) {
        EXPECT_EQ(seen[t], seen[0]);
    }
}

TEST(Format, WidePatterns) {
    EXPECT_EQ(formatW(u"检查:%s", u"data\\a.pak"), u"检查:data\\a.pak");
    EXPECT_EQ(formatW(u"%s|%s", std::string("narrow"), u"wide"), u"narrow|wide");
    EXPECT_EQ(formatW(u"'%s’大小不同,old:%u new:%u", u"x", 5u, 70000u),
              u"'x’大小不同,old:5 new:70000");
    EXPECT_EQ(formatW(u"crc:%x %X %08x", 0x1Fu, 0xABCu, 0x1Fu), u"crc:1f ABC 0000001f");
    EXPECT_EQ(formatW(u"100%% %d%%", 42), u"100% 42%");
    EXPECT_EQ(formatW(u"[%5s][%-5s][%.2s]", u"ab", u"ab", u"abcdef"), u"[   ab][ab   ][ab]");
    EXPECT_EQ(formatW(u"%c%c", u'是', 'A'), u"是A");
}

TEST(Format, IntegerWidthsBehaveAsOnWindows) {
    EXPECT_EQ(formatA("%d", 0xFFFFFFFFu), "-1");
    EXPECT_EQ(formatA("%u", -1), "4294967295");
    EXPECT_EQ(formatA("%lu", uint32_t{3000000000u}), "3000000000");
    EXPECT_EQ(formatA("%x", int64_t{-1}), "ffffffffffffffff");
    EXPECT_EQ(formatA("%d", int64_t{5000000000}), "5000000000");
    EXPECT_EQ(formatA("%d %d", true, static_cast<uint16_t>(65535)), "1 65535");
    EXPECT_EQ(formatA("%.1f|%g", 2.25, 0.5), "2.2|0.5");
}

TEST(Format, BrokenPatternsNeverReadGarbage) {
    EXPECT_EQ(formatA("%d and %s"), "%d and %s");
    EXPECT_EQ(formatA("%d %d", 1), "1 %d");
    EXPECT_EQ(formatA("trailing %"), "trailing %");
    EXPECT_EQ(formatA("%y", 1), "%y");
    EXPECT_EQ(formatA("%d", "text"), "text");
    EXPECT_EQ(formatA("%s", 12), "12");
    EXPECT_EQ(formatA("%*d", 4, 7), "   7");
    EXPECT_EQ(formatA("%99999d", 1).size(), 4096u);
}

TEST(Format, NarrowPatternsProduceTheCodePage) {
    // The pattern is a UTF-8 literal; narrow arguments are already code-page text and are
    // copied unchanged; wide ones are converted.
    const std::string out = formatA("timeout时间: %s %s", std::string("\x41\x42"), u"更新");
    EXPECT_EQ(out, platform::utf8ToNarrow("timeout时间: AB ") + platform::wideToNarrow(u"更新"));
    if (platform::codePage() == "GBK") {
        EXPECT_EQ(formatA("%s", u"更新进度"), "\xB8\xFC\xD0\xC2\xBD\xF8\xB6\xC8");
    }
}

}  // namespace
}  // namespace lume
