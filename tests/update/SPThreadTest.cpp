// Offline patches through the updater's startPatch: patch directories written by
// lume-publish --patch from two versions of a game (packs built by lume-pak), applied to the
// older version installed in a game directory that is not the working directory, and the
// messages a window sees.
#include <gtest/gtest.h>

#include <chrono>

#include "engine/Kernel/MessageTarget.h"
#include "tests/support/LogCapture.h"
#include "tests/support/PeImage.h"
#include "tests/update/UpdateTestData.h"
#include "tools/publish/Publisher.h"
#include "update/PatchUpdater.h"
#include "update/SPThread.h"

namespace lume {
namespace {

namespace fs = std::filesystem;
using test::PeImage;
using test::Tree;

class PatchRun : public ::testing::Test {
protected:
    void SetUp() override { window.drain(); }

    // Writes both versions as game directories (packs: folder name -> members), the patch
    // from the first to the second, and installs the first in game. Each call works in a
    // folder of its own.
    void prepare(const Tree& oldFiles, const Tree& newFiles,
                 const std::map<std::string, Tree>& oldPacks = {},
                 const std::map<std::string, Tree>& newPacks = {},
                 std::vector<std::string> must = {}) {
        const fs::path dir = root / ("case" + std::to_string(++cases));
        test::makeVersion(dir / "old", oldFiles, oldPacks);
        test::makeVersion(dir / "new", newFiles, newPacks);
        PublishOptions o;
        o.gameDirectory = (dir / "new").string();
        o.outDirectory = (dir / "patch").string();
        o.oldDirectory = (dir / "old").string();
        o.must = std::move(must);
        PublishReport report;
        std::string error;
        ASSERT_TRUE(publishPatch(o, report, error)) << error;
        game = dir / "game";
        patch = dir / "patch";
        fresh = dir / "new";
        fs::copy(dir / "old", game, fs::copy_options::recursive);
    }

    // Applies the patch; every message up to and including the end (6039).
    std::vector<PostedMessage> apply() {
        std::vector<PostedMessage> out;
        EXPECT_TRUE(updater->startPatch("flist.xml", patch.string(), game.string()));
        while (auto m = window.waitPop(std::chrono::seconds(120))) {
            out.push_back(*m);
            if (m->message == kMsgPatchDone) {
                return out;
            }
        }
        ADD_FAILURE() << "no end message";
        return {{kMsgPatchDone, 0xFFFFFFFFu, 0xFFFFFFFFu}};
    }
    static uint32_t failuresOf(const std::vector<PostedMessage>& messages) {
        return messages.back().wParam;
    }

