// The in-place pack operations on real pack files: block placement, list and pack
// refusals that leave the pack as it was, removal, repair, build and failing writes.
#include "engine/FileSystem/PackOperations.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "engine/FileSystem/File.h"
#include "engine/FileSystem/MemoryStream.h"
#include "engine/FileSystem/PackCheck.h"
#include "engine/FileSystem/PackIndex.h"
#include "engine/FileSystem/PackJournal.h"
#include "engine/FileSystem/PackPatchList.h"
#include "engine/FileSystem/WinStream.h"
#include "engine/Kernel/Checksum.h"
#include "engine/Kernel/NameKey.h"
#include "platform/FaultInjection.h"
#include "tests/engine/FileSystem/PackTestData.h"
#include "tests/support/Sandbox.h"

namespace lume {
namespace {

using test::crcOf;
using test::Hole;
using test::PackImage;
using test::Rec;

constexpr uint32_t kListId = 0x1D1D;
constexpr uint32_t kA = 0xA0A0A0A0;
constexpr uint32_t kB = 0xB0B0B0B0;
constexpr uint32_t kNew = 0x123abc;

// A pack with file A (4096 bytes) and B, and a data region of 'Z' bytes up to 9.1 MB.
PackImage basePack() {
    PackImage image(nameKey(u"p"));
    image.addFile(kA, std::string(4096, 'a'));
    image.addFile(kB, std::string(300, 'b'), false, 100);
    image.growTo(9100000, 'Z');
    return image;
}

class PackOps : public ::testing::Test {
protected:
    static constexpr const char16_t* kPack = u"data\\p.pak";

    explicit PackOps(const std::string& base = {}) : box(base) {}

    void writePack(const PackImage& image) { box.writeFile("data/p.pak", image.bytes()); }
    std::string packBytes() const { return box.readFile("data/p.pak"); }
    test::ParsedPack parsed() const { return test::parsePack(packBytes()); }

    // Stages stored bytes as update\p\<key>.gzf; the list item for them.
    Rec stage(uint32_t key, const std::string& stored, uint32_t blockSize) {
        char name[16];
        std::snprintf(name, sizeof name, "%x", key);
        box.writeFile("update/p/" + std::string(name) + ".gzf", stored);
        const auto size = static_cast<uint32_t>(stored.size());
        return Rec{key, size, 0, size, blockSize, crcOf(stored), 0, 3, crcOf(stored) ^ 1, 7};
    }
    void writeList(const std::vector<Rec>& items) {
        box.writeFile("list.ipatch", test::patchListBytes(kListId, items));
    }
    // Settled as the pack writer settles its merges.
    bool merge() {
        return mergePatchToPack(kPack, u"list.ipatch", kListId) &&
               recoverPack(kPack) == PackRecovery::kClean;
    }

    // The header fields a rewrite must keep consistent with the records.
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

