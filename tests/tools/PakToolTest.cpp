// lume-pak against real trees and packs: round trips, damage that verify must find, and
// the exit statuses of bad usage.
#include "tools/pak/PakTool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "engine/FileSystem/PackManager.h"
#include "engine/Kernel/NameKey.h"
#include "platform/Text.h"
#include "tests/engine/FileSystem/PackTestData.h"
#include "tests/support/Sandbox.h"

namespace fs = std::filesystem;

namespace lume {
namespace {

struct Result {
    int status;
    std::string out;
    std::string err;
};

Result pak(std::vector<std::string> args) {
    std::vector<std::u16string> wide;
    for (const std::string& a : args) {
        wide.push_back(platform::utf8ToWide(a));
    }
    std::ostringstream out;
    std::ostringstream err;
    const int status = pak::run(wide, out, err);
    return Result{status, out.str(), err.str()};
}

// Relative path (UTF-8, '/') -> bytes of every file under dir.
std::map<std::string, std::string> treeOf(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file()) {
            std::ifstream in(e.path(), std::ios::binary);
            std::ostringstream bytes;
            bytes << in.rdbuf();
            files[fs::relative(e.path(), dir).generic_string()] = bytes.str();
        }
    }
    return files;
}

class PakTool : public ::testing::Test {
protected:
    // A game tree with Chinese and upper-case names, nested folders, incompressible and
    // compressible files and an empty one.
    void writeTree() {
        sandbox_.writeFile("src/UI/Main.PNG", test::patternBytes(5000, 1) + std::string(1, '\xff'));
        sandbox_.writeFile("src/中文目录/文件名.txt", std::string(40000, 'x') + "尾巴");
        sandbox_.writeFile("src/Sound/BGM.OGG", randomBytes(70000));
        sandbox_.writeFile("src/a/b/c/Deep.TXT", test::patternBytes(123, 7));
        sandbox_.writeFile("src/empty.dat", "");
    }
    static std::string randomBytes(size_t n) {
        std::string s(n, '\0');
        uint32_t x = 12345;
        for (char& c : s) {
            x = x * 1664525u + 1013904223u;
            c = static_cast<char>(x >> 24);
        }
        return s;
    }
    void flipByte(const std::string& file, size_t at) {
        std::string bytes = sandbox_.readFile(file);
        bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
        sandbox_.writeFile(file, bytes);
    }

    test::Sandbox sandbox_;
};

TEST_F(PakTool, CreateVerifyExtractRoundTripsATreeByteForByte) {
    writeTree();
    const Result created = pak({"create", "src", "res.pak"});
    ASSERT_EQ(created.status, 0) << created.err;
    const Result verified = pak({"verify", "res.pak"});
    EXPECT_EQ(verified.status, 0) << verified.out;
    EXPECT_NE(verified.out.find("6 records, 0 free blocks: OK"), std::string::npos);

    const Result extracted = pak({"extract", "res.pak", "--all", "out", "--names", "src"});
    ASSERT_EQ(extracted.status, 0) << extracted.err;
    EXPECT_EQ(treeOf("out"), treeOf("src"));

    // Without names the files are named by their keys.
    ASSERT_EQ(pak({"extract", "res.pak", "--all", "bykey"}).status, 0);
    char name[16];
    std::snprintf(name, sizeof name, "0x%08x", nameKey(u"中文目录\\文件名.txt", true));
    EXPECT_EQ(sandbox_.readFile(std::string("bykey/") + name),
              sandbox_.readFile("src/中文目录/文件名.txt"));
    EXPECT_EQ(treeOf("bykey").size(), 5u);
}

