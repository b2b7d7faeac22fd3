#include "engine/FileSystem/File.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/FileSystem/MemoryStream.h"
#include "engine/FileSystem/WinStream.h"
#include "tests/engine/FileSystem/TestData.h"
#include "tests/support/Sandbox.h"

namespace fs = std::filesystem;

namespace lume {
namespace {

TEST(FileWithoutStream, EveryOperationFailsCleanly) {
    File f;
    char b[4] = {};
    std::string text = "x";
    MemoryStream source(4);
    EXPECT_FALSE(f.isOpen());
    EXPECT_FALSE(f.read(b, 4));
    EXPECT_FALSE(f.write(b, 4));
    EXPECT_FALSE(f.seek(0));
    EXPECT_EQ(f.tell(), 0u);
    EXPECT_EQ(f.size(), 0u);
    EXPECT_EQ(f.data(), nullptr);
    EXPECT_EQ(f.handle(), -1);
    EXPECT_FALSE(f.copyFrom(source, 4));
    EXPECT_FALSE(f.writeZeros(4));
    EXPECT_FALSE(f.readAll(text));
    EXPECT_TRUE(text.empty());
    f.close();
    EXPECT_FALSE(f.isOpen());
}

TEST(FileStreams, ReadRefusesANullBufferAndAZeroLength) {
    File f;
    ASSERT_TRUE(f.openMemory(8));
    char b[1];
    uint32_t count = 5;
    EXPECT_FALSE(f.read(nullptr, 1, &count));
    EXPECT_FALSE(f.read(b, 0, &count));
    EXPECT_EQ(count, 5u);
}

TEST(FileStreams, OpenForwardsToAFileStream) {
    test::Sandbox sandbox;
    sandbox.writeFile("in.txt", "file content");
    File f;
    ASSERT_TRUE(f.open(u"in.txt", 0));
    ASSERT_NE(dynamic_cast<WinStream*>(f.stream()), nullptr);
    EXPECT_EQ(f.size(), 12u);
    EXPECT_GE(f.handle(), 0);
    std::string text;
    ASSERT_TRUE(f.readAll(text));
    EXPECT_EQ(text, "file content");

    // A failed open leaves the file closed, even if it was open before.
    EXPECT_FALSE(f.open(u"nothing.txt", 0));
    EXPECT_FALSE(f.isOpen());
}

TEST(FileStreams, OpenMemoryGivesAZeroedBufferOfTheCapacity) {
    File f;
    ASSERT_TRUE(f.openMemory(32));
    ASSERT_NE(f.data(), nullptr);
    EXPECT_EQ(f.data()[31], 0);
    ASSERT_TRUE(f.write("abc", 3));
    EXPECT_EQ(f.size(), 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(f.data()), 3), "abc");
    EXPECT_EQ(f.handle(), -1);
}

TEST(FileStreams, AdoptTakesOverAStream) {
    auto memory = std::make_unique<MemoryStream>(4);
    memory->write("wxyz", 4);
    memory->seek(0);
    File f;
    f.adopt(std::move(memory));
    char b[4];
    ASSERT_TRUE(f.read(b, 4));
    EXPECT_EQ(std::string(b, 4), "wxyz");
}

TEST(FileStreams, CreateWritesZerosAndRewinds) {
    test::Sandbox sandbox;
    File f;
    ASSERT_TRUE(f.create(u"sub\\big.bin", 2, 10000));
    EXPECT_EQ(f.tell(), 0u);
    EXPECT_EQ(f.size(), 10000u);
    ASSERT_TRUE(f.write("head", 4));
    f.close();
    EXPECT_EQ(sandbox.readFile("sub/big.bin"), "head" + std::string(9996, '\0'));

    ASSERT_TRUE(f.create(u"empty.bin", 1, 0));
    EXPECT_EQ(f.size(), 0u);
}

TEST(FileStreams, CreateClosesAgainWhenTheZerosCannotBeWritten) {
    test::Sandbox sandbox;
    sandbox.writeFile("ro.bin", "abc");
    File f;
    EXPECT_FALSE(f.create(u"ro.bin", 0, 10));
    EXPECT_FALSE(f.isOpen());
    EXPECT_EQ(sandbox.readFile("ro.bin"), "abc");
}

TEST(FileStreams, CopyFromAnotherFile) {
    test::Sandbox sandbox;
    const std::string content = test::patternBytes(20000);
    sandbox.writeFile("a.bin", content);
    File in;
    File out;
    ASSERT_TRUE(in.open(u"a.bin", 0));
    ASSERT_TRUE(out.open(u"b.bin", 1));
    ASSERT_TRUE(out.copyFrom(in, 20000));
    out.close();
    EXPECT_EQ(sandbox.readFile("b.bin"), content);
}

// The pack fallback is a plain function pointer; its calls are recorded here.
struct FallbackCalls {
    static inline std::vector<std::u16string> paths;
    static inline std::vector<int> modes;
    static inline bool answer = true;

