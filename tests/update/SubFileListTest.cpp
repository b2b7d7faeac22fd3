// Sub file lists (.fxml): the fields of `pak` and `subfile` (tests/data/fxml/fields.fxml),
// the comparison with a local pack written to disk, its numbering and totals, packs that
// cannot be read, and the fast comparison against the plain scan it replaces.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <list>
#include <random>
#include <string>
#include <vector>

#include "engine/FileSystem/PackFormat.h"
#include "platform/Text.h"
#include "tests/support/Sandbox.h"
#include "tests/update/ListTestData.h"
#include "update/SubFileListDownloader.h"

namespace lume {
namespace {

namespace fs = std::filesystem;

using test::packBytes;
using test::packRecord;
using test::rootRecord;

struct Sub {
    uint32_t key;
    uint32_t zipcrc;
    char operate = 'A';
    uint32_t blockSize = 0x100;
    uint32_t version = 1;
};

std::string fxml(const std::vector<Sub>& subs, const std::string& dataCrc = "1234") {
    std::string s = "<pak name=\"a.pak\" data_crc=\"" + dataCrc + "\">\n";
    char line[256];
    for (const Sub& e : subs) {
        std::snprintf(line, sizeof line,
                      "<subfile namekey=\"%x\" size=\"%x\" crc=\"%x\" zipSize=\"%x\" zipcrc=\"%x\" "
                      "blocksize=\"%x\" version=\"%x\" operate=\"%c\" bzip=\"2\"/>\n",
                      e.key, e.key + 1, e.key + 2, e.blockSize / 2, e.zipcrc, e.blockSize,
                      e.version, e.operate);
        s += line;
    }
    return s + "</pak>\n";
}

bool sameRecord(const PackRecord& a, const PackRecord& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

template <class T>
std::vector<uint32_t> keysOf(const std::vector<T>& v) {
    std::vector<uint32_t> keys;
    for (const T& x : v) {
        keys.push_back(x.nameKey);
    }
    return keys;
}

using Keys = std::vector<uint32_t>;

TEST(SubFileList, SampleListFields) {
    SubFileListDownloader list;
    ASSERT_TRUE(
        list.parseFile(platform::utf8ToWide(test::dataPath("fxml/fields.fxml").string()), false));
    EXPECT_EQ(list.packName(), u"数据.pak");
    EXPECT_EQ(list.dataCrc(), 0xDEADBEEFu);
    const auto& e = list.entries();
    ASSERT_EQ(e.size(), 10u);
    EXPECT_EQ(e[0].nameKey, 0x1A2B3C4Du);
    EXPECT_EQ(e[0].size, 0x100u);
    EXPECT_EQ(e[0].crc, 0xFFFFFFFFu);
    EXPECT_EQ(e[0].zipSize, 0x80u);
    EXPECT_EQ(e[0].zipcrc, 0xDEADBEEFu);
    EXPECT_EQ(e[0].blockSize, 0x1000u);
    EXPECT_EQ(e[0].version, 3u);
    EXPECT_EQ(e[0].operate, 'A');
    EXPECT_EQ(e[0].bzip, 1);
    EXPECT_TRUE(e[0].text1.empty() && e[0].text2.empty());
    // operate: the low byte of the first character; absent or empty stays an addition.
    const char operates[] = {'A', 'D', 'd', 'A', 'A', 'D', 0x20, 'A', 'A', 'A'};
    for (size_t i = 0; i < e.size(); ++i) {
        EXPECT_EQ(e[i].operate, static_cast<uint8_t>(operates[i])) << i;
    }
    EXPECT_EQ(e[1].version, 0u);  // an absent version reads as 0 like any hexadecimal field
    EXPECT_EQ(e[7].size, 0u);
    EXPECT_EQ(e[7].crc, 0u);  // nine hexadecimal digits do not fit
    EXPECT_EQ(e[7].bzip, 0xFFFF);
    EXPECT_EQ(e[7].version, 0x7FFFFFFFu);
    EXPECT_EQ(e[8].nameKey, 0u);  // attribute names are case-sensitive
    EXPECT_EQ(e[8].size, 0u);
    EXPECT_EQ(e[8].bzip, 1);  // 65537 keeps its low 16 bits
    EXPECT_EQ(e[9].nameKey, 0xAu);
}

class Compare : public ::testing::Test {
protected:
    int load(const std::vector<PackRecord>& records, const std::string& list) {
        box.writeFile("data/a.pak", packBytes(records));
        box.writeFile("a.fxml", list);
        return sub.load(u"a.fxml", u"data\\a.pak", false);
    }

    test::Sandbox box;
    SubFileListDownloader sub;
};

TEST_F(Compare, MatchedChangedDeletedNewAndLeftover) {
    const std::vector<PackRecord> pack = {
        rootRecord(0xAAAA),
        packRecord(1, 100, 0),
        packRecord(2, 200, 0),
        packRecord(3, 300, 0),
        packRecord(4, 400, 5),  // parent index carried into its download
                                // item
        packRecord(5, 500, 0),
    };
    ASSERT_EQ(load(pack, fxml({
                             {1, 100},       // current
                             {2, 999},       // changed: fetched
                             {3, 0, 'D'},    // removed
                             {4, 401},       // changed
                             {9, 900},       // new
                             {8, 800, 'D'},  // D of a file the pack does not hold: nothing
                         })),
              SubFileListDownloader::kCompared);
    EXPECT_EQ(keysOf(sub.downloadItems()), (Keys{2, 4, 9}));
    // The D, then what the list does not name; the root was passed and is gone.
    EXPECT_EQ(keysOf(sub.removals()), (Keys{3, 5}));
    EXPECT_TRUE(sameRecord(sub.removals()[0], pack[3]));
    EXPECT_TRUE(sameRecord(sub.removals()[1], pack[5]));

    const PackPatchItem& item = sub.downloadItems()[1];
    EXPECT_EQ(item.nameKey, 4u);
    EXPECT_EQ(item.zipSize, 0x80u);
    EXPECT_EQ(item.unused0, 0u);
    EXPECT_EQ(item.size, 5u);
    EXPECT_EQ(item.blockSize, 0x100u);
    EXPECT_EQ(item.dataCrc, 401u);
    EXPECT_EQ(item.parentIndex, 5);
    EXPECT_EQ(item.flags, 2);
    EXPECT_EQ(item.extra1, 6u);
    EXPECT_EQ(item.extra2, 0u);
    EXPECT_EQ(item.unused1, 0u);
    EXPECT_EQ(sub.downloadItems()[2].parentIndex, 0);  // not in the pack
}

TEST_F(Compare, StartOffsetsAndTotals) {
    ASSERT_EQ(
        load({rootRecord(7)}, fxml({{1, 1, 'A', 0x1000}, {2, 2, 'A', 0x2000}, {3, 3, 'A', 0x800}})),
        1);
    const auto& items = sub.downloadItems();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].startOffset, 0u);
    EXPECT_EQ(items[1].startOffset, 0x1000u);
    EXPECT_EQ(items[2].startOffset, 0x3000u);
    EXPECT_EQ(sub.blockSizeTotal(), 0x3800u);
    EXPECT_EQ(sub.zipSizeTotal(), 0x1C00u);
    // Nothing to fetch: no items and zero totals.
    ASSERT_EQ(load({rootRecord(7), packRecord(1, 1)}, fxml({{1, 1}})), 1);
    EXPECT_TRUE(sub.downloadItems().empty());
    EXPECT_TRUE(sub.removals().empty());
    EXPECT_EQ(sub.blockSizeTotal(), 0u);
    // Totals past 4 GiB do not wrap to 0.
    ASSERT_EQ(load({}, fxml({{1, 1, 'A', 0x80000000u}, {2, 2, 'A', 0x80000000u}})), 1);
    EXPECT_EQ(sub.blockSizeTotal(), 0x100000000ull);
}

TEST_F(Compare, RootsAreDroppedOnlyWhereAScanPassed) {
    // Roots before the furthest record any scan stopped at disappear; a root after it is a
    // leftover like any other record.
    const std::vector<PackRecord> pack = {rootRecord(0x50), packRecord(1, 1), rootRecord(0x51),
                                          packRecord(2, 2), rootRecord(0x52), packRecord(3, 3)};
    ASSERT_EQ(load(pack, fxml({{2, 2}, {1, 1}, {3, 3, 'D'}})), 1);
    EXPECT_EQ(keysOf(sub.removals()), (Keys{3}));
    ASSERT_EQ(load(pack, fxml({{1, 1}})), 1);
    EXPECT_EQ(keysOf(sub.removals()), (Keys{0x51, 2, 0x52, 3}));
    // An entry the pack lacks scans the whole table: every root goes.
    ASSERT_EQ(load(pack, fxml({{1, 1}, {77, 7, 'D'}})), 1);
    EXPECT_EQ(keysOf(sub.removals()), (Keys{2, 3}));
    // A root is never matched, even by its own key.
    ASSERT_EQ(load(pack, fxml({{0x51, 9}})), 1);
    EXPECT_EQ(keysOf(sub.downloadItems()), (Keys{0x51}));
    EXPECT_EQ(sub.downloadItems()[0].parentIndex, 0);
    EXPECT_EQ(keysOf(sub.removals()), (Keys{1, 2, 3}));
    // An empty list passes nothing: the whole table, roots included, is left over.
    ASSERT_EQ(load(pack, fxml({})), 1);
    EXPECT_EQ(sub.removals().size(), pack.size());
}

TEST_F(Compare, RepeatedKeysMatchInTableOrder) {
    const std::vector<PackRecord> pack = {packRecord(1, 10, 0), packRecord(1, 11, 1),
                                          packRecord(1, 12, 2)};
    ASSERT_EQ(load(pack, fxml({{1, 10}, {1, 99}, {1, 0, 'D'}, {1, 5}})), 1);
    ASSERT_EQ(keysOf(sub.downloadItems()), (Keys{1, 1}));
    EXPECT_EQ(sub.downloadItems()[0].parentIndex, 1);  // the second record
    EXPECT_EQ(sub.downloadItems()[1].parentIndex, 0);  // none left
    ASSERT_EQ(sub.removals().size(), 1u);
    EXPECT_TRUE(sameRecord(sub.removals()[0], pack[2]));
}

TEST_F(Compare, LoadFetchesOnlyNewerVersions) {
    // Local extra 2 against the list's version; equal data crcs are never fetched.
    const std::vector<PackRecord> pack = {rootRecord(9), packRecord(1, 1, 0, 3),
                                          packRecord(2, 2, 0, 3), packRecord(3, 3, 0, 3),
                                          packRecord(4, 4, 0, 0)};
    ASSERT_EQ(load(pack, fxml({{1, 100, 'A', 0x100, 4},
                               {2, 200, 'A', 0x100, 3},
                               {3, 3, 'A', 0x100, 9},
                               {4, 400, 'A', 0x100, 0}})),
              1);
    EXPECT_EQ(keysOf(sub.downloadItems()), (Keys{1}));
    EXPECT_TRUE(sub.removals().empty());
}

TEST_F(Compare, WithdrawnAndUnparsableLists) {
    const std::vector<PackRecord> pack = {rootRecord(9), packRecord(1, 1)};
    EXPECT_EQ(load(pack, fxml({{1, 2}, {5, 5}}, "4294967295")), SubFileListDownloader::kWithdrawn);
    EXPECT_TRUE(sub.downloadItems().empty());
    EXPECT_TRUE(sub.removals().empty());
    EXPECT_EQ(sub.dataCrc(), 0xFFFFFFFFu);
    EXPECT_EQ(sub.packPath(), u"data\\a.pak");
    // 4294967296 is out of range and reads 0: an ordinary list.
    EXPECT_EQ(load(pack, fxml({{1, 2}}, "4294967296")), 1);
    EXPECT_EQ(keysOf(sub.downloadItems()), (Keys{1}));

    for (const std::string& bad : {std::string(), fxml({{1, 2}}).substr(0, 60),
                                   std::string("<pak><subfile namekey=1/></pak>")}) {
        EXPECT_EQ(load(pack, bad), SubFileListDownloader::kFailed) << bad;
        EXPECT_TRUE(sub.entries().empty());
        EXPECT_TRUE(sub.downloadItems().empty());
        EXPECT_TRUE(sub.removals().empty());
    }
    EXPECT_EQ(sub.load(u"missing.fxml", u"data\\a.pak", false), SubFileListDownloader::kFailed);
}

TEST_F(Compare, LoadLooksInTheDataDirectoryByDefault) {
    box.writeFile("game/data/a.pak", packBytes({rootRecord(9), packRecord(1, 1)}));
    box.writeFile("data/a.fxml", fxml({{1, 5}}));
    fs::current_path(fs::path(box.path()) / "game");
    EXPECT_EQ(sub.load(u"a.fxml", u"data\\a.pak"), 1);
    EXPECT_EQ(keysOf(sub.downloadItems()), (Keys{1}));
    EXPECT_EQ(sub.downloadItems()[0].parentIndex, 0);
    EXPECT_EQ(sub.load(u"a.fxml", u"data\\a.pak", false), 0);
}

// Each damage turns the pack into "no readable local pack": every non-D entry is fetched
// with parent index 0 and nothing is removed.
TEST_F(Compare, DamagedPacksAreTreatedAsMissing) {
    const std::vector<PackRecord> records = {rootRecord(9), packRecord(1, 1, 0),
                                             packRecord(2, 2, 0)};
    const std::string good = packBytes(records);
    auto withField = [&](size_t offset, uint32_t value) {
        std::string b = good;
        std::memcpy(b.data() + offset, &value, 4);
        return b;
    };
    const std::string cases[] = {
        std::string(),
        good.substr(0, 47),               // header cut short
        withField(0, 0x4B415022u),        // magic
        withField(4, 7),                  // version 7
        withField(4, 9),                  // version 9
        good.substr(0, good.size() - 1),  // record table cut short
        withField(8, 4),                  // one record more than the file holds
        withField(8, 0xFFFFFFFFu),        // a count no index region can hold
        withField(8, 209715),             // 48 + 40 * n just past 8 MiB
        withField(32, 0xFFFFFFF0u),       // record table offset wraps past 4 GiB
        withField(32, 0x7FFFF0u),         // record table crosses the end of the index region
        withField(32, 12),                // record table inside the header
    };
    const std::string list = fxml({{1, 1}, {2, 0, 'D'}, {3, 3}});
    for (size_t i = 0; i < std::size(cases); ++i) {
        box.writeFile("data/a.pak", cases[i]);
        box.writeFile("a.fxml", list);
        ASSERT_EQ(sub.load(u"a.fxml", u"data\\a.pak", false), 1) << i;
        EXPECT_EQ(keysOf(sub.downloadItems()), (Keys{1, 3})) << i;
        EXPECT_EQ(sub.downloadItems()[0].parentIndex, 0);
        EXPECT_TRUE(sub.removals().empty()) << i;
    }
    // The undamaged pack for contrast, and a pack path that is a directory or missing.
    ASSERT_EQ(load(records, list), 1);
    EXPECT_EQ(keysOf(sub.downloadItems()), Keys{3});
    EXPECT_EQ(keysOf(sub.removals()), Keys{2});
    for (const char16_t* path : {u"data", u"data\\none.pak"}) {
        ASSERT_EQ(sub.load(u"a.fxml", path, false), 1);
        EXPECT_EQ(keysOf(sub.downloadItems()), (Keys{1, 3}));
        EXPECT_TRUE(sub.removals().empty());
    }
    // A pack whose tables lie exactly at the end of the file is readable.
    std::vector<PackRecord> read;
    box.writeFile("data/b.pak", packBytes(records, 0));
    EXPECT_TRUE(SubFileListDownloader::readPackRecords(u"data\\b.pak", read));
    EXPECT_EQ(read.size(), 3u);
    box.writeFile("data/c.pak", packBytes({}, 0));
    EXPECT_TRUE(SubFileListDownloader::readPackRecords(u"data\\c.pak", read));
    EXPECT_TRUE(read.empty());
}

// The comparison as plainly described: scan from the start for each entry, dropping the roots
// passed, stop at the first record with the key, remove it; leftovers are removals.
void referenceCompare(const std::vector<SubFileEntry>& entries,
                      const std::vector<PackRecord>& records, bool checkVersion,
                      std::vector<PackPatchItem>& items, std::vector<PackRecord>& removals) {
    std::list<PackRecord> table(records.begin(), records.end());
    for (const SubFileEntry& e : entries) {
        auto it = table.begin();
        while (it != table.end()) {
            if (it->parentIndex == kRootParent) {
                it = table.erase(it);
            } else if (it->nameKey == e.nameKey) {
                break;
            } else {
                ++it;
            }
        }
        if (it != table.end()) {
            if (e.operate == 'D') {
                removals.push_back(*it);
            } else if (e.zipcrc != it->dataCrc && (!checkVersion || it->extra2 < e.version)) {
                items.push_back(SubFileListDownloader::makeItem(e, it->parentIndex));
            }
            table.erase(it);
        } else if (e.operate != 'D') {
            items.push_back(SubFileListDownloader::makeItem(e, 0));
        }
    }
    removals.insert(removals.end(), table.begin(), table.end());
}

TEST(SubFileListCompare, MatchesThePlainScanOnRandomTables) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 3000; ++round) {
        const uint32_t keySpace = 1 + rng() % 12;  // small, so keys repeat
        std::vector<PackRecord> records(rng() % 24);
        for (size_t i = 0; i < records.size(); ++i) {
            const bool isRoot = rng() % 6 == 0;
            records[i] = packRecord(rng() % keySpace, rng() % 3, isRoot ? kRootParent : rng() % 4,
                                    rng() % 3);
            records[i].offset = static_cast<uint32_t>(i);  // tells equal keys apart
        }
        std::vector<SubFileEntry> entries(rng() % 24);
        for (SubFileEntry& e : entries) {
            e.nameKey = rng() % (keySpace + 2);
            e.zipcrc = rng() % 3;
            e.version = rng() % 4;
            e.operate = rng() % 4 == 0 ? 'D' : 'A';
            e.blockSize = rng();
        }
        const bool checkVersion = round % 2 == 1;
        std::vector<PackPatchItem> wantItems, gotItems;
        std::vector<PackRecord> wantRemovals, gotRemovals;
        referenceCompare(entries, records, checkVersion, wantItems, wantRemovals);
        SubFileListDownloader::compareRecords(entries, records, checkVersion, gotItems,
                                              gotRemovals);
        ASSERT_EQ(gotItems.size(), wantItems.size()) << round;
        for (size_t i = 0; i < wantItems.size(); ++i) {
            ASSERT_EQ(std::memcmp(&gotItems[i], &wantItems[i], sizeof(PackPatchItem)), 0) << round;
        }
        ASSERT_EQ(gotRemovals.size(), wantRemovals.size()) << round;
        for (size_t i = 0; i < wantRemovals.size(); ++i) {
            ASSERT_TRUE(sameRecord(gotRemovals[i], wantRemovals[i])) << round;
        }
    }
}

}  // namespace
}  // namespace lume