TEST_F(PakTool, ACreatedPackServesTheGameThroughThePackManager) {
    writeTree();
    ASSERT_EQ(pak({"create", "src", "data/res.pak"}).status, 0);
    fs::create_directories("game");
    fs::current_path("game");
    PackManager manager(PackManager::Options{});
    const std::map<std::u16string, std::string> files = {
        {u"ui\\main.png", "../src/UI/Main.PNG"},
        {u"中文目录\\文件名.txt", "../src/中文目录/文件名.txt"},
        {u"SOUND\\bgm.ogg", "../src/Sound/BGM.OGG"},
    };
    for (const auto& [path, source] : files) {
        std::unique_ptr<ZipStream> s = manager.openFile(path);
        ASSERT_NE(s, nullptr);
        std::string got(s->size(), '\0');
        ASSERT_TRUE(s->read(got.data(), static_cast<uint32_t>(got.size())));
        std::ifstream in(source, std::ios::binary);
        std::ostringstream original;
        original << in.rdbuf();
        EXPECT_EQ(got, original.str());
    }
}

TEST_F(PakTool, ExtractFindsOneFileByPathOrKey) {
    writeTree();
    ASSERT_EQ(pak({"create", "src", "res.pak"}).status, 0);
    const std::string deep = sandbox_.readFile("src/a/b/c/Deep.TXT");
    Result byPath = pak({"extract", "res.pak", "A/B/c/deep.txt"});
    EXPECT_EQ(byPath.status, 0);
    EXPECT_EQ(byPath.out, deep);
    char key[16];
    std::snprintf(key, sizeof key, "0x%x", nameKey(u"a\\b\\c\\deep.txt"));
    EXPECT_EQ(pak({"extract", "res.pak", key, "-o", "one/deep.txt"}).status, 0);
    EXPECT_EQ(sandbox_.readFile("one/deep.txt"), deep);
    const Result missing = pak({"extract", "res.pak", "no/such.file"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("is not in the pack"), std::string::npos);
}

TEST_F(PakTool, ListShowsEveryRecordWithItsPath) {
    writeTree();
    ASSERT_EQ(pak({"create", "src", "res.pak"}).status, 0);
    const Result listed = pak({"list", "res.pak", "--names", "src"});
    ASSERT_EQ(listed.status, 0);
    EXPECT_NE(listed.out.find("中文目录\\文件名.txt"), std::string::npos);
    EXPECT_NE(listed.out.find("UI\\Main.PNG"), std::string::npos);
    EXPECT_NE(listed.out.find("(root)"), std::string::npos);
    EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), 7);
}

TEST_F(PakTool, VerifyFindsAFlippedByteInABlock) {
    writeTree();
    ASSERT_EQ(pak({"create", "src", "res.pak"}).status, 0);
    sandbox_.writeFile("clean.pak", sandbox_.readFile("res.pak"));
    // The first block is Sound\BGM.OGG, stored as is; flip a byte inside it.
    flipByte("res.pak", test::kDataStart + 10);
    const Result damaged = pak({"verify", "res.pak"});
    EXPECT_EQ(damaged.status, 1);
    EXPECT_NE(damaged.out.find("damage: record"), std::string::npos) << damaged.out;
    EXPECT_NE(damaged.out.find("stored bytes have checksum"), std::string::npos);
    // Extracting it fails too, instead of handing out damaged bytes.
    EXPECT_EQ(pak({"extract", "res.pak", "--all", "out", "--names", "src"}).status, 1);

    // A flipped index checksum in the header.
    sandbox_.writeFile("res.pak", sandbox_.readFile("clean.pak"));
    flipByte("res.pak", 29);
    const Result badCrc = pak({"verify", "res.pak"});
    EXPECT_EQ(badCrc.status, 1);
    EXPECT_NE(badCrc.out.find("the index checksum is"), std::string::npos);
}

