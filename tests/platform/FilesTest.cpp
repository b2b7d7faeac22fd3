#include "platform/Files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>

#include "platform/Error.h"
#include "platform/Time.h"
#include "tests/support/Sandbox.h"

namespace fs = std::filesystem;

namespace {

using platform::NativeFile;

std::string readAll(NativeFile& file) {
    std::string out(4096, '\0');
    uint32_t got = 0;
    EXPECT_TRUE(file.seek(0));
    EXPECT_TRUE(file.read(out.data(), static_cast<uint32_t>(out.size()), got));
    out.resize(got);
    return out;
}

bool writeText(NativeFile& file, const std::string& text) {
    uint32_t put = 0;
    return file.write(text.data(), static_cast<uint32_t>(text.size()), put) && put == text.size();
}

class OpenModes : public ::testing::Test {
protected:
    lume::test::Sandbox sandbox;
};

TEST_F(OpenModes, ModeZeroReadsExistingFilesOnly) {
    NativeFile file;
    EXPECT_FALSE(file.open(u"missing.bin", 0));
    EXPECT_EQ(platform::lastError(), platform::kErrFileNotFound);
    EXPECT_FALSE(file.open(u"nodir\\missing.bin", 0));
    EXPECT_EQ(platform::lastError(), platform::kErrPathNotFound);
    EXPECT_FALSE(sandbox.exists("nodir")) << "reading never creates folders";

    sandbox.writeFile("data/a.bin", "hello");
    ASSERT_TRUE(file.open(u"data\\a.bin", 0));
    EXPECT_EQ(readAll(file), "hello");
    uint32_t put = 0;
    EXPECT_FALSE(file.write("x", 1, put));
    EXPECT_EQ(platform::lastError(), platform::kErrAccessDenied);
    EXPECT_EQ(sandbox.readFile("data/a.bin"), "hello");
}

TEST_F(OpenModes, ModeOneCreatesParentsAndTruncates) {
    NativeFile file;
    ASSERT_TRUE(file.open(u"new\\deep\\out.bin", 1));
    EXPECT_EQ(platform::lastError(), platform::kErrSuccess);
    EXPECT_TRUE(writeText(file, "first version"));
    uint32_t got = 0;
    char c = 0;
    EXPECT_FALSE(file.read(&c, 1, got)) << "mode 1 is write-only";
    EXPECT_EQ(platform::lastError(), platform::kErrAccessDenied);
    ASSERT_TRUE(file.close());
    EXPECT_EQ(sandbox.readFile("new/deep/out.bin"), "first version");

    ASSERT_TRUE(file.open(u"new\\deep\\out.bin", 1));
    EXPECT_EQ(platform::lastError(), platform::kErrAlreadyExists);
    uint64_t size = 99;
    EXPECT_TRUE(file.size(size));
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(writeText(file, "v2"));
    EXPECT_TRUE(file.close());
    EXPECT_EQ(sandbox.readFile("new/deep/out.bin"), "v2");
}

TEST_F(OpenModes, ModeTwoOpensOrCreatesWithoutTruncating) {
    NativeFile file;
    ASSERT_TRUE(file.open(u"p\\q\\state.dat", 2));
    EXPECT_EQ(platform::lastError(), platform::kErrSuccess);
    EXPECT_TRUE(writeText(file, "0123456789"));
    EXPECT_TRUE(file.close());

    ASSERT_TRUE(file.open(u"p\\q\\state.dat", 2));
    EXPECT_EQ(platform::lastError(), platform::kErrAlreadyExists);
    EXPECT_EQ(file.tell(), 0u) << "an opened file starts at its beginning";
    EXPECT_TRUE(file.seek(4));
    EXPECT_TRUE(writeText(file, "ab"));
    EXPECT_EQ(readAll(file), "0123ab6789");
    EXPECT_TRUE(file.close());
}

TEST_F(OpenModes, ModeThreeOpensOrCreatesWriteOnly) {
    sandbox.writeFile("log.txt", "old text here");
    NativeFile file;
    ASSERT_TRUE(file.open(u"log.txt", 3));
    EXPECT_TRUE(writeText(file, "NEW"));
    uint32_t got = 0;
    char c = 0;
    EXPECT_FALSE(file.read(&c, 1, got));
    EXPECT_EQ(platform::lastError(), platform::kErrAccessDenied);
    EXPECT_TRUE(file.close());
    EXPECT_EQ(sandbox.readFile("log.txt"), "NEW text here");

    ASSERT_TRUE(file.open(u"made\\by\\three.txt", 3));
    EXPECT_TRUE(file.close());
    EXPECT_TRUE(sandbox.exists("made/by/three.txt"));
}

TEST_F(OpenModes, OtherModesReadExclusively) {
    NativeFile file;
    EXPECT_FALSE(file.open(u"absent.txt", 7));
    EXPECT_EQ(platform::lastError(), platform::kErrFileNotFound);
    EXPECT_FALSE(sandbox.exists("absent.txt"));

    sandbox.writeFile("lock.txt", "locked");
    ASSERT_TRUE(file.open(u"lock.txt", 7));
    EXPECT_EQ(readAll(file), "locked");
    NativeFile reader;
    EXPECT_FALSE(reader.open(u"lock.txt", 0));
    EXPECT_EQ(platform::lastError(), platform::kErrSharingViolation);
    EXPECT_TRUE(file.close());
    EXPECT_TRUE(reader.open(u"lock.txt", 0));
    // And the other way round: an exclusive open is refused while a reader holds the file.
    EXPECT_FALSE(file.open(u"lock.txt", -1));
    EXPECT_EQ(platform::lastError(), platform::kErrSharingViolation);
}

TEST_F(OpenModes, DirectoriesCannotBeOpenedAsFiles) {
    ASSERT_TRUE(platform::createDirectory(u"folder"));
    NativeFile file;
    EXPECT_FALSE(file.open(u"folder", 0));
    EXPECT_EQ(platform::lastError(), platform::kErrAccessDenied);
    EXPECT_FALSE(file.open(u"folder", 2));
    EXPECT_EQ(platform::lastError(), platform::kErrAccessDenied);
}

TEST_F(OpenModes, NonAsciiPathsBecomeUtf8) {
    NativeFile file;
    ASSERT_TRUE(file.open(u"数据\\更新.txt", 1));
    EXPECT_TRUE(writeText(file, "x"));
    EXPECT_TRUE(file.close());
    EXPECT_TRUE(sandbox.exists("\xE6\x95\xB0\xE6\x8D\xAE/\xE6\x9B\xB4\xE6\x96\xB0.txt"));
    EXPECT_EQ(platform::nativePath(u"a\\b/c\\数"), "a/b/c/\xE6\x95\xB0");
}

class Sharing : public ::testing::Test {
protected:
    void SetUp() override { sandbox.writeFile("pack.dat", "original contents"); }
    lume::test::Sandbox sandbox;
};

TEST_F(Sharing, TwoReadWriteHandlesConflict) {
    NativeFile first;
    NativeFile second;
    ASSERT_TRUE(first.open(u"pack.dat", 2));
    EXPECT_FALSE(second.open(u"pack.dat", 2));
    EXPECT_EQ(platform::lastError(), platform::kErrSharingViolation);
    EXPECT_FALSE(second.isOpen());
    EXPECT_FALSE(second.open(u"pack.dat", 3));
    EXPECT_EQ(platform::lastError(), platform::kErrSharingViolation);
    EXPECT_TRUE(first.close());
    EXPECT_TRUE(second.open(u"pack.dat", 2));
}

TEST_F(Sharing, ReadersAndOneWriterCoexistInEitherOrder) {
    NativeFile reader1;
    NativeFile reader2;
    NativeFile writer;
    ASSERT_TRUE(reader1.open(u"pack.dat", 0));
    ASSERT_TRUE(writer.open(u"pack.dat", 2));
    ASSERT_TRUE(reader2.open(u"pack.dat", 0));
    EXPECT_TRUE(writer.seek(0));
    EXPECT_TRUE(writeText(writer, "O"));
    EXPECT_EQ(readAll(reader2), "Original contents");
    EXPECT_TRUE(reader1.close());
    EXPECT_TRUE(reader2.close());
    EXPECT_TRUE(writer.close());

    ASSERT_TRUE(writer.open(u"pack.dat", 2));
    EXPECT_TRUE(reader1.open(u"pack.dat", 0));
}

TEST_F(Sharing, CreateAlwaysOnAHeldFileFailsWithoutTruncating) {
    NativeFile holder;
    ASSERT_TRUE(holder.open(u"pack.dat", 2));
    NativeFile creator;
    EXPECT_FALSE(creator.open(u"pack.dat", 1));
    EXPECT_EQ(platform::lastError(), platform::kErrSharingViolation);
    EXPECT_EQ(sandbox.readFile("pack.dat"), "original contents");
    uint64_t size = 0;
    EXPECT_TRUE(holder.size(size));
    EXPECT_EQ(size, 17u);
}

TEST_F(Sharing, AppliesToTheFileWhateverPathNamesIt) {
    ASSERT_TRUE(platform::createDirectory(u"sub"));
    NativeFile holder;
    ASSERT_TRUE(holder.open(u"pack.dat", 2));
    NativeFile other;
    EXPECT_FALSE(other.open(u"sub\\..\\.\\pack.dat", 2));
    EXPECT_EQ(platform::lastError(), platform::kErrSharingViolation);
    const std::u16string absolute = platform::currentDirectory() + u"/pack.dat";
    EXPECT_FALSE(other.open(absolute, 1));
}

TEST_F(Sharing, ADeletedFileNoLongerBlocksItsName) {
    NativeFile holder;
    ASSERT_TRUE(holder.open(u"pack.dat", 2));
    EXPECT_TRUE(platform::deleteFile(u"pack.dat"));
    NativeFile replacement;
    EXPECT_TRUE(replacement.open(u"pack.dat", 2));
    // The old handle still works on the unlinked file.
    EXPECT_EQ(readAll(holder), "original contents");
}

TEST_F(Sharing, HandlesOnOtherThreadsCount) {
    NativeFile holder;
    ASSERT_TRUE(holder.open(u"pack.dat", 2));
    bool opened = true;
    uint32_t error = 0;
    std::thread([&] {
        NativeFile other;
        opened = static_cast<bool>(other.open(u"pack.dat", 2));
        error = platform::lastError();
    }).join();
    EXPECT_FALSE(opened);
    EXPECT_EQ(error, platform::kErrSharingViolation);
}

class FileHandle : public ::testing::Test {
protected:
    lume::test::Sandbox sandbox;
};

TEST_F(FileHandle, ReadStopsOnlyAtTheEnd) {
    const std::string big(300000, 'z');
    sandbox.writeFile("big.bin", big + "tail");
    NativeFile file;
    ASSERT_TRUE(file.open(u"big.bin", 0));
    std::string buffer(big.size() + 100, '\0');
    uint32_t got = 0;
    ASSERT_TRUE(file.read(buffer.data(), static_cast<uint32_t>(buffer.size()), got));
    EXPECT_EQ(got, big.size() + 4);
    EXPECT_EQ(buffer.substr(big.size(), 4), "tail");
    EXPECT_TRUE(file.read(buffer.data(), 10, got));
    EXPECT_EQ(got, 0u) << "reading at the end succeeds with nothing";
    EXPECT_EQ(file.tell(), big.size() + 4);
}

TEST_F(FileHandle, SeekBeyondTheEndAndTruncate) {
    NativeFile file;
    ASSERT_TRUE(file.open(u"sparse.bin", 2));
    ASSERT_TRUE(file.seek(5000000000ULL));
    EXPECT_EQ(file.tell(), 5000000000ULL);
    EXPECT_TRUE(writeText(file, "end"));
    uint64_t size = 0;
    EXPECT_TRUE(file.size(size));
    EXPECT_EQ(size, 5000000003ULL);
    EXPECT_TRUE(file.truncate(10));
    EXPECT_TRUE(file.size(size));
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(readAll(file), std::string(10, '\0'));
    EXPECT_TRUE(file.flush());
}

TEST_F(FileHandle, ClosedHandlesReportAnInvalidHandle) {
    NativeFile file;
    uint32_t n = 0;
    char c = 0;
    EXPECT_FALSE(file.read(&c, 1, n));
    EXPECT_EQ(platform::lastError(), platform::kErrInvalidHandle);
    EXPECT_FALSE(file.write(&c, 1, n));
    EXPECT_FALSE(file.seek(0));
    EXPECT_FALSE(file.close());
    EXPECT_EQ(platform::lastError(), platform::kErrInvalidHandle);
}

TEST_F(FileHandle, DestructorReleasesTheSharingEntry) {
    {
        NativeFile file;
        ASSERT_TRUE(file.open(u"held.bin", 2));
    }
    NativeFile again;
    EXPECT_TRUE(again.open(u"held.bin", 2));
}

TEST_F(FileHandle, ReopeningAHandleClosesTheFirstFile) {
    NativeFile file;
    ASSERT_TRUE(file.open(u"one.bin", 2));
    ASSERT_TRUE(file.open(u"two.bin", 2));
    NativeFile other;
    EXPECT_TRUE(other.open(u"one.bin", 2));
    EXPECT_FALSE(other.open(u"two.bin", 2));
}

class FileOperations : public ::testing::Test {
protected:
    lume::test::Sandbox sandbox;
};

TEST_F(FileOperations, AttributesOfFilesAndFolders) {
    sandbox.writeFile("dir/file.txt", "12345");
    platform::FileAttributes attributes;
    ASSERT_TRUE(platform::getAttributes(u"dir\\file.txt", attributes));
    EXPECT_FALSE(attributes.directory);
    EXPECT_FALSE(attributes.readOnly);
    EXPECT_EQ(attributes.size, 5u);
    ASSERT_TRUE(platform::getAttributes(u"dir", attributes));
    EXPECT_TRUE(attributes.directory);
    EXPECT_TRUE(platform::isDirectory(u"dir"));
    EXPECT_FALSE(platform::isFile(u"dir"));
    EXPECT_TRUE(platform::isFile(u"dir\\file.txt"));
    EXPECT_FALSE(platform::isDirectory(u"dir\\file.txt"));

    fs::permissions(fs::path(sandbox.path()) / "dir/file.txt", fs::perms::owner_read);
    ASSERT_TRUE(platform::getAttributes(u"dir\\file.txt", attributes));
    EXPECT_TRUE(attributes.readOnly);

    EXPECT_FALSE(platform::getAttributes(u"dir\\none.txt", attributes));
    EXPECT_EQ(platform::lastError(), platform::kErrFileNotFound);
    EXPECT_FALSE(platform::getAttributes(u"nodir\\none.txt", attributes));
    EXPECT_EQ(platform::lastError(), platform::kErrPathNotFound);
    EXPECT_FALSE(platform::isFile(u"dir\\none.txt"));
}

TEST_F(FileOperations, MoveNeverReplaces) {
    sandbox.writeFile("a.txt", "A");
    sandbox.writeFile("b.txt", "B");
    EXPECT_FALSE(platform::moveFile(u"a.txt", u"b.txt"));
    EXPECT_EQ(platform::lastError(), platform::kErrAlreadyExists);
    EXPECT_EQ(sandbox.readFile("a.txt"), "A");
    EXPECT_EQ(sandbox.readFile("b.txt"), "B");

    ASSERT_TRUE(platform::moveFile(u"a.txt", u"c.txt"));
    EXPECT_FALSE(sandbox.exists("a.txt"));
    EXPECT_EQ(sandbox.readFile("c.txt"), "A");

    EXPECT_FALSE(platform::moveFile(u"gone.txt", u"d.txt"));
    EXPECT_EQ(platform::lastError(), platform::kErrFileNotFound);
    EXPECT_FALSE(platform::moveFile(u"c.txt", u"nodir\\d.txt"));
    EXPECT_EQ(platform::lastError(), platform::kErrPathNotFound);
}

TEST_F(FileOperations, MoveTakesFoldersWithTheirContents) {
    sandbox.writeFile("old/inner/x.txt", "x");
    ASSERT_TRUE(platform::createDirectory(u"taken"));
    EXPECT_FALSE(platform::moveFile(u"old", u"taken"));
    EXPECT_EQ(platform::lastError(), platform::kErrAlreadyExists);
    ASSERT_TRUE(platform::moveFile(u"old", u"new"));
    EXPECT_EQ(sandbox.readFile("new/inner/x.txt"), "x");
}

TEST_F(FileOperations, ReplaceOverwritesInOneStep) {
    sandbox.writeFile("config.ini.tmp", "fresh");
    sandbox.writeFile("config.ini", "stale");
    ASSERT_TRUE(platform::replaceFile(u"config.ini.tmp", u"config.ini"));
    EXPECT_EQ(sandbox.readFile("config.ini"), "fresh");
    EXPECT_FALSE(sandbox.exists("config.ini.tmp"));
    EXPECT_FALSE(platform::replaceFile(u"config.ini.tmp", u"config.ini"));
    EXPECT_EQ(platform::lastError(), platform::kErrFileNotFound);
    EXPECT_EQ(sandbox.readFile("config.ini"), "fresh");
}

TEST_F(FileOperations, MoveAcrossFileSystemsCopies) {
    // /dev/shm is a tmpfs of its own on Linux; rename(2) cannot reach it from elsewhere.
    struct stat shmStat {};
    struct stat hereStat {};
    if (::stat("/dev/shm", &shmStat) != 0 || ::stat(".", &hereStat) != 0 ||
        shmStat.st_dev == hereStat.st_dev || ::access("/dev/shm", W_OK) != 0) {
        GTEST_SKIP() << "no writable /dev/shm on another file system";
    }
    const std::string target =
        "/dev/shm/" + fs::path(sandbox.path()).filename().string() + "-moved";
    std::error_code ec;
    sandbox.writeFile("cross.bin", "across");
    const std::u16string wideTarget(target.begin(), target.end());
    ASSERT_TRUE(platform::moveFile(u"cross.bin", wideTarget));
    EXPECT_FALSE(sandbox.exists("cross.bin"));
    NativeFile file;
    ASSERT_TRUE(file.open(wideTarget, 0));
    EXPECT_EQ(readAll(file), "across");
    EXPECT_TRUE(file.close());
    sandbox.writeFile("cross.bin", "again");
    EXPECT_FALSE(platform::moveFile(u"cross.bin", wideTarget));
    EXPECT_EQ(platform::lastError(), platform::kErrAlreadyExists);
    EXPECT_TRUE(platform::replaceFile(u"cross.bin", wideTarget));
    ASSERT_TRUE(file.open(wideTarget, 0));
    EXPECT_EQ(readAll(file), "again");
    EXPECT_TRUE(file.close());
    fs::remove(target, ec);
}

TEST_F(FileOperations, DeleteAndDirectoryErrors) {
    ASSERT_TRUE(platform::createDirectory(u"d"));
    EXPECT_FALSE(platform::createDirectory(u"d"));
    EXPECT_EQ(platform::lastError(), platform::kErrAlreadyExists);
    EXPECT_FALSE(platform::createDirectory(u"x\\y"));
    EXPECT_EQ(platform::lastError(), platform::kErrPathNotFound);

    EXPECT_FALSE(platform::deleteFile(u"d"));
    EXPECT_EQ(platform::lastError(), platform::kErrAccessDenied);
    EXPECT_FALSE(platform::deleteFile(u"d\\none"));
    EXPECT_EQ(platform::lastError(), platform::kErrFileNotFound);

    sandbox.writeFile("d/f.txt", "f");
    EXPECT_FALSE(platform::removeDirectory(u"d"));
    EXPECT_EQ(platform::lastError(), platform::kErrDirNotEmpty);
    EXPECT_FALSE(platform::removeDirectory(u"d\\f.txt"));
    EXPECT_EQ(platform::lastError(), platform::kErrDirectory);
    EXPECT_TRUE(platform::deleteFile(u"d\\f.txt"));
    EXPECT_TRUE(platform::removeDirectory(u"d"));
    EXPECT_FALSE(sandbox.exists("d"));
}

TEST_F(FileOperations, MakeDirectoriesStopsBeforeTheFileNameUnlessAsked) {
    ASSERT_TRUE(platform::makeDirectories(u"a\\b\\c.txt", false));
    EXPECT_TRUE(platform::isDirectory(u"a\\b"));
    EXPECT_FALSE(sandbox.exists("a/b/c.txt"));

    ASSERT_TRUE(platform::makeDirectories(u"a\\b\\c.txt", true));
    EXPECT_TRUE(platform::isDirectory(u"a\\b\\c.txt"));

    // A trailing separator leaves an empty last component, so the whole path is made.
    ASSERT_TRUE(platform::makeDirectories(u"x\\\\y/z\\", false));
    EXPECT_TRUE(platform::isDirectory(u"x\\y\\z"));

    ASSERT_TRUE(platform::makeDirectories(u"plain.txt", false));
    EXPECT_FALSE(sandbox.exists("plain.txt"));
}

TEST_F(FileOperations, MakeDirectoriesWithAbsolutePathsAndObstacles) {
    const std::u16string base = platform::currentDirectory();
    ASSERT_TRUE(platform::makeDirectories(base + u"/abs\\deep\\er", true));
    EXPECT_TRUE(sandbox.exists("abs/deep/er"));

    sandbox.writeFile("blocker", "file in the way");
    EXPECT_FALSE(platform::makeDirectories(u"blocker\\sub\\f.txt", false));
    EXPECT_FALSE(sandbox.exists("blocker/sub"));
}

class FindFiles : public ::testing::Test {
protected:
    void SetUp() override {
        sandbox.writeFile("log/a.log", "aa");
        sandbox.writeFile("log/B.LOG", "bbbb");
        sandbox.writeFile("log/c.txt", "c");
        sandbox.writeFile("log/noext", "");
        sandbox.writeFile("log/sub/deeper.log", "d");
    }