    test::Sandbox box;
    test::LogCapture log;
};

TEST_F(PackOps, WhereMergedBlocksLand) {
    using Items = std::vector<std::tuple<uint32_t, std::string, uint32_t>>;  // key, stored, block
    using Bytes = std::vector<std::pair<uint32_t, std::string>>;
    const std::string s7(7000, 's'), s6(6000, 's'), n45(4500, 'n'), n7(700, 'n'), n5(5000, 'n');
    const uint32_t kStart = test::kDataStart;
    // Merges the items into the base pack with its holes: the last item's record (at index
    // record) lies at offset in a block of blockSize, the pack is fileSize long with the
    // bytes given at their offsets and the holes left, and the log has the line.
    const auto land = [&](const char* name, std::vector<Hole> holes, std::vector<Hole> left,
                          const Items& list, size_t record, uint32_t offset, uint32_t blockSize,
                          uint32_t fileSize, const Bytes& bytesAt, const std::string& line) {
        SCOPED_TRACE(name);
        PackImage image = basePack();
        image.holes = holes;
        writePack(image);
        std::vector<Rec> items;
        for (const auto& [key, stored, block] : list) {
            items.push_back(stage(key, stored, block));
        }
        writeList(items);
        ASSERT_TRUE(merge());
        const test::ParsedPack p = parsed();
        expectConsistent(p);
        Rec want = items.back();
        want.offset = offset;
        want.blockSize = blockSize;
        EXPECT_EQ(p.records.at(record), want);
        EXPECT_EQ(p.holes, left);
        EXPECT_EQ(p.bytes.size(), fileSize);
        EXPECT_EQ(p.bytes.substr(offset, want.zipSize), std::get<1>(list.back()));
        for (const auto& [at, bytes] : bytesAt) {
            EXPECT_TRUE(p.bytes.substr(at, bytes.size()) == bytes) << at;
        }
        EXPECT_TRUE(log.has(line)) << log.text();
    };
    land("a hole with less than 8192 bytes to spare is taken whole", {{9000000, 16000}}, {},
         {{kNew, s7, 10000}}, 3, 9000000, 16000, 9100000,
         {{9007000, std::string(9000, '\0')}, {9016000, "Z"}},
         "找到空白区域,位置：9000000, 大小: 16000");
    land("a larger hole is split", {{9000000, 20000}}, {{9010000, 10000}}, {{kNew, s6, 10000}}, 3,
         9000000, 10000, 9100000,
         {{9006000, std::string(4000, '\0')}, {9010000, std::string(10000, 'Z')}},
         "开始merge: data\\p.pak 文件\r\n");
    land("a growing file moves to the end and leaves a zeroed hole", {}, {{kStart, 4096}},
         {{kA, n45, 5000}}, 1, 9100000, 5000, 9105000,
         {{kStart, std::string(4096, '\0')}, {9104500, std::string(500, '\0')}},
         "追加前：文件大小:9100000, 写入的大小:5000");
    land("a shrinking file stays in its block, only its new size rewritten", {}, {},
         {{kA, n7, 1000}}, 1, kStart, 4096, 9100000,
         {{kStart + 700, std::string(300, '\0')}, {kStart + 1000, std::string(3096, 'a')}},
         "data\\p.pak文件更新结束\n");
    land("an item takes the room an earlier item of the same merge left", {}, {},
         {{kA, n5, 5000}, {kNew, std::string(4000, 'm'), 4096}}, 3, kStart, 4096, 9105000,
         {{9100000, n5}}, "追加后文件大小:9105000\r\n");
    // Only the first record of a repeated key is rewritten.
    PackImage twice = basePack();
    twice.addFile(kA, std::string(50, 'x'));
    writePack(twice);
    writeList({stage(kA, std::string(10, 'n'), 10)});
    ASSERT_TRUE(merge());
    EXPECT_EQ(parsed().records[1].zipSize, 10u);
    EXPECT_EQ(parsed().records[3].zipSize, 50u);

    // Patch lists: the saved count follows the items; a list of another id is refused.
    PackPatchList list, loaded;
    list.header.listId = kListId;
    list.header.mode = kPackModeBuild;
    list.items.resize(2);
    list.items[1].nameKey = kNew;
    ASSERT_TRUE(list.save(u"saved.ipatch"));
    ASSERT_EQ(loaded.load(u"saved.ipatch", kListId), PackPatchList::LoadError::kNone);
    EXPECT_EQ(std::tuple(loaded.header.itemCount, loaded.header.mode, loaded.items.at(1).nameKey),
              std::tuple(2u, kPackModeBuild, kNew));
    EXPECT_EQ(loaded.load(u"saved.ipatch", kListId + 1), PackPatchList::LoadError::kListId);
    EXPECT_TRUE(loaded.items.empty());
}

TEST_F(PackOps, RefusedListsLeaveThePackAndNoOutputBehind) {
    PackImage image = basePack();
    image.holes.push_back({9000000, 20000});
    writePack(image);
    const std::string before = packBytes();
    const Rec good = stage(kNew, std::string(100, 's'), 200);
    Rec tooBig = good, unstaged = good, shortStaged = good;
    tooBig.blockSize = 50;
    unstaged.key = 0x5151;
    shortStaged.zipSize = 101;
    const std::string list = test::patchListBytes(kListId, {good});
    std::string badMagic = list;
    badMagic[1] = 'X';
    for (const std::string& bad :  // length not 24 + 44 n, another id, no magic, cut header,
         {list + "!", test::patchListBytes(kListId + 1, {good}), badMagic, list.substr(0, 20),
          test::patchListBytes(kListId, {tooBig}),  // zip size above block size
          test::patchListBytes(kListId, {good, unstaged}),
          test::patchListBytes(kListId, {shortStaged})}) {
        box.writeFile("list.ipatch", bad);
        EXPECT_FALSE(merge());
        EXPECT_FALSE(buildPack(kPack, u"data\\p.new", u"list.ipatch", kListId));
        EXPECT_TRUE(packBytes() == before);
        EXPECT_FALSE(box.exists("data/p.new"));
    }
    EXPECT_TRUE(
        log.has("mergePatchToPack过程中,缓存文件update\\p\\5151.gzf不存在或小于100字节\r\n"));
}

TEST_F(PackOps, DamagedPacksAreRefusedWithTheirLogLinesAndNeverWritten) {
    writeList({stage(kNew, std::string(100, 's'), 100)});
    PackImage v9 = basePack(), pastEnd = basePack(), intoIndex = basePack(), badHole = basePack(),
              holePastEnd = basePack();
    v9.version = 9;
    pastEnd.records[2].blockSize = 2000000;
    intoIndex.records[1].offset = 4096;
    badHole.holes.push_back({100, 1000});
    holePastEnd.holes.push_back({9099000, 2000});
    std::string badLayout = basePack().bytes();
    test::put(badLayout, 36, 36 * 3 + 36);
    // Damage that loads: writing by such an index would destroy members it cannot see.
    PackImage holeOverMember = basePack(), noRoot = basePack(), orphan = basePack(),
              secondRoot = basePack(), sharedBlock = basePack();
    holeOverMember.holes.push_back({test::kDataStart + 2000, 9000});
    noRoot.records[0].parent = 0;
    orphan.records[2].parent = 7;
    secondRoot.records[1].parent = 0xFFFF;
    sharedBlock.records[2].offset = test::kDataStart + 100;
    const std::string seek = "mergePatchToPack过程中,setPosition解析本地data\\p.pak数据失败\r\n",
                      read = "mergePatchToPack过程中,read解析本地data\\p.pak数据失败\r\n",
                      hole = "解析本地空白区域data\\p.pak失败\r\n",
                      damaged = "mergePatchToPack过程中,本地data\\p.pak的索引已损坏\r\n";
    const std::pair<std::string, std::string> cases[] = {
        {"!PAK\x08", "mergePatchToPack过程中,解析本地data\\p.pak头失败"},
        {v9.bytes(), "mergePatchToPack过程中,本地data\\p.pak 版本不对\r\n"},
        {badLayout, seek},
        {basePack().bytes().substr(0, 5000), seek},
        {pastEnd.bytes(), read},
        {intoIndex.bytes(), read},
        {badHole.bytes(), hole},
        {holePastEnd.bytes(), hole},
        {holeOverMember.bytes(), damaged},
        {noRoot.bytes(), damaged},
        {orphan.bytes(), damaged},
        {secondRoot.bytes(), damaged},
        {sharedBlock.bytes(), damaged}};
    for (const auto& [pack, line] : cases) {
        box.writeFile("data/p.pak", pack);
        EXPECT_FALSE(merge());
        EXPECT_TRUE(log.has(line)) << line;
        EXPECT_FALSE(removeFileFromPack(kPack, {}));
        EXPECT_FALSE(repairLocalFileCrc(kPack));
        EXPECT_TRUE(packBytes() == pack);
    }
    EXPECT_TRUE(log.has("removeFileFromPack过程中,本地data\\p.pak 版本不对\r\n"));
    EXPECT_TRUE(log.has("removeFileFromPack过程中,本地data\\p.pak的索引已损坏\r\n"));
    EXPECT_TRUE(
        log.has("data\\p.pak: a hole at 8390608 (9000 bytes) overlaps a block at "
                "8388608 (4096 bytes)\r\n"));
    EXPECT_TRUE(log.has("repairLocalFileCrc 解析本地空白区域data\\p.pak失败\r\n"));
    std::filesystem::remove("data/p.pak");
    EXPECT_FALSE(merge() || repairLocalFileCrc(kPack));
    EXPECT_TRUE(log.has("打开本地 data\\p.pak 文件失败\r\n"));
    EXPECT_TRUE(log.has("修复crc文件打开失败:data\\p.pak"));
    EXPECT_FALSE(box.exists("data/p.pak"));
}

TEST_F(PackOps, WritesThatCannotHappenLeaveTheIndexAsItWas) {
    // 209,714 records fill the index region exactly (48 + 40 * 209714 = 8 MiB): a new record
    // is refused, rewriting a file in its block still fits.
    PackImage full(nameKey(u"p"));
    for (uint32_t i = 1; i < 209714; ++i) {
        full.records.push_back(Rec{i, 0, test::kDataStart, 0, 0, 0xFFFFFFFF, 0});
    }
    writePack(full);
    const std::string before = packBytes();
    writeList({stage(kNew, "x", 1)});
    EXPECT_FALSE(merge());
    EXPECT_TRUE(packBytes() == before);
    writeList({stage(5, "", 0)});
    EXPECT_TRUE(merge());
    MemoryStream index(64);  // nothing is written: the tables or the region would not fit
    EXPECT_FALSE(writePackIndex(index, std::vector<PackRecord>(209715), {}, kIndexRegionSize));
    EXPECT_FALSE(writePackIndex(index, {}, {}, kIndexRegionSize - 1));
    EXPECT_EQ(index.size(), 0u);

    // A pack that would pass 4 GiB is not written.
    writePack(basePack());
    const std::string base = packBytes();
    std::filesystem::resize_file("data/p.pak", 0xFFFFF000u);  // sparse
    writeList({stage(kNew, std::string(100, 's'), 0x2000)});
    EXPECT_FALSE(merge());
    EXPECT_EQ(std::filesystem::file_size("data/p.pak"), 0xFFFFF000u);
    std::string header(48, '\0');
    std::ifstream("data/p.pak", std::ios::binary).read(header.data(), 48);
    EXPECT_EQ(header, base.substr(0, 48));
}

TEST_F(PackOps, RemovalRepairAndBuild) {
    PackImage image = basePack();
    image.addFile(kA, std::string(64, 'x'));  // a second A after B
    writePack(image);
    const std::string before = packBytes();
    const test::ParsedPack old = parsed();
    // The first A, a record the pack lacks and one in the index: their blocks become holes
    // inside the data region only, the bytes stay, and the second A is the one left.
    ASSERT_TRUE(removeFileFromPack(
        kPack,
        {{.nameKey = kA, .offset = old.records[1].offset, .blockSize = old.records[1].blockSize},
         {.nameKey = 0x77, .offset = 9050000, .blockSize = 1000},
         {.nameKey = 0x78, .offset = 64, .blockSize = 100}}));
    test::ParsedPack p = parsed();
    expectConsistent(p);
    EXPECT_EQ(p.records, (std::vector<Rec>{old.records[0], old.records[2], old.records[3]}));
    EXPECT_EQ(p.holes, (std::vector<Hole>{{test::kDataStart, 4096, 0}, {9050000, 1000, 0}}));
    EXPECT_TRUE(p.bytes.substr(test::kDataStart) == before.substr(test::kDataStart));

    // Repair rewrites only the index checksum and the data size.
    std::string damaged = packBytes();
    test::put(damaged, 28, 0xDEADBEEF);
    test::put(damaged, 44, 12345);
    box.writeFile("data/p.pak", damaged);
    ASSERT_TRUE(repairLocalFileCrc(kPack));
    std::string repaired = packBytes();
    expectConsistent(test::parsePack(repaired));
    char line[96];
    std::snprintf(line, sizeof line, "本地文件data\\p.pak 修复后的crc大小为:%x",
                  test::get(repaired, 28));
    EXPECT_TRUE(log.has(line));
    test::put(repaired, 28, 0xDEADBEEF);
    test::put(repaired, 44, 12345);
    EXPECT_TRUE(repaired == damaged);

    // A member salvaged into a file of its own, only when its stored bytes' checksum holds.
    WinStream stream;
    ASSERT_TRUE(stream.open(kPack, 0));
    const PackRecord b = inspectPack(kPack).index.records.at(1);
    EXPECT_TRUE(salvageMember(stream, b, b.dataCrc, u"b.out"));
    EXPECT_FALSE(salvageMember(stream, b, b.dataCrc ^ 1, u"c.out"));
    stream.close();
    EXPECT_EQ(box.readFile("b.out"), std::string(300, 'b'));
    EXPECT_FALSE(box.exists("b.out.tmp") || box.exists("c.out") || box.exists("c.out.tmp"));

    // A build holds the listed blocks back to back; staged files are looked for under the
    // stem of the pack being built, and the old pack plays no part.
    const std::string one = test::patternBytes(3000, 1),
                      two = test::rawDeflate(test::patternBytes(9000, 2));
    Rec first = stage(0x111, one, 3500), empty = stage(0x222, "", 0);
    Rec second = stage(0x333, two, static_cast<uint32_t>(two.size()));
    second.size = 9000;
    writeList({first, empty, second});
    ASSERT_FALSE(buildPack(u"data\\Data.pak", u"data\\p.new", u"list.ipatch", kListId));
    box.writeFile("update/Data/111.gzf", one);
    box.writeFile("update/Data/333.gzf", two);
    ASSERT_TRUE(buildPack(u"data\\Data.pak", u"data\\p.new", u"list.ipatch", kListId));
    p = test::parsePack(box.readFile("data/p.new"));
    expectConsistent(p);
    first.offset = test::kDataStart;
    empty.offset = second.offset = test::kDataStart + 3500;
    EXPECT_EQ(p.records,
              (std::vector<Rec>{
                  {nameKey(u"Data"), 0, test::kDataStart, 0, 0, 0, 0xFFFF}, first, empty, second}));
    EXPECT_TRUE(p.holes.empty());
    EXPECT_TRUE(p.bytes.substr(test::kDataStart) == one + std::string(500, '\0') + two);
}

// What a reader of a pack can see: the index tables, every record's block and the length.
// Holes may hold anything.
std::string liveView(const std::string& bytes) {
    const test::ParsedPack p = test::parsePack(bytes);
    std::string view = bytes.substr(0, p.field(32) + p.field(36)) + std::to_string(bytes.size());
    for (const Rec& r : p.records) {
        view += bytes.substr(r.offset, r.blockSize);
    }
    return view;
}

// The pack changes that a crash, a failing disk or a full disk may interrupt at any call.
class CrashSafety : public PackOps {
protected:
    CrashSafety() : PackOps(test::Sandbox::memoryBase()) {}
    ~CrashSafety() override { platform::faults::disarm(); }

