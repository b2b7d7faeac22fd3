// The pack's free blocks: best fit with its slack limit, edits by offset, and the table's
// twelve-byte records.
#include "engine/FileSystem/BlankBlockPool.h"

#include <gtest/gtest.h>

#include "engine/FileSystem/MemoryStream.h"
#include "tests/engine/FileSystem/PackTestData.h"

namespace lume {
namespace {

TEST(BlankBlockPool, BestFitTakesTheLeastSlackAndTheLaterOfEqualFits) {
    BlankBlockPool pool;
    for (uint32_t offset : {8388608u, 9000000u, 9500000u}) {
        pool.add(offset, offset == 8388608u ? 5000 : 4096);
    }
    FreeBlock found;
    ASSERT_TRUE(pool.findBestFit(4096, found));
    EXPECT_EQ(found.offset, 9500000u);
    EXPECT_EQ(found.size, 4096u);
    ASSERT_TRUE(pool.findBestFit(4500, found));
    EXPECT_EQ(found.offset, 8388608u);
    EXPECT_FALSE(pool.findBestFit(5001, found));
    EXPECT_EQ(pool.count(), 3u);  // finding takes nothing out
    BlankBlockPool big;
    big.add(9000000, 10 + BlankBlockPool::kMaxSlack);
    EXPECT_TRUE(big.findBestFit(10, found));  // exactly 100 MiB of slack is still taken
    EXPECT_FALSE(big.findBestFit(9, found));

    // An add at a listed offset resizes it in place; a remove needs a listed offset.
    EXPECT_EQ(pool.add(9000000, 7000, 77), 1u);
    EXPECT_EQ(pool.blocks()[1].size, 7000u);
    EXPECT_EQ(pool.add(9100000, 10), 3u);
    pool.remove(8600000);
    EXPECT_EQ(pool.count(), 4u);
    pool.remove(8388608);
    ASSERT_EQ(pool.count(), 3u);
    EXPECT_EQ(pool.blocks()[0].offset, 9000000u);
}

TEST(BlankBlockPool, TableRecords) {
    BlankBlockPool pool, loaded, empty;
    pool.add(0x900000, 0x1234, 0);
    pool.add(0xA00000, 0x10, 5);
    MemoryStream table(64);
    ASSERT_TRUE(pool.write(table));
    EXPECT_EQ(pool.byteSize(), 24u);
    const std::string bytes(reinterpret_cast<const char*>(table.data()), table.size());
    ASSERT_EQ(bytes.size(), 24u);
    EXPECT_EQ(test::get(bytes, 0), 0x900000u);
    EXPECT_EQ(test::get(bytes, 4), 0x1234u);
    EXPECT_EQ(test::get(bytes, 20), 5u);
    loaded.add(1, 1, 1);
    table.seek(0);
    ASSERT_TRUE(loaded.load(table, 24));  // replaces what was there
    ASSERT_EQ(loaded.count(), 2u);
    EXPECT_EQ(loaded.blocks()[1].offset, 0xA00000u);
    EXPECT_EQ(loaded.blocks()[1].reserved, 5u);
    MemoryStream shortTable(16);
    EXPECT_FALSE(loaded.load(shortTable, 24));  // cut short
    EXPECT_EQ(loaded.count(), 0u);
    MemoryStream out(16);
    EXPECT_TRUE(empty.write(out));
    EXPECT_EQ(out.size() + empty.byteSize(), 0u);
}

}  // namespace
}  // namespace lume
