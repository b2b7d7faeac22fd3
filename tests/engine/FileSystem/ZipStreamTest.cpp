#include "engine/FileSystem/ZipStream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/FileSystem/WinStream.h"
#include "tests/engine/FileSystem/TestData.h"
#include "tests/support/Sandbox.h"

namespace lume {
namespace {

// A pack-like file on disk: some leading bytes, the entry's stored bytes, trailing bytes.
// The entry is read through a real file stream, as from a pack's read handle.
class ZipStreamTest : public ::testing::Test {
protected:
    static constexpr uint32_t kStart = 777;

    void makePack(const std::string& stored) {
        sandbox_.writeFile("test.pak", std::string(kStart, 'H') + stored + std::string(333, 'T'));
        ASSERT_TRUE(pack_.open(u"test.pak", 0));
    }
    // An entry stored as is.
    void openStored(const std::string& content) {
        makePack(content);
        const auto n = static_cast<uint32_t>(content.size());
        ASSERT_TRUE(zip_.open(&pack_, kStart, n, n));
    }
    // An entry whose stored bytes are given and which claims to inflate to length bytes.
    void openCompressed(const std::string& stored, uint32_t length) {
        makePack(stored);
        ASSERT_TRUE(zip_.open(&pack_, kStart, static_cast<uint32_t>(stored.size()), length));
    }

    std::string readSteps(uint32_t step) {
        std::string all;
        std::vector<char> buffer(step);
        uint32_t count = 0;
        while (zip_.read(buffer.data(), step, &count)) {
            all.append(buffer.data(), count);
        }
        return all;
    }

    test::Sandbox sandbox_;
    WinStream pack_;
    ZipStream zip_;
};

TEST_F(ZipStreamTest, AnUnopenedStreamReadsNothing) {
    char b[4];
    EXPECT_EQ(zip_.state(), ZipStream::kNotOpened);
    EXPECT_FALSE(zip_.read(b, 4));
    EXPECT_EQ(zip_.size(), 0u);
    EXPECT_FALSE(zip_.open(nullptr, 0, 1, 1));
}

TEST_F(ZipStreamTest, OpensOnceAndNeverWrites) {
    openStored("content");
    EXPECT_EQ(zip_.state(), ZipStream::kOpen);
    EXPECT_EQ(zip_.size(), 7u);
    EXPECT_FALSE(zip_.open(&pack_, 0, 1, 1));
    EXPECT_FALSE(zip_.write("x", 1));
}

TEST_F(ZipStreamTest, StoredEntryReadsInStepsAndLeavesTheSourceAtTheEntryStart) {
    const std::string content = test::patternBytes(10000);
    openStored(content);
    EXPECT_EQ(readSteps(3000), content);
    EXPECT_EQ(zip_.tell(), 10000u);
    EXPECT_EQ(pack_.tell(), kStart);
}

TEST_F(ZipStreamTest, StoredEntryReadsFromASeekPosition) {
    const std::string content = test::patternBytes(500);
    openStored(content);
    ASSERT_TRUE(zip_.seek(123));
    char b[50];
    uint32_t count = 0;
    ASSERT_TRUE(zip_.read(b, 50, &count));
    EXPECT_EQ(std::string(b, count), content.substr(123, 50));
    EXPECT_EQ(zip_.tell(), 173u);
}

TEST_F(ZipStreamTest, AShortStoredEntryFillsOnlyItsBytes) {
    const std::string content = test::patternBytes(30);
    openStored(content);
    char buffer[50];
    std::memset(buffer, '#', sizeof buffer);
    uint32_t count = 0;
    ASSERT_TRUE(zip_.read(buffer, 50, &count));
    EXPECT_EQ(count, 30u);
    EXPECT_EQ(std::string(buffer, 30), content);
    EXPECT_EQ(std::string(buffer + 30, 20), std::string(20, '#'));
    // Nothing of the trailing pack bytes leaks in, and the next read finds the end.
    EXPECT_FALSE(zip_.read(buffer, 50, &count));
}

TEST_F(ZipStreamTest, AStoredEntryCutOffByTheEndOfThePackFails) {
    sandbox_.writeFile("cut.pak", std::string(10, 'H') + "only-this");
    ASSERT_TRUE(pack_.open(u"cut.pak", 0));
    ASSERT_TRUE(zip_.open(&pack_, 10, 100, 100));
    char b[100];
    EXPECT_FALSE(zip_.read(b, 100));
}

TEST_F(ZipStreamTest, CompressedWholeReadInflatesIntoTheCallersBuffer) {
    const std::string content = test::patternBytes(60000);
    openCompressed(test::rawDeflate(content), 60000);
    std::vector<char> buffer(60000);
    uint32_t count = 0;
    ASSERT_TRUE(zip_.read(buffer.data(), 60000, &count));
    EXPECT_EQ(count, 60000u);
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), content);
    EXPECT_EQ(zip_.state(), ZipStream::kFullyRead);
    EXPECT_EQ(zip_.tell(), 60000u);
    EXPECT_FALSE(zip_.read(buffer.data(), 1, &count));

