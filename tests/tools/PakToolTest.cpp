// lume-pak against real trees and packs: round trips, damage that verify must find, and the
// exit statuses of bad usage.
#include "tools/pak/PakTool.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "engine/Kernel/NameKey.h"
#include "platform/Text.h"
#include "tests/engine/FileSystem/PackTestData.h"
#include "tests/support/Sandbox.h"
#include "tests/update/UpdateTestData.h"

namespace lume {
namespace {

struct Result {
    int status;
    std::string out, err;
};

Result pak(std::vector<std::string> args) {
    std::vector<std::u16string> wide;
    for (const std::string& a : args) {
        wide.push_back(platform::utf8ToWide(a));
    }
    std::ostringstream out, err;
    const int status = pak::run(wide, out, err);
    return Result{status, out.str(), err.str()};
}

using ::testing::HasSubstr, ::testing::Not, test::readTree;

std::string hexKey(const char* format, uint32_t key) {
    char name[16];
    std::snprintf(name, sizeof name, format, key);
    return name;
}

// A game tree with Chinese and upper-case names, nested folders, incompressible and
// compressible files and an empty one, packed into res.pak.
class PakTool : public ::testing::Test {
protected:
    void SetUp() override {
        box.writeFile("src/UI/Main.PNG", test::patternBytes(5000, 1) + std::string(1, '\xff'));
        box.writeFile("src/中文目录/文件名.txt", std::string(40000, 'x') + "尾巴");
        box.writeFile("src/Sound/BGM.OGG", test::noiseBytes(70000, 1));
        box.writeFile("src/a/b/c/Deep.TXT", test::patternBytes(123, 7));
        box.writeFile("src/empty.dat", "");
        const Result created = pak({"create", "src", "res.pak"});
        ASSERT_EQ(created.status, 0) << created.err;
    }
    void flipByte(const std::string& file, size_t at) {
        std::string bytes = box.readFile(file);
        bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
        box.writeFile(file, bytes);
    }

    test::Sandbox box;
};

TEST_F(PakTool, CreateListVerifyExtractRoundTripATreeByteForByte) {
    const Result verified = pak({"verify", "res.pak"});
    EXPECT_EQ(verified.status, 0) << verified.out;
    EXPECT_THAT(verified.out, HasSubstr("6 records, 0 free blocks: OK"));
    const Result listed = pak({"list", "res.pak", "--names", "src"});
    ASSERT_EQ(listed.status, 0);
    for (const char* shown : {"中文目录\\文件名.txt", "UI\\Main.PNG", "(root)"}) {
        EXPECT_THAT(listed.out, HasSubstr(shown));
    }
    EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), 7);