    struct Operation {
        const char* name;
        std::string pack;  // the pack it starts from
        std::function<bool()> run;
        const char* failed;  // its log line when a write fails
    };
    // A merge with every kind of write: B shrinks in place, A grows and leaves a zeroed
    // hole that a new file fills, another new file takes the listed hole and a third goes
    // to the end; a removal; the repair of a stale checksum; a build that replaces the pack.
    std::vector<Operation> operations() {
        PackImage image = basePack();
        image.holes.push_back({9000000, 20000});
        PackImage stale = image;
        stale.indexCrc = 0xDEADBEEF;
        writeList({stage(kA, std::string(5000, 'n'), 5000), stage(kB, std::string(200, 'm'), 200),
                   stage(kNew, std::string(3000, 's'), 4096),
                   stage(0x4444, std::string(15000, 'q'), 15000),
                   stage(0x5555, std::string(30000, 'r'), 30000)});
        const PackRecord a{.nameKey = kA, .offset = test::kDataStart, .blockSize = 4096};
        return {
            {"merge", image.bytes(), [this] { return merge(); },
             "mergePatchToPack过程中,重写本地data\\p.pak索引失败\r\n"},
            {"remove", image.bytes(), [a] { return removeFileFromPack(kPack, {a}); },
             "removeFileFromPack过程中,重写本地data\\p.pak索引失败\r\n"},
            {"repair", stale.bytes(), [] { return repairLocalFileCrc(kPack); },
             "repairLocalFileCrc过程中,重写本地data\\p.pak索引失败\r\n"},
            {"build and replace", image.bytes(),
             [] {
                 return recoverPack(kPack) != PackRecovery::kFailed &&
                        buildPack(kPack, u"data\\p.new", u"list.ipatch", kListId) &&
                        File::replaceDurably(u"data\\p.new", kPack);
             },
             "buildPack过程中,写入data\\p.new失败\r\n"},
        };
    }
    // Puts the pack back to bytes, rewriting only the pages that differ, so that every round
    // does not make the whole pack dirty again.
    void restore(const std::string& bytes) {
        std::filesystem::remove("data/p.new");
        std::filesystem::remove("data/p.pak.journal");
        if (!box.exists("data/p.pak")) {
            box.writeFile("data/p.pak", bytes);
        }
        std::filesystem::resize_file("data/p.pak", bytes.size());
        const std::string now = packBytes();
        std::fstream out("data/p.pak", std::ios::in | std::ios::out | std::ios::binary);
        for (size_t at = 0; at < bytes.size(); at += 4096) {
            const size_t n = std::min<size_t>(4096, bytes.size() - at);
            if (now.compare(at, n, bytes, at, n) != 0) {
                out.seekp(static_cast<std::streamoff>(at));
                out.write(bytes.data() + at, static_cast<std::streamsize>(n));
            }
        }
    }

