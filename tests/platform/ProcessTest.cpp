// Command lines split by the Windows rules, and processes started in a working directory.
#include "platform/Process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/Error.h"
#include "platform/Text.h"
#include "tests/support/Sandbox.h"

namespace fs = std::filesystem;

namespace {

TEST(SplitCommandLine, FollowsTheWindowsRules) {
    const std::pair<std::u16string, std::vector<std::u16string>> cases[] = {
        {u"", {}},
        {u"   \t ", {}},
        {u"game.exe", {u"game.exe"}},
        {u"  game.exe  a\tb  ", {u"game.exe", u"a", u"b"}},
        // The program name: quotes only delimit, backslashes stay as they are.
        {u"\"C:\\Program Files\\Lume\\game.exe\" -x",
         {u"C:\\Program Files\\Lume\\game.exe", u"-x"}},
        {u"dir\\\"odd name -x", {u"dir\\\"odd", u"name", u"-x"}},
        {u"\"a b\"c d", {u"a b", u"c", u"d"}},
        // Quotes group, and may start or end inside an argument.
        {u"p \"x y\"z w", {u"p", u"x yz", u"w"}},
        {u"p a\"b c\"d", {u"p", u"ab cd"}},
        {u"p \"\" x", {u"p", u"", u"x"}},
        {u"p \"unterminated arg", {u"p", u"unterminated arg"}},
        // 2n backslashes + quote: n backslashes and a toggle; 2n+1: n and a literal quote.
        {u"p a\\\\\"b c\"", {u"p", u"a\\b c"}},
        {u"p a\\\\\\\"b", {u"p", u"a\\\"b"}},
        {u"p a\\\"b", {u"p", u"a\"b"}},
        {u"p \\\\server\\share\\ x", {u"p", u"\\\\server\\share\\", u"x"}},
        {u"p \"C:\\dir\\\\\" y", {u"p", u"C:\\dir\\", u"y"}},
        // "" inside quotes is a literal quote and the argument stays quoted.
        {u"p \"a\"\"b c\" d", {u"p", u"a\"b c", u"d"}},
        {u"p \"he said \"\"hi\"\"\"", {u"p", u"he said \"hi\""}},
        {u"p -server=127.0.0.1:8080 -user=\"张 三\"",
         {u"p", u"-server=127.0.0.1:8080", u"-user=张 三"}}};
    for (const auto& [line, args] : cases) {
        EXPECT_EQ(platform::splitCommandLine(line), args) << platform::wideToUtf8(line);
    }
}

// The text another process writes to a file, once it holds a whole line.
std::string waitForLine(const fs::path& path) {
    std::string text;
    lume::test::waitFor([&] {
        std::ifstream in(path);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return !text.empty() && text.back() == '\n';
    });
    return text;
}

TEST(StartProcess, WorkingDirectoryProgramSearchAndArguments) {
    lume::test::Sandbox box;
    const fs::path root = fs::canonical(box.path());
    box.writeFile("tools/show.sh", "#!/bin/sh\necho \"$1|$2\" > out.txt\n");
    fs::permissions(root / "tools/show.sh", fs::perms::owner_all);
    box.writeFile("localtool", "#!/bin/sh\necho local > local.txt\n");
    fs::permissions(root / "localtool", fs::perms::owner_all);
    // What an update installs has no execute bit; a script runs through its interpreter.
    box.writeFile("bin/client.dat", "#!/bin/sh\necho \"started $1\" > started.txt\n");
    box.writeFile("run here/.keep", "");
    const auto run = [&](std::u16string_view line, std::u16string_view dir, const char* out) {
        return platform::startProcess(line, dir) ? waitForLine(root / out) : "<not started>";
    };
    int pid = 0;
    ASSERT_TRUE(platform::startProcess(u"/bin/sh -c \"pwd -P > cwd.txt\"", u"run here", &pid));
    EXPECT_GT(pid, 0);
    EXPECT_EQ(waitForLine(root / "run here/cwd.txt"), (root / "run here").string() + "\n");
    // A relative program path starts from the caller's directory, not the working one.
    EXPECT_EQ(run(u"tools\\show.sh \"two words\" \\\"q\\\"", u"run here", "run here/out.txt"),
              "two words|\"q\"\n");
    // A bare name is looked for in the current directory first, then along PATH.
    EXPECT_EQ(run(u"localtool", u"", "local.txt"), "local\n");
    EXPECT_EQ(run(u"sh -c \"echo path > path.txt\"", u"", "path.txt"), "path\n");
    EXPECT_EQ(run(u"bin\\client.dat run", u"bin", "bin/started.txt"), "started run\n");
    // A native program installed by an update (the upgrade program) has no execute bit.
    std::ifstream shell("/bin/sh", std::ios::binary);
    box.writeFile("bin/upgrade.tmp", std::string(std::istreambuf_iterator<char>(shell), {}));
    EXPECT_EQ(run(u"bin\\upgrade.tmp -c \"echo up > up.txt\"", u"bin", "bin/up.txt"), "up\n");
    // As the kernel does, everything after the interpreter is one argument.
    box.writeFile("bin/args.dat", "#!/usr/bin/touch one two\n");
    ASSERT_TRUE(platform::startProcess(u"bin\\args.dat three", u"bin"));
    EXPECT_TRUE(lume::test::waitFor([&] { return fs::exists(root / "bin/three"); }));
    EXPECT_TRUE(fs::exists(root / "bin/one two"));
    EXPECT_FALSE(fs::exists(root / "bin/two"));
}

TEST(StartProcess, WhatCannotBeStartedAndItsError) {
    lume::test::Sandbox box;
    box.writeFile("plainfile", "x");
    box.writeFile("notexec.txt", "just text\n");
    box.writeFile("garbage.exe", std::string("MZ\x90\0\3\0\0\0", 8));
    fs::permissions(fs::path(box.path()) / "garbage.exe", fs::perms::owner_all);
    box.writeFile("adir/.keep", "");
    box.writeFile("blank.sh", "#! \n");
    box.writeFile("relative.sh", "#!sh -c true\n");  // an interpreter must be a full path
    const std::tuple<const char16_t*, const char16_t*, uint32_t> cases[] = {
        {u"/bin/sh -c true", u"no\\such\\dir", platform::kErrDirectory},
        {u"/bin/sh -c true", u"plainfile", platform::kErrDirectory},
        {u"lume-no-such-program-xyz --flag", u"", platform::kErrFileNotFound},
        {u"bin\\missing.exe", u"", platform::kErrFileNotFound},
        {u"", u"", platform::kErrFileNotFound},
        {u".\\notexec.txt", u"", platform::kErrAccessDenied},
        {u".\\garbage.exe", u"", platform::kErrBadExeFormat},
        {u".\\adir", u"", platform::kErrAccessDenied},
        {u".\\blank.sh", u"", platform::kErrAccessDenied},
        {u".\\relative.sh", u"", platform::kErrAccessDenied},
    };
    for (const auto& [line, dir, error] : cases) {
        EXPECT_FALSE(platform::startProcess(line, dir));
        EXPECT_EQ(platform::lastError(), error) << fs::path(line).string();
    }
}

}  // namespace
