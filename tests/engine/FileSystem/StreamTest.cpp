#include "engine/FileSystem/Stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/FileSystem/MemoryStream.h"
#include "engine/FileSystem/WinStream.h"
#include "tests/engine/FileSystem/TestData.h"
#include "tests/support/Sandbox.h"

namespace lume {
namespace {

// A source of known bytes that records every read it is asked for, and can be told to
// fail or to deliver less than asked on a given read.
class CountingSource : public Stream {
public:
    explicit CountingSource(std::string content) : content_(std::move(content)) {}

    bool read(void* buffer, uint32_t length, uint32_t* count) override {
        reads.push_back(length);
        if (reads.size() == failOnRead) {
            return false;
        }
        uint32_t n = std::min<uint32_t>(length, static_cast<uint32_t>(content_.size()) - pos_);
        if (reads.size() == shortOnRead && n > 0) {
            n -= 1;
        }
        std::memcpy(buffer, content_.data() + pos_, n);
        pos_ += n;
        if (count != nullptr) {
            *count = n;
        }
        return true;
    }
    bool write(const void*, uint32_t) override { return false; }
    bool seek(uint32_t position) override {
        pos_ = position;
        return true;
    }
    uint32_t tell() override { return pos_; }
    uint32_t size() override { return static_cast<uint32_t>(content_.size()); }

    std::vector<uint32_t> reads;
    size_t failOnRead = 0;
    size_t shortOnRead = 0;

private:
    std::string content_;
    uint32_t pos_ = 0;
};

// A sink that keeps what is written and records the chunk sizes.
class RecordingSink : public Stream {
public:
    bool read(void*, uint32_t, uint32_t*) override { return false; }
    bool write(const void* buffer, uint32_t length) override {
        writes.push_back(length);
        if (writes.size() == failOnWrite) {
            return false;
        }
        bytes.append(static_cast<const char*>(buffer), length);
        return true;
    }
    bool seek(uint32_t) override { return false; }
    uint32_t tell() override { return static_cast<uint32_t>(bytes.size()); }
    uint32_t size() override { return static_cast<uint32_t>(bytes.size()); }

