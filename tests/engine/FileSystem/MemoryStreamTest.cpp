#include "engine/FileSystem/MemoryStream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace lume {
namespace {

TEST(MemoryStreamWrite, AWriteThatDoesNotFitWritesNothing) {
    MemoryStream m(16);
    ASSERT_TRUE(m.seek(10));
    const char ten[] = "0123456789";
    EXPECT_FALSE(m.write(ten, 10));
    EXPECT_EQ(m.tell(), 10u);
    EXPECT_EQ(m.size(), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(m.data()), 16), std::string(16, '\0'));

    // Exactly up to the capacity fits.
    EXPECT_TRUE(m.write(ten, 6));
    EXPECT_EQ(m.tell(), 16u);
    EXPECT_EQ(m.size(), 16u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(m.data()) + 10, 6), "012345");
    EXPECT_FALSE(m.write(ten, 1));
}

TEST(MemoryStreamWrite, SizeIsTheHighestPositionWritten) {
    MemoryStream m(32);
    ASSERT_TRUE(m.write("abcdefgh", 8));
    ASSERT_TRUE(m.seek(2));
    ASSERT_TRUE(m.write("XY", 2));
    EXPECT_EQ(m.size(), 8u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(m.data()), 8), "abXYefgh");
    // Seeking alone never grows the used size.
    ASSERT_TRUE(m.seek(30));
    EXPECT_EQ(m.size(), 8u);
}

TEST(MemoryStreamWrite, AHugeLengthDoesNotWrapAroundTheCapacityCheck) {
    MemoryStream m(16);
    ASSERT_TRUE(m.seek(8));
    char b[1] = {'x'};
    EXPECT_FALSE(m.write(b, 0xFFFFFFFFu));
    EXPECT_EQ(m.size(), 0u);
}

TEST(MemoryStreamRead, ReadsPastTheUsedSizeGiveZerosUpToTheCapacity) {
    MemoryStream m(16);
    ASSERT_TRUE(m.write("abcd", 4));
    ASSERT_TRUE(m.seek(0));
    char buffer[32];
    std::memset(buffer, '#', sizeof buffer);
    uint32_t count = 0;
    ASSERT_TRUE(m.read(buffer, 32, &count));
    EXPECT_EQ(count, 16u);
    EXPECT_EQ(std::string(buffer, 16), std::string("abcd") + std::string(12, '\0'));
    EXPECT_EQ(buffer[16], '#');
    EXPECT_EQ(m.tell(), 16u);

    // At the capacity nothing more comes.
    ASSERT_TRUE(m.read(buffer, 4, &count));
    EXPECT_EQ(count, 0u);
}

TEST(MemoryStreamRead, ReadsFromThePositionAndAdvance) {
    MemoryStream m(10);
    ASSERT_TRUE(m.write("0123456789", 10));
    ASSERT_TRUE(m.seek(3));
    char b[4];
    uint32_t count = 0;
    ASSERT_TRUE(m.read(b, 4, &count));
    EXPECT_EQ(std::string(b, count), "3456");
    ASSERT_TRUE(m.read(b, 4, &count));
    EXPECT_EQ(std::string(b, count), "789");
}

TEST(MemoryStreamSeek, StaysWithinTheCapacity) {
    MemoryStream m(16);
    EXPECT_TRUE(m.seek(16));
    EXPECT_FALSE(m.seek(17));
    EXPECT_EQ(m.tell(), 16u);
}

TEST(MemoryStreamSeek, AnEmptyStreamHoldsNothing) {
    MemoryStream m(0);
    EXPECT_EQ(m.capacity(), 0u);
    EXPECT_TRUE(m.seek(0));
    EXPECT_FALSE(m.seek(1));
    EXPECT_FALSE(m.write("a", 1));
    char b[1];
    uint32_t count = 7;
    EXPECT_TRUE(m.read(b, 1, &count));
    EXPECT_EQ(count, 0u);
}

}  // namespace
}  // namespace lume
