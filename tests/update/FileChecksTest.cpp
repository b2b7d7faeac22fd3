// The per-file decisions on real files: block plans and their index files, what makes a
// loose file out of date, resume from temporary files, names that would leave the game
// directory, the completion that installs a file, and the pack checks and header tasks (sub
// file lists over HTTP on loopback).
#include <gtest/gtest.h>

#include <memory>

#include "engine/FileSystem/File.h"
#include "engine/FileSystem/MakeFileWritter.h"
#include "engine/FileSystem/PackPatchList.h"
#include "engine/Kernel/NameKey.h"
#include "engine/Kernel/Reporter.h"
#include "platform/Files.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TestHttpServer.h"
#include "tests/transfer/TransferTestSupport.h"
#include "tests/update/UpdateTestSupport.h"
#include "transfer/BlockIndexFile.h"
#include "update/FileChecks.h"

namespace lume {
namespace {

using test::checksumOf;

FileListEntry looseEntry(std::u16string folder, std::u16string name, const std::string& content,
                         const std::string& data) {
    FileListEntry e;
    e.folder = std::move(folder);
    e.name = std::move(name);
    e.crc = checksumOf(content);
    e.size = static_cast<uint32_t>(content.size());
    e.zip = static_cast<uint32_t>(data.size());
    e.zipcrc = checksumOf(data);
    return e;
}

FileListEntry packEntry(std::u16string folder, std::u16string name, uint32_t crc) {
    FileListEntry e;
    e.folder = std::move(folder);
    e.name = name;
    e.pakName = std::move(name);
    e.crc = crc;
    return e;
}

// The checks' texts are not what these tests look at.
struct NoWindow : Reporter {
    bool post(uint32_t, uint32_t, uint32_t) override { return true; }
};

class Checks : public ::testing::Test {
protected:
    void SetUp() override { checks.begin(UpdateAddresses{}); }

    std::vector<BlockRequest>& blocks() { return checks.blockRequests(); }
    bool has(const std::string& line) const { return !log.matching({line}).empty(); }
    // Writes a block index file as a download left it: every entry of the plan, written as
    // given.
    void writeIndex(const std::string& path, uint32_t key, uint32_t zip,
                    const std::vector<bool>& written) {
        std::vector<BlockIndexEntry> entries;
        for (uint32_t i = 0; i * FileChecks::kBlockSize < zip; ++i) {
            BlockIndexEntry e;
            e.offset = e.localPosition = i * FileChecks::kBlockSize;
            e.blockIndex = i;
            e.size = std::min(FileChecks::kBlockSize, zip - e.offset);
            e.written = i < written.size() && written[i] ? e.size : 0;
            entries.push_back(e);
        }
        File f;
        ASSERT_TRUE(f.open(platform::utf8ToWide(path), 1));
        ASSERT_TRUE(BlockIndexFile::write(f, key, entries));
    }

    test::Sandbox box;
    test::LogCapture log;
    MakeFileWritter packWriter;
    NoWindow window;
    FileChecks checks{packWriter, window};
};

TEST_F(Checks, MissingFileIsPlannedInBlocksWithItsIndex) {
    const std::string data = test::noiseBytes(70000, 1);
    const auto e = looseEntry(u"a", u"b.dat", test::textBytes(90000, 1), data);
    EXPECT_TRUE(checks.checkFile(e));
    ASSERT_EQ(blocks().size(), 3u);
    const uint32_t offsets[] = {0, 32768, 65536};
    const uint32_t sizes[] = {32768, 32768, 4464};
    for (uint32_t i = 0; i < 3; ++i) {
        const BlockRequest& b = blocks()[i];
        EXPECT_EQ(b.offset, offsets[i]);
        EXPECT_EQ(b.localPosition, offsets[i]);
        EXPECT_EQ(b.size, sizes[i]);
        EXPECT_EQ(b.blockIndex, i);
        EXPECT_EQ(b.blockCount, 3u);
        EXPECT_EQ(b.versionKey, e.zipcrc);
        EXPECT_EQ(b.passThrough1, 70000u);
        EXPECT_EQ(b.passThrough2, 90000u);
        EXPECT_EQ(b.type, kTypeLoose);
        EXPECT_EQ(b.firstName, u"");
        EXPECT_EQ(b.localPath, u"a\\b.dat");
    }
    EXPECT_EQ(box.readFile("a/b.dat.gzf").size(), 70000u);
    File index;
    ASSERT_TRUE(index.open(u"a\\b.dat.igzf", 0));
    BlockIndexHeader header;
    std::vector<BlockIndexEntry> entries;
    ASSERT_TRUE(BlockIndexFile::read(index, header, entries));
    EXPECT_EQ(header.versionKey, e.zipcrc);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[2].size, 4464u);
    EXPECT_EQ(entries[2].written, 0u);
    EXPECT_FALSE(box.exists("a/b.dat"));