    test::Sandbox box;  // the working directory; the game is elsewhere
    test::LogCapture log;
    MessageQueue window;
    std::unique_ptr<PatchUpdater> updater = std::make_unique<PatchUpdater>(&window, &log);
    fs::path root = box.path(), game, patch, fresh;
    int cases = 0;
};

TEST_F(PatchRun, MustFilesAreReplacedOnlyByAHigherFileVersion) {
    const std::string v1_5 = PeImage::build(1, 5);
    // The case, the installed file (empty: none), the patch's, whether the patch's replaces it.
    const std::tuple<const char*, std::string, std::string, bool> cases[] = {
        {"no version installed", "#!/bin/sh\n", PeImage::build(1, 6), false},
        {"equal versions", v1_5, v1_5 + "rebuilt", false},
        {"higher least significant part", v1_5, PeImage::build(1, 6), true},
        {"lower version", PeImage::build(2, 0), PeImage::build(1, 0x7FFFFFFF, true), false},
        {"not installed", "", v1_5, true},
    };
    for (const auto& [name, installed, patched, replaced] : cases) {
        Tree oldFiles = {{"readme.txt", "1"}};
        if (!installed.empty()) {
            oldFiles["bin/launcher.dll"] = installed;
        }
        prepare(oldFiles, {{"readme.txt", "2"}, {"bin/launcher.dll", patched}}, {}, {},
                {"bin/launcher.dll"});
        EXPECT_EQ(failuresOf(apply()), 0u) << name;
        const std::string want = replaced ? patched : installed;
        EXPECT_EQ(test::readBytes(game / "bin/launcher.dll"), want) << name;
        EXPECT_FALSE(fs::exists(game / "bin/launcher.dll.gzf.tmp")) << name;
    }
}

TEST_F(PatchRun, DamagedDataLeavesTheOldFileAndFailsThePatch) {
    const std::string deflated = test::textBytes(20000, 1);
    const std::string stored = test::noiseBytes(5000, 1);
    prepare({{"a.txt", "old a"}, {"b.bin", "old b"}, {"c.txt", "old c"}, {"d.txt", "old d"}},
            {{"a.txt", deflated}, {"b.bin", stored}, {"c.txt", deflated}, {"d.txt", "new d"}});
    std::string data = test::readBytes(patch / "a.txt.gzf");
    data.resize(data.size() / 2);  // does not inflate to its size
    test::writeBytes(patch / "a.txt.gzf", data);
    data = test::readBytes(patch / "b.bin.gzf");
    data[100] ^= 1;  // the right size, the wrong bytes
    test::writeBytes(patch / "b.bin.gzf", data);
    fs::remove(patch / "c.txt.gzf");
    // A target that cannot be replaced, nor written beside as ".back".
    fs::remove(game / "d.txt");
    test::writeBytes(game / "d.txt/in.txt", "");
    test::writeBytes(game / "d.txt.back/in.txt", "");
    EXPECT_EQ(failuresOf(apply()), 4u);
    EXPECT_EQ(test::readBytes(game / "a.txt"), "old a");
    EXPECT_EQ(test::readBytes(game / "b.bin"), "old b");
    EXPECT_EQ(test::readBytes(game / "c.txt"), "old c");
    EXPECT_FALSE(fs::exists(game / "a.txt.gzf.tmp"));
    // The patch itself is only read.
    EXPECT_TRUE(fs::exists(patch / "d.txt.gzf"));
    fs::remove_all(game / "d.txt");
    EXPECT_EQ(failuresOf(apply()), 3u);
    EXPECT_EQ(test::readBytes(game / "d.txt"), "new d");
}

TEST_F(PatchRun, LooseFilesAndPacksAreInstalledMergedBuiltAndWithdrawn) {
    const Tree oldUi = {{"a.png", test::noiseBytes(40000, 2)},
                        {"b.txt", test::textBytes(5000, 1)},
                        {"c.bin", test::noiseBytes(3000, 3)}};
    const Tree newUi = {{"a.png", oldUi.at("a.png")},
                        {"b.txt", test::textBytes(90000, 2)},
                        {"d.txt", test::textBytes(2000, 4)},
                        {"e.txt", ""}};
    prepare({{"readme.txt", test::textBytes(5000, 1)},
             {"maps/a.map", test::noiseBytes(70000, 1)},
             {"same.txt", "same"}},
            {{"readme.txt", test::textBytes(9000, 2)},    // travels deflated
             {"maps/a.map", test::noiseBytes(70000, 2)},  // travels as it is
             {"maps/b.map", ""},
             {"same.txt", "same"}},
            {{"ui", oldUi}, {"legacy", {{"old.txt", "old"}}}, {"same", {{"s.txt", "s"}}}},
            {{"ui", newUi},
             {"sound", {{"s1.ogg", test::noiseBytes(70000, 5)}}},
             {"broken", {{"b.bin", test::noiseBytes(9000, 6)}}},
             {"same", {{"s.txt", "s"}}}});
    // Only changed files and members travel; an unchanged pack not at all.
    EXPECT_FALSE(fs::exists(patch / "same.txt.gzf"));
    EXPECT_EQ(test::readTree(patch / "data/ui").size(), 2u);
    EXPECT_FALSE(fs::exists(patch / "data/same.fxml"));
    // What an abandoned online download of a.map left goes: the patch brings the file.
    test::writeBytes(game / "maps/a.map.gzf", "half");
    test::writeBytes(game / "maps/a.map.igzf", "index");
    for (const auto& member : fs::directory_iterator(patch / "data/broken")) {
        fs::resize_file(member.path(), 100);
    }
    const auto messages = apply();
    EXPECT_EQ(failuresOf(messages), 1u) << log.text();
    EXPECT_EQ(messages[messages.size() - 2].message, kMsgWriteFailed);
    EXPECT_FALSE(fs::exists(game / "data/broken.pak"));
    for (const PostedMessage& m : messages) {
        if (m.message == kMsgPatchProgress) {
            EXPECT_EQ(m.lParam, 2u);  // ui merged, sound built
            EXPECT_LT(m.wParam, 2u);
        }
    }
    // The new version, but for the broken pack; nothing of the patch's work is left: no
    // lists, no build output, no staged files.
    Tree have = test::readTree(game), want = test::readTree(fresh);
    want.erase("data/broken.pak");
    for (const char* pack : {"data/ui.pak", "data/sound.pak", "data/same.pak"}) {
        EXPECT_EQ(test::viewPack(game / pack), test::viewPack(fresh / pack)) << pack;
        have.erase(pack);
        want.erase(pack);
    }
    EXPECT_EQ(have, want);
    EXPECT_FALSE(fs::exists(root / "update/ui"));
    // Applied again, the packs already current are left alone.
    for (const PostedMessage& m : apply()) {
        EXPECT_NE(m.message, kMsgPatchProgress);
    }
}

TEST_F(PatchRun, NamesOutsideTheGameDirectoryAndMissingListsFail) {
    prepare({{"a.txt", "1"}}, {{"a.txt", "2"}});
    test::writeBytes(patch / "flist.xml", R"(<flist>
        <file name="..\escaped.txt" crc="0" size="1" zip="1"/>
        <file name="..\escaped.pak" crc="0"/>
        <file name="twice.txt" crc="0" size="1" zip="1"/><file name="twice.txt"/>
        </flist>)");
    test::writeBytes(root / "escaped.txt.gzf", "x");
    test::writeBytes(game / "../escaped.txt.gzf", "x");
    EXPECT_EQ(failuresOf(apply()), 4u);  // twice.txt: no data, then a repeated name
    EXPECT_FALSE(fs::exists(game / "../escaped.txt"));
    EXPECT_FALSE(fs::exists(root / "escaped.txt"));

    fs::remove(patch / "flist.xml");
    EXPECT_EQ(failuresOf(apply()), 1u);  // nothing applied is not a success

    // Gone while a pass may still run: the processor and its pack writer stop and join.
    ASSERT_TRUE(updater->startPatch("flist.xml", patch.string(), game.string()));
    updater.reset();
}

}  // namespace
}  // namespace lume