    static std::unique_ptr<Stream> open(std::u16string_view path, int mode) {
        paths.emplace_back(path);
        modes.push_back(mode);
        if (!answer) {
            return nullptr;
        }
        auto stream = std::make_unique<MemoryStream>(16);
        stream->write("from the pack", 13);
        stream->seek(0);
        return stream;
    }
};

// The launcher runs from the game's bin folder, with the loose data files in ..\data.
class FileOpenInData : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories("game/bin");
        fs::create_directories("game/data");
        fs::current_path("game/bin");
        FallbackCalls::paths.clear();
        FallbackCalls::modes.clear();
        FallbackCalls::answer = true;
        File::setPackFallback(&FallbackCalls::open);
    }
    void TearDown() override { File::setPackFallback(nullptr); }

    static std::string contentOf(File& f) {
        std::string text;
        f.readAll(text);
        return text;
    }

    test::Sandbox sandbox_;
};

TEST_F(FileOpenInData, ALooseFileInTheDataFolderComesFirst) {
    sandbox_.writeFile("game/data/x.xml", "loose");
    File f;
    ASSERT_TRUE(f.openInData(u"x.xml", 0));
    EXPECT_EQ(contentOf(f), "loose");
    EXPECT_TRUE(FallbackCalls::paths.empty());
}

TEST_F(FileOpenInData, AMissingFileIsAskedOfThePacksWithThePathAsGiven) {
    File f;
    ASSERT_TRUE(f.openInData(u"ui\\x.xml", 0));
    EXPECT_EQ(FallbackCalls::paths, std::vector<std::u16string>{u"ui\\x.xml"});
    EXPECT_EQ(FallbackCalls::modes, std::vector<int>{0});
    EXPECT_EQ(contentOf(f), "from the pack");
}

TEST_F(FileOpenInData, NothingInThePacksEitherFails) {
    FallbackCalls::answer = false;
    File f;
    EXPECT_FALSE(f.openInData(u"x.xml", 0));
    EXPECT_FALSE(f.isOpen());
    EXPECT_EQ(FallbackCalls::paths.size(), 1u);

    File::setPackFallback(nullptr);
    EXPECT_FALSE(f.openInData(u"x.xml", 0));
}

TEST_F(FileOpenInData, WritingNeverConsultsThePacks) {
    File f;
    ASSERT_TRUE(f.openInData(u"x.xml", 1));
    ASSERT_TRUE(f.write("new", 3));
    f.close();
    EXPECT_EQ(sandbox_.readFile("game/data/x.xml"), "new");

    // Even when the file cannot be opened for writing.
    fs::create_directories(fs::path(sandbox_.path()) / "game/data/dir.xml");
    EXPECT_FALSE(f.openInData(u"dir.xml", 1));
    EXPECT_FALSE(f.openInData(u"dir.xml", 3));
    EXPECT_TRUE(FallbackCalls::paths.empty());
}

TEST_F(FileOpenInData, WithoutTheFlagThePathIsRelativeToTheWorkingFolder) {
    sandbox_.writeFile("game/bin/x.xml", "beside");
    sandbox_.writeFile("game/data/x.xml", "loose");
    File f;
    ASSERT_TRUE(f.openInData(u"x.xml", 0, false));
    EXPECT_EQ(contentOf(f), "beside");
}

TEST_F(FileOpenInData, APathWithAColonIsOpenedUnchanged) {
    sandbox_.writeFile("game/bin/c:x.xml", "as given");
    sandbox_.writeFile("game/data/c:x.xml", "loose");
    File f;
    ASSERT_TRUE(f.openInData(u"c:x.xml", 0));
    EXPECT_EQ(contentOf(f), "as given");
}