    // Outside any folder the path is the name alone, and so are its temporary files.
    EXPECT_TRUE(checks.checkFile(looseEntry(u"", u"top.dat", "x", "x")));
    EXPECT_EQ(blocks().back().localPath, u"top.dat");
    EXPECT_TRUE(box.exists("top.dat.igzf"));
}

TEST_F(Checks, SizeOrChecksumDifferencesAreLoggedAndFetched) {
    const std::string v2 = "version 2";
    const auto e = looseEntry(u"a", u"b.dat", v2, v2);
    box.writeFile("a/b.dat", "old");
    EXPECT_TRUE(checks.checkFile(e));
    EXPECT_TRUE(has("-1 'a\\b.dat’大小不同,old:3 new:9")) << log.text();
    EXPECT_EQ(blocks().size(), 1u);

    // Each case as if no download had started.
    const auto again = [&] {
        checks.begin(UpdateAddresses{});
        File::deleteFile(u"a\\b.dat.gzf");
        File::deleteFile(u"a\\b.dat.igzf");
    };
    again();
    box.writeFile("a/b.dat", "version 1");
    EXPECT_TRUE(checks.checkFile(e));
    EXPECT_TRUE(has("-1 'a\\b.dat’crc编码不同,old:" + test::hexOf(checksumOf("version 1")) +
                    " new:" + test::hexOf(e.crc)))
        << log.text();
    EXPECT_EQ(blocks().size(), 1u);

    again();
    box.writeFile("a/b.dat", v2);
    EXPECT_FALSE(checks.checkFile(e));
    EXPECT_TRUE(blocks().empty());
    EXPECT_FALSE(box.exists("a/b.dat.gzf"));
    EXPECT_FALSE(box.exists("a/b.dat.igzf"));
    EXPECT_EQ(checks.failures(), 0u);

    // A file that cannot be read is left alone, but not taken for current.
    again();
    platform::NativeFile holder;
    ASSERT_TRUE(holder.open(u"a\\b.dat", 4));  // shares nothing
    EXPECT_FALSE(checks.checkFile(e));
    EXPECT_TRUE(has("0 'a\\b.dat’无法只读打开"));
    EXPECT_EQ(checks.failures(), 1u);
}

TEST_F(Checks, ResumeFetchesOnlyMissingBlocksAndDropsStaleFiles) {
    const std::string data = test::noiseBytes(70000, 2);
    const auto e = looseEntry(u"a", u"b.dat", data, data);
    box.writeFile("a/b.dat.gzf", std::string(70000, '\0'));
    writeIndex("a/b.dat.igzf", e.zipcrc, 70000, {true, false, false});
    EXPECT_TRUE(checks.checkFile(e));
    ASSERT_EQ(blocks().size(), 2u);
    EXPECT_EQ(blocks()[0].blockIndex, 1u);
    EXPECT_EQ(blocks()[1].offset, 65536u);
    EXPECT_EQ(blocks()[1].size, 4464u);
    EXPECT_EQ(blocks()[1].blockCount, 2u);
    EXPECT_TRUE(has("-1 索引文件a\\b.dat.igzf 还有:2 块没有下载"));

    // An index of another version of the file is not resumed: every block again.
    checks.begin(UpdateAddresses{});
    writeIndex("a/b.dat.igzf", e.zipcrc + 1, 70000, {true, true, true});
    EXPECT_TRUE(checks.checkFile(e));
    EXPECT_EQ(blocks().size(), 3u);

    // An index without its data file: both go, the file is checked afresh (and is current).
    checks.begin(UpdateAddresses{});
    box.writeFile("a/b.dat", data);
    File::deleteFile(u"a\\b.dat.gzf");
    writeIndex("a/b.dat.igzf", e.zipcrc, 70000, {true, true, true});
    EXPECT_FALSE(checks.checkFile(e));
    EXPECT_FALSE(box.exists("a/b.dat.igzf"));

    // Complete but wrong bytes: not installed, and fetched again rather than taken as done.
    checks.begin(UpdateAddresses{});
    File::deleteFile(u"a\\b.dat");
    box.writeFile("a/b.dat.gzf", std::string(70000, 'x'));
    writeIndex("a/b.dat.igzf", e.zipcrc, 70000, {true, true, true});
    EXPECT_TRUE(checks.checkFile(e));
    EXPECT_EQ(blocks().size(), 3u);
    EXPECT_FALSE(box.exists("a/b.dat"));
}

TEST_F(Checks, NamesOutsideTheGameDirectoryAreRefused) {
    const std::vector<std::pair<std::u16string, std::u16string>> hostile = {
        {u"..", u"x.dat"},
        {u"a\\..\\..", u"x.dat"},
        {u"", u"..\\x.dat"},
        {u"", u"\\x.dat"},
        {u"", u"/etc/x.dat"},
        {u"C:", u"x.dat"},
        {u"", u"C:\\x.dat"},
        {u"", u"C:x.dat"},
        {u"a\\\\b", u"x.dat"},
        {u"a", u""},
        {u"", u""},
        {u"a", u". ."},
        {u"a", u"x?.dat"},
    };
    for (const auto& [folder, name] : hostile) {
        EXPECT_FALSE(checks.checkFile(looseEntry(folder, name, "x", "x")))
            << platform::wideToUtf8(folder) << " " << platform::wideToUtf8(name);
    }
    // A pack whose stem would make its staging folder "update\.." or "update\".
    EXPECT_FALSE(checks.checkPack(packEntry(u"data", u"...pak", 1)));
    EXPECT_FALSE(checks.checkPack(packEntry(u"data", u".pak", 1)));
    // The same path twice.
    EXPECT_TRUE(checks.checkFile(looseEntry(u"a", u"x.dat", "x", "x")));
    EXPECT_FALSE(checks.checkMustFile(looseEntry(u"a", u"x.dat", "x", "x")));

    EXPECT_EQ(checks.failures(), hostile.size() + 3);
    EXPECT_EQ(blocks().size(), 1u);
    EXPECT_TRUE(checks.headerTasks().empty());
    EXPECT_EQ(log.matching({"不在游戏目录中"}).size(), hostile.size() + 2);
    EXPECT_EQ(test::readTree(box.path()).size(), 2u);  // a/x.dat.gzf and its index only
}

TEST_F(Checks, EmptyFileIsInstalledWithoutDownload) {
    box.writeFile("bin/empty.cfg", "stale");
    EXPECT_TRUE(checks.checkFile(looseEntry(u"bin", u"empty.cfg", "", "")));
    EXPECT_TRUE(blocks().empty());
    EXPECT_TRUE(box.exists("bin/empty.cfg"));
    EXPECT_EQ(box.readFile("bin/empty.cfg"), "");
    checks.begin(UpdateAddresses{});
    EXPECT_FALSE(checks.checkFile(looseEntry(u"bin", u"empty.cfg", "", "")));  // current now

    // No download data for a file with content can never be installed: a failure.
    auto broken = looseEntry(u"bin", u"broken.cfg", "content", "");
    EXPECT_FALSE(checks.checkFile(broken));
    EXPECT_EQ(checks.failures(), 1u);
    EXPECT_FALSE(box.exists("bin/broken.cfg"));
}

TEST_F(Checks, CompletionInstallsVerifiedFilesOnly) {
    // Stored (zip == size): moved into place as it is.
    const std::string stored = test::noiseBytes(50000, 3);
    auto e = looseEntry(u"a", u"stored.bin", stored, stored);
    ASSERT_TRUE(checks.checkFile(e));
    box.writeFile("a/stored.bin.gzf", stored);
    EXPECT_TRUE(checks.onFileComplete(u"", u"a\\stored.bin", u"a\\stored.bin.igzf",
                                      u"a\\stored.bin.gzf", 1, e.zip, e.size, e.zipcrc));
    EXPECT_EQ(box.readFile("a/stored.bin"), stored);
    EXPECT_FALSE(box.exists("a/stored.bin.gzf"));
    EXPECT_FALSE(box.exists("a/stored.bin.igzf"));

    // Deflated: inflated beside the target and renamed over the old file.
    const std::string text = test::textBytes(200000, 4);
    const std::string deflated = test::deflateRaw(text);
    e = looseEntry(u"a", u"text.txt", text, deflated);
    box.writeFile("a/text.txt", "old text");
    ASSERT_TRUE(checks.checkFile(e));
    box.writeFile("a/text.txt.gzf", deflated);
    EXPECT_TRUE(checks.onFileComplete(u"", u"a\\text.txt", u"a\\text.txt.igzf", u"a\\text.txt.gzf",
                                      1, e.zip, e.size, e.zipcrc));
    EXPECT_EQ(box.readFile("a/text.txt"), text);
    EXPECT_EQ(test::readTree(box.path() + "/a").size(), 2u);

    // Data that fails its checksum: refused, temporary files gone, installed file untouched.
    const std::string text2 = test::textBytes(200000, 5);
    e = looseEntry(u"a", u"text.txt", text2, test::deflateRaw(text2));
    checks.begin(UpdateAddresses{});
    ASSERT_TRUE(checks.checkFile(e));
    box.writeFile("a/text.txt.gzf", deflated);
    EXPECT_FALSE(checks.onFileComplete(u"", u"a\\text.txt", u"a\\text.txt.igzf", u"a\\text.txt.gzf",
                                       1, e.zip, e.size, e.zipcrc));
    EXPECT_TRUE(has("0 验证:‘a\\text.txt.gzf’文件失败[tmp:" + test::hexOf(checksumOf(deflated)) +
                    " zip:" + test::hexOf(e.zipcrc) + "]"))
        << log.text();
    EXPECT_EQ(box.readFile("a/text.txt"), text);
    EXPECT_FALSE(box.exists("a/text.txt.gzf"));
    EXPECT_FALSE(box.exists("a/text.txt.igzf"));

    // Data that matches its zipcrc but does not inflate to the listed content.
    e = looseEntry(u"a", u"text.txt", text2, deflated);
    e.size = static_cast<uint32_t>(text.size());
    checks.begin(UpdateAddresses{});
    ASSERT_TRUE(checks.checkFile(e));
    box.writeFile("a/text.txt.gzf", deflated);
    EXPECT_FALSE(checks.onFileComplete(u"", u"a\\text.txt", u"a\\text.txt.igzf", u"a\\text.txt.gzf",
                                       1, e.zip, e.size, e.zipcrc));
    EXPECT_EQ(box.readFile("a/text.txt"), text);
    EXPECT_EQ(test::readTree(box.path() + "/a").size(), 2u);

    // A target that cannot be replaced (here a folder) gets the file as ".back" instead.
    box.writeFile("a/busy.txt/inside", "keep");
    e = looseEntry(u"a", u"busy.txt", text, deflated);
    ASSERT_TRUE(checks.checkFile(e));
    box.writeFile("a/busy.txt.gzf", deflated);
    EXPECT_TRUE(checks.onFileComplete(u"", u"a\\busy.txt", u"a\\busy.txt.igzf", u"a\\busy.txt.gzf",
                                      1, e.zip, e.size, e.zipcrc));
    EXPECT_EQ(box.readFile("a/busy.txt.back"), text);
    EXPECT_EQ(box.readFile("a/busy.txt/inside"), "keep");
    EXPECT_EQ(test::readTree(box.path() + "/a").size(), 4u);
}

TEST_F(Checks, PacksWhoseIndexMatchesAreCurrentUnlessForced) {
    test::buildPack(box.path() + "/src", box.path() + "/data/a.pak", {{"x.txt", "x"}});
    const uint32_t crc = test::viewPack(box.path() + "/data/a.pak").indexCrc;
    ASSERT_NE(crc, 0u);
    EXPECT_FALSE(checks.checkPack(packEntry(u"data", u"a.pak", crc)));
    EXPECT_TRUE(checks.headerTasks().empty());

    checks.begin(UpdateAddresses{"h", "/p", "", "", true});
    EXPECT_TRUE(checks.checkPack(packEntry(u"data", u"a.pak", crc)));
    ASSERT_EQ(checks.headerTasks().size(), 1u);
    EXPECT_EQ(checks.headerTasks()[0].path, u"data\\a.pak");
    EXPECT_EQ(checks.headerTasks()[0].crc, crc);
    EXPECT_TRUE(has("-1 添加请求文件头任务:data\\a.pak crc:" + test::hexOf(crc)));

    checks.begin(UpdateAddresses{});
    EXPECT_TRUE(checks.checkPack(packEntry(u"data", u"a.pak", crc + 1)));
    EXPECT_EQ(checks.headerTasks().size(), 1u);

    // A damaged header is not current, whatever its field 28 says.
    checks.begin(UpdateAddresses{});
    std::string bytes = box.readFile("data/a.pak");
    bytes[0] = 'X';
    box.writeFile("data/a.pak", bytes);
    EXPECT_TRUE(checks.checkPack(packEntry(u"data", u"a.pak", crc)));
    EXPECT_EQ(checks.headerTasks().size(), 1u);
}

TEST_F(Checks, PackListsResumeAndFullyStagedPacksGoToThePackWriter) {
    test::buildPack(box.path() + "/src", box.path() + "/data/a.pak", {{"x.txt", "x"}});
    const std::string one = "member one";
    const std::string two = test::noiseBytes(40000, 6);
    PackPatchList list;
    list.header.listId = 0x77;
    list.header.mode = kPackModeMerge;
    for (const auto& [key, bytes] : {std::pair{0x11u, one}, std::pair{0x22u, two}}) {
        PackPatchItem item;
        item.nameKey = key;
        item.zipSize = item.size = item.blockSize = static_cast<uint32_t>(bytes.size());
        item.dataCrc = checksumOf(bytes);
        list.items.push_back(item);
    }
    ASSERT_TRUE(list.save(u"data\\a.pak.ipatch"));
    box.writeFile("update/a/11.gzf", one);

    // One member staged, one not: only the missing one is fetched, as a pack member.
    EXPECT_TRUE(checks.checkPack(packEntry(u"data", u"a.pak", 0x77)));
    EXPECT_TRUE(has("-1 补丁包断点续传‘a.pak’"));
    ASSERT_EQ(blocks().size(), 2u);
    EXPECT_EQ(blocks()[0].firstName, u"data\\a.pak");
    EXPECT_EQ(blocks()[0].localPath, u"update\\a\\22.gzf");
    EXPECT_EQ(blocks()[0].type, kTypePackMember);
    EXPECT_EQ(checks.pendingPacks(), 1u);
    EXPECT_EQ(packWriter.enqueuedCount(), 0u);

    // Both staged: handed to the pack writer during the check, before any download.
    checks.begin(UpdateAddresses{});
    box.writeFile("update/a/22.gzf", two);
    File::deleteFile(u"update\\a\\22.gzf.gzf");
    File::deleteFile(u"update\\a\\22.gzf.igzf");
    EXPECT_TRUE(checks.checkPack(packEntry(u"data", u"a.pak", 0x77)));
    EXPECT_TRUE(blocks().empty());
    EXPECT_EQ(packWriter.enqueuedCount(), 1u);

    // A list made for another IndexCrc is stale: deleted, and the pack checked afresh.
    checks.begin(UpdateAddresses{});
    EXPECT_TRUE(checks.checkPack(packEntry(u"data", u"a.pak", 0x78)));
    EXPECT_FALSE(box.exists("data/a.pak.ipatch"));
    EXPECT_EQ(checks.headerTasks().size(), 1u);
    EXPECT_EQ(packWriter.enqueuedCount(), 1u);
}

class HeaderTasks : public Checks {
protected:
    void SetUp() override {
        server = std::make_unique<test::TestHttpServer>(box.path() + "/www");
        ASSERT_TRUE(server->started());
        checks.begin(UpdateAddresses{server->host(), "/game", "", "", false});
        test::buildPack(box.path() + "/src", box.path() + "/data/a.pak",
                        {{"keep.txt", "keep"}, {"drop.txt", "drop"}});
    }
    void TearDown() override { server.reset(); }

