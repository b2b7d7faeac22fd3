// Installations that must not be trusted as they stand, updated by the terminal launcher
// from a real nginx: packs damaged on disk or left half-changed by an older launcher, a full
// disk; and "verify the game files" with its repair. Each ends in the published version or an
// honest failure, never in "up to date" with wrong bytes.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <filesystem>
#include <random>

#include "engine/FileSystem/PackCheck.h"
#include "tests/e2e/EndToEnd.h"

namespace fs = std::filesystem;

namespace lume {
namespace {

class Integrity : public test::EndToEnd {
protected:
    void prepare() override {
        for (int v = 1; v <= 2; ++v) {
            const std::string dir = box.path() + "/v" + std::to_string(v);
            test::makeVersion(dir,
                              {{"readme.txt", test::textBytes(4000, v)},
                               {"bin/lume.dat", "#!/bin/sh\necho client\n"},
                               {"maps/a.map", test::noiseBytes(150000, 1)}},
                              {{"ui",
                                {{"a.txt", test::textBytes(36000, 0)},
                                 {"b.txt", test::textBytes(28000, v)},
                                 {"c.bin", test::noiseBytes(60000, 2)},
                                 {"d.bin", test::noiseBytes(50000, 3)}}}});
            ASSERT_TRUE(test::publish(dir, box.path() + "/www/v" + std::to_string(v)));
        }
    }