    static std::vector<std::u16string> names(const std::vector<platform::FindData>& found) {
        std::vector<std::u16string> out;
        for (const platform::FindData& entry : found) {
            out.push_back(entry.name);
        }
        return out;
    }

    lume::test::Sandbox sandbox;
};

TEST_F(FindFiles, WildcardsMatchIgnoringAsciiCase) {
    using Names = std::vector<std::u16string>;
    std::vector<platform::FindData> found;
    ASSERT_TRUE(platform::findFiles(u"log\\*.log", found));
    EXPECT_EQ(names(found), (Names{u"B.LOG", u"a.log"}));
    ASSERT_TRUE(platform::findFiles(u"log/?.TXT", found));
    EXPECT_EQ(names(found), (Names{u"c.txt"}));
    ASSERT_TRUE(platform::findFiles(u"log\\*.*", found));
    EXPECT_EQ(names(found), (Names{u"B.LOG", u"a.log", u"c.txt", u"noext", u"sub"}));
    ASSERT_TRUE(platform::findFiles(u"log\\*", found));
    EXPECT_EQ(found.size(), 5u) << "'.' and '..' are never listed";
    ASSERT_TRUE(platform::findFiles(u"log\\a*g", found));
    EXPECT_EQ(names(found), (Names{u"a.log"}));
    ASSERT_TRUE(platform::findFiles(u"log\\??", found));
    EXPECT_TRUE(found.empty());
    ASSERT_TRUE(platform::findFiles(u"log\\*.zip", found));
    EXPECT_TRUE(found.empty());
}

TEST_F(FindFiles, ReportsKindSizeAndTimes) {
    const platform::FileTime stamp = 132224256001234567ULL;  // 2020-01-02, odd 100 ns
    ASSERT_TRUE(platform::setLastWriteTime(u"log\\B.LOG", stamp));
    ASSERT_TRUE(platform::setLastWriteTime(u"log\\sub", stamp + 10000000));

    std::vector<platform::FindData> found;
    ASSERT_TRUE(platform::findFiles(u"log\\*", found));
    ASSERT_EQ(found.size(), 5u);
    EXPECT_EQ(found[0].name, u"B.LOG");
    EXPECT_FALSE(found[0].directory);
    EXPECT_EQ(found[0].size, 4u);
    EXPECT_EQ(found[0].lastWrite, stamp);
    EXPECT_EQ(found[4].name, u"sub");
    EXPECT_TRUE(found[4].directory);
    EXPECT_EQ(found[4].lastWrite, stamp + 10000000);

    platform::FileAttributes attributes;
    ASSERT_TRUE(platform::getAttributes(u"log\\B.LOG", attributes));
    EXPECT_EQ(attributes.lastWrite, stamp);
}

TEST_F(FindFiles, FilesInTheCurrentDirectoryAndMissingFolders) {
    std::vector<platform::FindData> found;
    ASSERT_TRUE(platform::findFiles(u"lo*", found));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_TRUE(found[0].directory);
    EXPECT_FALSE(platform::findFiles(u"missing\\*.*", found));
    EXPECT_EQ(platform::lastError(), platform::kErrPathNotFound);
    EXPECT_TRUE(found.empty());
}

TEST(FileTimes, CurrentFileTimeCountsFrom1601) {
    // 11644473600 seconds separate 1601-01-01 from 1970-01-01.
    const int64_t seconds =
        static_cast<int64_t>(platform::currentFileTime() / 10000000ULL) - 11644473600LL;
    EXPECT_LE(std::llabs(seconds - platform::unixTime()), 2);
}

TEST(FileTimes, NewFilesCarryTheCurrentTime) {
    lume::test::Sandbox sandbox;
    const platform::FileTime before = platform::currentFileTime();
    sandbox.writeFile("now.txt", "n");
    platform::FileAttributes attributes;
    ASSERT_TRUE(platform::getAttributes(u"now.txt", attributes));
    // File systems stamp with a coarser clock, so allow one tick of slack either way.
    EXPECT_GE(attributes.lastWrite + 100000, before);
    EXPECT_LE(attributes.lastWrite, platform::currentFileTime() + 100000);
}

TEST(Directories, CurrentDirectoryFollowsChanges) {
    lume::test::Sandbox sandbox;
    sandbox.writeFile("inner/file.txt", "f");
    const std::u16string start = platform::currentDirectory();
    EXPECT_EQ(platform::nativePath(start), fs::current_path().string());
    ASSERT_TRUE(platform::setCurrentDirectory(u"inner"));
    EXPECT_EQ(platform::currentDirectory(), start + u"/inner");
    EXPECT_TRUE(platform::isFile(u"file.txt"));
    EXPECT_FALSE(platform::setCurrentDirectory(u"file.txt"));
    EXPECT_EQ(platform::lastError(), platform::kErrDirectory);
    EXPECT_FALSE(platform::setCurrentDirectory(u"nowhere"));
    EXPECT_EQ(platform::lastError(), platform::kErrFileNotFound);
    ASSERT_TRUE(platform::setCurrentDirectory(start));
}

TEST(Directories, ProgramAndTemporaryLocations) {
    const std::u16string path = platform::executablePath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), u'/');
    EXPECT_TRUE(platform::isFile(path));
    EXPECT_EQ(platform::executableStem(), u"test_platform");
    const std::u16string temp = platform::tempDirectory();
    ASSERT_FALSE(temp.empty());
    EXPECT_EQ(temp.back(), u'/');
    EXPECT_TRUE(platform::isDirectory(temp));
}

TEST(LastError, IsKeptPerThread) {
    platform::setLastError(platform::kErrDiskFull);
    uint32_t seen = 1234;
    std::thread([&seen] {
        seen = platform::lastError();
        platform::setLastError(platform::kErrAccessDenied);
    }).join();
    EXPECT_EQ(seen, platform::kErrSuccess);
    EXPECT_EQ(platform::lastError(), platform::kErrDiskFull);
}

}  // namespace
