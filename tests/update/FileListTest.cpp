// flist.xml: the rules that turn `folder` and `file` elements into the regular and must
// lists (tests/data/flist/rules.xml), the log line per file, and the two passes of checks.
#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "engine/Kernel/Logger.h"
#include "platform/Text.h"
#include "tests/update/ListTestData.h"
#include "update/FileListDownloader.h"

namespace lume {
namespace {

using test::utf8;

std::string sample(const char* name) {
    return test::sampleBytes(test::dataPath("flist") / name);
}

class LineRecorder : public Logger::Writter {
public:
    void write(int level, std::u16string_view text) override {
        std::lock_guard lock(mutex);
        lines.push_back(std::to_string(level) + " " + utf8(text));
    }
    void write(int level, std::string_view text) override {
        std::lock_guard lock(mutex);
        lines.push_back(std::to_string(level) + " " + utf8(platform::narrowToWide(text)));
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

struct Expected {
    const char* folder;
    const char* name;
    bool pack;
    uint32_t crc, size, zip, zipcrc;
};

void expectList(const std::vector<FileListEntry>& got, const std::vector<Expected>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(want[i].name);
        EXPECT_EQ(utf8(got[i].folder), want[i].folder);
        EXPECT_EQ(utf8(got[i].name), want[i].name);
        EXPECT_EQ(got[i].isPack(), want[i].pack);
        EXPECT_EQ(got[i].pakName, want[i].pack ? got[i].name : u"");
        EXPECT_EQ(got[i].crc, want[i].crc);
        EXPECT_EQ(got[i].size, want[i].size);
        EXPECT_EQ(got[i].zip, want[i].zip);
        EXPECT_EQ(got[i].zipcrc, want[i].zipcrc);
    }
}

TEST(FileList, SampleListIsSortedIntoRegularAndMustEntries) {
    FileListDownloader list;
    ASSERT_TRUE(list.parseBytes(sample("rules.xml")));
    expectList(list.regularList(),
               {
                   {"", "outside.dat", false, 10, 20, 30, 40},
                   // Negative decimals keep their bits.
                   {"a\\b", "x.dat", false, 0xFFFFFFFFu, 5, 4, 0x80000000u},
                   // Beyond the signed range reads 0; digits stop at the first other character.
                   {"a", "y.dat", false, 0, 7, 8, 0},
                   // An element without a handler changes nothing, not even the folder.
                   {"a", "z.dat", false, 0x7FFFFFFFu, 0, 0, 0},
                   {"data", "data.pak", true, 0xDEADBEEFu, 9000000, 1, 2},
                   {"data", "data.PAK", false, 0, 0, 0, 0},
                   {"data", "x.pak.bak", false, 0, 0, 0, 0},
                   {"data", "pak", false, 0, 0, 0, 0},
                   {"data", ".pak", true, 0, 0, 0, 0},
                   {"", "lume.exe.old", false, 0, 0, 0, 0},
                   {"", "b.dll", false, 0, 0, 0, 0},
                   {"", "d.dll", false, 0, 0, 0, 0},
                   {"", "nameless.dat", false, 0, 0, 0, 0},
                   {"", "", false, 0, 0, 0, 0},
                   {"中文", "文件.dat", false, 1, 0, 0, 0},
                   // Kept exactly as published; the update run decides what to do with it.
                   {"..\\..\\", "C:\\evil.dll", false, 0, 0, 0, 0},
               });
    expectList(list.mustList(), {
                                    {"data", "lume.pak", true, 0, 0, 0, 0},
                                    {"", "LUME.EXE", false, 0, 0, 0, 0},
                                    {"", "patch.dll", false, 0, 0, 0, 0},
                                    {"", "a.dll", false, 0, 0, 0, 0},
                                    {"", "c.dll", false, 0, 0, 0, 0},
                                });
}

TEST(FileList, EveryFileIsLoggedWithItsUnsignedCrc) {
    LineRecorder recorder;
    {
        Logger logger(&recorder);
        FileListDownloader list;
        ASSERT_TRUE(list.parseBytes(sample("rules.xml")));
    }
    const std::vector<std::string>& lines = recorder.lines;
    ASSERT_EQ(lines.size(), 21u);
    EXPECT_EQ(lines[0], "-1 parse 'outside.dat' crc: 10\n");
    EXPECT_EQ(lines[1], "-1 parse 'x.dat' crc: 4294967295\n");
    EXPECT_EQ(lines[4], "-1 parse 'data.pak' crc: 3735928559\n");
    EXPECT_EQ(lines[19], "-1 parse '文件.dat' crc: 1\n");
}

TEST(FileList, DocumentsThatDoNotParseLeaveBothListsEmpty) {
    for (const std::string doc :
         {"", "<flist><file name=\"a.dat\"/>", "<flist><file name=\"a.dat\" crc=1/></flist>",
          "<flist><folder name=\"a\"><file name=\"a.dat\"/></flist></folder>",
          "\xFF\xFE<\0f\0/\0>\0"}) {
        FileListDownloader list;
        EXPECT_FALSE(list.parseBytes(doc)) << doc;
        EXPECT_TRUE(list.regularList().empty());
        EXPECT_TRUE(list.mustList().empty());
    }
}

// Records the order of the checks and answers true for the names it was given.
class CheckRecorder : public FileListChecks {
public:
    explicit CheckRecorder(std::set<std::string> outdated) : outdated_(std::move(outdated)) {}
    bool checkPack(const FileListEntry& e) override { return note("pack", e); }
    bool checkFile(const FileListEntry& e) override { return note("file", e); }
    bool checkMustFile(const FileListEntry& e) override { return note("must", e); }

    std::string calls;

private:
    bool note(const char* kind, const FileListEntry& e) {
        calls += std::string(kind) + ":" + utf8(e.name) + " ";
        return outdated_.count(utf8(e.name)) != 0;
    }
    std::set<std::string> outdated_;
};

TEST(FileList, RegularPassRunsOnlyWhenNoMustEntryNeedsWork) {
    FileListDownloader list;
    ASSERT_TRUE(list.parseBytes(
        "<flist><folder name=\"data\"><file name=\"a.pak\"/><file name=\"lume.pak\" must=\"1\"/>"
        "</folder><file name=\"lume.exe\"/><file name=\"b.dll\"/><file name=\"up.dll\" "
        "must=\"true\"/></flist>"));

    CheckRecorder current({"a.pak", "b.dll"});  // only regular entries are out of date
    EXPECT_EQ(list.runChecks(current), 0u);
    EXPECT_EQ(current.calls, "pack:lume.pak must:lume.exe must:up.dll pack:a.pak file:b.dll ");
    EXPECT_EQ(list.mustCount(), 0u);

    CheckRecorder mustWork({"lume.pak", "up.dll", "a.pak"});
    EXPECT_EQ(list.runChecks(mustWork), 2u);
    EXPECT_EQ(mustWork.calls, "pack:lume.pak must:lume.exe must:up.dll ");
    EXPECT_EQ(list.mustCount(), 2u);

    CheckRecorder oneMust({"lume.exe"});
    EXPECT_EQ(list.runChecks(oneMust), 1u);
    EXPECT_EQ(oneMust.calls, "pack:lume.pak must:lume.exe must:up.dll ");

    list.reset();
    EXPECT_EQ(list.mustCount(), 0u);
    CheckRecorder empty({});
    EXPECT_EQ(list.runChecks(empty), 0u);
    EXPECT_EQ(empty.calls, "");
}

}  // namespace
}  // namespace lume
