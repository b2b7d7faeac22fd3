// Sub file lists (.fxml): the comparison with a local pack written to disk, its numbering and
// totals, packs that cannot be read, and the fast comparison against the plain scan it
// replaces.
#include <gtest/gtest.h>

#include <cstring>
#include <list>
#include <random>
#include <string>
#include <vector>

#include "engine/FileSystem/PackFormat.h"
#include "tests/support/Sandbox.h"
#include "tests/update/UpdateTestData.h"
#include "update/SubFileListDownloader.h"

namespace lume {
namespace {

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

// The list's entries describe their bytes as packRecord does (zip size, size, flags, content
// checksum).
std::string fxml(const std::vector<Sub>& subs, const std::string& dataCrc = "1234") {
    std::string s = "<pak name=\"a.pak\" data_crc=\"" + dataCrc + "\">\n";
    char line[256];
    for (const Sub& e : subs) {
        std::snprintf(line, sizeof line,
                      "<subfile namekey=\"%x\" size=\"%x\" crc=\"%x\" zipSize=\"%x\" zipcrc=\"%x\" "
                      "blocksize=\"%x\" version=\"%x\" operate=\"%c\" bzip=\"3\"/>\n",
                      e.key, e.key & 0xFFFF, ~e.key, e.key & 0xFFF, e.zipcrc, e.blockSize,
                      e.version, e.operate);
        s += line;
    }
    return s + "</pak>\n";
}

// Whole tables of records or items compared byte for byte.
template <class T>
std::string bytesOf(const std::vector<T>& v) {
    return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}

using Keys = std::vector<uint32_t>;

// The name keys (or another field) of a table, in its order.
template <class T>
Keys keysOf(const std::vector<T>& v, uint32_t T::*field = &T::nameKey) {
    Keys keys;
    for (const T& x : v) {
        keys.push_back(x.*field);
    }
    return keys;
}

class Compare : public ::testing::Test {
protected:
    int load(const std::vector<PackRecord>& records, const std::string& list) {
        box.writeFile("data/a.pak", packBytes(records));
        box.writeFile("a.fxml", list);
        return sub.load(u"a.fxml", u"data\\a.pak", false);
    }
    // The keys to fetch and the keys to remove.
    std::pair<Keys, Keys> outcome() const {
        return {keysOf(sub.downloadItems()), keysOf(sub.removals())};
    }

