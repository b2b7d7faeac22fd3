// flist.xml: the rules that turn `folder` and `file` elements into the regular and must
// lists (tests/data/flist/rules.xml), the log line per file, and the two passes of checks.
#include <gtest/gtest.h>

#include <set>

#include "tests/support/LogCapture.h"
#include "tests/update/UpdateTestData.h"
#include "update/FileListDownloader.h"

namespace lume {
namespace {

using test::utf8;

// One line per entry: folder|name|pack name|crc size zip zipcrc (hexadecimal).
std::string shown(const std::vector<FileListEntry>& list) {
    std::string out;
    char numbers[64];
    for (const FileListEntry& e : list) {
        std::snprintf(numbers, sizeof numbers, "%x %x %x %x", e.crc, e.size, e.zip, e.zipcrc);
        out += utf8(e.folder) + "|" + utf8(e.name) + "|" + utf8(e.pakName) + "|" + numbers + "\n";
        EXPECT_EQ(e.isPack(), !e.pakName.empty());
    }
    return out;
}

TEST(FileList, SampleListIsSortedIntoRegularAndMustEntriesAndLogged) {
    test::LogCapture log;
    FileListDownloader list;
    ASSERT_TRUE(list.parseBytes(test::sample("flist/rules.xml")));
    // Negative decimals keep their bits; beyond the signed range reads 0; digits stop at the
    // first other character; an element without a handler changes nothing, not even the
    // folder; only a lower-case ".pak" ending makes a pack; names are kept exactly as
    // published (the update run decides what to do with them).
    EXPECT_EQ(shown(list.regularList()),
              "|outside.dat||a 14 1e 28\n"
              "a\\b|x.dat||ffffffff 5 4 80000000\n"
              "a|y.dat||0 7 8 0\n"
              "a|z.dat||7fffffff 0 0 0\n"
              "data|data.pak|data.pak|deadbeef 895440 1 2\n"
              "data|data.PAK||0 0 0 0\ndata|x.pak.bak||0 0 0 0\ndata|pak||0 0 0 0\n"
              "data|.pak|.pak|0 0 0 0\n|lume.exe.old||0 0 0 0\n|b.dll||0 0 0 0\n|d.dll||0 0 0 0\n"
              "|nameless.dat||0 0 0 0\n|||0 0 0 0\n中文|文件.dat||1 0 0 0\n"
              "..\\..\\|C:\\evil.dll||0 0 0 0\n");
    EXPECT_EQ(shown(list.mustList()),
              "data|lume.pak|lume.pak|0 0 0 0\n|LUME.EXE||0 0 0 0\n|patch.dll||0 0 0 0\n"
              "|a.dll||0 0 0 0\n|c.dll||0 0 0 0\n");
    // One line per entry, not two: a list of millions of files must not double the log.
    EXPECT_EQ(log.count({"-1 parse '"}), 21u);
    EXPECT_EQ(log.count({"-1 parse '", "\n"}), 0u);
    for (const char* line : {"-1 parse 'x.dat' crc: 4294967295", "-1 parse '文件.dat' crc: 1"}) {
        EXPECT_TRUE(log.has(line)) << line;
    }
    // A longer list logs its first entries, then one line with its count.
    std::string longList = "<flist>";
    for (uint32_t i = 0; i < FileListDownloader::kLoggedEntries + 5; ++i) {
        longList += "<file name=\"f\"/>";
    }
    ASSERT_TRUE(FileListDownloader().parseBytes(longList + "</flist>"));
    EXPECT_EQ(log.count({"-1 parse '"}), 21u + FileListDownloader::kLoggedEntries);
    EXPECT_TRUE(log.has("-1 parse: 1005 entries, the first 1000 logged"));
    // Documents that do not parse leave both lists empty, also after entries were read.
    for (const std::string doc :
         {"", "<flist><file name=\"a.dat\"/>", "<flist><file name=\"a.dat\" crc=1/></flist>",
          "<flist><folder name=\"a\"><file name=\"a.dat\"/></flist></folder>",
          "\xFF\xFE<\0f\0/\0>\0"}) {
        FileListDownloader bad;
        EXPECT_FALSE(bad.parseBytes(doc)) << doc;
        EXPECT_TRUE(bad.regularList().empty() && bad.mustList().empty());
    }
}

// Records the order of the checks and answers true for the names it was given.
struct Recorder : FileListChecks {
    explicit Recorder(std::set<std::string> outdated) : outdated(std::move(outdated)) {}
    bool checkPack(const FileListEntry& e) override { return note("pack", e); }
    bool checkFile(const FileListEntry& e) override { return note("file", e); }
    bool checkMustFile(const FileListEntry& e) override { return note("must", e); }
    bool note(const char* kind, const FileListEntry& e) {
        calls += std::string(kind) + ":" + utf8(e.name) + " ";
        return outdated.count(utf8(e.name)) != 0;
    }
    std::set<std::string> outdated;
    std::string calls;
};

TEST(FileList, TheRegularPassRunsOnlyWhenNoMustEntryNeedsWork) {
    FileListDownloader list;
    ASSERT_TRUE(list.parseBytes(
        "<flist><folder name=\"data\"><file name=\"a.pak\"/><file name=\"lume.pak\" must=\"1\"/>"
        "</folder><file name=\"lume.exe\"/><file name=\"b.dll\"/><file name=\"up.dll\" "
        "must=\"true\"/></flist>"));
    const std::string must = "pack:lume.pak must:lume.exe must:up.dll ";
    const std::tuple<std::set<std::string>, uint32_t, std::string> cases[] = {
        {{"a.pak", "b.dll"}, 0, must + "pack:a.pak file:b.dll "},  // only regular work
        {{"lume.pak", "up.dll", "a.pak"}, 2, must},
        {{"lume.exe"}, 1, must}};
    for (const auto& [outdated, mustCount, calls] : cases) {
        Recorder checks(outdated);
        EXPECT_EQ(list.runChecks(checks), mustCount);
        EXPECT_EQ(list.mustCount(), mustCount);
        EXPECT_EQ(checks.calls, calls);
    }
    list.reset();
    Recorder empty({});
    EXPECT_EQ(list.runChecks(empty) + list.mustCount(), 0u);
    EXPECT_EQ(empty.calls, "");
}

}  // namespace
}  // namespace lume
