// The file API on real files: open modes and their errors, sharing between handles, the
// handle's reads and seeks, moves and deletes, folder creation and the directory walk.
#include "platform/Files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/Error.h"
#include "platform/FaultInjection.h"
#include "platform/Text.h"
#include "platform/Time.h"
#include "tests/support/Sandbox.h"

namespace fs = std::filesystem;

namespace {

using lume::test::Sandbox;
using platform::NativeFile;

// The error of a call that must fail (0xFFFFFFFF when it succeeded).
template <class Result>
uint32_t errorOf(const Result& result) {
    return static_cast<bool>(result) ? 0xFFFFFFFFu : platform::lastError();
}

bool writeText(NativeFile& file, const std::string& text) {
    uint32_t put = 0;
    return file.write(text.data(), static_cast<uint32_t>(text.size()), put) && put == text.size();
}

std::string readAll(NativeFile& file) {
    std::string out(4096, '\0');
    uint32_t got = 0;
    EXPECT_TRUE(file.seek(0));
    EXPECT_TRUE(file.read(out.data(), static_cast<uint32_t>(out.size()), got));
    out.resize(got);
    return out;
}

TEST(OpenModes, CreationTruncationAccessAndErrors) {
    // Each row opens "d\x.bin" (or the path given) and then tries a read and a write of "NEW"
    // at 0; `after` is the file afterwards (nullptr: it does not exist).
    struct Case {
        const char* existing;
        const char16_t* path;
        int mode;
        bool opens;
        uint32_t error;
        bool reads, writes;
        const char* after;
    } cases[] = {
        {"hello", u"d\\x.bin", 0, true, platform::kErrSuccess, true, false, "hello"},
        {nullptr, u"d\\x.bin", 0, false, platform::kErrFileNotFound, false, false, nullptr},
        {nullptr, u"no\\x.bin", 0, false, platform::kErrPathNotFound, false, false, nullptr},
        {nullptr, u"n\\e\\w.bin", 1, true, platform::kErrSuccess, false, true, "NEW"},
        {"old text", u"d\\x.bin", 1, true, platform::kErrAlreadyExists, false, true, "NEW"},
        {nullptr, u"n\\e\\w.bin", 2, true, platform::kErrSuccess, true, true, "NEW"},
        {"0123456789", u"d\\x.bin", 2, true, platform::kErrAlreadyExists, true, true, "NEW3456789"},
        {"old text", u"d\\x.bin", 3, true, platform::kErrAlreadyExists, false, true, "NEW text"},
        {nullptr, u"n\\e\\w.bin", 3, true, platform::kErrSuccess, false, true, "NEW"},
        {nullptr, u"d\\x.bin", 7, false, platform::kErrFileNotFound, false, false, nullptr},
        {"locked", u"d\\x.bin", 7, true, platform::kErrSuccess, true, false, "locked"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.mode) + " " + (c.existing ? c.existing : "absent"));
        Sandbox box;
        box.writeFile("d/.keep", "");
        if (c.existing != nullptr) {
            box.writeFile("d/x.bin", c.existing);
        }
        platform::setLastError(99);
        NativeFile file;
        ASSERT_EQ(static_cast<bool>(file.open(c.path, c.mode)), c.opens);
        EXPECT_EQ(platform::lastError(), c.error);
        if (c.opens) {
            EXPECT_EQ(file.tell(), 0u);
            char byte = 0;
            uint32_t n = 0;
            EXPECT_EQ(static_cast<bool>(file.read(&byte, 1, n)), c.reads);
            ASSERT_TRUE(file.seek(0));
            EXPECT_EQ(static_cast<bool>(file.write("NEW", 3, n)), c.writes);
            if (!c.writes) {
                EXPECT_EQ(platform::lastError(), platform::kErrAccessDenied);
            }
            EXPECT_TRUE(file.close());
        }
        const std::string native = platform::nativePath(c.path);
        EXPECT_EQ(box.exists(native) ? box.readFile(native) : "<absent>",
                  c.after != nullptr ? c.after : "<absent>");
        EXPECT_FALSE(box.exists("no"));  // reading never creates folders
    }
}