    // Read again from the start after a seek.
    ASSERT_TRUE(zip_.seek(0));
    EXPECT_EQ(readSteps(7000), content);
}

TEST_F(ZipStreamTest, CompressedPartialReadsInSeveralSteps) {
    const std::string content = test::patternBytes(20000);
    openCompressed(test::rawDeflate(content), 20000);
    EXPECT_EQ(readSteps(3333), content);
    EXPECT_EQ(zip_.state(), ZipStream::kOpen);
    EXPECT_EQ(zip_.tell(), 20000u);
}

TEST_F(ZipStreamTest, CompressedReadsStartAtTheSeekPosition) {
    const std::string content = test::patternBytes(20000);
    openCompressed(test::rawDeflate(content), 20000);
    // The first read comes after a seek: it must not start over at 0.
    ASSERT_TRUE(zip_.seek(1234));
    std::vector<char> buffer(20000, '#');
    uint32_t count = 0;
    ASSERT_TRUE(zip_.read(buffer.data(), 100, &count));
    EXPECT_EQ(std::string(buffer.data(), count), content.substr(1234, 100));

    // A read of the entry's full length from a later position gives what remains.
    ASSERT_TRUE(zip_.seek(10));
    std::fill(buffer.begin(), buffer.end(), '#');
    ASSERT_TRUE(zip_.read(buffer.data(), 20000, &count));
    EXPECT_EQ(count, 19990u);
    EXPECT_EQ(std::string(buffer.data(), count), content.substr(10));
    EXPECT_EQ(std::string(buffer.data() + count, 10), std::string(10, '#'));
}

TEST_F(ZipStreamTest, SeekPastTheEndLandsOnTheEnd) {
    const std::string content = test::patternBytes(4000);
    openCompressed(test::rawDeflate(content), 4000);
    EXPECT_TRUE(zip_.seek(999999));
    EXPECT_EQ(zip_.tell(), 4000u);
    char b[10];
    EXPECT_FALSE(zip_.read(b, 10));

    ZipStream stored;
    ASSERT_TRUE(stored.open(&pack_, kStart, 50, 50));
    EXPECT_TRUE(stored.seek(51));
    EXPECT_EQ(stored.tell(), 50u);
    EXPECT_FALSE(stored.read(b, 10));
}

TEST_F(ZipStreamTest, DamagedCompressedDataFailsBothKindsOfRead) {
    const std::string content = test::patternBytes(8000);
    openCompressed(test::damagedDeflate(content), 8000);
    std::vector<char> buffer(8000);
    EXPECT_FALSE(zip_.read(buffer.data(), 8000));
    EXPECT_FALSE(zip_.read(buffer.data(), 100));
    EXPECT_EQ(zip_.tell(), 0u);
}

TEST_F(ZipStreamTest, TruncatedCompressedDataFailsBothKindsOfRead) {
    const std::string content = test::patternBytes(8000);
    const std::string packed = test::rawDeflate(content);
    openCompressed(packed.substr(0, packed.size() / 2), 8000);
    std::vector<char> buffer(8000);
    EXPECT_FALSE(zip_.read(buffer.data(), 8000));
    EXPECT_FALSE(zip_.read(buffer.data(), 100));
}

TEST_F(ZipStreamTest, AnEntryInflatingToLessThanItsLengthFails) {
    const std::string content = test::patternBytes(3000);
    openCompressed(test::rawDeflate(content), 5000);
    std::vector<char> buffer(5000);
    EXPECT_FALSE(zip_.read(buffer.data(), 5000));
    EXPECT_FALSE(zip_.read(buffer.data(), 100));
}

TEST_F(ZipStreamTest, StoredBytesBeyondTheEndOfThePackFail) {
    const std::string packed = test::rawDeflate(test::patternBytes(3000));
    makePack(packed);
    ASSERT_TRUE(zip_.open(&pack_, kStart + 300, static_cast<uint32_t>(packed.size()) + 400, 3000));
    std::vector<char> buffer(3000);
    EXPECT_FALSE(zip_.read(buffer.data(), 3000));
}

}  // namespace
}  // namespace lume
