// The release publisher: what a published tree holds, read back the way the launcher reads
// it (flist.xml through the file list parser, data files by the names the launcher asks
// for), and how a newer version is published into the same tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "engine/FileSystem/PackFormat.h"
#include "platform/Text.h"
#include "platform/Time.h"
#include "tests/support/Sandbox.h"
#include "tests/update/UpdateTestData.h"
#include "tools/publish/Publisher.h"
#include "update/FileListDownloader.h"
#include "update/ReleaseManifest.h"
#include "update/SubFileListDownloader.h"

namespace fs = std::filesystem;

namespace lume {
namespace {

using test::hexOf;

class Publish : public ::testing::Test {
protected:
    ~Publish() override { std::fclose(out); }
    void makePack(const std::string& version, const std::string& pack, const test::Tree& files) {
        test::buildPack(box.path() + "/" + version + "/data/" + pack + ".pak", files);
    }
    bool publish(const std::string& version, std::vector<std::string> must = {}) {
        PublishOptions o;
        o.gameDirectory = box.path() + "/" + version;
        o.outDirectory = box.path() + "/www";
        o.must = std::move(must);
        report = {};
        error.clear();
        return publishRelease(o, report, error);
    }
    // The published list as the launcher parses it.
    std::vector<FileListEntry> entries() {
        FileListDownloader list;
        EXPECT_TRUE(list.parseFile(platform::utf8ToWide(box.path() + "/www/flist.xml"), false));
        std::vector<FileListEntry> all = list.mustList();
        all.insert(all.end(), list.regularList().begin(), list.regularList().end());
        return all;
    }
    ReleaseManifest manifest() {
        ReleaseManifest m;
        std::string why;
        EXPECT_TRUE(ReleaseManifest::parse(box.readFile("www/release.manifest"), m, why)) << why;
        return m;
    }
    // Every path the launcher asks the release for: flist.xml, each loose file's data, each
    // pack's sub file list and the members that list names.
    std::set<std::string> servedPaths() {
        std::set<std::string> paths = {"flist.xml"};
        for (const FileListEntry& e : entries()) {
            const std::string folder = e.folder.empty() ? "" : platform::wideToUtf8(e.folder) + "/";
            const std::string name = platform::wideToUtf8(e.name);
            if (!e.isPack()) {
                paths.insert(folder + name + ".gzf." + hexOf(e.zipcrc));
                continue;
            }
            const std::string list =
                folder + name.substr(0, name.size() - 4) + ".fxml." + hexOf(e.crc);
            paths.insert(list);
            SubFileListDownloader sub;
            sub.load(platform::utf8ToWide(box.path() + "/www/" + list), u"x.pak", false);
            for (const PackPatchItem& item : sub.downloadItems()) {
                paths.insert(folder + hexOf(item.nameKey) + ".gzf." + hexOf(item.dataCrc));
            }
        }
        return paths;
    }
    // The published entry of that folder and name; one not listed fails the test.
    FileListEntry find(const std::u16string& folder, const std::u16string& name) {
        const auto all = entries();
        const auto it = std::find_if(all.begin(), all.end(), [&](const FileListEntry& e) {
            return e.folder == folder && e.name == name;
        });
        EXPECT_TRUE(it != all.end()) << platform::wideToUtf8(name);
        return it == all.end() ? FileListEntry{} : *it;
    }