TEST(OpenModes, FoldersAndWidePaths) {
    Sandbox box;
    ASSERT_TRUE(platform::createDirectory(u"folder"));
    NativeFile file;
    EXPECT_EQ(errorOf(file.open(u"folder", 0)), platform::kErrAccessDenied);
    EXPECT_EQ(errorOf(file.open(u"folder", 2)), platform::kErrAccessDenied);
    ASSERT_TRUE(file.open(u"数据\\更新.txt", 1));
    EXPECT_TRUE(box.exists("\xE6\x95\xB0\xE6\x8D\xAE/\xE6\x9B\xB4\xE6\x96\xB0.txt"));
    EXPECT_EQ(errorOf(file.open(u"/lume-no-such-file", 0)), platform::kErrFileNotFound);
    // A private file: its bytes, for its owner alone, never over another.
    ASSERT_TRUE(platform::createPrivateFile(u"key", "secret"));
    EXPECT_EQ(box.readFile("key"), "secret");
    EXPECT_EQ(fs::status("key").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_FALSE(platform::createPrivateFile(u"key", "other"));
    EXPECT_EQ(box.readFile("key"), "secret");
    fs::create_directories(std::string(150, 'd') + "/" + std::string(150, 'e'));
    fs::current_path(std::string(150, 'd') + "/" + std::string(150, 'e'));  // longer than 256
    EXPECT_EQ(platform::wideToUtf8(platform::currentDirectory()), fs::current_path().string());
}

TEST(Sharing, WhoMayOpenAFileAnotherHandleHolds) {
    struct Case {
        int held;
        const char16_t* path;
        int mode;
        bool opens;
    } cases[] = {
        {2, u"pack.dat", 2, false},  {2, u"pack.dat", 1, false},
        {2, u"pack.dat", 0, true},   {0, u"pack.dat", 2, true},
        {0, u"pack.dat", 0, true},   {7, u"pack.dat", 0, false},
        {0, u"pack.dat", -1, false}, {2, u"sub\\..\\.\\pack.dat", 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.held) + " then " + std::to_string(c.mode));
        Sandbox box;
        box.writeFile("pack.dat", "original contents");
        box.writeFile("sub/.keep", "");
        NativeFile holder, other;
        ASSERT_TRUE(holder.open(u"pack.dat", c.held));
        EXPECT_EQ(static_cast<bool>(other.open(c.path, c.mode)), c.opens);
        if (!c.opens) {
            EXPECT_EQ(platform::lastError(), platform::kErrSharingViolation);
            EXPECT_FALSE(other.isOpen());
            EXPECT_EQ(box.readFile("pack.dat"), "original contents");  // nothing truncated
            EXPECT_TRUE(holder.close());
            EXPECT_TRUE(other.open(c.path, c.mode));
        }
    }
}

TEST(FileHandle, ReadsSeeksTruncationAndClosedHandles) {
    Sandbox box;
    const std::string big(300000, 'z');
    box.writeFile("big.bin", big + "tail");
    NativeFile file;
    ASSERT_TRUE(file.open(u"big.bin", 0));
    std::string buffer(big.size() + 100, '\0');
    uint32_t got = 0;
    ASSERT_TRUE(file.read(buffer.data(), static_cast<uint32_t>(buffer.size()), got));
    EXPECT_EQ(got, big.size() + 4);
    EXPECT_EQ(buffer.substr(big.size(), 4), "tail");

    ASSERT_TRUE(file.open(u"sparse.bin", 2));
    ASSERT_TRUE(file.seek(5000000000ULL));
    EXPECT_EQ(file.tell(), 5000000000ULL);
    uint32_t put = 0;
    EXPECT_TRUE(file.write("end", 3, put));
    uint64_t size = 0;
    EXPECT_TRUE(file.size(size));
    EXPECT_EQ(size, 5000000003ULL);
    EXPECT_TRUE(file.truncate(10));
    EXPECT_EQ(readAll(file), std::string(10, '\0'));

    NativeFile closed;
    char c = 0;
    EXPECT_FALSE(closed.read(&c, 1, got) || closed.write(&c, 1, got) || closed.seek(0));
    EXPECT_EQ(errorOf(closed.close()), platform::kErrInvalidHandle);
    platform::setLastError(0);
    EXPECT_EQ(closed.tell(), 0u);
    EXPECT_EQ(platform::lastError(), platform::kErrInvalidHandle);
}