    test::Sandbox box;
    SubFileListDownloader sub;
};

TEST_F(Compare, MatchedChangedDeletedNewAndLeftover) {
    // The parent index of record 4 is carried into its download item.
    std::vector<PackRecord> pack = {rootRecord(0xAAAA),      packRecord(1, 100, 0),
                                    packRecord(2, 200, 0),   packRecord(3, 300, 0),
                                    packRecord(4, 400, 5),   packRecord(5, 500, 0),
                                    packRecord(6, 600, 0),   packRecord(7, 700, 0),
                                    packRecord(10, 1000, 0), packRecord(11, 1100, 0)};
    // The right stored bytes described wrongly (fields the index checksum does not cover).
    pack[6].size ^= 1;
    pack[7].flags ^= 1;
    pack[8].extra1 ^= 1;
    pack[9].zipSize ^= 1;
    // Current, changed, removed, changed, new, and a D of a file the pack does not hold; then
    // the four described wrongly.
    ASSERT_EQ(load(pack, fxml({{1, 100},
                               {2, 999},
                               {3, 0, 'D'},
                               {4, 401},
                               {9, 900},
                               {8, 800, 'D'},
                               {6, 600},
                               {7, 700},
                               {10, 1000},
                               {11, 1100}})),
              SubFileListDownloader::kCompared);
    EXPECT_EQ(keysOf(sub.downloadItems()), (Keys{2, 4, 9, 6, 7, 10, 11}));
    // The D, then what the list does not name; the root was passed and is gone.
    ASSERT_EQ(keysOf(sub.removals()), (Keys{3, 5}));
    EXPECT_TRUE(bytesOf(sub.removals()) == bytesOf(std::vector{pack[3], pack[5]}));
    const PackPatchItem& i = sub.downloadItems()[1];
    EXPECT_EQ(std::tuple(i.nameKey, i.zipSize, i.unused0, i.size, i.blockSize, i.dataCrc,
                         i.parentIndex, i.flags, i.extra1, i.extra2, i.unused1),
              std::tuple(4u, 4u, 0u, 4u, 0x100u, 401u, uint16_t{5}, uint16_t{3}, ~4u, 0u, 0u));
    EXPECT_EQ(sub.downloadItems()[2].parentIndex, 0);  // not in the pack
}

TEST_F(Compare, StartOffsetsAndTotals) {
    ASSERT_EQ(
        load({rootRecord(7)}, fxml({{1, 1, 'A', 0x1000}, {2, 2, 'A', 0x2000}, {3, 3, 'A', 0x800}})),
        1);
    EXPECT_EQ(keysOf(sub.downloadItems(), &PackPatchItem::startOffset), (Keys{0, 0x1000, 0x3000}));
    EXPECT_EQ(std::tuple(sub.blockSizeTotal(), sub.zipSizeTotal()), std::tuple(0x3800ull, 6ull));
    // Nothing to fetch: no items and zero totals.
    ASSERT_EQ(load({rootRecord(7), packRecord(1, 1)}, fxml({{1, 1}})), 1);
    EXPECT_EQ(outcome(), (std::pair(Keys{}, Keys{})));
    EXPECT_EQ(sub.blockSizeTotal(), 0u);
    // Totals past 4 GiB do not wrap to 0.
    ASSERT_EQ(load({}, fxml({{1, 1, 'A', 0x80000000u}, {2, 2, 'A', 0x80000000u}})), 1);
    EXPECT_EQ(sub.blockSizeTotal(), 0x100000000ull);
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
    EXPECT_EQ(outcome(), (std::pair(Keys{1}, Keys{})));
}

TEST_F(Compare, WithdrawnAndUnparsableLists) {
    const std::vector<PackRecord> pack = {rootRecord(9), packRecord(1, 1)};
    EXPECT_EQ(load(pack, fxml({{1, 2}, {5, 5}}, "4294967295")), SubFileListDownloader::kWithdrawn);
    EXPECT_EQ(outcome(), (std::pair(Keys{}, Keys{})));
    EXPECT_EQ(std::tuple(sub.dataCrc(), sub.packPath()), std::tuple(0xFFFFFFFFu, u"data\\a.pak"));
    // 4294967296 is out of range and reads 0: an ordinary list.
    EXPECT_EQ(load(pack, fxml({{1, 2}}, "4294967296")), 1);
    EXPECT_EQ(keysOf(sub.downloadItems()), (Keys{1}));

    for (const std::string& bad : {std::string(), fxml({{1, 2}}).substr(0, 60),
                                   std::string("<pak><subfile namekey=1/></pak>")}) {
        EXPECT_EQ(load(pack, bad), SubFileListDownloader::kFailed) << bad;
        EXPECT_TRUE(sub.entries().empty());
        EXPECT_EQ(outcome(), (std::pair(Keys{}, Keys{})));
    }
    EXPECT_EQ(sub.load(u"missing.fxml", u"data\\a.pak", false), SubFileListDownloader::kFailed);
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
        EXPECT_EQ(outcome(), (std::pair(Keys{1, 3}, Keys{}))) << i;
        EXPECT_EQ(sub.downloadItems()[0].parentIndex, 0);
    }
    // The undamaged pack for contrast, and a pack path that is a directory or missing.
    ASSERT_EQ(load(records, list), 1);
    EXPECT_EQ(outcome(), (std::pair(Keys{3}, Keys{2})));
    for (const char16_t* path : {u"data", u"data\\none.pak"}) {
        ASSERT_EQ(sub.load(u"a.fxml", path, false), 1);
        EXPECT_EQ(outcome(), (std::pair(Keys{1, 3}, Keys{})));
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
// passed, stop at the first record with the key, remove it; leftovers are removals. (Roots
// after the furthest record a scan reached, repeated keys in table order and versions are
// covered by the random tables below.)
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
            } else if (e.zipcrc == it->dataCrc ? it->zipSize != e.zipSize || it->size != e.size ||
                                                     it->flags != e.bzip || it->extra1 != e.crc
                                               : !checkVersion || it->extra2 < e.version) {
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
            // Mostly described as packRecord describes the key, sometimes not.
            e.size = e.nameKey & 0xFFFF;
            e.zipSize = e.nameKey & 0xFFF;
            e.crc = ~e.nameKey;
            e.bzip = rng() % 5 == 0 ? 2 : 3;
        }
        const bool checkVersion = round % 2 == 1;
        std::vector<PackPatchItem> wantItems, gotItems;
        std::vector<PackRecord> wantRemovals, gotRemovals;
        referenceCompare(entries, records, checkVersion, wantItems, wantRemovals);
        SubFileListDownloader::compareRecords(entries, records, checkVersion, gotItems,
                                              gotRemovals);
        ASSERT_EQ(keysOf(gotItems), keysOf(wantItems)) << round;
        ASSERT_TRUE(bytesOf(gotItems) == bytesOf(wantItems)) << round;
        ASSERT_EQ(keysOf(gotRemovals), keysOf(wantRemovals)) << round;
        ASSERT_TRUE(bytesOf(gotRemovals) == bytesOf(wantRemovals)) << round;
    }
}

}  // namespace
}  // namespace lume
