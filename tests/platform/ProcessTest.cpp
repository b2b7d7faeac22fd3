#include "platform/Process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/Error.h"
#include "platform/Files.h"
#include "platform/Thread.h"
#include "platform/Time.h"
#include "tests/support/Sandbox.h"

namespace fs = std::filesystem;

namespace {

using Args = std::vector<std::u16string>;

struct SplitCase {
    std::u16string line;
    Args args;
};

class SplitCommandLine : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLine, FollowsTheWindowsRules) {
    EXPECT_EQ(platform::splitCommandLine(GetParam().line), GetParam().args);
}

INSTANTIATE_TEST_SUITE_P(
    Process, SplitCommandLine,
    ::testing::Values(
        SplitCase{u"", {}}, SplitCase{u"   \t ", {}}, SplitCase{u"game.exe", {u"game.exe"}},
        SplitCase{u"  game.exe  a\tb  ", {u"game.exe", u"a", u"b"}},
        // The program name: quotes only delimit, backslashes stay as they are.
        SplitCase{u"\"C:\\Program Files\\Lume\\game.exe\" -x",
                  {u"C:\\Program Files\\Lume\\game.exe", u"-x"}},
        SplitCase{u"bin\\game.exe \"a b\"", {u"bin\\game.exe", u"a b"}},
        SplitCase{u"dir\\\"odd name -x", {u"dir\\\"odd", u"name", u"-x"}},
        SplitCase{u"\"a b\"c d", {u"a b", u"c", u"d"}},
        // Quotes group, and may start or end inside an argument.
        SplitCase{u"p \"x y\"z w", {u"p", u"x yz", u"w"}},
        SplitCase{u"p a\"b c\"d", {u"p", u"ab cd"}}, SplitCase{u"p \"\" x", {u"p", u"", u"x"}},
        SplitCase{u"p \"unterminated arg", {u"p", u"unterminated arg"}},
        // 2n backslashes + quote: n backslashes and a toggle; 2n+1: n and a literal quote.
        SplitCase{u"p a\\\\\"b c\"", {u"p", u"a\\b c"}},
        SplitCase{u"p a\\\\\\\"b", {u"p", u"a\\\"b"}}, SplitCase{u"p a\\\"b", {u"p", u"a\"b"}},
        SplitCase{u"p \\\\server\\share\\ x", {u"p", u"\\\\server\\share\\", u"x"}},
        SplitCase{u"p \"C:\\dir\\\\\" y", {u"p", u"C:\\dir\\", u"y"}},
        // "" inside quotes is a literal quote and the argument stays quoted.
        SplitCase{u"p \"a\"\"b c\" d", {u"p", u"a\"b c", u"d"}},
        SplitCase{u"p \"he said \"\"hi\"\"\"", {u"p", u"he said \"hi\""}},
        SplitCase{u"p -server=127.0.0.1:8080 -user=\"张 三\"",
                  {u"p", u"-server=127.0.0.1:8080", u"-user=张 三"}}));

// Waits (bounded) for a file another process writes, until it holds a whole line.
std::string waitForLine(const fs::path& path) {
    const uint64_t deadline = platform::monotonicMs() + 5000;
    while (platform::monotonicMs() < deadline) {
        std::ifstream in(path);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!text.empty() && text.back() == '\n') {
            return text;
        }
        platform::sleepMs(10);
    }
    return {};
}