    struct Member {
        uint32_t key, size, crc;
    };
    // The list as lume-publish writes it for the given members of a.pak.
    std::string fxml(const std::vector<const Member*>& members, uint32_t dataCrc = 1) {
        std::string s = "<pak name=\"a.pak\" data_crc=\"" + std::to_string(dataCrc) + "\">";
        for (const Member* m : members) {
            s += "<subfile namekey=\"" + test::hexOf(m->key) + "\" size=\"" + test::hexOf(m->size) +
                 "\" zipSize=\"" + test::hexOf(m->size) + "\" zipcrc=\"" + test::hexOf(m->crc) +
                 "\" blocksize=\"" + test::hexOf(m->size) + "\"/>";
        }
        return s + "</pak>";
    }
    static Member member(const char16_t* path, const std::string& bytes) {
        return {pak::keyOfPath(path), static_cast<uint32_t>(bytes.size()), checksumOf(bytes)};
    }
    static uint32_t indexCrcOf(const std::vector<const Member*>& members) {
        std::vector<PackRecord> records;
        for (const Member* m : members) {
            PackRecord r;
            r.nameKey = m->key;
            r.dataCrc = m->crc;
            records.push_back(r);
        }
        return indexCrc(records);
    }

    std::unique_ptr<test::TestHttpServer> server;
    const Member keep = member(u"keep.txt", "keep");
    const Member drop = member(u"drop.txt", "drop");
};

TEST_F(HeaderTasks, SubFileListUrlForm) {
    EXPECT_EQ(FileChecks::subFileListUrl("h:8", "/p", u"data\\a.pak", 0x1F),
              u"http://h:8/p/data/a.fxml.1f");
    EXPECT_EQ(FileChecks::subFileListUrl("h", "", u"a.pak", 0xABCDEF01u),
              u"http://h/a.fxml.abcdef01");
}

TEST_F(HeaderTasks, OnlyRemovalsAreAppliedWithoutAList) {
    const uint32_t crc = indexCrcOf({&keep});
    box.writeFile("www/game/data/a.fxml." + test::hexOf(crc), fxml({&keep}));
    EXPECT_TRUE(checks.processHeaderTask(HeaderTask{u"data\\a.pak", 0, crc}));
    EXPECT_TRUE(has("-1 从data\\a.pak包中删除 1 个文件\r\n"));
    const test::PackView view = test::viewPack(box.path() + "/data/a.pak");
    EXPECT_EQ(view.indexCrc, crc);
    EXPECT_EQ(view.members.size(), 1u);
    EXPECT_FALSE(box.exists("data/a.pak.ipatch"));
    EXPECT_TRUE(blocks().empty());
    EXPECT_EQ(checks.pendingPacks(), 0u);

    // A list for another version or pack, here one that keeps both files, is refused.
    const uint32_t before = view.indexCrc;
    box.writeFile("www/game/data/a.fxml.5", fxml({&keep, &drop}));
    EXPECT_FALSE(checks.processHeaderTask(HeaderTask{u"data\\a.pak", 0, 5}));
    EXPECT_EQ(test::viewPack(box.path() + "/data/a.pak").indexCrc, before);
}

TEST_F(HeaderTasks, WithdrawnPacksAreDeletedOrLeftAbsent) {
    box.writeFile("www/game/data/a.fxml.9", "<pak name=\"a.pak\" data_crc=\"4294967295\"/>");
    EXPECT_TRUE(checks.processHeaderTask(HeaderTask{u"data\\a.pak", 0, 9}));
    EXPECT_FALSE(box.exists("data/a.pak"));
    // Absent and withdrawn: nothing to do, and no failure.
    EXPECT_FALSE(checks.checkPack(packEntry(u"data", u"a.pak", 9)));
    EXPECT_EQ(checks.failures(), 0u);
    EXPECT_TRUE(blocks().empty());
    // Absent, and no sub file list to be had: a failure, not a current pack.
    EXPECT_FALSE(checks.checkPack(packEntry(u"data", u"b.pak", 9)));
    EXPECT_EQ(checks.failures(), 1u);
}

}  // namespace
}  // namespace lume