    ASSERT_EQ(pak({"extract", "res.pak", "--all", "out", "--names", "src"}).status, 0);
    EXPECT_EQ(readTree("out"), readTree("src"));
    // Without names the files are named by their keys.
    ASSERT_EQ(pak({"extract", "res.pak", "--all", "bykey"}).status, 0);
    EXPECT_EQ(box.readFile("bykey/" + hexKey("0x%08x", nameKey(u"中文目录\\文件名.txt", true))),
              box.readFile("src/中文目录/文件名.txt"));
    EXPECT_EQ(readTree("bykey").size(), 5u);
    // One file by path or by key.
    const std::string deep = box.readFile("src/a/b/c/Deep.TXT");
    EXPECT_EQ(pak({"extract", "res.pak", "A/B/c/deep.txt"}).out, deep);
    const std::string key = hexKey("0x%x", nameKey(u"a\\b\\c\\deep.txt"));
    EXPECT_EQ(pak({"extract", "res.pak", key, "-o", "one/deep.txt"}).status, 0);
    EXPECT_EQ(box.readFile("one/deep.txt"), deep);
    const Result missing = pak({"extract", "res.pak", "no/such.file"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_THAT(missing.err, HasSubstr("is not in the pack"));
    // An empty folder makes a pack of the index region alone, and it verifies.
    std::filesystem::create_directories("nothing");
    ASSERT_EQ(pak({"create", "nothing", "empty.pak"}).status, 0);
    EXPECT_EQ(pak({"verify", "empty.pak"}).out, "empty.pak: 1 records, 0 free blocks: OK\n");
}

TEST_F(PakTool, VerifyAndExtractFindDamage) {
    box.writeFile("clean.pak", box.readFile("res.pak"));
    // The first block is Sound\BGM.OGG, stored as is; a byte flipped inside it.
    flipByte("res.pak", test::kDataStart + 10);
    const Result damaged = pak({"verify", "res.pak"});
    EXPECT_EQ(damaged.status, 1);
    EXPECT_THAT(damaged.out, HasSubstr("damage: record"));
    EXPECT_THAT(damaged.out, HasSubstr("stored bytes have checksum"));
    // Extracting fails too, instead of handing out damaged bytes.
    EXPECT_EQ(pak({"extract", "res.pak", "--all", "out", "--names", "src"}).status, 1);
    box.writeFile("res.pak", box.readFile("clean.pak"));
    flipByte("res.pak", 29);  // the index checksum in the header
    EXPECT_THAT(pak({"verify", "res.pak"}).out, HasSubstr("the index checksum is"));
    // Names the updater would refuse (one that would leave the output folder, one no Windows
    // game file has) are not written; the others are.
    box.writeFile("odd/c:x.txt", "colon");
    box.writeFile("odd/what?.txt", "question");
    box.writeFile("odd/ok.txt", "fine");
    ASSERT_EQ(pak({"create", "odd", "odd.pak"}).status, 0);
    const Result refused = pak({"extract", "odd.pak", "--all", "oddout", "--names", "odd"});
    EXPECT_EQ(refused.status, 1);
    for (const char* name : {"c:x.txt", "what?.txt"}) {
        EXPECT_THAT(refused.err, HasSubstr(std::string("refusing to write ") + name));
    }
    EXPECT_EQ(readTree("oddout"), (test::Tree{{"ok.txt", "fine"}}));

    test::PackImage image(nameKey(u"p"));
    image.addFile(1, "first block");
    image.addFile(2, test::patternBytes(3000, 2), true);
    image.addFile(3, "third", false, 0, 9);  // parent index out of range
    image.addFile(5, "fifth", false, 0, 3);  // only 3 entries taken so far
    image.growTo(test::kDataStart + 10000);
    image.holes.push_back({test::kDataStart + 2, 5});       // inside the first block
    image.holes.push_back({test::kDataStart + 20000, 10});  // past the end of the file
    image.records.push_back(test::Rec{4, 10, test::kDataStart + 9995, 10, 10, 0, 0});
    box.writeFile("p.pak", image.bytes());
    const Result r = pak({"verify", "p.pak"});
    EXPECT_EQ(r.status, 1);
    for (const char* finding :
         {"free block at 8388610 (5 bytes) overlaps record 1 (key 0x00000001)",
          "parent index 9 is out of range", "parent index 3 is out of range",
          "free block at 8408608 (10 bytes) lies outside",
          "record 5 (key 0x00000004): its block at 8398603"}) {
        EXPECT_THAT(r.out, HasSubstr(finding));
    }
    EXPECT_THAT(r.out, Not(HasSubstr("record 2 ")));  // the deflated file is fine
    // What info sums up for the operator, damage or not: files, free blocks, wasted bytes.
    const std::string info = pak({"info", "p.pak"}).out;
    for (const char* line :
         {"records:           6 (1 root, 5 files)\n", "(inflating to 3031)\n",
          "free blocks:       2, 15 bytes (largest 10)\n",
          "  free block:      offset 8408608, 10 bytes\n", "wasted bytes:      15\n"}) {
        EXPECT_THAT(info, HasSubstr(line));
    }

    // A deflated block that inflates to the wrong size; a header data size past the end or
    // short of it; damage in the header before any table is trusted.
    test::PackImage wrongSize(nameKey(u"p"));
    wrongSize.addFile(1, test::patternBytes(3000, 2), true);
    wrongSize.records[1].size = 2999;
    std::string bigger = wrongSize.bytes(), smaller = bigger;
    test::put(bigger, 44, test::get(bigger, 44) + 1);
    test::put(smaller, 44, test::get(smaller, 44) - 7);
    test::PackImage v7(nameKey(u"p"));
    v7.version = 7;
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {wrongSize.bytes(), "record 1 (key 0x00000001): inflates to", ""},
        {bigger, "runs past the end of the file", ""},
        {smaller, "7 bytes follow the data size the header recorded", ""},
        {image.bytes().substr(0, 60), "", "past the end"},
        {v7.bytes(), "", "version 7"},
    };
    for (const auto& [bytes, out, err] : cases) {
        box.writeFile("p.pak", bytes);
        const Result v = pak({"verify", "p.pak"});
        EXPECT_THAT(v.out, HasSubstr(out));
        EXPECT_THAT(v.err, HasSubstr(err));
    }
}

TEST_F(PakTool, BadUsageAndMissingFilesExitNonZero) {
    for (std::vector<std::string> usage : {std::vector<std::string>{},
                                           {"frobnicate"},
                                           {"create", "src"},
                                           {"list"},
                                           {"list", "a.pak", "--bogus", "x"},
                                           {"extract", "a.pak"},
                                           {"extract", "a.pak", "--all"},
                                           {"verify", "a.pak", "b.pak"},
                                           {"extract", "res.pak", "0xZZ"}}) {
        EXPECT_EQ(pak(usage).status, 2) << (usage.empty() ? "" : usage[0]);
    }
    EXPECT_THAT(pak({"--help"}).out, HasSubstr("usage: lume-pak"));
    const Result missing = pak({"verify", "nothing.pak"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_THAT(missing.err, HasSubstr("nothing.pak: cannot be opened"));
    EXPECT_EQ(pak({"create", "no-such-dir", "x.pak"}).status, 1);
    // Two names that differ only in case would share a key.
    box.writeFile("twins/A.txt", "1");
    box.writeFile("twins/a.txt", "2");
    const Result twins = pak({"create", "twins", "twins.pak"});
    EXPECT_EQ(twins.status, 1);
    EXPECT_THAT(twins.err, HasSubstr("have the same key"));
    EXPECT_FALSE(box.exists("twins.pak"));
}

}  // namespace
}  // namespace lume
