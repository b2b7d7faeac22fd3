// The per-file decisions on real files: what makes a loose file out of date, resume from
// temporary files and their block indexes, names that would leave the game directory, the
// completion that installs a file, and the pack checks and header tasks (sub file lists over
// HTTP on loopback).
#include "update/FileChecks.h"

#include <gtest/gtest.h>

#include "engine/FileSystem/File.h"
#include "engine/FileSystem/MakeFileWritter.h"
#include "engine/FileSystem/PackPatchList.h"
#include "engine/Kernel/Reporter.h"
#include "platform/Files.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestHttpServer.h"
#include "tests/update/UpdateTestData.h"
#include "tools/pak/PakTool.h"
#include "transfer/BlockIndexFile.h"
#include "transfer/FileWritter.h"
#include "update/ReleaseManifest.h"
#include "update/ReleaseSigning.h"

namespace lume {
namespace {

using test::crcOf;

FileListEntry looseEntry(std::u16string folder, std::u16string name, const std::string& content,
                         const std::string& data) {
    return {.pakName = {},  // not a pack
            .folder = std::move(folder),
            .name = std::move(name),
            .crc = crcOf(content),
            .zipcrc = crcOf(data),
            .size = static_cast<uint32_t>(content.size()),
            .zip = static_cast<uint32_t>(data.size())};
}

FileListEntry packEntry(const std::u16string& name, uint32_t crc) {
    return {.pakName = name, .folder = u"data", .name = name, .crc = crc};
}

class Checks : public ::testing::Test {
protected:
    void SetUp() override { checks.begin(UpdateAddresses{}); }

    std::vector<Block>& blocks() { return checks.blockRequests(); }
    // An index file as a download left it: the plan of a zip-byte file, blocks written as given.
    static void writeIndex(const std::string& path, uint32_t key, uint32_t zip,
                           const std::vector<bool>& written) {
        std::vector<BlockIndexEntry> entries;
        for (uint32_t i = 0; i * FileChecks::kBlockSize < zip; ++i) {
            const uint32_t at = i * FileChecks::kBlockSize;
            const uint32_t size = std::min(FileChecks::kBlockSize, zip - at);
            entries.push_back({at, i, at, size, i < written.size() && written[i] ? size : 0});
        }
        File f;
        ASSERT_TRUE(f.open(platform::utf8ToWide(path), 1));
        ASSERT_TRUE(BlockIndexFile::write(f, key, entries));
    }
    // The download of a loose file as the planner makes it.
    static DownloadFile download(const FileListEntry& e) {
        return {.firstName = {},  // not in a pack
                .localPath = FileChecks::localPathOf(e),
                .type = kTypeLoose,
                .zipSize = e.zip,
                .size = e.size,
                .versionKey = e.zipcrc};
    }
    // Checks e (it must be out of date), then completes its download whose data file holds
    // data; whether it was installed.
    bool complete(const FileListEntry& e, const std::string& data) {
        EXPECT_TRUE(checks.checkFile(e)) << test::utf8(e.name);
        box.writeFile(platform::nativePath(FileChecks::localPathOf(e)) + ".gzf", data);
        return checks.completeNow(download(e));
    }