TEST(FileOperations, AttributesMovesReplacesDeletesAndFolders) {
    using namespace platform;
    Sandbox box;
    const FileTime before = currentFileTime();
    box.writeFile("dir/file.txt", "12345");
    FileAttributes a;
    ASSERT_TRUE(getAttributes(u"dir\\file.txt", a));
    EXPECT_FALSE(a.directory || a.readOnly);
    EXPECT_EQ(a.size, 5u);
    // File systems stamp with a coarser clock: one tick of slack either way.
    EXPECT_TRUE(a.lastWrite + 100000 >= before && a.lastWrite <= currentFileTime() + 100000);
    ASSERT_TRUE(getAttributes(u"dir", a));
    EXPECT_TRUE(a.directory && isDirectory(u"dir") && !isFile(u"dir"));
    EXPECT_TRUE(isFile(u"dir\\file.txt") && !isDirectory(u"dir\\file.txt"));
    fs::permissions(fs::path(box.path()) / "dir/file.txt", fs::perms::owner_read);
    ASSERT_TRUE(getAttributes(u"dir\\file.txt", a));
    EXPECT_TRUE(a.readOnly);
    EXPECT_EQ(errorOf(getAttributes(u"dir\\none.txt", a)), kErrFileNotFound);
    EXPECT_EQ(errorOf(getAttributes(u"nodir\\none.txt", a)), kErrPathNotFound);

    // A move never replaces (folders move with their contents); a replace does.
    box.writeFile("a.txt", "A");
    box.writeFile("b.txt", "B");
    EXPECT_EQ(errorOf(moveFile(u"a.txt", u"b.txt")), kErrAlreadyExists);
    EXPECT_EQ(box.readFile("b.txt"), "B");
    ASSERT_TRUE(moveFile(u"a.txt", u"c.txt"));
    EXPECT_EQ(errorOf(moveFile(u"gone.txt", u"d.txt")), kErrFileNotFound);
    EXPECT_EQ(errorOf(moveFile(u"c.txt", u"nodir\\d.txt")), kErrPathNotFound);
    ASSERT_TRUE(moveFile(u"dir", u"new"));
    EXPECT_EQ(box.readFile("new/file.txt"), "12345");
    ASSERT_TRUE(replaceFile(u"c.txt", u"b.txt"));
    EXPECT_EQ(box.readFile("b.txt"), "A");
    EXPECT_FALSE(box.exists("c.txt") || box.exists("a.txt"));
    EXPECT_EQ(errorOf(replaceFile(u"c.txt", u"b.txt")), kErrFileNotFound);

    ASSERT_TRUE(createDirectory(u"d"));
    EXPECT_EQ(errorOf(createDirectory(u"d")), kErrAlreadyExists);
    EXPECT_EQ(errorOf(createDirectory(u"x\\y")), kErrPathNotFound);
    EXPECT_EQ(errorOf(deleteFile(u"d")), kErrAccessDenied);
    EXPECT_EQ(errorOf(deleteFile(u"d\\none")), kErrFileNotFound);
    box.writeFile("d/f.txt", "f");
    EXPECT_EQ(errorOf(removeDirectory(u"d")), kErrDirNotEmpty);
    EXPECT_EQ(errorOf(removeDirectory(u"d\\f.txt")), kErrDirectory);
    EXPECT_TRUE(deleteFile(u"d\\f.txt") && removeDirectory(u"d") && !box.exists("d"));
    // Folders up to the last part unless asked; an empty last part makes the whole path.
    ASSERT_TRUE(makeDirectories(u"a\\b\\c.txt", false));
    EXPECT_TRUE(isDirectory(u"a\\b") && !box.exists("a/b/c.txt"));
    ASSERT_TRUE(makeDirectories(u"a\\b\\c.txt", true) && isDirectory(u"a\\b\\c.txt"));
    ASSERT_TRUE(makeDirectories(u"x\\\\y/z\\", false) && isDirectory(u"x\\y\\z"));
    ASSERT_TRUE(makeDirectories(currentDirectory() + u"/abs\\deep", true));
    EXPECT_TRUE(box.exists("abs/deep"));
    EXPECT_FALSE(makeDirectories(u"b.txt\\sub\\f.txt", false));  // a file in the way
    // The temporary folder: TMPDIR when it names one, else /tmp; with the separator at its end.
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string saved = tmpdir != nullptr ? tmpdir : "";
    for (const auto& [value, want] : {std::pair{"/var/lume", u"/var/lume/"}, {"", u"/tmp/"}}) {
        setenv("TMPDIR", value, 1);
        EXPECT_EQ(tempDirectory(), want) << value;
    }
    tmpdir != nullptr ? setenv("TMPDIR", saved.c_str(), 1) : unsetenv("TMPDIR");
}