class StartProcess : public ::testing::Test {
protected:
    void writeScript(const std::string& relative, const std::string& body) {
        sandbox.writeFile(relative, body);
        fs::permissions(fs::path(sandbox.path()) / relative,
                        fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    }
    lume::test::Sandbox sandbox;
};

TEST_F(StartProcess, RunsInTheGivenWorkingDirectory) {
    sandbox.writeFile("run here/.keep", "");
    int pid = 0;
    ASSERT_TRUE(platform::startProcess(u"/bin/sh -c \"pwd -P > cwd.txt\"", u"run here", &pid));
    EXPECT_GT(pid, 0);
    const fs::path expected = fs::canonical(fs::path(sandbox.path()) / "run here");
    EXPECT_EQ(waitForLine(expected / "cwd.txt"), expected.string() + "\n");
}

TEST_F(StartProcess, RelativeProgramPathsStartFromTheCallersDirectory) {
    writeScript("tools/show.sh", "#!/bin/sh\necho \"$1|$2\" > out.txt\n");
    sandbox.writeFile("work/.keep", "");
    ASSERT_TRUE(platform::startProcess(u"tools\\show.sh \"two words\" \\\"q\\\"", u"work"));
    EXPECT_EQ(waitForLine(fs::path(sandbox.path()) / "work/out.txt"), "two words|\"q\"\n");
}

TEST_F(StartProcess, BareNamesAreFoundInTheCurrentDirectoryFirst) {
    writeScript("localtool", "#!/bin/sh\necho local > local.txt\n");
    ASSERT_TRUE(platform::startProcess(u"localtool", u""));
    EXPECT_EQ(waitForLine(fs::path(sandbox.path()) / "local.txt"), "local\n");
    // And along PATH otherwise.
    ASSERT_TRUE(platform::startProcess(u"sh -c \"echo path > path.txt\"", u""));
    EXPECT_EQ(waitForLine(fs::path(sandbox.path()) / "path.txt"), "path\n");
}

TEST_F(StartProcess, MissingWorkingDirectory) {
    EXPECT_FALSE(platform::startProcess(u"/bin/sh -c true", u"no\\such\\dir"));
    EXPECT_EQ(platform::lastError(), platform::kErrDirectory);
    sandbox.writeFile("plainfile", "x");
    EXPECT_FALSE(platform::startProcess(u"/bin/sh -c true", u"plainfile"));
    EXPECT_EQ(platform::lastError(), platform::kErrDirectory);
}

TEST_F(StartProcess, MissingProgram) {
    EXPECT_FALSE(platform::startProcess(u"lume-no-such-program-xyz --flag", u""));
    EXPECT_EQ(platform::lastError(), platform::kErrFileNotFound);
    EXPECT_FALSE(platform::startProcess(u"bin\\missing.exe", u""));
    EXPECT_EQ(platform::lastError(), platform::kErrFileNotFound);
    EXPECT_FALSE(platform::startProcess(u"", u""));
    EXPECT_EQ(platform::lastError(), platform::kErrFileNotFound);
}

TEST_F(StartProcess, FilesThatCannotBeRun) {
    sandbox.writeFile("notexec.txt", "just text\n");
    EXPECT_FALSE(platform::startProcess(u".\\notexec.txt", u""));
    EXPECT_EQ(platform::lastError(), platform::kErrAccessDenied);
    writeScript("garbage.exe", std::string("MZ\x90\0\3\0\0\0", 8));
    EXPECT_FALSE(platform::startProcess(u".\\garbage.exe", u""));
    EXPECT_EQ(platform::lastError(), platform::kErrBadExeFormat);
    sandbox.writeFile("adir/.keep", "");
    EXPECT_FALSE(platform::startProcess(u".\\adir", u""));
    EXPECT_EQ(platform::lastError(), platform::kErrAccessDenied);
}

TEST_F(StartProcess, ScriptsWithoutExecuteBitRunThroughTheirInterpreter) {
    // What an update installs has no execute bit; the game client must start all the same.
    sandbox.writeFile("bin/client.dat", "#!/bin/sh\necho \"started $1\" > started.txt\n");
    ASSERT_TRUE(platform::startProcess(u"bin\\client.dat run", u"bin"));
    EXPECT_EQ(waitForLine(fs::path(sandbox.path()) / "bin" / "started.txt"), "started run\n");
}

TEST_F(StartProcess, ProgramsWithoutExecuteBitStartAsOnWindows) {
    // A native program installed by an update (the upgrade program) has no execute bit.
    std::ifstream shell("/bin/sh", std::ios::binary);
    sandbox.writeFile("bin/upgrade.tmp", std::string((std::istreambuf_iterator<char>(shell)),
                                                     std::istreambuf_iterator<char>()));
    ASSERT_TRUE(platform::startProcess(u"bin\\upgrade.tmp -c \"echo up > up.txt\"", u"bin"));
    EXPECT_EQ(waitForLine(fs::path(sandbox.path()) / "bin" / "up.txt"), "up\n");
}

TEST_F(StartProcess, ExitedChildrenAreReapedByLaterCalls) {
    int pid = 0;
    ASSERT_TRUE(platform::startProcess(u"/bin/true", u"", &pid));
    const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
    // Wait (bounded) until the child has exited and is a zombie.
    const uint64_t deadline = platform::monotonicMs() + 5000;
    bool zombie = false;
    while (!zombie && platform::monotonicMs() < deadline) {
        std::ifstream in(stat);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t paren = text.rfind(')');
        zombie = paren != std::string::npos && text.size() > paren + 2 && text[paren + 2] == 'Z';
        if (!zombie) {
            platform::sleepMs(5);
        }
    }
    ASSERT_TRUE(zombie);
    EXPECT_FALSE(platform::startProcess(u"lume-no-such-program-xyz", u""));
    EXPECT_FALSE(fs::exists(stat));
}

}  // namespace
