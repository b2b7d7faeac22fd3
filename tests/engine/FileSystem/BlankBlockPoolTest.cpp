#include "engine/FileSystem/BlankBlockPool.h"

#include <gtest/gtest.h>

#include "engine/FileSystem/MemoryStream.h"
#include "tests/engine/FileSystem/PackTestData.h"

namespace lume {
namespace {

BlankBlockPool poolOf(std::initializer_list<std::pair<uint32_t, uint32_t>> holes) {
    BlankBlockPool pool;
    for (const auto& [offset, size] : holes) {
        pool.add(offset, size, 0);
    }
    return pool;
}

TEST(BlankBlockPoolBestFit, TakesTheLeastSlackAndTheLaterOfEqualFits) {
    const BlankBlockPool pool = poolOf({{8388608, 5000}, {9000000, 4096}, {9500000, 4096}});
    FreeBlock found;
    ASSERT_TRUE(pool.findBestFit(4096, found));
    EXPECT_EQ(found.offset, 9500000u);
    EXPECT_EQ(found.size, 4096u);
    ASSERT_TRUE(pool.findBestFit(4500, found));
    EXPECT_EQ(found.offset, 8388608u);
    EXPECT_EQ(pool.count(), 3u);  // finding takes nothing out
}

TEST(BlankBlockPoolBestFit, NeverTakesAHoleMoreThan100MiBTooBig) {
    const BlankBlockPool pool = poolOf({{8388608, 4096}, {9000000, 200000000}});
    FreeBlock found;
    EXPECT_FALSE(pool.findBestFit(4097, found));
    // Exactly 100 MiB of slack is still acceptable.
    const BlankBlockPool edge = poolOf({{9000000, 0x6400000 + 10}});
    ASSERT_TRUE(edge.findBestFit(10, found));
    EXPECT_FALSE(edge.findBestFit(9, found));
}

TEST(BlankBlockPoolEdit, AddAtAListedOffsetResizesItInPlace) {
    BlankBlockPool pool;
    pool.add(8500000, 100, 0);
    pool.add(9000000, 4096, 77);
    EXPECT_EQ(pool.add(9000000, 7000, 0), 1u);
    ASSERT_EQ(pool.count(), 2u);
    EXPECT_EQ(pool.blocks()[1].size, 7000u);
    EXPECT_EQ(pool.blocks()[1].reserved, 77u);
    EXPECT_EQ(pool.add(9100000, 10, 0), 2u);
}

TEST(BlankBlockPoolEdit, RemoveErasesOnlyAListedOffset) {
    BlankBlockPool pool = poolOf({{8500000, 100}, {9000000, 200}});
    pool.remove(8600000);
    EXPECT_EQ(pool.count(), 2u);
    pool.remove(8500000);
    ASSERT_EQ(pool.count(), 1u);
    EXPECT_EQ(pool.blocks()[0].offset, 9000000u);
}

TEST(BlankBlockPoolTable, WritesAndLoadsTheTwelveByteRecords) {
    BlankBlockPool pool;
    pool.add(0x900000, 0x1234, 0);
    pool.add(0xA00000, 0x10, 5);
    MemoryStream table(64);
    ASSERT_TRUE(pool.write(table));
    EXPECT_EQ(pool.byteSize(), 24u);
    ASSERT_EQ(table.size(), 24u);
    const std::string bytes(reinterpret_cast<const char*>(table.data()), 24);
    EXPECT_EQ(test::get32(bytes, 0), 0x900000u);
    EXPECT_EQ(test::get32(bytes, 4), 0x1234u);
    EXPECT_EQ(test::get32(bytes, 20), 5u);

    BlankBlockPool loaded;
    loaded.add(1, 1, 1);
    table.seek(0);
    ASSERT_TRUE(loaded.load(table, 24));
    ASSERT_EQ(loaded.count(), 2u);
    EXPECT_EQ(loaded.blocks()[1].offset, 0xA00000u);
    EXPECT_EQ(loaded.blocks()[1].reserved, 5u);
}

TEST(BlankBlockPoolTable, AnEmptyPoolWritesNothingAndAShortTableFailsToLoad) {
    BlankBlockPool empty;
    MemoryStream out(16);
    EXPECT_TRUE(empty.write(out));
    EXPECT_EQ(out.size(), 0u);
    EXPECT_EQ(empty.byteSize(), 0u);

    MemoryStream shortTable(16);
    EXPECT_TRUE(shortTable.write("0123456789ab0123", 16));
    shortTable.seek(4);
    BlankBlockPool pool;
    EXPECT_FALSE(pool.load(shortTable, 24));
    EXPECT_EQ(pool.count(), 0u);
}

}  // namespace
}  // namespace lume
