// The pack's free blocks: the table's twelve-byte records and edits by offset. (Where merged
// blocks land: PackOperationsTest.cpp.)
#include "engine/FileSystem/BlankBlockPool.h"

#include <gtest/gtest.h>

#include "engine/FileSystem/MemoryStream.h"
#include "tests/engine/FileSystem/PackTestData.h"

namespace lume {
namespace {

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