    std::vector<uint32_t> writes;
    size_t failOnWrite = 0;
    std::string bytes;
};

class StreamCopy : public ::testing::Test {
protected:
    test::Sandbox sandbox_;
};

TEST_F(StreamCopy, MovesTenThousandBytesInFourKibChunksIntoARealFile) {
    const std::string content = test::patternBytes(10000);
    CountingSource source(content);
    WinStream out;
    ASSERT_TRUE(out.open(u"copy.bin", 1));

    ASSERT_TRUE(out.copyFrom(source, 10000));
    EXPECT_EQ(source.reads, (std::vector<uint32_t>{4096, 4096, 1808}));
    EXPECT_EQ(out.tell(), 10000u);
    out.close();
    EXPECT_EQ(sandbox_.readFile("copy.bin"), content);
}

TEST_F(StreamCopy, CopiesFromTheSourcePositionToTheDestinationPosition) {
    sandbox_.writeFile("src.bin", test::patternBytes(9000, 7));
    sandbox_.writeFile("dst.bin", std::string(100, 'x'));
    WinStream src;
    WinStream dst;
    ASSERT_TRUE(src.open(u"src.bin", 0));
    ASSERT_TRUE(dst.open(u"dst.bin", 2));
    ASSERT_TRUE(src.seek(1000));
    ASSERT_TRUE(dst.seek(50));

    ASSERT_TRUE(dst.copyFrom(src, 8000));
    dst.close();
    const std::string expected = std::string(50, 'x') + test::patternBytes(9000, 7).substr(1000);
    EXPECT_EQ(sandbox_.readFile("dst.bin"), expected);
}

TEST_F(StreamCopy, ZeroLengthSucceedsWithoutTouchingEitherStream) {
    CountingSource source("abc");
    RecordingSink sink;
    EXPECT_TRUE(sink.copyFrom(source, 0));
    EXPECT_TRUE(source.reads.empty());
    EXPECT_TRUE(sink.writes.empty());
}

TEST_F(StreamCopy, StopsAtTheFirstFailingRead) {
    CountingSource source(test::patternBytes(10000));
    source.failOnRead = 2;
    RecordingSink sink;
    EXPECT_FALSE(sink.copyFrom(source, 10000));
    EXPECT_EQ(sink.writes, (std::vector<uint32_t>{4096}));
    EXPECT_EQ(source.reads.size(), 2u);
}

TEST_F(StreamCopy, StopsAtTheFirstFailingWrite) {
    CountingSource source(test::patternBytes(10000));
    RecordingSink sink;
    sink.failOnWrite = 1;
    EXPECT_FALSE(sink.copyFrom(source, 10000));
    EXPECT_EQ(source.reads.size(), 1u);
}

TEST_F(StreamCopy, ASourceThatDeliversLessFailsAndNothingStaleIsWritten) {
    CountingSource source(test::patternBytes(10000));
    source.shortOnRead = 2;
    RecordingSink sink;
    EXPECT_FALSE(sink.copyFrom(source, 10000));
    EXPECT_EQ(sink.bytes, test::patternBytes(10000).substr(0, 4096));
}

TEST_F(StreamCopy, ASourceEndingEarlyFails) {
    sandbox_.writeFile("short.bin", test::patternBytes(5000));
    WinStream src;
    ASSERT_TRUE(src.open(u"short.bin", 0));
    RecordingSink sink;
    EXPECT_FALSE(sink.copyFrom(src, 6000));
    EXPECT_EQ(sink.bytes.size(), 4096u);
}

TEST(StreamZeros, WritesZerosInFourKibChunks) {
    RecordingSink sink;
    ASSERT_TRUE(sink.writeZeros(10000));
    EXPECT_EQ(sink.writes, (std::vector<uint32_t>{4096, 4096, 1808}));
    EXPECT_EQ(sink.bytes, std::string(10000, '\0'));
    EXPECT_TRUE(sink.writeZeros(0));
    EXPECT_EQ(sink.writes.size(), 3u);
}

TEST(StreamZeros, OverwritesAtThePositionOfARealFile) {
    test::Sandbox sandbox;
    sandbox.writeFile("f.bin", std::string(6000, 'q'));
    WinStream f;
    ASSERT_TRUE(f.open(u"f.bin", 2));
    ASSERT_TRUE(f.seek(1000));
    ASSERT_TRUE(f.writeZeros(4500));
    EXPECT_EQ(f.tell(), 5500u);
    f.close();
    EXPECT_EQ(sandbox.readFile("f.bin"),
              std::string(1000, 'q') + std::string(4500, '\0') + std::string(500, 'q'));
}

TEST(StreamZeros, FailsWhenAWriteFails) {
    RecordingSink sink;
    sink.failOnWrite = 2;
    EXPECT_FALSE(sink.writeZeros(10000));
    EXPECT_EQ(sink.writes.size(), 2u);

    MemoryStream small(5000);
    EXPECT_FALSE(small.writeZeros(6000));
}

TEST(StreamReadAll, ReadsTheWholeFileOrTheRestFromThePosition) {
    test::Sandbox sandbox;
    const std::string content = test::patternBytes(12345) + std::string(3, '\0') + "end";
    sandbox.writeFile("all.bin", content);
    WinStream f;
    ASSERT_TRUE(f.open(u"all.bin", 0));
    std::string out = "previous";
    ASSERT_TRUE(f.readAll(out));
    EXPECT_EQ(out, content);
    EXPECT_EQ(out.c_str()[out.size()], '\0');

    ASSERT_TRUE(f.seek(12000));
    ASSERT_TRUE(f.readAll(out));
    EXPECT_EQ(out, content.substr(12000));
}

TEST(StreamReadAll, ReadsTheUsedPartOfAMemoryStream) {
    MemoryStream m(64);
    ASSERT_TRUE(m.write("hello", 5));
    ASSERT_TRUE(m.seek(0));
    std::string out;
    ASSERT_TRUE(m.readAll(out));
    EXPECT_EQ(out, "hello");
}

}  // namespace
}  // namespace lume
