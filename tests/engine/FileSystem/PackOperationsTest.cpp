// The in-place pack operations on real pack files: block placement, list and pack
// refusals that leave the pack as it was, removal, repair, build and failing writes.
#include "engine/FileSystem/PackOperations.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>

#include "engine/FileSystem/PackManager.h"
#include "engine/Kernel/NameKey.h"
#include "tests/engine/FileSystem/PackTestData.h"
#include "tests/support/Sandbox.h"

namespace lume {
namespace {

using test::crcOf;
using test::Hole;
using test::Item;
using test::PackImage;
using test::Rec;

constexpr uint32_t kListId = 0x1D1D;
constexpr uint32_t kA = 0xA0A0A0A0;
constexpr uint32_t kB = 0xB0B0B0B0;
constexpr uint32_t kNew = 0x123abc;

std::string hexName(uint32_t key) {
    char name[16];
    std::snprintf(name, sizeof name, "%x", key);
    return name;
}

class PackOps : public ::testing::Test {
protected:
    static constexpr const char16_t* kPack = u"data\\p.pak";

    void writePack(const PackImage& image) { sandbox_.writeFile("data/p.pak", image.bytes()); }
    std::string packBytes() const { return sandbox_.readFile("data/p.pak"); }
    test::ParsedPack parsed() const { return test::parsePack(packBytes()); }

    // Stages stored bytes as update\p\<key>.gzf and returns the list item for them.
    Item stage(uint32_t key, const std::string& stored, uint32_t blockSize) {
        sandbox_.writeFile("update/p/" + hexName(key) + ".gzf", stored);
        Item item;
        item.key = key;
        item.zipSize = static_cast<uint32_t>(stored.size());
        item.size = item.zipSize;
        item.blockSize = blockSize;
        item.dataCrc = crcOf(stored);
        item.flags = 3;
        item.extra1 = crcOf(stored) ^ 1;
        item.extra2 = 7;
        return item;
    }
    void writeList(const std::vector<Item>& items, uint32_t id = kListId) {
        sandbox_.writeFile("list.ipatch", test::patchListBytes(id, items));
    }
    bool merge() { return mergePatchToPack(kPack, u"list.ipatch", kListId); }

    // The header fields a rewrite must leave consistent with the records.
    static void expectConsistent(const test::ParsedPack& p) {
        EXPECT_EQ(p.field(0), 0x4B415021u);
        EXPECT_EQ(p.field(4), 8u);
        EXPECT_EQ(p.field(28), test::expectedIndexCrc(p.records));
        EXPECT_EQ(p.field(40), test::kDataStart);
        EXPECT_EQ(p.field(44), p.bytes.size() - test::kDataStart);
        ASSERT_EQ(p.keys.size(), p.records.size());
        for (size_t i = 0; i < p.keys.size(); ++i) {
            EXPECT_EQ(p.keys[i], p.records[i].key);
        }
    }

