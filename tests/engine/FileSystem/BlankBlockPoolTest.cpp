// The pack's free blocks: the table's twelve-byte records and edits by offset. (Where merged
// blocks land: PackOperationsTest.cpp.)
#include "engine/FileSystem/BlankBlockPool.h"

#include <gtest/gtest.h>

#include "engine/FileSystem/MemoryStream.h"

namespace lume {
namespace {

TEST(BlankBlockPool, TableRecords) {
    BlankBlockPool pool, loaded, empty;
    pool.add(0x900000, 0x1234, 0);
    pool.add(0xA00000, 0x10, 5);
    MemoryStream table(64);
    ASSERT_TRUE(pool.write(table));
    EXPECT_EQ(pool.byteSize(), 24u);
    const uint32_t records[] = {0x900000, 0x1234, 0, 0xA00000, 0x10, 5};  // little-endian
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(table.data()), table.size()),
              std::string(reinterpret_cast<const char*>(records), sizeof records));
    loaded.add(1, 1, 1);
    table.seek(0);
    ASSERT_TRUE(loaded.load(table, 24));  // replaces what was there
    ASSERT_EQ(loaded.count(), 2u);
    EXPECT_EQ(std::tuple(loaded.blocks()[1].offset, loaded.blocks()[1].reserved),
              std::tuple(0xA00000u, 5u));
    MemoryStream shortTable(16);
    EXPECT_FALSE(loaded.load(shortTable, 24));  // cut short
    EXPECT_EQ(loaded.count(), 0u);
    MemoryStream out(16);
    EXPECT_TRUE(empty.write(out));
    EXPECT_EQ(out.size() + empty.byteSize(), 0u);
}

}  // namespace
}  // namespace lume
