// The INI reader/writer on real files: lookups ignore case and spaces, saving keeps what it
// did not change, integers read like atoi but refuse overflow, and bad files never crash.
#include "platform/IniFile.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/Error.h"
#include "platform/Text.h"
#include "tests/support/Sandbox.h"

namespace {

using platform::IniFile;

const char* const kConfig =
    "; launcher settings\n[Setting]\nWidth = 1024\r\n  height=768  \n# resolution above\n\n"
    "[Server]\nAddress=127.0.0.1\nName=\xB8\xFC\xD0\xC2\nAddress=10.0.0.1\n\n[Empty]\n";

TEST(Ini, LookupSaveAndReload) {
    lume::test::Sandbox box;
    box.writeFile("bin/config.ini", kConfig);
    IniFile ini;
    ASSERT_TRUE(ini.load(u"bin\\config.ini"));
    EXPECT_EQ(ini.get(u"setting", u"WIDTH"), u"1024");
    EXPECT_EQ(ini.get(u"SETTING", u"Height"), u"768");
    EXPECT_EQ(ini.get(u"Server", u"address"), u"127.0.0.1") << "the first occurrence wins";
    EXPECT_EQ(ini.get(u"Setting", u"Address"), std::nullopt) << "keys belong to their section";
    EXPECT_EQ(ini.get(u"Nowhere", u"Width"), std::nullopt);
    EXPECT_EQ(ini.getString(u"Server", u"Port", u"80"), u"80");
    if (platform::codePage() == "GBK") {
        EXPECT_EQ(ini.get(u"Server", u"Name"), u"更新");
    }

    ini.set(u"setting", u"width", u"1280");
    ini.set(u"Setting", u"Full", u"1");
    ini.setInt(u"Empty", u"Count", -3);
    ini.set(u"New", u"Key", u" spaced value ");
    ini.set(u"s", u"k", u"v\r\n[evil]\r\nx=1");  // a newline cannot inject lines
    ASSERT_TRUE(ini.save(u"bin\\config.ini"));
    EXPECT_FALSE(box.exists("bin/config.ini.tmp"));
    EXPECT_EQ(box.readFile("bin/config.ini"),
              "; launcher settings\r\n[Setting]\r\nWidth=1280\r\n  height=768  \r\nFull=1\r\n"
              "# resolution above\r\n\r\n[Server]\r\nAddress=127.0.0.1\r\nName=\xB8\xFC\xD0\xC2\r\n"
              "Address=10.0.0.1\r\n\r\n[Empty]\r\nCount=-3\r\n[New]\r\nKey=spaced value\r\n"
              "[s]\r\nk=v  [evil]  x=1\r\n");

    // A load replaces what was there; a missing file leaves the object empty.
    ASSERT_TRUE(ini.load(u"bin\\config.ini"));
    EXPECT_EQ(ini.getInt(u"empty", u"count", 0), -3);
    EXPECT_EQ(ini.get(u"evil", u"x"), std::nullopt);
    EXPECT_FALSE(ini.load(u"cfg\\sub\\config.ini"));
    EXPECT_EQ(ini.get(u"setting", u"width"), std::nullopt);
    ini.set(u"Setting", u"Width", u"800");
    ini.set(u"Setting", u"Height", u"600");
    ini.set(u"setting", u"WIDTH", u"640");
    ini.set(u"Game", u"Title", u"更新进度");
    ASSERT_TRUE(ini.save(u"cfg\\sub\\config.ini"));
    if (platform::codePage() == "GBK") {
        EXPECT_EQ(box.readFile("cfg/sub/config.ini"),
                  "[Setting]\r\nWidth=640\r\nHeight=600\r\n[Game]\r\n"
                  "Title=\xB8\xFC\xD0\xC2\xBD\xF8\xB6\xC8\r\n");
    }

    // A save that cannot replace its target leaves no temporary file.
    box.writeFile("target.ini/inside", "a folder where the file should go");
    EXPECT_FALSE(ini.save(u"target.ini"));
    EXPECT_NE(platform::lastError(), platform::kErrSuccess);
    EXPECT_FALSE(box.exists("target.ini.tmp"));
}

TEST(Ini, IntegersReadLikeAtoiButRefuseOverflow) {
    lume::test::Sandbox box;
    const std::pair<const char*, int> cases[] = {
        {"  45000", 45000},  {"-5", -5},
        {"+12", 12},         {"abc", -1},
        {"12abc", 12},       {"2147483647", 2147483647},
        {"2147483648", -1},  {"-2147483648", -2147483647 - 1},
        {"-2147483649", -1}, {"", -1},
    };
    std::string text = "[n]\n";
    for (size_t i = 0; i < std::size(cases); ++i) {
        text += "k" + std::to_string(i) + "=" + cases[i].first + "\n";
    }
    box.writeFile("n.ini", text);
    IniFile ini;
    ASSERT_TRUE(ini.load(u"n.ini"));
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(ini.getInt(u"n", platform::asciiToWide("k" + std::to_string(i)), -1),
                  cases[i].second)
            << cases[i].first;
    }
    EXPECT_EQ(ini.getInt(u"n", u"absent", 42), 42);
}

TEST(Ini, GarbledFilesNeverCrash) {
    lume::test::Sandbox box;
    std::mt19937 random(1234);
    for (int round = 0; round < 20; ++round) {
        std::string bytes(2000 + round * 97, '\0');
        for (size_t i = 0; i < bytes.size(); ++i) {
            // Random bytes sprinkled with the characters the parser looks for.
            bytes[i] = i % 13 == 0 ? "[]=;#\r\n\x81"[random() % 8] : static_cast<char>(random());
        }
        box.writeFile("garbled.ini", bytes);
        IniFile ini;
        ASSERT_TRUE(ini.load(u"garbled.ini"));
        ini.get(u"", u"");
        ini.set(u"Setting", u"Width", u"1");
        ASSERT_TRUE(ini.save(u"garbled.ini"));
        IniFile again;
        ASSERT_TRUE(again.load(u"garbled.ini"));
        EXPECT_EQ(again.getInt(u"Setting", u"Width", 0), 1);
    }
}

}  // namespace