    // The checks' texts are not what these tests look at.
    struct : Reporter {
        bool post(uint32_t, uint32_t, uint32_t) override { return true; }
    } window;
    test::Sandbox box;
    test::LogCapture log;
    MakeFileWritter packWriter;
    FileChecks checks{packWriter, window};
};

TEST_F(Checks, WhatMakesALooseFileOutOfDate) {
    const std::string v2 = "version 2";
    const auto e = looseEntry(u"a", u"b.dat", v2, v2);
    // The installed bytes, whether that is out of date, the line said.
    const std::tuple<const char*, bool, std::string> cases[] = {
        {"old", true, "-1 'a\\b.dat’大小不同,old:3 new:9"},
        {"version 1", true,
         "-1 'a\\b.dat’crc编码不同,old:" + test::hexOf(crcOf("version 1")) +
             " new:" + test::hexOf(e.crc)},
        {"version 2", false, ""},
    };
    for (const auto& [installed, outdated, line] : cases) {
        checks.begin(UpdateAddresses{});
        File::deleteFile(u"a\\b.dat.gzf");
        File::deleteFile(u"a\\b.dat.igzf");
        box.writeFile("a/b.dat", installed);
        EXPECT_EQ(checks.checkFile(e), outdated) << installed;
        EXPECT_EQ(blocks().size(), outdated ? 1u : 0u);
        EXPECT_TRUE(log.has(line)) << log.text();
    }
    EXPECT_EQ(checks.failures(), 0u);
    // A file that cannot be read is left alone, but not taken for current.
    checks.begin(UpdateAddresses{});
    platform::NativeFile holder;
    ASSERT_TRUE(holder.open(u"a\\b.dat", 4));  // shares nothing
    EXPECT_FALSE(checks.checkFile(e));
    EXPECT_TRUE(log.has("0 'a\\b.dat’无法只读打开"));
    EXPECT_EQ(checks.failures(), 1u);

    // An empty file is installed without a download; one with content but no data cannot be.
    box.writeFile("bin/empty.cfg", "stale");
    EXPECT_TRUE(checks.checkFile(looseEntry(u"bin", u"empty.cfg", "", "")));
    EXPECT_EQ(box.readFile("bin/empty.cfg"), "");
    EXPECT_FALSE(checks.checkFile(looseEntry(u"bin", u"broken.cfg", "content", "")));
    EXPECT_FALSE(box.exists("bin/broken.cfg"));
    EXPECT_EQ(checks.failures(), 2u);
    EXPECT_TRUE(blocks().empty());
    checks.begin(UpdateAddresses{});
    EXPECT_FALSE(checks.checkFile(looseEntry(u"bin", u"empty.cfg", "", "")));  // current now
}

TEST_F(Checks, ResumeFetchesOnlyMissingBlocksAndDropsStaleFiles) {
    const std::string data = test::noiseBytes(70000, 2);
    const auto e = looseEntry(u"a", u"b.dat", data, data);
    box.writeFile("a/b.dat.gzf", std::string(70000, '\0'));
    writeIndex("a/b.dat.igzf", e.zipcrc, 70000, {true, false, false});
    EXPECT_TRUE(checks.checkFile(e));
    ASSERT_EQ(blocks().size(), 2u);
    const Block& last = blocks()[1];
    EXPECT_EQ(std::tuple(blocks()[0].blockIndex, last.offset, last.size, last.file->pending,
                         last.file->blockCount, last.file->fresh),
              std::tuple(1u, 65536u, 4464u, 2u, 3u, false));
    EXPECT_TRUE(log.has("-1 索引文件a\\b.dat.igzf 还有:2 块没有下载"));
    EXPECT_EQ(checks.bytesToWrite(), 32768u + 4464u);  // the missing blocks; stored as is

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
    const std::pair<std::u16string, std::u16string> hostile[] = {
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
            << test::utf8(folder) << " " << test::utf8(name);
    }
    // A pack whose stem would make its staging folder "update\.." or "update\".
    EXPECT_FALSE(checks.checkPack(packEntry(u"...pak", 1)));
    EXPECT_FALSE(checks.checkPack(packEntry(u".pak", 1)));
    // The same path twice.
    EXPECT_TRUE(checks.checkFile(looseEntry(u"a", u"x.dat", "x", "x")));
    EXPECT_FALSE(checks.checkMustFile(looseEntry(u"a", u"x.dat", "x", "x")));

    EXPECT_EQ(checks.failures(), std::size(hostile) + 3);
    EXPECT_EQ(blocks().size(), 1u);
    EXPECT_TRUE(checks.headerTasks().empty());
    EXPECT_EQ(log.count({"不在游戏目录中"}), std::size(hostile) + 2);
    EXPECT_EQ(test::fileCount(box.path()), 0u);  // nothing is written before a block arrives
}

TEST_F(Checks, CompletionInstallsVerifiedFilesOnly) {
    // Stored (zip == size): moved into place as it is.
    const std::string stored = test::noiseBytes(50000, 3);
    auto e = looseEntry(u"a", u"stored.bin", stored, stored);
    EXPECT_TRUE(complete(e, stored));
    EXPECT_EQ(box.readFile("a/stored.bin"), stored);
    EXPECT_EQ(test::fileCount(box.path() + "/a"), 1u);  // no temporary file left
    // Stored data that passes its own checksum but is not the listed content: refused, said.
    std::string other = stored;
    other[0] ^= 1;
    const auto odd = looseEntry(u"a", u"odd.bin", other, stored);
    EXPECT_FALSE(complete(odd, stored));
    EXPECT_EQ(test::fileCount(box.path() + "/a"), 1u);
    EXPECT_TRUE(log.has("0 验证:‘a\\odd.bin’文件失败[tmp:" + test::hexOf(odd.zipcrc) +
                        " zip:" + test::hexOf(odd.crc) + "]"))
        << log.text();

    // Deflated: inflated beside the target and renamed over the old file.
    const std::string text = test::textBytes(200000, 4), text2 = test::textBytes(200000, 5);
    const std::string deflated = test::rawDeflate(text);
    e = looseEntry(u"a", u"text.txt", text, deflated);
    box.writeFile("a/text.txt", "old text");
    EXPECT_TRUE(complete(e, deflated));
    EXPECT_EQ(box.readFile("a/text.txt"), text);

    // Data that fails its checksum, or matches it but does not inflate to the listed content:
    // refused, temporary files gone, the installed file untouched.
    e = looseEntry(u"a", u"text.txt", text2, test::rawDeflate(text2));
    auto wrongSize = looseEntry(u"a", u"text.txt", text2, deflated);
    wrongSize.size = static_cast<uint32_t>(text.size());
    for (const FileListEntry& bad : {e, wrongSize}) {
        checks.begin(UpdateAddresses{});
        EXPECT_FALSE(complete(bad, deflated));
        EXPECT_EQ(box.readFile("a/text.txt"), text);
        EXPECT_EQ(test::fileCount(box.path() + "/a"), 2u);
    }
    EXPECT_TRUE(log.has("0 验证:‘a\\text.txt.gzf’文件失败[tmp:" + test::hexOf(crcOf(deflated)) +
                        " zip:" + test::hexOf(e.zipcrc) + "]"))
        << log.text();

    // Data the writer kept in memory (no temporary file): prepared from the bytes, in place
    // once the step after the sync runs.
    e = looseEntry(u"a", u"mem.txt", text2, test::rawDeflate(text2));
    ASSERT_TRUE(checks.checkFile(e));
    const std::string data = test::rawDeflate(text2);
    FileCompletion::Prepared prepared =
        checks.prepareFile(download(e), nullptr, std::vector<uint8_t>(data.begin(), data.end()));
    ASSERT_FALSE(prepared.refused);
    EXPECT_FALSE(box.exists("a/mem.txt"));
    ASSERT_EQ(prepared.durable.size(), 1u);
    EXPECT_TRUE(prepared.finish(true));
    EXPECT_EQ(box.readFile("a/mem.txt"), text2);

    // Larger than what is inflated in memory: streamed from the data file.
    const std::string large = test::textBytes(3 << 20, 6);
    e = looseEntry(u"a", u"large.txt", large, test::rawDeflate(large));
    EXPECT_TRUE(complete(e, test::rawDeflate(large)));
    EXPECT_TRUE(box.readFile("a/large.txt") == large);

    // In a signed release the data is digested as its blocks are stored, in the order they
    // arrive: blocks that come early are read back once the gap before them is filled.
    const std::string big = test::noiseBytes(3 * FileChecks::kBlockSize + 100, 7);
    e = looseEntry(u"a", u"big.bin", big, big);
    const DownloadFile file = download(e);
    ReleaseManifest manifest;
    manifest.files[remotePath(file)] = {e.size, Sha256::of(big)};
    checks.begin(UpdateAddresses{}, &manifest);
    ASSERT_TRUE(checks.checkFile(e));
    box.writeFile("a/big.bin.gzf", big);
    for (const uint32_t at :
         {2 * FileChecks::kBlockSize, 0u, 3 * FileChecks::kBlockSize, FileChecks::kBlockSize}) {
        checks.onBlockStored(file.localPath, file.type, at,
                             reinterpret_cast<const uint8_t*>(big.data()) + at,
                             std::min(FileChecks::kBlockSize, e.size - at));
    }
    EXPECT_TRUE(checks.completeNow(file));
    EXPECT_TRUE(box.readFile("a/big.bin") == big);
}

TEST_F(Checks, PacksWhoseIndexMatchesAreCurrentUnlessForcedOrDamaged) {
    test::buildPack(box.path() + "/data/a.pak", {{"x.txt", "x"}});
    const uint32_t crc = test::packIndex(box.path() + "/data/a.pak").first;
    ASSERT_NE(crc, 0u);
    // The update's addresses, the listed index checksum, whether the header is damaged, and
    // whether the pack is out of date.
    const std::tuple<UpdateAddresses, uint32_t, bool, bool> cases[] = {
        {{}, crc, false, false},
        {{"h", "/p", "", "", true}, crc, false, true},  // forced
        {{}, crc + 1, false, true},
        {{}, crc, true, true},  // a damaged header, whatever its field 28 says
    };
    for (const auto& [addresses, listed, damage, outdated] : cases) {
        checks.begin(addresses);
        if (damage) {
            std::string bytes = box.readFile("data/a.pak");
            bytes[0] = 'X';
            box.writeFile("data/a.pak", bytes);
        }
        EXPECT_EQ(checks.checkPack(packEntry(u"a.pak", listed)), outdated);
        ASSERT_EQ(checks.headerTasks().size(), outdated ? 1u : 0u);
        if (outdated) {
            const HeaderTask& task = checks.headerTasks()[0];
            EXPECT_EQ(std::tuple(task.path, task.crc), std::tuple(u"data\\a.pak", listed));
        }
    }
    EXPECT_TRUE(log.has("-1 添加请求文件头任务:data\\a.pak crc:" + test::hexOf(crc)));
}

TEST_F(Checks, PackListsResumeAndFullyStagedPacksGoToThePackWriter) {
    test::buildPack(box.path() + "/data/a.pak", {{"x.txt", "x"}});
    const std::string one = "member one", two = test::noiseBytes(40000, 6);
    PackPatchList list;
    list.header.listId = 0x77;
    list.header.mode = kPackModeMerge;
    for (const auto& [key, bytes] : {std::pair{0x11u, one}, std::pair{0x22u, two}}) {
        PackPatchItem item;
        item.nameKey = key;
        item.zipSize = item.size = item.blockSize = static_cast<uint32_t>(bytes.size());
        item.dataCrc = crcOf(bytes);
        list.items.push_back(item);
    }
    ASSERT_TRUE(list.save(u"data\\a.pak.ipatch"));
    box.writeFile("update/a/11.gzf", one);

    // One member staged, one not: only the missing one is fetched, as a pack member.
    EXPECT_TRUE(checks.checkPack(packEntry(u"a.pak", 0x77)));
    EXPECT_TRUE(log.has("-1 补丁包断点续传‘a.pak’"));
    ASSERT_EQ(blocks().size(), 2u);
    const DownloadFile& member = *blocks()[0].file;
    EXPECT_EQ(std::tuple(member.firstName, member.localPath, member.type, checks.pendingPacks(),
                         packWriter.enqueuedCount()),
              std::tuple(u"data\\a.pak", u"update\\a\\22.gzf", kTypePackMember, 1u, 0u));

    // A member interrupted after its first block resumes from its block index.
    checks.begin(UpdateAddresses{});
    EXPECT_EQ(checks.pendingPacks() + checks.headerTasks().size() + blocks().size(), 0u);
    box.writeFile("update/a/22.gzf.gzf", two.substr(0, 32768) + std::string(40000 - 32768, '\0'));
    writeIndex("update/a/22.gzf.igzf", crcOf(two), 40000, {true, false});
    EXPECT_TRUE(checks.checkPack(packEntry(u"a.pak", 0x77)));
    ASSERT_EQ(blocks().size(), 1u);
    EXPECT_EQ(blocks()[0].blockIndex, 1u);
    EXPECT_FALSE(blocks()[0].file->fresh);

    // Every block in, never staged: staged during the check. The member whose stored bytes
    // are wrong is dropped and fetched whole.
    checks.begin(UpdateAddresses{});
    box.writeFile("update/a/22.gzf.gzf", two);
    writeIndex("update/a/22.gzf.igzf", crcOf(two), 40000, {true, true});
    File::deleteFile(u"update\\a\\11.gzf");
    box.writeFile("update/a/11.gzf.gzf", "member 0ne");
    writeIndex("update/a/11.gzf.igzf", crcOf(one), 10, {true});
    EXPECT_TRUE(checks.checkPack(packEntry(u"a.pak", 0x77)));
    EXPECT_EQ(box.readFile("update/a/22.gzf"), two);
    EXPECT_FALSE(box.exists("update/a/22.gzf.igzf"));
    ASSERT_EQ(blocks().size(), 1u);
    EXPECT_EQ(blocks()[0].file->localPath, u"update\\a\\11.gzf");
    EXPECT_TRUE(blocks()[0].file->fresh);
    box.writeFile("update/a/11.gzf", one);

    // Both staged: handed to the pack writer during the check, before any download.
    checks.begin(UpdateAddresses{});
    box.writeFile("update/a/22.gzf", two);
    File::deleteFile(u"update\\a\\22.gzf.gzf");
    File::deleteFile(u"update\\a\\22.gzf.igzf");
    EXPECT_TRUE(checks.checkPack(packEntry(u"a.pak", 0x77)));
    EXPECT_TRUE(blocks().empty());
    EXPECT_EQ(packWriter.enqueuedCount(), 1u);

    // A list made for another IndexCrc is stale: the pack is checked afresh, its members'
    // bytes read back; the list goes only once that is done.
    checks.begin(UpdateAddresses{});
    EXPECT_TRUE(checks.checkPack(packEntry(u"a.pak", 0x78)));
    EXPECT_TRUE(box.exists("data/a.pak.ipatch"));
    ASSERT_EQ(checks.headerTasks().size(), 1u);
    EXPECT_TRUE(checks.headerTasks()[0].verify);
    EXPECT_EQ(packWriter.enqueuedCount(), 1u);

    // A full build list resumes the same way, from the members already staged.
    checks.begin(UpdateAddresses{});
    File::deleteFile(u"data\\a.pak.ipatch");
    list.header.mode = kPackModeBuild;
    ASSERT_TRUE(list.save(FileWritter::indexFileName(kTypePackBuild, u"data\\a.pak")));
    EXPECT_TRUE(checks.checkPack(packEntry(u"a.pak", 0x77)));
    EXPECT_TRUE(log.has("-1 完整包断点续传‘a.pak’成功")) << log.text();
    EXPECT_TRUE(blocks().empty());
    EXPECT_EQ(packWriter.enqueuedCount(), 2u);
}

// Header tasks fetch the pack's sub file list from the loopback server.
TEST_F(Checks, HeaderTasksRemoveWhatTheListDropsAndWithdrawPacks) {
    test::TestHttpServer server(box.path() + "/www");
    checks.begin(UpdateAddresses{server.host(), "/game", "", "", false});
    test::buildPack(box.path() + "/data/a.pak", {{"keep.txt", "keep"}, {"drop.txt", "drop"}});
    // The list as lume-publish writes it, for the given members of a.pak.
    const auto fxml = [](const std::vector<std::pair<std::u16string, std::string>>& members) {
        std::string s = "<pak name=\"a.pak\" data_crc=\"1\">";
        for (const auto& [path, bytes] : members) {
            const std::string size = test::hexOf(static_cast<uint32_t>(bytes.size()));
            s += "<subfile namekey=\"" + test::hexOf(pak::keyOfPath(path)) + "\" size=\"" + size +
                 "\" zipSize=\"" + size + "\" zipcrc=\"" + test::hexOf(crcOf(bytes)) + "\" crc=\"" +
                 test::hexOf(crcOf(bytes)) + "\" blocksize=\"" + size + "\"/>";
        }
        return s + "</pak>";
    };
    const uint32_t crc =
        indexCrc({{.nameKey = pak::keyOfPath(u"keep.txt"), .dataCrc = crcOf("keep")}});
    // Only removals: applied at once, without a patch list.
    box.writeFile("www/game/data/a.fxml." + test::hexOf(crc), fxml({{u"keep.txt", "keep"}}));
    EXPECT_TRUE(checks.processHeaderTask(HeaderTask{u"data\\a.pak", 0, crc}));
    EXPECT_TRUE(log.has("-1 从data\\a.pak包中删除 1 个文件\r\n"));
    EXPECT_EQ(test::packIndex(box.path() + "/data/a.pak"), std::make_pair(crc, size_t{1}));
    EXPECT_FALSE(box.exists("data/a.pak.ipatch"));
    EXPECT_EQ(blocks().size() + checks.pendingPacks(), 0u);
    // A list for another version (here one that keeps both files) is refused.
    box.writeFile("www/game/data/a.fxml.5", fxml({{u"keep.txt", "keep"}, {u"drop.txt", "drop"}}));
    EXPECT_FALSE(checks.processHeaderTask(HeaderTask{u"data\\a.pak", 0, 5}));
    EXPECT_EQ(test::packIndex(box.path() + "/data/a.pak").first, crc);

    // A withdrawn pack is deleted; absent and withdrawn is nothing to do and no failure;
    // absent without a list to be had is a failure, not a current pack.
    box.writeFile("www/game/data/a.fxml.9", "<pak name=\"a.pak\" data_crc=\"4294967295\"/>");
    EXPECT_TRUE(checks.processHeaderTask(HeaderTask{u"data\\a.pak", 0, 9}));
    EXPECT_FALSE(box.exists("data/a.pak"));
    EXPECT_FALSE(checks.checkPack(packEntry(u"a.pak", 9)));
    EXPECT_EQ(checks.failures(), 0u);
    EXPECT_FALSE(checks.checkPack(packEntry(u"b.pak", 9)));
    EXPECT_EQ(checks.failures(), 1u);
    EXPECT_TRUE(blocks().empty());
}

}  // namespace
}  // namespace lume
