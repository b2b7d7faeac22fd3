#include "engine/FileSystem/WinStream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/Error.h"
#include "tests/engine/FileSystem/TestData.h"
#include "tests/support/Sandbox.h"

namespace lume {
namespace {

class WinStreamTest : public ::testing::Test {
protected:
    test::Sandbox sandbox_;
};

TEST_F(WinStreamTest, AFreshStreamIsClosedAndRefusesEverything) {
    WinStream s;
    char b[4] = {};
    EXPECT_EQ(s.state(), WinStream::kClosed);
    EXPECT_FALSE(s.read(b, 4));
    EXPECT_FALSE(s.write(b, 4));
    EXPECT_FALSE(s.seek(0));
    EXPECT_EQ(s.size(), 0u);
    EXPECT_EQ(s.tell(), 0u);
    EXPECT_EQ(s.handle(), -1);
}

TEST_F(WinStreamTest, OpeningAMissingFileForReadingIsAnAccessFailure) {
    WinStream s;
    EXPECT_FALSE(s.open(u"missing.bin", 0));
    EXPECT_EQ(s.state(), WinStream::kAccessFailed);
    EXPECT_EQ(s.size(), 0u);
    char b[4];
    EXPECT_FALSE(s.read(b, 4));
    EXPECT_FALSE(s.write(b, 4));
}

TEST_F(WinStreamTest, OpeningAgainstTheSharingOfAnOpenHandleIsAnAccessFailure) {
    sandbox_.writeFile("shared.bin", "data");
    WinStream reader;
    ASSERT_TRUE(reader.open(u"shared.bin", 0));
    WinStream exclusive;
    EXPECT_FALSE(exclusive.open(u"shared.bin", 9));  // other modes share nothing
    EXPECT_EQ(exclusive.state(), WinStream::kAccessFailed);
}

TEST_F(WinStreamTest, ShortReadMovesToEndOfFileUntilASeek) {
    const std::string content = test::patternBytes(60);
    sandbox_.writeFile("sixty.bin", content);
    WinStream s;
    ASSERT_TRUE(s.open(u"sixty.bin", 0));
    EXPECT_EQ(s.state(), WinStream::kGood);
    EXPECT_EQ(s.path(), u"sixty.bin");
    EXPECT_EQ(s.size(), 60u);
    EXPECT_GE(s.handle(), 0);

    char buffer[100];
    std::memset(buffer, '#', sizeof buffer);
    uint32_t count = 0;
    ASSERT_TRUE(s.read(buffer, 100, &count));
    EXPECT_EQ(count, 60u);
    EXPECT_EQ(s.state(), WinStream::kEndOfFile);
    EXPECT_EQ(std::string(buffer, 60), content);
    EXPECT_EQ(s.size(), 60u);  // still known at the end

    // Refused at the end, even from a position that has data, until a seek.
    EXPECT_FALSE(s.read(buffer, 1, &count));
    EXPECT_FALSE(s.read(buffer, 100, &count));
    ASSERT_TRUE(s.seek(10));
    EXPECT_EQ(s.state(), WinStream::kGood);
    ASSERT_TRUE(s.read(buffer, 5, &count));
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(std::string(buffer, 5), content.substr(10, 5));
    EXPECT_EQ(s.tell(), 15u);
}

TEST_F(WinStreamTest, ReadingExactlyToTheEndStaysGoodAndTheNextReadFindsTheEnd) {
    sandbox_.writeFile("ten.bin", "0123456789");
    WinStream s;
    ASSERT_TRUE(s.open(u"ten.bin", 0));
    char buffer[10];
    uint32_t count = 99;
    ASSERT_TRUE(s.read(buffer, 10, &count));
    EXPECT_EQ(count, 10u);
    EXPECT_EQ(s.state(), WinStream::kGood);
    ASSERT_TRUE(s.read(buffer, 10, &count));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(s.state(), WinStream::kEndOfFile);
}

TEST_F(WinStreamTest, ZeroLengthReadsAndWritesAreRefused) {
    sandbox_.writeFile("f.bin", "abc");
    WinStream s;
    ASSERT_TRUE(s.open(u"f.bin", 2));
    char b[1];
    EXPECT_FALSE(s.read(b, 0));
    EXPECT_FALSE(s.write(b, 0));
    EXPECT_EQ(s.state(), WinStream::kGood);
}

TEST_F(WinStreamTest, WritesAreAcceptedAtTheEndOfFile) {
    sandbox_.writeFile("grow.bin", "abc");
    WinStream s;
    ASSERT_TRUE(s.open(u"grow.bin", 2));
    char buffer[10];
    uint32_t count = 0;
    ASSERT_TRUE(s.read(buffer, 10, &count));
    ASSERT_EQ(s.state(), WinStream::kEndOfFile);

    EXPECT_TRUE(s.write("def", 3));
    EXPECT_EQ(s.state(), WinStream::kEndOfFile);
    EXPECT_EQ(s.size(), 6u);
    EXPECT_EQ(s.tell(), 6u);
    s.close();
    EXPECT_EQ(sandbox_.readFile("grow.bin"), "abcdef");
}

TEST_F(WinStreamTest, SeekDecidesBetweenGoodAndEndOfFile) {
    sandbox_.writeFile("f.bin", std::string(100, 'z'));
    WinStream s;
    ASSERT_TRUE(s.open(u"f.bin", 2));
    ASSERT_TRUE(s.seek(99));
    EXPECT_EQ(s.state(), WinStream::kGood);
    ASSERT_TRUE(s.seek(100));
    EXPECT_EQ(s.state(), WinStream::kEndOfFile);
    char b[1];
    EXPECT_FALSE(s.read(b, 1));
    ASSERT_TRUE(s.seek(250));
    EXPECT_EQ(s.state(), WinStream::kEndOfFile);
    EXPECT_EQ(s.tell(), 250u);
    // A write past the end extends the file with a zero gap.
    ASSERT_TRUE(s.write("!", 1));
    EXPECT_EQ(s.size(), 251u);
    ASSERT_TRUE(s.seek(0));
    EXPECT_EQ(s.state(), WinStream::kGood);
}

TEST_F(WinStreamTest, CloseMovesToClosedAndForgetsTheHandle) {
    sandbox_.writeFile("f.bin", "abc");
    WinStream s;
    ASSERT_TRUE(s.open(u"f.bin", 0));
    s.close();
    EXPECT_EQ(s.state(), WinStream::kClosed);
    EXPECT_EQ(s.handle(), -1);
    EXPECT_EQ(s.size(), 0u);
    char b[3];
    EXPECT_FALSE(s.read(b, 3));
    s.close();  // closing twice is harmless
    EXPECT_EQ(s.state(), WinStream::kClosed);
    // The stream can be opened again.
    ASSERT_TRUE(s.open(u"f.bin", 0));
    EXPECT_EQ(s.size(), 3u);
}

TEST_F(WinStreamTest, OpeningAnotherFileClosesTheFirst) {
    sandbox_.writeFile("one.bin", "1");
    sandbox_.writeFile("two.bin", "22");
    WinStream s;
    ASSERT_TRUE(s.open(u"one.bin", 0));
    ASSERT_TRUE(s.open(u"two.bin", 0));
    EXPECT_EQ(s.path(), u"two.bin");
    EXPECT_EQ(s.size(), 2u);
    // one.bin is no longer held: an exclusive open succeeds.
    WinStream exclusive;
    EXPECT_TRUE(exclusive.open(u"one.bin", 9));
}

TEST_F(WinStreamTest, AFailingReadIsReportedThroughTheState) {
    sandbox_.writeFile("w.bin", "abcdef");
    WinStream s;
    ASSERT_TRUE(s.open(u"w.bin", 1));  // write access only
    char b[4];
    EXPECT_FALSE(s.read(b, 4));
    EXPECT_NE(s.state(), WinStream::kGood);
    EXPECT_NE(s.state(), WinStream::kEndOfFile);
    // A seek brings a failed stream back.
    ASSERT_TRUE(s.seek(0));
    EXPECT_TRUE(s.write("xy", 2));
}

TEST_F(WinStreamTest, WriteModeCreatesTheMissingFoldersAndTruncates) {
    WinStream s;
    ASSERT_TRUE(s.open(u"a\\b\\c.txt", 1));
    ASSERT_TRUE(s.write("hello", 5));
    s.close();
    EXPECT_TRUE(std::filesystem::is_directory("a"));
    EXPECT_TRUE(std::filesystem::is_directory("a/b"));
    EXPECT_EQ(sandbox_.readFile("a/b/c.txt"), "hello");

    ASSERT_TRUE(s.open(u"a\\b\\c.txt", 1));
    EXPECT_EQ(s.size(), 0u);
    ASSERT_TRUE(s.write("hi", 2));
    s.close();
    EXPECT_EQ(sandbox_.readFile("a/b/c.txt"), "hi");
}

TEST_F(WinStreamTest, OpenAlwaysModesKeepContentAndCreateMissingFiles) {
    sandbox_.writeFile("keep.bin", "12345");
    WinStream rw;
    ASSERT_TRUE(rw.open(u"keep.bin", 2));
    EXPECT_EQ(rw.size(), 5u);
    char b[5];
    uint32_t count = 0;
    ASSERT_TRUE(rw.read(b, 5, &count));
    EXPECT_EQ(std::string(b, count), "12345");
    rw.close();

    WinStream w;
    ASSERT_TRUE(w.open(u"keep.bin", 3));
    EXPECT_EQ(w.size(), 5u);
    ASSERT_TRUE(w.write("X", 1));
    w.close();
    EXPECT_EQ(sandbox_.readFile("keep.bin"), "X2345");

    ASSERT_TRUE(w.open(u"new\\dir\\made.bin", 3));
    ASSERT_TRUE(rw.open(u"new\\other\\made.bin", 2));
    EXPECT_TRUE(sandbox_.exists("new/dir/made.bin"));
    EXPECT_TRUE(sandbox_.exists("new/other/made.bin"));
}

TEST_F(WinStreamTest, ReadModeNeverWrites) {
    sandbox_.writeFile("ro.bin", "abc");
    WinStream s;
    ASSERT_TRUE(s.open(u"ro.bin", 0));
    EXPECT_FALSE(s.write("zzz", 3));
    s.close();
    EXPECT_EQ(sandbox_.readFile("ro.bin"), "abc");
}

TEST(WinStreamErrors, OpenAndAccessErrorsGiveStateOneAndTheRestStateFive) {
    for (uint32_t code : {2u, 4u, 6u, 12u, 32u, 39u}) {
        EXPECT_EQ(WinStream::stateFromError(code), WinStream::kAccessFailed) << code;
    }
    for (uint32_t code : {0u, 1u, 3u, 5u, 8u, 31u, 80u, 112u, 183u}) {
        EXPECT_EQ(WinStream::stateFromError(code), WinStream::kFailed) << code;
    }
}

}  // namespace
}  // namespace lume
