// The small shared rules every subsystem leans on: the name hash, the boolean text rule,
// the checksum register, the string pool and printf-style formatting.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "engine/Kernel/Checksum.h"
#include "engine/Kernel/Format.h"
#include "engine/Kernel/NameKey.h"
#include "engine/Kernel/StringPool.h"
#include "platform/Text.h"

namespace lume {
namespace {

TEST(SharedRules, NameKeyBoolTextChecksumAndStringPool) {
    // Whole UTF-16 code units (a non-BMP character hashes as its two surrogates); only ASCII
    // letters are lowered.
    EXPECT_EQ((std::vector{nameKey(u""), nameKey(u"ABC", true), nameKey(u"\U0001F600"),
                           nameKey(u"DATA\\A.XML", true), nameKey(u"更新", true)}),
              (std::vector{0x811C9DC5u, 0x439C2F4Bu, 0x14B54A86u, 0x848DADADu, 0xDD423741u}));
    EXPECT_NE(nameKey(u"ABC", false), 0x439C2F4Bu);
    EXPECT_EQ(nameKey(u"Ä", true), nameKey(u"Ä"));
    for (const char16_t* t : {u"1", u"是", u"true", u"True", u"", u"T", u"ru", u"1,是"}) {
        EXPECT_TRUE(readBoolText(t)) << platform::wideToUtf8(t);
    }
    for (const char16_t* t : {u"0", u"yes", u"TRUE", u",", u"false", u"2", u"true "}) {
        EXPECT_FALSE(readBoolText(t)) << platform::wideToUtf8(t);
    }
    // The complement of the usual CRC-32 ("123456789": 0xCBF43926); the fast path and the
    // table agree at every length and start.
    EXPECT_EQ(checksumUpdate(kChecksumStart, "123456789", 9), 0x340BC6D9u);
    std::string data(70000, '\0');
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 2654435761u >> 13);
    }
    for (size_t len : {size_t{0}, size_t{3}, size_t{4095}, size_t{4096}, size_t{70000}}) {
        for (uint32_t start : {kChecksumStart, 0x12345678u}) {
            EXPECT_EQ(checksumUpdate(start, data.data(), len),
                      checksumUpdateTable(start, data.data(), len));
        }
    }
    // The pool: the first text of a key stays; loaded keys map to their positions (11 bytes
    // round down to two keys) and drop the texts; concurrent interns agree.
    StringPool pool;
    EXPECT_EQ(pool.intern(7, u"first") + pool.intern(9, u"other") * 10 + pool.intern(7, u"x"), 10u);
    EXPECT_EQ(pool.text(0) + u"|" + pool.text(1) + u"|" + pool.text(2), u"first|other|");
    pool.clear();
    EXPECT_EQ(pool.text(0) + u"|" + pool.text(1), u"|");
    EXPECT_EQ(pool.intern(9, u"again") + pool.size() + pool.keyCount(), 2u);
    const uint8_t bytes[] = {1, 0, 0, 0, 0x44, 0x33, 0x22, 0x11, 9, 9, 9, 9, 0xEE};
    pool.loadKeys(std::span(bytes, 11));
    EXPECT_EQ(std::tuple(pool.keyCount(), pool.find(1), pool.find(0x11223344),
                         pool.find(0x09090909), pool.size()),
              std::tuple(size_t{2}, 0, 1, -1, size_t{0}));
    StringPool shared;
    std::vector<std::jthread> threads;
    std::vector<std::vector<uint32_t>> seen(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (uint32_t k = 0; k < 500; ++k) {
                seen[t].push_back(shared.intern(k, u"text"));
            }
        });
    }
    threads.clear();  // joins them
    EXPECT_EQ(shared.size(), 500u);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), seen[0]), 4);
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
    EXPECT_EQ(formatA("%c%c|", 'A', u'更'), "A" + platform::wideToNarrow(u"更") + "|");
}

TEST(Format, IntegerWidthsBehaveAsOnWindows) {
    EXPECT_EQ(formatA("%d", 0xFFFFFFFFu), "-1");
    EXPECT_EQ(formatA("%u", -1), "4294967295");
    EXPECT_EQ(formatA("%lu", uint32_t{3000000000u}), "3000000000");
    EXPECT_EQ(formatA("%x", int64_t{-1}), "ffffffffffffffff");
    EXPECT_EQ(formatA("%d", int64_t{5000000000}), "5000000000");
    EXPECT_EQ(formatA("%d %d", true, static_cast<uint16_t>(65535)), "1 65535");
    EXPECT_EQ(formatA("%.1f|%g|%G|%e", 2.25, 0.5, 1e-10, 1.0), "2.2|0.5|1E-10|1.000000e+00");
    int x = 0;
    EXPECT_EQ(formatA("%p", &x), formatA("0x%x", reinterpret_cast<uintptr_t>(&x)));
    EXPECT_EQ(formatA("%p", 0x10u), "0x10");
}

TEST(Format, BrokenPatternsNeverReadGarbage) {
    EXPECT_EQ(formatA("%d and %s"), "%d and %s");
    EXPECT_EQ(formatA("%d %d", 1), "1 %d");
    EXPECT_EQ(formatA("trailing %"), "trailing %");
    EXPECT_EQ(formatA(std::string_view("a %-0", 4)), formatA("a %-"));  // flags to the end
    EXPECT_EQ(formatA("%y %a", 1, 2.0), "%y %a");  // unknown, even where printf knows them
    EXPECT_EQ(formatA("%d", "text"), "text");
    EXPECT_EQ(formatA("%s", 12), "12");
    EXPECT_EQ(formatA("%*d", 4, 7), "   7");
    EXPECT_EQ(formatA("%99999d", 1).size(), 4096u);
}

}  // namespace
}  // namespace lume