    test::Sandbox sandbox_;
    test::LogRecorder log_;
};

// A pack with file A (4096 bytes) and B, and a data region of 'Z' bytes up to 9.1 MB.
PackImage basePack() {
    PackImage image(nameKey(u"p"));
    image.addFile(kA, std::string(4096, 'a'));
    image.addFile(kB, std::string(300, 'b'), false, 100);
    image.growTo(9100000, 'Z');
    return image;
}

TEST_F(PackOps, AHoleWithLessThan8192BytesToSpareIsTakenWhole) {
    PackImage image = basePack();
    image.addHole(9000000, 16000);
    writePack(image);
    const std::string stored(7000, 's');
    writeList({stage(kNew, stored, 10000)});

    ASSERT_TRUE(merge());
    const test::ParsedPack p = parsed();
    expectConsistent(p);
    ASSERT_EQ(p.records.size(), 4u);
    const Rec& r = p.records[3];
    EXPECT_EQ(r.key, kNew);
    EXPECT_EQ(r.offset, 9000000u);
    EXPECT_EQ(r.blockSize, 16000u);
    EXPECT_EQ(r.zipSize, 7000u);
    EXPECT_EQ(r.flags, 3u);
    EXPECT_EQ(r.extra2, 7u);
    EXPECT_TRUE(p.holes.empty());
    EXPECT_EQ(p.bytes.size(), 9100000u);
    EXPECT_EQ(p.bytes.substr(9000000, 7000), stored);
    EXPECT_EQ(p.bytes.substr(9007000, 9000), std::string(9000, '\0'));
    EXPECT_EQ(p.bytes[9016000], 'Z');
    EXPECT_TRUE(log_.has("开始merge: data\\p.pak 文件\r\n"));
    EXPECT_TRUE(log_.has("找到空白区域,位置：9000000, 大小: 16000"));
    EXPECT_TRUE(log_.has("data\\p.pak文件更新结束\n"));
}

TEST_F(PackOps, ALargerHoleIsSplit) {
    PackImage image = basePack();
    image.addHole(9000000, 20000);
    writePack(image);
    const std::string stored(6000, 's');
    writeList({stage(kNew, stored, 10000)});

    ASSERT_TRUE(merge());
    const test::ParsedPack p = parsed();
    expectConsistent(p);
    EXPECT_EQ(p.records[3].offset, 9000000u);
    EXPECT_EQ(p.records[3].blockSize, 10000u);
    EXPECT_EQ(p.holes, (std::vector<Hole>{{9010000, 10000, 0}}));
    EXPECT_EQ(p.bytes.substr(9000000, 6000), stored);
    EXPECT_EQ(p.bytes.substr(9006000, 4000), std::string(4000, '\0'));
    EXPECT_EQ(p.bytes.substr(9010000, 10000), std::string(10000, 'Z'));
}

TEST_F(PackOps, AGrowingFileMovesToTheEndAndLeavesAZeroedHole) {
    writePack(basePack());
    const std::string stored(4500, 'n');
    writeList({stage(kA, stored, 5000)});

    ASSERT_TRUE(merge());
    const test::ParsedPack p = parsed();
    expectConsistent(p);
    ASSERT_EQ(p.records.size(), 3u);
    const Rec& r = p.records[1];
    EXPECT_EQ(r.key, kA);
    EXPECT_EQ(r.offset, 9100000u);
    EXPECT_EQ(r.blockSize, 5000u);
    EXPECT_EQ(r.zipSize, 4500u);
    EXPECT_EQ(r.dataCrc, crcOf(stored));
    EXPECT_EQ(p.bytes.size(), 9105000u);
    EXPECT_EQ(p.bytes.substr(9100000, 4500), stored);
    EXPECT_EQ(p.bytes.substr(9104500), std::string(500, '\0'));
    EXPECT_EQ(p.holes, (std::vector<Hole>{{test::kDataStart, 4096, 0}}));
    EXPECT_EQ(p.bytes.substr(test::kDataStart, 4096), std::string(4096, '\0'));
    EXPECT_TRUE(log_.has("追加前：文件大小:9100000, 写入的大小:5000"));
    EXPECT_TRUE(log_.has("追加后文件大小:9105000\r\n"));
}

TEST_F(PackOps, AShrinkingFileStaysInItsBlock) {
    writePack(basePack());
    const std::string stored(700, 'n');
    writeList({stage(kA, stored, 1000)});

    ASSERT_TRUE(merge());
    const test::ParsedPack p = parsed();
    expectConsistent(p);
    const Rec& r = p.records[1];
    EXPECT_EQ(r.offset, test::kDataStart);
    EXPECT_EQ(r.blockSize, 4096u);
    EXPECT_EQ(r.zipSize, 700u);
    EXPECT_TRUE(p.holes.empty());
    EXPECT_EQ(p.bytes.size(), 9100000u);
    EXPECT_EQ(p.bytes.substr(test::kDataStart, 700), stored);
    EXPECT_EQ(p.bytes.substr(test::kDataStart + 700, 300), std::string(300, '\0'));
    // Only the item's block size is written; the rest of the old block keeps its bytes.
    EXPECT_EQ(p.bytes.substr(test::kDataStart + 1000, 3096), std::string(3096, 'a'));
}

TEST_F(PackOps, OnlyTheFirstRecordOfARepeatedKeyIsUpdated) {
    PackImage image = basePack();
    image.addFile(kA, std::string(50, 'x'));
    writePack(image);
    writeList({stage(kA, std::string(10, 'n'), 10)});

    ASSERT_TRUE(merge());
    const test::ParsedPack p = parsed();
    EXPECT_EQ(p.records[1].zipSize, 10u);
    EXPECT_EQ(p.records[3].zipSize, 50u);
}

TEST_F(PackOps, ItemsLandWhereEarlierItemsOfTheSameMergeLeftRoom) {
    writePack(basePack());
    // A grows and leaves its 4096 bytes as a hole, which the next item then fits into.
    writeList({stage(kA, std::string(5000, 'n'), 5000), stage(kNew, std::string(4000, 'm'), 4096)});

    ASSERT_TRUE(merge());
    const test::ParsedPack p = parsed();
    expectConsistent(p);
    EXPECT_EQ(p.records[3].offset, test::kDataStart);
    EXPECT_EQ(p.bytes.substr(test::kDataStart, 4000), std::string(4000, 'm'));
    EXPECT_TRUE(p.holes.empty());
}

TEST_F(PackOps, RefusedListsLeaveThePackAndNoOutputBehind) {
    PackImage image = basePack();
    image.addHole(9000000, 20000);
    writePack(image);
    const std::string before = packBytes();
    const Item good = stage(kNew, std::string(100, 's'), 200);

    struct Case {
        const char* name;
        std::string list;
    };
    std::string extraByte = test::patchListBytes(kListId, {good}) + "!";
    std::string badMagic = test::patchListBytes(kListId, {good});
    badMagic[1] = 'X';
    Item tooBig = good;
    tooBig.blockSize = 50;
    Item unstaged = good;
    unstaged.key = 0x5151;
    Item shortStaged = good;
    shortStaged.zipSize = 101;
    shortStaged.blockSize = 200;
    const std::vector<Case> cases = {
        {"length not 24 + 44 * count", extraByte},
        {"another list id", test::patchListBytes(kListId + 1, {good})},
        {"no magic", badMagic},
        {"cut in the header", test::patchListBytes(kListId, {good}).substr(0, 20)},
        {"zip size above block size", test::patchListBytes(kListId, {tooBig})},
        {"staged file missing", test::patchListBytes(kListId, {good, unstaged})},
        {"staged file too short", test::patchListBytes(kListId, {shortStaged})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sandbox_.writeFile("list.ipatch", c.list);
        EXPECT_FALSE(merge());
        EXPECT_FALSE(buildPack(kPack, u"data\\p.new", u"list.ipatch", kListId));
        EXPECT_TRUE(packBytes() == before);
        EXPECT_FALSE(sandbox_.exists("data/p.new"));
    }
    EXPECT_FALSE(mergePatchToPack(kPack, u"no-such-list", kListId));
    EXPECT_TRUE(
        log_.has("mergePatchToPack过程中,缓存文件update\\p\\5151.gzf不存在或小于100字节\r\n"));
}

TEST_F(PackOps, DamagedPacksAreRefusedWithTheirLogLinesAndNeverWritten) {
    writeList({stage(kNew, std::string(100, 's'), 100)});
    struct Case {
        const char* name;
        std::string pack;
        const char* line;
    };
    PackImage v9 = basePack();
    v9.version = 9;
    PackImage pastEnd = basePack();
    pastEnd.records[2].blockSize = 2000000;
    PackImage intoIndex = basePack();
    intoIndex.records[1].offset = 4096;
    PackImage badHole = basePack();
    badHole.addHole(100, 1000);
    PackImage holePastEnd = basePack();
    holePastEnd.addHole(9099000, 2000);
    std::string badLayout = basePack().bytes();
    test::put32(badLayout, 36, 36 * 3 + 36);
    const std::vector<Case> cases = {
        {"short header", "!PAK\x08", "mergePatchToPack过程中,解析本地data\\p.pak头失败"},
        {"version 9", v9.bytes(), "mergePatchToPack过程中,本地data\\p.pak 版本不对\r\n"},
        {"record table size", badLayout,
         "mergePatchToPack过程中,setPosition解析本地data\\p.pak数据失败\r\n"},
        {"index cut short", basePack().bytes().substr(0, 5000),
         "mergePatchToPack过程中,setPosition解析本地data\\p.pak数据失败\r\n"},
        {"block past the end", pastEnd.bytes(),
         "mergePatchToPack过程中,read解析本地data\\p.pak数据失败\r\n"},
        {"block in the index", intoIndex.bytes(),
         "mergePatchToPack过程中,read解析本地data\\p.pak数据失败\r\n"},
        {"hole in the index", badHole.bytes(), "解析本地空白区域data\\p.pak失败\r\n"},
        {"hole past the end", holePastEnd.bytes(), "解析本地空白区域data\\p.pak失败\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sandbox_.writeFile("data/p.pak", c.pack);
        EXPECT_FALSE(merge());
        EXPECT_TRUE(log_.has(c.line));
        EXPECT_FALSE(removeFileFromPack(kPack, {}));
        EXPECT_FALSE(repairLocalFileCrc(kPack));
        EXPECT_TRUE(packBytes() == c.pack);
    }
    EXPECT_TRUE(log_.has("removeFileFromPack过程中,本地data\\p.pak 版本不对\r\n"));
    EXPECT_TRUE(log_.has("repairLocalFileCrc 解析本地空白区域data\\p.pak失败\r\n"));

    std::filesystem::remove("data/p.pak");
    EXPECT_FALSE(merge());
    EXPECT_TRUE(log_.has("打开本地 data\\p.pak 文件失败\r\n"));
    EXPECT_FALSE(repairLocalFileCrc(kPack));
    EXPECT_TRUE(log_.has("修复crc文件打开失败:data\\p.pak"));
    EXPECT_FALSE(sandbox_.exists("data/p.pak"));
}

TEST_F(PackOps, AMergeThatWouldOverflowTheIndexRegionIsRefusedUntouched) {
    PackImage image(nameKey(u"p"));
    // 209,714 records fill the index region exactly: 48 + 40 * 209714 = 8 MiB.
    for (uint32_t i = 1; i < 209714; ++i) {
        image.records.push_back(Rec{i, 0, test::kDataStart, 0, 0, 0xFFFFFFFF, 0});
    }
    writePack(image);
    const std::string before = packBytes();
    writeList({stage(kNew, "x", 1)});
    EXPECT_FALSE(merge());
    EXPECT_TRUE(packBytes() == before);

    // Rewriting a file in its block needs no new record or hole and still fits.
    writeList({stage(5, "", 0)});
    EXPECT_TRUE(merge());
}

TEST_F(PackOps, APackThatWouldPass4GiBIsNotWritten) {
    writePack(basePack());
    std::filesystem::resize_file("data/p.pak", 0xFFFFF000u);  // sparse
    writeList({stage(kNew, std::string(100, 's'), 0x2000)});
    EXPECT_FALSE(merge());
    EXPECT_EQ(std::filesystem::file_size("data/p.pak"), 0xFFFFF000u);
    std::ifstream in("data/p.pak", std::ios::binary);
    std::string header(48, '\0');
    in.read(header.data(), 48);
    EXPECT_EQ(header, basePack().bytes().substr(0, 48));
}

// Runs fn in a child process whose files cannot grow beyond limit bytes; its result.
bool withFileSizeLimit(uint64_t limit, const std::function<bool()>& fn) {
    const pid_t child = fork();
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit r{limit, limit};
        setrlimit(RLIMIT_FSIZE, &r);
        _exit(fn() ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(PackOps, AFailedWriteFailsTheOperation) {
    writePack(basePack());
    const std::string before = packBytes();
    writeList({stage(kNew, std::string(3000, 's'), 5000)});
    // The append cannot grow the pack: the merge fails and the index is the old one.
    EXPECT_FALSE(withFileSizeLimit(before.size() + 1000, [this] { return merge(); }));
    const std::string after = packBytes();
    EXPECT_TRUE(after.substr(0, test::kDataStart) == before.substr(0, test::kDataStart));
    // The same merge without the limit succeeds, so the limit was the cause.
    EXPECT_TRUE(withFileSizeLimit(before.size() + 10000, [this] { return merge(); }));

    EXPECT_FALSE(withFileSizeLimit(test::kDataStart + 100, [this] {
        return buildPack(kPack, u"data\\p.new", u"list.ipatch", kListId);
    }));
}

TEST_F(PackOps, RemovingRecordsFreesTheirBlocksAndKeepsTheBytes) {
    PackImage image = basePack();
    image.addFile(kA, std::string(64, 'x'));  // a second A after B
    writePack(image);
    const std::string before = packBytes();
    const test::ParsedPack old = parsed();

    PackRecord a;
    a.nameKey = kA;
    a.offset = old.records[1].offset;
    a.blockSize = old.records[1].blockSize;
    PackRecord absent;
    absent.nameKey = 0x77;
    absent.offset = 9050000;
    absent.blockSize = 1000;
    PackRecord inIndex;
    inIndex.nameKey = 0x78;
    inIndex.offset = 64;
    inIndex.blockSize = 100;
    ASSERT_TRUE(removeFileFromPack(kPack, {a, absent, inIndex}));

    const test::ParsedPack p = parsed();
    expectConsistent(p);
    ASSERT_EQ(p.records.size(), 3u);
    EXPECT_EQ(p.records[1].key, kB);
    EXPECT_EQ(p.records[2], old.records[3]);  // the second A is now the first
    EXPECT_EQ(p.holes, (std::vector<Hole>{{test::kDataStart, 4096, 0}, {9050000, 1000, 0}}));
    EXPECT_TRUE(p.bytes.substr(test::kDataStart) == before.substr(test::kDataStart));

    // A second removal of A drops the remaining A.
    a.offset = old.records[3].offset;
    a.blockSize = old.records[3].blockSize;
    ASSERT_TRUE(removeFileFromPack(kPack, {a}));
    EXPECT_EQ(parsed().records.size(), 2u);
}

TEST_F(PackOps, RepairChangesOnlyTheChecksumAndDataSizeFields) {
    PackImage image = basePack();
    image.addHole(9000000, 5000);
    image.indexCrc = 0xDEADBEEF;
    std::string bytes = image.bytes();
    test::put32(bytes, 44, 12345);
    sandbox_.writeFile("data/p.pak", bytes);

    ASSERT_TRUE(repairLocalFileCrc(kPack));
    const std::string after = packBytes();
    ASSERT_EQ(after.size(), bytes.size());
    std::vector<size_t> changed;
    for (size_t i = 0; i < after.size(); ++i) {
        if (after[i] != bytes[i]) {
            changed.push_back(i);
        }
    }
    for (size_t at : changed) {
        EXPECT_TRUE((at >= 28 && at < 32) || (at >= 44 && at < 48)) << "byte " << at;
    }
    const test::ParsedPack p = test::parsePack(after);
    expectConsistent(p);
    char line[96];
    std::snprintf(line, sizeof line, "本地文件data\\p.pak 修复后的crc大小为:%x",
                  test::expectedIndexCrc(p.records));
    EXPECT_TRUE(log_.has(line));
}

TEST_F(PackOps, ABuiltPackHoldsTheListedBlocksBackToBack) {
    const std::string one = test::patternBytes(3000, 1);
    const std::string two = test::rawDeflate(test::patternBytes(9000, 2));
    Item first = stage(0x111, one, 3500);
    Item empty = stage(0x222, "", 0);
    Item second = stage(0x333, two, static_cast<uint32_t>(two.size()));
    second.size = 9000;
    writeList({first, empty, second});
    writePack(basePack());  // the old pack plays no part in a build
    // The staged files are looked for under the stem of the pack being built.
    ASSERT_FALSE(buildPack(u"data\\Data.pak", u"data\\p.new", u"list.ipatch", kListId));
    sandbox_.writeFile("update/Data/111.gzf", one);
    sandbox_.writeFile("update/Data/333.gzf", two);
    ASSERT_TRUE(buildPack(u"data\\Data.pak", u"data\\p.new", u"list.ipatch", kListId));

    const test::ParsedPack p = test::parsePack(sandbox_.readFile("data/p.new"));
    expectConsistent(p);
    ASSERT_EQ(p.records.size(), 4u);
    EXPECT_EQ(p.records[0], (Rec{nameKey(u"Data"), 0, test::kDataStart, 0, 0, 0, 0xFFFF}));
    EXPECT_EQ(p.records[1].offset, test::kDataStart);
    EXPECT_EQ(p.records[1].blockSize, 3500u);
    EXPECT_EQ(p.records[2].offset, test::kDataStart + 3500);
    EXPECT_EQ(p.records[3].offset, test::kDataStart + 3500);
    EXPECT_EQ(p.records[3].size, 9000u);
    EXPECT_TRUE(p.holes.empty());
    EXPECT_EQ(p.bytes.size(), test::kDataStart + 3500 + two.size());
    EXPECT_EQ(p.bytes.substr(test::kDataStart, 3000), one);
    EXPECT_EQ(p.bytes.substr(test::kDataStart + 3000, 500), std::string(500, '\0'));
    EXPECT_EQ(p.bytes.substr(test::kDataStart + 3500), two);
}

TEST_F(PackOps, AMergedPackReadsBackThroughTheManager) {
    writePack(basePack());
    const std::string content = test::patternBytes(20000, 4);
    const std::string stored = test::rawDeflate(content);
    Item item = stage(nameKey(u"ui\\new.txt", true), stored, static_cast<uint32_t>(stored.size()));
    item.size = static_cast<uint32_t>(content.size());
    writeList({item});
    ASSERT_TRUE(merge());

    std::filesystem::create_directories("game");
    std::filesystem::current_path("game");
    PackManager manager(PackManager::Options{});
    std::unique_ptr<ZipStream> s = manager.openFile(u"UI\\New.txt");
    ASSERT_NE(s, nullptr);
    std::string got(s->size(), '\0');
    ASSERT_TRUE(s->read(got.data(), static_cast<uint32_t>(got.size())));
    EXPECT_EQ(got, content);
}

}  // namespace
}  // namespace lume