TEST_F(PakTool, VerifyFindsOverlapsHolesAndRecordsOutsideTheFile) {
    test::PackImage image(nameKey(u"p"));
    image.addFile(1, "first block");
    image.addFile(2, test::patternBytes(3000, 2), true);
    image.addFile(3, "third", false, 0, 9);  // parent index out of range
    image.growTo(test::kDataStart + 10000);
    image.addHole(test::kDataStart + 2, 5);       // inside the first block
    image.addHole(test::kDataStart + 20000, 10);  // past the end of the file
    image.records.push_back(test::Rec{4, 10, test::kDataStart + 9995, 10, 10, 0, 0});
    sandbox_.writeFile("p.pak", image.bytes());

    const Result r = pak({"verify", "p.pak"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("free block at 8388610 (5 bytes) overlaps record 1 (key 0x00000001)"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("parent index 9 is out of range"), std::string::npos);
    EXPECT_NE(r.out.find("free block at 8408608 (10 bytes) lies outside"), std::string::npos);
    EXPECT_NE(r.out.find("record 4 (key 0x00000004): its block at 8398603"), std::string::npos);
    EXPECT_EQ(r.out.find("record 2 "), std::string::npos);  // the deflated file is fine

    // A deflated block that inflates to the wrong size.
    test::PackImage wrongSize(nameKey(u"p"));
    wrongSize.addFile(1, test::patternBytes(3000, 2), true);
    wrongSize.records[1].size = 2999;
    sandbox_.writeFile("p.pak", wrongSize.bytes());
    const Result size = pak({"verify", "p.pak"});
    EXPECT_EQ(size.status, 1);
    EXPECT_NE(size.out.find("record 1 (key 0x00000001): inflates to"), std::string::npos)
        << size.out;

    // Damage in the header stops before any table is trusted.
    std::string cut = image.bytes().substr(0, 60);
    sandbox_.writeFile("p.pak", cut);
    const Result truncated = pak({"verify", "p.pak"});
    EXPECT_EQ(truncated.status, 1);
    EXPECT_NE(truncated.err.find("past the end"), std::string::npos) << truncated.err;
    test::PackImage v7(nameKey(u"p"));
    v7.version = 7;
    sandbox_.writeFile("p.pak", v7.bytes());
    EXPECT_NE(pak({"verify", "p.pak"}).err.find("version 7"), std::string::npos);
}

TEST_F(PakTool, InfoCountsFreeBlocksAndWastedBytes) {
    test::PackImage image(nameKey(u"p"));
    image.addFile(1, "abc", false, 100);
    image.growTo(test::kDataStart + 10000);
    image.addHole(test::kDataStart + 1000, 1000);
    image.addHole(test::kDataStart + 5000, 2000);
    sandbox_.writeFile("p.pak", image.bytes());
    const Result r = pak({"info", "p.pak"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("records:           2 (1 root, 1 files)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("free blocks:       2, 3000 bytes (largest 2000)"), std::string::npos);
    EXPECT_NE(r.out.find("wasted bytes:      3100"), std::string::npos);
}

TEST_F(PakTool, BadUsageAndMissingFilesExitNonZero) {
    EXPECT_EQ(pak({}).status, 2);
    EXPECT_EQ(pak({"frobnicate"}).status, 2);
    EXPECT_EQ(pak({"create", "src"}).status, 2);
    EXPECT_EQ(pak({"list"}).status, 2);
    EXPECT_EQ(pak({"list", "a.pak", "--bogus", "x"}).status, 2);
    EXPECT_EQ(pak({"extract", "a.pak"}).status, 2);
    EXPECT_EQ(pak({"extract", "a.pak", "--all"}).status, 2);
    EXPECT_EQ(pak({"verify", "a.pak", "b.pak"}).status, 2);
    const Result help = pak({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: lume-pak"), std::string::npos);

    sandbox_.writeFile("src/x.txt", "x");
    ASSERT_EQ(pak({"create", "src", "res.pak"}).status, 0);
    EXPECT_EQ(pak({"extract", "res.pak", "0xZZ"}).status, 2);
    const Result missing = pak({"verify", "nothing.pak"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("nothing.pak: cannot be opened"), std::string::npos);
    EXPECT_EQ(pak({"create", "no-such-dir", "x.pak"}).status, 1);

    // Two names that differ only in case would share a key.
    sandbox_.writeFile("twins/A.txt", "1");
    sandbox_.writeFile("twins/a.txt", "2");
    const Result twins = pak({"create", "twins", "twins.pak"});
    EXPECT_EQ(twins.status, 1);
    EXPECT_NE(twins.err.find("have the same key"), std::string::npos);
    EXPECT_FALSE(sandbox_.exists("twins.pak"));
}

}  // namespace
}  // namespace lume
