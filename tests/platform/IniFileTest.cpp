#include "platform/IniFile.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "platform/Error.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "tests/support/Sandbox.h"

namespace {

using platform::IniFile;

class Ini : public ::testing::Test {
protected:
    lume::test::Sandbox sandbox;
};

const char* const kConfig =
    "; launcher settings\n"
    "[Setting]\n"
    "Width = 1024\r\n"
    "  height=768  \n"
    "# resolution above\n"
    "\n"
    "[Server]\n"
    "Address=127.0.0.1\n"
    "Name=\xB8\xFC\xD0\xC2\n"
    "Address=10.0.0.1\n"
    "\n"
    "[Empty]\n";

TEST_F(Ini, LookupIgnoresCaseAndSpaces) {
    sandbox.writeFile("bin/config.ini", kConfig);
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
}

TEST_F(Ini, SavingKeepsEverythingItDidNotChange) {
    sandbox.writeFile("bin/config.ini", kConfig);
    IniFile ini;
    ASSERT_TRUE(ini.load(u"bin\\config.ini"));
    ini.set(u"setting", u"width", u"1280");
    ini.set(u"Setting", u"Full", u"1");
    ini.setInt(u"Empty", u"Count", -3);
    ini.set(u"New", u"Key", u" spaced value ");
    ASSERT_TRUE(ini.save(u"bin\\config.ini"));
    EXPECT_FALSE(sandbox.exists("bin/config.ini.tmp"));
    EXPECT_EQ(sandbox.readFile("bin/config.ini"),
              "; launcher settings\r\n"
              "[Setting]\r\n"
              "Width=1280\r\n"
              "  height=768  \r\n"
              "Full=1\r\n"
              "# resolution above\r\n"
              "\r\n"
              "[Server]\r\n"
              "Address=127.0.0.1\r\n"
              "Name=\xB8\xFC\xD0\xC2\r\n"
              "Address=10.0.0.1\r\n"
              "\r\n"
              "[Empty]\r\n"
              "Count=-3\r\n"
              "[New]\r\n"
              "Key=spaced value\r\n");

    IniFile reloaded;
    ASSERT_TRUE(reloaded.load(u"bin\\config.ini"));
    EXPECT_EQ(reloaded.getInt(u"setting", u"width", 0), 1280);
    EXPECT_EQ(reloaded.getInt(u"empty", u"count", 0), -3);
    EXPECT_EQ(reloaded.get(u"new", u"key"), u"spaced value");
}

TEST_F(Ini, ChineseValuesAreWrittenInTheCodePage) {
    if (platform::codePage() != "GBK") {
        GTEST_SKIP() << "the expected bytes are GBK";
    }
    IniFile ini;
    ini.set(u"Game", u"Title", u"更新进度");
    ASSERT_TRUE(ini.save(u"game.ini"));
    EXPECT_EQ(sandbox.readFile("game.ini"), "[Game]\r\nTitle=\xB8\xFC\xD0\xC2\xBD\xF8\xB6\xC8\r\n");
}

TEST_F(Ini, IntegersReadLikeAtoiButRefuseOverflow) {
    sandbox.writeFile("n.ini",
                      "[n]\n"
                      "spaced=  45000\n"
                      "tab=\t7\n"
                      "neg=-5\n"
                      "plus=+12\n"
                      "word=abc\n"
                      "suffix=12abc\n"
                      "huge=99999999999\n"
                      "max=2147483647\n"
                      "over=2147483648\n"
                      "min=-2147483648\n"
                      "under=-2147483649\n"
                      "sign=-\n"
                      "empty=\n");
    IniFile ini;
    ASSERT_TRUE(ini.load(u"n.ini"));
    EXPECT_EQ(ini.getInt(u"n", u"spaced", -1), 45000);
    EXPECT_EQ(ini.getInt(u"n", u"tab", -1), 7);
    EXPECT_EQ(ini.getInt(u"n", u"neg", -1), -5);
    EXPECT_EQ(ini.getInt(u"n", u"plus", -1), 12);
    EXPECT_EQ(ini.getInt(u"n", u"word", -1), -1);
    EXPECT_EQ(ini.getInt(u"n", u"suffix", -1), 12);
    EXPECT_EQ(ini.getInt(u"n", u"huge", -1), -1);
    EXPECT_EQ(ini.getInt(u"n", u"max", -1), 2147483647);
    EXPECT_EQ(ini.getInt(u"n", u"over", -1), -1);
    EXPECT_EQ(ini.getInt(u"n", u"min", -1), -2147483647 - 1);
    EXPECT_EQ(ini.getInt(u"n", u"under", -1), -1);
    EXPECT_EQ(ini.getInt(u"n", u"sign", -1), -1);
    EXPECT_EQ(ini.getInt(u"n", u"empty", -1), -1);
    EXPECT_EQ(ini.getInt(u"n", u"absent", 42), 42);
}

TEST_F(Ini, AMissingFileStartsEmptyAndCanBeCreated) {
    IniFile ini;
    EXPECT_FALSE(ini.load(u"cfg\\sub\\config.ini"));
    EXPECT_EQ(ini.get(u"a", u"b"), std::nullopt);
    ini.set(u"Setting", u"Width", u"800");
    ini.set(u"Setting", u"Height", u"600");
    ini.set(u"setting", u"WIDTH", u"640");
    ASSERT_TRUE(ini.save(u"cfg\\sub\\config.ini"));
    EXPECT_EQ(sandbox.readFile("cfg/sub/config.ini"), "[Setting]\r\nWidth=640\r\nHeight=600\r\n");
}

TEST_F(Ini, ALoadReplacesEarlierContents) {
    sandbox.writeFile("one.ini", "[a]\nx=1\n");
    sandbox.writeFile("two.ini", "[b]\ny=2\n");
    IniFile ini;
    ASSERT_TRUE(ini.load(u"one.ini"));
    ASSERT_TRUE(ini.load(u"two.ini"));
    EXPECT_EQ(ini.get(u"a", u"x"), std::nullopt);
    EXPECT_EQ(ini.get(u"b", u"y"), u"2");
    EXPECT_FALSE(ini.load(u"three.ini"));
    EXPECT_EQ(ini.get(u"b", u"y"), std::nullopt);
}

TEST_F(Ini, NewlinesInValuesCannotInjectLines) {
    IniFile ini;
    ini.set(u"s", u"k", u"v\r\n[evil]\r\nx=1");
    ASSERT_TRUE(ini.save(u"v.ini"));
    IniFile reloaded;
    ASSERT_TRUE(reloaded.load(u"v.ini"));
    EXPECT_EQ(reloaded.get(u"evil", u"x"), std::nullopt);
    EXPECT_EQ(reloaded.get(u"s", u"k"), u"v  [evil]  x=1");
}

TEST_F(Ini, SaveFailureLeavesNoTemporaryFile) {
    sandbox.writeFile("target.ini/inside", "a folder where the file should go");
    IniFile ini;
    ini.set(u"a", u"b", u"c");
    EXPECT_FALSE(ini.save(u"target.ini"));
    EXPECT_NE(platform::lastError(), platform::kErrSuccess);
    EXPECT_FALSE(sandbox.exists("target.ini.tmp"));
    EXPECT_EQ(sandbox.readFile("target.ini/inside"), "a folder where the file should go");
}

TEST_F(Ini, GarbledFilesNeverCrash) {
    std::mt19937 random(1234);
    for (int round = 0; round < 20; ++round) {
        std::string bytes(2000 + round * 97, '\0');
        for (char& c : bytes) {
            c = static_cast<char>(random());
        }
        // Sprinkle the characters the parser looks for.
        for (size_t i = 0; i < bytes.size(); i += 13) {
            bytes[i] = "[]=;#\r\n\x81"[random() % 8];
        }
        sandbox.writeFile("garbled.ini", bytes);
        IniFile ini;
        ASSERT_TRUE(ini.load(u"garbled.ini"));
        ini.get(u"", u"");
        ini.getInt(u"a", u"b", 0);
        ini.set(u"Setting", u"Width", u"1");
        EXPECT_EQ(ini.getInt(u"Setting", u"Width", 0), 1);
        ASSERT_TRUE(ini.save(u"garbled.ini"));
        IniFile again;
        ASSERT_TRUE(again.load(u"garbled.ini"));
        EXPECT_EQ(again.getInt(u"Setting", u"Width", 0), 1);
    }
}

}  // namespace