    // Overwrites bytes of the installed ui pack.
    void patchPack(uint32_t at, const std::string& bytes) {
        std::string p = box.readFile("game/data/ui.pak");
        p.replace(at, bytes.size(), bytes);
        box.writeFile("game/data/ui.pak", p);
    }
    std::string uiPack() const { return (game() / "data/ui.pak").string(); }
    PackIndex uiIndex() { return inspectPack(platform::utf8ToWide(uiPack())).index; }
    uint32_t recordAt(uint32_t i) {
        const PackHeader h = uiIndex().header;
        return h.recordTableOffset + i * static_cast<uint32_t>(sizeof(PackRecord));
    }
};

TEST_F(Integrity, WorkOfAnotherVersionMakesTheIndexDistrustedAndRotIsFetchedAgain) {
    // An older launcher cut short while merging version 2 in place: member bytes already
    // overwritten under the old index, and its patch list left behind. The server is still
    // at version 1, so the index's checksum matches the file list.
    install("v1");
    const PackIndex index = uiIndex();
    patchPack(index.records[1].offset, "half merged");
    box.writeFile("game/data/ui.pak.ipatch", "!PTI left by the cut-short merge of version 2");
    ASSERT_EQ(update("/v1"), kExitOk) << said();
    expectVersion("v1", "game", true);
    EXPECT_FALSE(box.exists("game/data/ui.pak.ipatch"));
    // The same rot without a sign of trouble is found by a forced update.
    patchPack(index.records[2].offset, "rot");
    ASSERT_EQ(update("/v1", {"--force"}), kExitOk) << said();
    expectVersion("v1", "game", true);
}

TEST_F(Integrity, DamagedPacksEndRepairedNeverUpToDateWithWrongBytes) {
    install("v1");
    ASSERT_EQ(update("/v2"), kExitOk) << said();
    const uint64_t cleanBytes = nginx->bytesSent();  // a whole v1 to v2 update
    install("v1");
    const PackIndex index = uiIndex();
    const PackRecord& c = index.records[3];
    const std::vector<std::pair<const char*, std::function<void()>>> damages = {
        {"a hole over a live member",
         [&] {
             // The index grows a free-block table whose hole covers member c.
             std::string p = box.readFile("game/data/ui.pak");
             PackHeader h = index.header;
             const FreeBlock hole{c.offset, c.blockSize, 0};
             h.freeTableSize = sizeof hole;
             h.recordTableOffset += sizeof hole;
             std::string tables =
                 p.substr(index.header.freeTableOffset, index.header.recordTableSize);
             p.replace(0, sizeof h, reinterpret_cast<const char*>(&h), sizeof h);
             p.replace(h.freeTableOffset, sizeof hole, reinterpret_cast<const char*>(&hole),
                       sizeof hole);
             p.replace(h.recordTableOffset, tables.size(), tables);
             box.writeFile("game/data/ui.pak", p);
         }},
        {"the root's parent index", [&] { patchPack(recordAt(0) + 24, std::string("\0\0", 2)); }},
        {"a member's parent index", [&] { patchPack(recordAt(2) + 24, "\x09\x00"); }},
        {"the header's index checksum", [&] { patchPack(28, "\x01\x02\x03\x04"); }},
    };
    for (const auto& [name, damage] : damages) {
        SCOPED_TRACE(name);
        install("v1");
        damage();
        const uint64_t before = nginx->bytesSent();
        ASSERT_EQ(update("/v2"), kExitOk) << said();
        expectVersion("v2", "game", true);
        // Rebuilt from its intact members: no more fetched than a clean update.
        EXPECT_LE(nginx->bytesSent() - before, cleanBytes);
    }
    // Random damage anywhere in the pack: a forced update ends with version 2 or fails.
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE("random damage " + std::to_string(seed));
        install("v1");
        std::mt19937 rng(seed);
        std::string p = box.readFile("game/data/ui.pak");
        const uint32_t tablesEnd = index.header.recordTableOffset + index.header.recordTableSize;
        for (int i = 0; i < 4; ++i) {
            const uint32_t at = rng() % 2 == 0
                                    ? rng() % tablesEnd
                                    : kIndexRegionSize + rng() % (p.size() - kIndexRegionSize);
            p[at] = static_cast<char>(p[at] ^ (1 + rng() % 255));
        }
        box.writeFile("game/data/ui.pak", p);
        if (update("/v2", {"--force"}) == kExitOk) {
            expectVersion("v2", "game", true);
        }
    }
    // Fields the index checksum does not cover, damaged in every member record while the
    // stored bytes stay right: the members are fetched again, not kept as they are described.
    for (const uint32_t field : {12u /* size */, 26u /* flags */, 28u /* content checksum */}) {
        SCOPED_TRACE("record field at " + std::to_string(field));
        install("v1");
        for (uint32_t i = 1; i < index.records.size(); ++i) {
            patchPack(recordAt(i) + field, "\x5a");
        }
        ASSERT_EQ(update("/v2"), kExitOk) << said();
        expectVersion("v2", "game", true);
    }
}

TEST_F(Integrity, VerifyReportsWhatIsWrongAndRepairFetchesExactlyThat) {
    install("v2");
    EXPECT_EQ(launcher("verify", "/v2"), kExitOk) << said();
    EXPECT_TRUE(printed("every game file is intact")) << said();

    const PackIndex index = uiIndex();
    std::string map = box.readFile("game/maps/a.map");
    map[100000] ^= 1;
    box.writeFile("game/maps/a.map", map);
    fs::remove(game() / "readme.txt");
    patchPack(index.records[4].offset + 10, "rot");
    patchPack(recordAt(2) + 12, "\x5a");  // right bytes, a size they do not unpack to
    EXPECT_EQ(launcher("verify", "/v2"), kExitFailure) << said();
    for (const char* line :
         {"maps\\a.map: wrong content", "readme.txt: missing", "data\\ui.pak: member"}) {
        EXPECT_TRUE(printed(line)) << line << "\n" << said();
    }
    const std::string member = "data\\ui.pak: member";
    EXPECT_NE(said().find(member), said().rfind(member)) << said();
    EXPECT_FALSE(box.exists("game/readme.txt"));  // verify only looks
    const uint64_t before = nginx->bytesSent();
    EXPECT_EQ(launcher("verify", "/v2", {"--repair"}), kExitOk) << said();
    expectVersion("v2", "game", true);
    // The two files, the two damaged members and the lists: nothing else was fetched.
    const uint64_t fetched = nginx->bytesSent() - before;
    EXPECT_LE(fetched, 150000u + 60000u + 50000u + 20000u);
}

// A tmpfs of its own for the game, sized so that little is left: the update needs more.
class FullDisk : public Integrity {
protected:
    void prepare() override {
        Integrity::prepare();
        install("v1");
        const std::string copy = box.path() + "/game-copy";
        fs::rename(game(), copy);
        fs::create_directories(game());
        if (::mount("tmpfs", game().c_str(), "tmpfs", 0, "size=32m") != 0) {
            GTEST_SKIP() << "cannot mount a small file system here";
        }
        mounted = true;
        fs::copy(copy, game(), fs::copy_options::recursive);
    }
    void TearDown() override {
        if (mounted) {
            ::umount2(game().c_str(), MNT_DETACH);
        }
    }
    bool mounted = false;
};

TEST_F(FullDisk, TheUpdateFailsAtOnceSayingTheDiskIsFullAndHowMuchItNeeds) {
    // v1 takes about 8.3 MiB, most of it the ui pack's index region: shrink the file system
    // to leave 16 KiB free.
    const fs::space_info space = fs::space(game());
    const uint64_t used = space.capacity - space.available;
    const std::string size = "size=" + std::to_string((used >> 10) + 16) + "k";
    ASSERT_EQ(::mount("tmpfs", game().c_str(), "tmpfs", MS_REMOUNT, size.c_str()), 0);
    const int requests = nginx->requests();
    EXPECT_EQ(update("/v2"), kExitFailure) << said();
    EXPECT_TRUE(printed("磁盘空间不足")) << said();
    EXPECT_FALSE(printed(kTextFileListFailed)) << said();
    // The lists were fetched, no data.
    EXPECT_LE(nginx->requests() - requests, 3);
    expectVersion("v1");  // its saved patch list may stay for the next run
}

}  // namespace
}  // namespace lume