TEST(FileOperations, MovesAndReplacesAcrossFileSystemsCopy) {
    // /dev/shm is a tmpfs of its own; rename(2) cannot reach it from elsewhere.
    Sandbox box;
    struct stat shm {};
    struct stat here {};
    if (::stat("/dev/shm", &shm) != 0 || ::stat(".", &here) != 0 || shm.st_dev == here.st_dev ||
        ::access("/dev/shm", W_OK) != 0) {
        GTEST_SKIP() << "no writable /dev/shm on another file system";
    }
    const std::string target = "/dev/shm/" + fs::path(box.path()).filename().string() + "-moved";
    const std::u16string wide(target.begin(), target.end());
    box.writeFile("cross.bin", "across");
    ASSERT_TRUE(platform::setLastWriteTime(u"cross.bin", 132224256001234567ULL));
    ASSERT_TRUE(platform::moveFile(u"cross.bin", wide));
    platform::FileAttributes moved;  // the copy keeps the file's time
    EXPECT_TRUE(platform::getAttributes(wide, moved) && moved.lastWrite == 132224256001234567ULL);
    box.writeFile("cross.bin", "again");
    EXPECT_EQ(errorOf(platform::moveFile(u"cross.bin", wide)), platform::kErrAlreadyExists);
    EXPECT_TRUE(platform::replaceFile(u"cross.bin", wide));
    EXPECT_FALSE(box.exists("cross.bin"));
    NativeFile file;
    ASSERT_TRUE(file.open(wide, 0));
    EXPECT_EQ(readAll(file), "again");
    std::error_code ec;
    fs::remove(target, ec);
}

TEST(FindFiles, WildcardsKindsSizesAndTimes) {
    Sandbox box;
    for (const char* f : {"log/a.log", "log/B.LOG", "log/c.txt", "log/noext", "log/sub/d.log"}) {
        box.writeFile(f, std::string(f).substr(4));
    }
    const platform::FileTime stamp = 132224256001234567ULL;  // 2020-01-02, odd 100 ns
    ASSERT_TRUE(platform::setLastWriteTime(u"log\\B.LOG", stamp));
    const std::pair<const char16_t*, std::vector<std::u16string>> cases[] = {
        {u"log\\*.log", {u"B.LOG", u"a.log"}},
        {u"log/?.TXT", {u"c.txt"}},
        {u"log\\*.*", {u"B.LOG", u"a.log", u"c.txt", u"noext", u"sub"}},
        {u"log\\*", {u"B.LOG", u"a.log", u"c.txt", u"noext", u"sub"}},  // never . and ..
        {u"log\\a*g", {u"a.log"}},
        {u"log\\??", {}},
        {u"lo*", {u"log"}},
        {u"log\\*nxt", {}},  // a star's partial match that fails starts the pattern over
    };
    std::vector<platform::FindData> found;
    for (const auto& [pattern, names] : cases) {
        ASSERT_TRUE(platform::findFiles(pattern, found));
        std::vector<std::u16string> got;
        for (const auto& f : found) {
            got.push_back(f.name);
        }
        EXPECT_EQ(got, names) << fs::path(pattern).string();
    }
    ASSERT_TRUE(platform::findFiles(u"log\\*", found));
    EXPECT_EQ(std::tuple(found[0].directory, found[0].size, found[0].lastWrite, found[4].directory),
              std::tuple(false, 5u, stamp, true));
    fs::create_directory_symlink("sub", fs::path(box.path()) / "log/link");  // followed
    ASSERT_TRUE(platform::findFiles(u"log\\l*", found));
    EXPECT_TRUE(found.size() == 1 && found[0].directory);
    EXPECT_EQ(errorOf(platform::findFiles(u"missing\\*.*", found)), platform::kErrPathNotFound);
    EXPECT_TRUE(found.empty());
}