    // Runs the operation once from its starting pack, counting the file calls it makes.
    void countCalls(const Operation& op, uint64_t& calls) {
        restore(op.pack);
        platform::faults::count();
        ASSERT_TRUE(op.run());
        calls = platform::faults::calls();
        platform::faults::disarm();
    }
};

// Every call of each operation in turn fails once (EIO), fails from there on (a full disk) or
// kills the process. A fault before the commit leaves the pack untouched; one after it leaves
// the change complete, reported or not, at the latest once the next open has played the
// journal; and the next run ends as a clean one.
TEST_F(CrashSafety, AFaultAtAnyCallLeavesTheOldPackOrTheNewOneOnceItIsOpened) {
    enum Fault { kFailOnce, kFullDisk, kKill };
    for (const Operation& op : operations()) {
        SCOPED_TRACE(op.name);
        const std::string& before = op.pack;
        uint64_t calls = 0;
        ASSERT_NO_FATAL_FAILURE(countCalls(op, calls));
        const std::string after = packBytes();
        ASSERT_FALSE(liveView(after) == liveView(before));
        int replayed = 0;
        for (const Fault fault : {kFailOnce, kFullDisk, kKill}) {
            for (uint64_t n = 1; n <= calls; ++n) {
                SCOPED_TRACE("fault " + std::to_string(fault) + " at call " + std::to_string(n));
                restore(before);
                bool ok = false;
                if (fault == kKill) {
                    const pid_t child = fork();
                    if (child == 0) {
                        platform::faults::killAt(n);
                        op.run();
                        _exit(0);
                    }
                    int status = 0;
                    ASSERT_EQ(waitpid(child, &status, 0), child);
                    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
                } else {
                    fault == kFullDisk ? platform::faults::failFrom(n, ENOSPC)
                                       : platform::faults::failAt(n, EIO);
                    ok = op.run();
                    platform::faults::disarm();
                }
                const PackRecovery recovery = recoverPack(kPack);
                ASSERT_NE(recovery, PackRecovery::kFailed);
                replayed += fault == kKill && recovery == PackRecovery::kReplayed;
                const std::string now = liveView(packBytes());
                EXPECT_TRUE(now == liveView(after) || (!ok && now == liveView(before)));
                EXPECT_FALSE(box.exists("data/p.pak.journal"));
                ASSERT_TRUE(op.run());
                EXPECT_TRUE(packBytes() == after);
            }
        }
        // A build never writes the old pack, so it has nothing to finish.
        EXPECT_EQ(replayed > 0, op.name != std::string("build and replace"));
        EXPECT_TRUE(log.has(op.failed)) << op.failed;
    }
}

TEST_F(CrashSafety, AJournalIsPlayedOnlyWhenWholeAndNeverUnderAWriter) {
    writePack(basePack());
    const std::string before = packBytes();
    std::string journal;
    {
        WinStream pack;
        ASSERT_TRUE(pack.open(kPack, 2));
        PackJournal change(kPack);
        ASSERT_TRUE(change.begin(pack.size()));
        Stream& out = change.writes();
        ASSERT_TRUE(out.seek(0) && out.writeZeros(100) && out.seek(9100000) &&
                    out.write("tail", 4));
        EXPECT_TRUE(packBytes() == before);  // nothing reaches the pack before the commit
        ASSERT_TRUE(change.commit(pack, 0));
        journal = box.readFile("data/p.pak.journal");
        // While the pack is open for writing, an open elsewhere in the process must not play
        // the journal.
        EXPECT_EQ(recoverPack(kPack), PackRecovery::kFailed);
        EXPECT_TRUE(log.has("data\\p.pak的修改日志无法回放\r\n"));
    }
    const std::string after = packBytes();
    EXPECT_TRUE(after == std::string(100, '\0') + before.substr(100) + "tail");
    // A finished change only needs settling; one cut short after the commit is finished.
    EXPECT_EQ(recoverPack(kPack), PackRecovery::kClean);
    EXPECT_FALSE(box.exists("data/p.pak.journal"));
    for (const std::string& cut : {before, after.substr(0, 50) + before.substr(50)}) {
        box.writeFile("data/p.pak", cut);
        box.writeFile("data/p.pak.journal", journal);
        EXPECT_EQ(recoverPack(kPack), PackRecovery::kReplayed);
        EXPECT_TRUE(packBytes() == after);
        EXPECT_EQ(recoverPack(kPack), PackRecovery::kClean);
    }

    // A replay that fails at a call says so, and the next open finishes the change.
    for (uint64_t n = 1;; ++n) {
        box.writeFile("data/p.pak", before);
        box.writeFile("data/p.pak.journal", journal);
        platform::faults::failAt(n, EIO);
        const PackRecovery recovery = recoverPack(kPack);
        const bool failed = platform::faults::injected();
        platform::faults::disarm();
        EXPECT_EQ(recovery == PackRecovery::kFailed, failed) << n;
        ASSERT_NE(recoverPack(kPack), PackRecovery::kFailed) << n;
        EXPECT_TRUE(packBytes() == after) << n;
        if (!failed) {
            break;
        }
    }

    // A whole journal that cannot be read (a failing disk) is kept, not taken for one cut
    // short: the pack half played stays untrusted until a later open finishes it.
    box.writeFile("data/p.pak", after.substr(0, 50) + before.substr(50));
    box.writeFile("data/p.pak.journal", journal);
    platform::faults::failReads(EIO);
    EXPECT_EQ(recoverPack(kPack), PackRecovery::kFailed);
    platform::faults::disarm();
    EXPECT_TRUE(box.exists("data/p.pak.journal"));
    EXPECT_EQ(recoverPack(kPack), PackRecovery::kReplayed);
    EXPECT_TRUE(packBytes() == after);

    // A journal cut short, or with one byte changed, was never synced whole: the pack was
    // never written after it, so it is dropped and the pack left alone.
    std::string flipped = journal;
    flipped[journal.size() / 2] ^= 1;
    box.writeFile("data/p.pak", before);
    for (const std::string& bad : {journal.substr(0, journal.size() - 1), flipped}) {
        box.writeFile("data/p.pak.journal", bad);
        EXPECT_EQ(recoverPack(kPack), PackRecovery::kDiscarded);
        EXPECT_FALSE(box.exists("data/p.pak.journal"));
        EXPECT_TRUE(packBytes() == before);
    }
    // A rollback journal of an earlier build (version 1: the old bytes, the table first)
    // puts the pack back as it was.
    uint32_t v1[8] = {0x4E4A5021u, 1, static_cast<uint32_t>(before.size()), 1, 100, 0, 0, 100};
    std::string rollback(reinterpret_cast<const char*>(v1), sizeof v1);
    rollback += before.substr(0, 100);
    v1[5] = checksumUpdate(checksumUpdate(kChecksumStart, rollback.data() + 24, 108), v1, 20);
    rollback.replace(0, 24, reinterpret_cast<const char*>(v1), 24);
    box.writeFile("data/p.pak", after);
    box.writeFile("data/p.pak.journal", rollback);
    EXPECT_EQ(recoverPack(kPack), PackRecovery::kReplayed);
    EXPECT_TRUE(packBytes() == before);

    // A journal never outlives its pack.
    box.writeFile("data/p.pak.journal", journal);
    EXPECT_TRUE(deletePack(kPack));
    EXPECT_FALSE(box.exists("data/p.pak.journal"));
}

// Verify's member check: stored bytes with the right checksum that do not unpack to the size
// their record gives, for a member inflated in one call, one read again in chunks (stored
// bytes over 1 MiB) and one kept raw.
TEST_F(PackOps, UnpackingFindsMembersThatDoNotGiveTheirSize) {
    PackImage image(nameKey(u"p"));
    const size_t small = image.addFile(kA, test::patternBytes(60000, 1), true);
    const size_t large = image.addFile(kB, test::patternBytes(3000000, 2), true);
    const size_t raw = image.addFile(kNew, test::patternBytes(3000, 3));
    ASSERT_GT(image.records[large].zipSize, 1u << 20);
    const auto rotten = [&](const PackImage& pack, bool unpack) {
        writePack(pack);
        WinStream stream;
        PackIndex index;
        std::vector<uint32_t> found;
        EXPECT_TRUE(stream.open(kPack, 0) &&
                    loadPackIndex(stream, index) == IndexLoadError::kNone &&
                    findRottenMembers(stream, index, found, {}, unpack));
        return found;
    };
    EXPECT_TRUE(rotten(image, true).empty());
    // The member checked in chunks is checked against its data checksum in the same pass:
    // rot in its bytes, or bytes that inflate well under another checksum.
    for (const bool inBytes : {true, false}) {
        PackImage rot = image;
        if (inBytes) {
            rot.data[rot.records[large].offset - test::kDataStart + 700000] ^= 1;
        } else {
            rot.records[large].dataCrc ^= 1;
        }
        EXPECT_EQ(rotten(rot, true), std::vector<uint32_t>{static_cast<uint32_t>(large)});
    }
    for (const size_t i : {small, large, raw}) {
        for (const int delta : {-1, 1}) {
            SCOPED_TRACE(std::to_string(i) + " " + std::to_string(delta));
            PackImage damaged = image;
            damaged.records[i].size += delta;
            EXPECT_EQ(rotten(damaged, true), std::vector<uint32_t>{static_cast<uint32_t>(i)});
            EXPECT_TRUE(rotten(damaged, false).empty());
        }
    }
}

}  // namespace
}  // namespace lume