class FileHelpers : public ::testing::Test {
protected:
    test::Sandbox sandbox_;
};

TEST_F(FileHelpers, TellFilesFromDirectories) {
    sandbox_.writeFile("d/f.txt", "x");
    EXPECT_TRUE(File::isFile(u"d\\f.txt"));
    EXPECT_FALSE(File::isFile(u"d"));
    EXPECT_FALSE(File::isFile(u"nothing"));
    EXPECT_TRUE(File::isDirectory(u"d"));
    EXPECT_FALSE(File::isDirectory(u"d\\f.txt"));
}

TEST_F(FileHelpers, TouchCreatesAnEmptyFileButKeepsAnExistingOne) {
    EXPECT_TRUE(File::touch(u"new\\t.txt"));
    EXPECT_TRUE(sandbox_.exists("new/t.txt"));
    EXPECT_EQ(sandbox_.readFile("new/t.txt"), "");
    sandbox_.writeFile("keep.txt", "content");
    EXPECT_TRUE(File::touch(u"keep.txt"));
    EXPECT_EQ(sandbox_.readFile("keep.txt"), "content");
}

TEST_F(FileHelpers, RenameRefusesAnExistingDestinationAndReplaceOverwritesIt) {
    sandbox_.writeFile("a.txt", "A");
    sandbox_.writeFile("b.txt", "B");
    EXPECT_FALSE(File::rename(u"a.txt", u"b.txt"));
    EXPECT_EQ(sandbox_.readFile("b.txt"), "B");
    EXPECT_TRUE(File::rename(u"a.txt", u"c.txt"));
    EXPECT_FALSE(sandbox_.exists("a.txt"));
    EXPECT_TRUE(File::replace(u"c.txt", u"b.txt"));
    EXPECT_EQ(sandbox_.readFile("b.txt"), "A");
    EXPECT_FALSE(sandbox_.exists("c.txt"));
    EXPECT_TRUE(File::deleteFile(u"b.txt"));
    EXPECT_FALSE(sandbox_.exists("b.txt"));
    EXPECT_FALSE(File::deleteFile(u"b.txt"));
}

TEST_F(FileHelpers, DeleteTreeEmptiesSubfoldersButKeepsThem) {
    sandbox_.writeFile("top/a.txt", "1");
    sandbox_.writeFile("top/noext", "2");
    sandbox_.writeFile("top/sub/b.dat", "3");
    sandbox_.writeFile("top/sub/deeper/c", "4");
    fs::create_directories("top/emptysub");

    EXPECT_FALSE(File::deleteTree(u"top"));  // the kept subfolders stop the last step

    EXPECT_FALSE(sandbox_.exists("top/a.txt"));
    EXPECT_FALSE(sandbox_.exists("top/noext"));
    EXPECT_FALSE(sandbox_.exists("top/sub/b.dat"));
    EXPECT_FALSE(sandbox_.exists("top/sub/deeper/c"));
    EXPECT_TRUE(fs::is_directory("top/sub/deeper"));
    EXPECT_TRUE(fs::is_directory("top/emptysub"));
}

TEST_F(FileHelpers, DeleteTreeRemovesAFolderOfFiles) {
    sandbox_.writeFile("flat/a.txt", "1");
    sandbox_.writeFile("flat/b.txt", "2");
    EXPECT_TRUE(File::deleteTree(u"flat\\"));
    EXPECT_FALSE(sandbox_.exists("flat"));
    EXPECT_FALSE(File::deleteTree(u"flat"));
}

TEST_F(FileHelpers, MakeDirectoriesStopsBeforeTheLastPartUnlessAsked) {
    EXPECT_TRUE(File::makeDirectories(u"m\\n\\file.txt"));
    EXPECT_TRUE(fs::is_directory("m/n"));
    EXPECT_FALSE(fs::exists("m/n/file.txt"));
    EXPECT_TRUE(File::makeDirectories(u"m\\n\\o", true));
    EXPECT_TRUE(fs::is_directory("m/n/o"));
}

}  // namespace
}  // namespace lume