    test::Sandbox box;
    PublishReport report;
    std::string error;
    std::FILE* out = std::tmpfile();  // what publishMain prints
};

TEST_F(Publish, LooseFilesAndPacksAsTheLauncherAsksForThem) {
    const std::string text(5000, 'a');                 // compresses well: published deflated
    const std::string noise = "\x01\x7f\x33\xee\x10";  // does not: published stored
    box.writeFile("v1/readme.txt", text);
    box.writeFile("v1/bin/lume.dat", "#!/bin/sh\necho hi\n");
    box.writeFile("v1/bin/noise.bin", noise);
    box.writeFile("v1/说明&amp;.txt", "说明");
    box.writeFile("v1/lume.exe", "launcher");
    box.writeFile("v1/log/old.log", "not published");
    box.writeFile("v1/bin/config.ini", "[server]\n");
    box.writeFile("v1/bin/x.dat.gzf", "temporary");
    makePack("v1", "ui", {{"textures/Button.png", std::string(3000, 'b')}, {"Layout.xml", "<l/>"}});
    ASSERT_TRUE(publish("v1", {"bin/lume.dat"})) << error;
    EXPECT_EQ(std::tuple(report.looseFiles, report.packs, report.packMembers), std::tuple(5, 1, 2));

    // Must files, named and implicit, first; then the rest sorted by folder, then name; no
    // logs, settings or files of an update in flight.
    const auto all = entries();
    ASSERT_EQ(all.size(), 6u);
    EXPECT_EQ(all[0].name + all[1].name, u"lume.exelume.dat");
    EXPECT_TRUE(std::is_sorted(all.begin() + 2, all.end(), [](const auto& a, const auto& b) {
        return std::tie(a.folder, a.name) < std::tie(b.folder, b.name);
    }));
    // A loose file that compresses is published deflated, one that does not stored; the pack
    // is listed as a pack. (That each reads back as its file: the end-to-end updates.)
    const FileListEntry readme = find(u"", u"readme.txt");
    EXPECT_LT(readme.zip, readme.size);
    const uint32_t stored = find(u"bin", u"noise.bin").zipcrc;
    EXPECT_EQ(box.readFile("www/bin/noise.bin.gzf." + hexOf(stored)), noise);
    EXPECT_TRUE(find(u"data", u"ui.pak").isPack());
    EXPECT_EQ(find(u"", u"说明&amp;.txt").size, 6u);  // escaped in the list, read back
}

TEST_F(Publish, NewerVersionsKeepOlderFilesAndWithdrawDroppedPacks) {
    box.writeFile("v1/readme.txt", "version one");
    makePack("v1", "ui", {{"a.txt", "ui one"}});
    makePack("v1", "legacy", {{"old.txt", "legacy"}});
    ASSERT_TRUE(publish("v1")) << error;
    const FileListEntry oldReadme = find(u"", u"readme.txt");
    const uint32_t legacyCrc = find(u"data", u"legacy.pak").crc;

    box.writeFile("v2/readme.txt", "version two");
    makePack("v2", "ui", {{"a.txt", "ui two"}, {"b.txt", "new"}});
    ASSERT_TRUE(publish("v2")) << error;
    EXPECT_EQ(report.withdrawnPacks, 1);
    // Version 1's data is still there for players who have not updated.
    EXPECT_TRUE(box.exists("www/readme.txt.gzf." + hexOf(oldReadme.zipcrc)));
    EXPECT_NE(find(u"", u"readme.txt").zipcrc, oldReadme.zipcrc);
    // The dropped pack is listed under a crc no real pack has, and its list withdraws it.
    const uint32_t withdrawn = find(u"data", u"legacy.pak").crc;
    EXPECT_NE(withdrawn, legacyCrc);
    SubFileListDownloader sub;
    EXPECT_EQ(
        sub.load(platform::utf8ToWide(box.path() + "/www/data/legacy.fxml." + hexOf(withdrawn)),
                 u"x.pak", false),
        2);

    // The manifest names exactly what version 2 serves, with the bytes served.
    const ReleaseManifest m = manifest();
    EXPECT_EQ(m.version, 2u);
    std::set<std::string> named;
    for (const auto& [path, file] : m.files) {
        named.insert(path);
        const std::string bytes = box.readFile("www/" + path);
        EXPECT_EQ(file.size, bytes.size()) << path;
        EXPECT_EQ(file.sha256, Sha256::of(bytes)) << path;
    }
    EXPECT_EQ(named, servedPaths());

    // Publishing again keeps it withdrawn under the same crc.
    box.writeFile("v3/readme.txt", "version three");
    makePack("v3", "ui", {{"a.txt", "ui three"}});
    ASSERT_TRUE(publish("v3")) << error;
    EXPECT_EQ(find(u"data", u"legacy.pak").crc, withdrawn);
    EXPECT_EQ(manifest().version, 3u);
}

TEST_F(Publish, KeysAndTheSignedManifest) {
    const std::string key = box.path() + "/keys/op";
    ASSERT_EQ(publishMain({"keygen", key}, out, out), 0);
    EXPECT_EQ(fs::status(key).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    const std::string secret = box.readFile("keys/op");
    fs::remove(key + ".pub");  // a key is never replaced, even without its public half
    EXPECT_EQ(publishMain({"keygen", key}, out, out), 1);
    EXPECT_EQ(publishMain({"keygen", key + "/under-a-file"}, out, out), 1);
    EXPECT_EQ(box.readFile("keys/op"), secret);
    std::string said(4096, '\0');
    std::rewind(out);
    said.resize(std::fread(said.data(), 1, said.size(), out));
    EXPECT_NE(said.find(key + " already exists; a key is never replaced"), std::string::npos)
        << said;
    EXPECT_NE(said.find("cannot create " + key + "/under-a-file"), std::string::npos) << said;

    box.writeFile("v1/readme.txt", "one");
    const std::string game = box.path() + "/v1", www = box.path() + "/www";
    ASSERT_EQ(publishMain({game, www, "--sign", key, "--expires", "2"}, out, out), 0);
    const std::string text = box.readFile("www/release.manifest");
    EXPECT_TRUE(box.exists("www/release.manifest.sig"));  // a good one: the signed updates
    const int64_t expires = manifest().expires - platform::unixTime();
    EXPECT_TRUE(expires > 2 * 86400 - 600 && expires <= 2 * 86400) << expires;

    // Refused before anything is written: a version not above the tree's, a damaged key.
    EXPECT_EQ(publishMain({game, www, "--version", "1"}, out, out), 1);
    box.writeFile("bad.key", "not a key");
    EXPECT_EQ(publishMain({game, www, "--sign", box.path() + "/bad.key"}, out, out), 1);
    EXPECT_EQ(box.readFile("www/release.manifest"), text);
    // Published unsigned, no signature of an older manifest is left beside it; and a data
    // file that holds other bytes under its name is written again.
    const std::string data = "www/readme.txt.gzf." + hexOf(find(u"", u"readme.txt").zipcrc);
    box.writeFile(data, "two");
    ASSERT_EQ(publishMain({game, www, "--version", "9"}, out, out), 0);
    EXPECT_EQ(manifest().version, 9u);
    std::rewind(out);
    said.assign(1 << 16, '\0');
    said.resize(std::fread(said.data(), 1, said.size(), out));
    EXPECT_NE(said.find("release version 9, NOT signed"), std::string::npos) << said;
    EXPECT_FALSE(box.exists("www/release.manifest.sig"));
    EXPECT_EQ(box.readFile(data), "one");
}

TEST_F(Publish, DamageIsRefusedAndLeavesThePublishedVersion) {
    box.writeFile("v1/readme.txt", "one");
    ASSERT_TRUE(publish("v1")) << error;
    const std::string published = box.readFile("www/flist.xml");

    makePack("v2", "ui", {{"a.txt", std::string(4000, 'q')}});
    std::string pack = box.readFile("v2/data/ui.pak");
    pack[kIndexRegionSize + 3] ^= 0x40;  // a flipped byte in the member's stored data
    box.writeFile("v2/data/ui.pak", pack);
    EXPECT_FALSE(publish("v2"));
    EXPECT_NE(error.find("lume-pak verify"), std::string::npos) << error;
    EXPECT_EQ(box.readFile("www/flist.xml"), published);

    box.writeFile("v3/bad.pak", "not a pack");
    EXPECT_FALSE(publish("v3"));
    EXPECT_NE(error.find("bad.pak"), std::string::npos);
    EXPECT_FALSE(publish("missing"));
    EXPECT_NE(error.find("does not exist"), std::string::npos);
}

TEST_F(Publish, APatchStartsFromAnOldVersionInAnEmptyDirectory) {
    box.writeFile("v1/readme.txt", "one");
    box.writeFile("v2/readme.txt", "two");
    const std::string v1 = box.path() + "/v1", v2 = box.path() + "/v2", p = box.path() + "/p";
    EXPECT_EQ(publishMain({"--patch", v1, v2}, out, out), 2);
    EXPECT_EQ(publishMain({"--patch", v1, v2, p, "--sign", "key"}, out, out), 2);
    EXPECT_EQ(publishMain({"--patch", v1, v2, p, "--version", "3"}, out, out), 2);
    EXPECT_EQ(publishMain({"--patch", box.path() + "/missing", v2, p}, out, out), 1);
    EXPECT_FALSE(box.exists("p"));
    EXPECT_EQ(publishMain({"--patch", v1, v2, p}, out, out), 0);
    // A second patch would mix with the first.
    EXPECT_EQ(publishMain({"--patch", v2, v1, p}, out, out), 1);
    EXPECT_EQ(box.readFile("p/readme.txt.gzf"), "two");
}

TEST_F(Publish, MainUsage) {
    box.writeFile("game/a.txt", "a");
    EXPECT_EQ(publishMain({box.path() + "/game", box.path() + "/www", "--must", "a.txt"}, out, out),
              0);
    EXPECT_TRUE(box.exists("www/flist.xml"));
    EXPECT_EQ(publishMain({}, out, out), 2);
    EXPECT_EQ(publishMain({"a", "b", "--must"}, out, out), 2);
    EXPECT_EQ(publishMain({"--bogus", "a", "b"}, out, out), 2);
    EXPECT_EQ(publishMain({"--help"}, out, out), 0);
    EXPECT_EQ(publishMain({"keygen"}, out, out), 2);
    EXPECT_EQ(publishMain({"a", "b", "--expires", "-1"}, out, out), 2);
    EXPECT_EQ(publishMain({"a", "b", "--version", "0"}, out, out), 2);
}

}  // namespace
}  // namespace lume