// The durability calls, and the faults a test can inject into every call that writes.
class Durability : public ::testing::Test {
protected:
    ~Durability() override { platform::faults::disarm(); }
    lume::test::Sandbox sandbox;
};

TEST_F(Durability, ReserveGrowsSyncsAndReplacesSurvive) {
    NativeFile file;
    ASSERT_TRUE(file.open(u"d\\pack.bin", 2));
    ASSERT_TRUE(writeText(file, "head"));
    ASSERT_TRUE(file.reserve(1 << 20));
    uint64_t size = 0;
    ASSERT_TRUE(file.size(size));
    EXPECT_EQ(size, 1u << 20);
    EXPECT_EQ(readAll(file).substr(0, 5), std::string("head\0", 5));
    ASSERT_TRUE(file.reserve(10));  // never shrinks
    ASSERT_TRUE(file.size(size));
    EXPECT_EQ(size, 1u << 20);
    EXPECT_TRUE(file.flush());
    EXPECT_TRUE(file.close());

    sandbox.writeFile("d/new.bin", "new");
    ASSERT_TRUE(platform::replaceFileDurably(u"d\\new.bin", u"d\\pack.bin"));
    EXPECT_EQ(sandbox.readFile("d/pack.bin"), "new");
    EXPECT_TRUE(platform::syncDirectory(u"d"));
    EXPECT_TRUE(platform::syncParentDirectory(u"bare-name"));
    EXPECT_FALSE(platform::syncDirectory(u"missing"));
    EXPECT_FALSE(platform::replaceFileDurably(u"d\\new.bin", u"d\\pack.bin"));
    EXPECT_EQ(sandbox.readFile("d/pack.bin"), "new");

    uint64_t free = 0;
    ASSERT_TRUE(platform::freeDiskSpace(u"d", free));
    EXPECT_GT(free, 0u);
    EXPECT_FALSE(platform::freeDiskSpace(u"missing\\x", free));
}

TEST_F(Durability, InjectedFaultsFailTheNthCallWithItsError) {
    // Each counted call of a whole-file write, in order: the write, the sync, the rename and
    // the folder's sync. Failing any one of them fails the write and leaves the old file.
    sandbox.writeFile("config.ini", "old");
    platform::faults::count();
    ASSERT_TRUE(platform::writeWholeFile(u"config.ini", "v1"));
    ASSERT_EQ(platform::faults::calls(), 4u);
    for (uint64_t n = 1; n <= 4; ++n) {
        for (const auto& [err, code] :
             {std::pair{EIO, platform::kErrGeneric}, std::pair{ENOSPC, platform::kErrDiskFull}}) {
            platform::faults::failAt(n, err);
            const platform::Status s = platform::writeWholeFile(u"config.ini", "v2");
            EXPECT_FALSE(s) << n;
            EXPECT_EQ(s.error(), code) << n;
            EXPECT_TRUE(platform::faults::injected());
            // Before the rename the old bytes stay; after it only the folder sync failed.
            EXPECT_EQ(sandbox.readFile("config.ini"), n <= 3 ? "v1" : "v2") << n;
            EXPECT_FALSE(sandbox.exists("config.ini.tmp")) << n;
            sandbox.writeFile("config.ini", "v1");
        }
    }
    platform::faults::failFrom(2, ENOSPC);
    NativeFile file;
    ASSERT_TRUE(file.open(u"grow.bin", 2));
    ASSERT_TRUE(writeText(file, "a"));
    EXPECT_FALSE(writeText(file, "b"));
    EXPECT_FALSE(file.reserve(4096));
    EXPECT_EQ(platform::lastError(), platform::kErrDiskFull);
    EXPECT_FALSE(file.truncate(0));
    platform::faults::disarm();
    EXPECT_TRUE(writeText(file, "c"));
    EXPECT_EQ(readAll(file), "ac");
}

}  // namespace
