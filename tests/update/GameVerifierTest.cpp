// "Verify the game files" on a real game directory: every kind of damage is reported as what
// it is, what is intact is not, and a stop ends the check.
#include "update/GameVerifier.h"

#include "tests/update/UpdateTestData.h"

namespace lume {
namespace {

// A list entry for bytes (a loose file) or for a pack whose index has crc.
FileListEntry entry(const char16_t* folder, const std::u16string& name, const std::string& bytes,
                    uint32_t crc = 0) {
    const bool pack = name.ends_with(u".pak");
    return {.pakName = pack ? name : u"",
            .folder = folder,
            .name = name,
            .crc = pack ? crc : test::crcOf(bytes),
            .size = static_cast<uint32_t>(bytes.size())};
}

TEST(Verify, EachDamageIsReportedAsWhatItIsAndStopsEndIt) {
    test::Sandbox box;
    test::makeVersion(box.path(), {{"a.txt", "good"}, {"b.txt", "abc"}, {"c.txt", "code"}},
                      {{"ui", {{"m.txt", test::textBytes(3000, 1)}}}});
    const uint32_t ui = test::packIndex(box.path() + "/data/ui.pak").first;
    std::string bad = box.readFile("data/ui.pak");
    bad[28] ^= 1;  // the header's index checksum
    box.writeFile("data/bad.pak", bad);
    box.writeFile("data/old.pak", box.readFile("data/ui.pak"));
    box.writeFile("data/junk.pak", "not a pack");
    const std::vector<FileListEntry> entries = {entry(u"..", u"x.txt", "x"),
                                                entry(u"", u"a.txt", "good"),
                                                entry(u"", u"b.txt", "abcd"),
                                                entry(u"", u"c.txt", "cold"),
                                                entry(u"", u"d.txt", "d"),
                                                entry(u"data", u"ui.pak", "", ui),
                                                entry(u"data", u"old.pak", "", ui ^ 1),
                                                entry(u"data", u"bad.pak", "", ui),
                                                entry(u"data", u"junk.pak", "", ui),
                                                entry(u"data", u"gone.pak", "", ui)};
    GameVerifier verifier;
    uint64_t lastDone = 0;
    ASSERT_TRUE(verifier.run(entries, [&](uint64_t done, uint64_t total, const std::u16string&) {
        EXPECT_LE(done, total);
        lastDone = done;
        return false;
    }));
    std::vector<std::string> said;
    for (const VerifyFinding& f : verifier.findings()) {
        said.push_back(describe(f));
    }
    ASSERT_EQ(said.size(), 8u) << testing::PrintToString(said);
    EXPECT_EQ(said[0], "..\\x.txt: named outside the game directory");
    EXPECT_EQ(said[1], "b.txt: wrong size (3 bytes, the list says 4)");
    EXPECT_EQ(said[2], "c.txt: wrong content");
    EXPECT_EQ(said[3], "d.txt: missing");
    char versions[48];
    std::snprintf(versions, sizeof versions, "(index %08x, the list says %08x)", ui, ui ^ 1);
    EXPECT_EQ(said[4], "data\\old.pak: pack of another version " + std::string(versions));
    EXPECT_EQ(said[5],
              "data\\bad.pak: pack index damaged (the index checksum does not match its records)");
    EXPECT_TRUE(said[6].starts_with("data\\junk.pak: pack index unreadable (")) << said[6];
    EXPECT_EQ(said[7], "data\\gone.pak: missing");
    EXPECT_EQ(verifier.filesChecked(), 10u - 1u);
    EXPECT_EQ(verifier.bytesChecked(), lastDone);

    // A stop at the first report ends the run before the rest is looked at.
    EXPECT_FALSE(
        verifier.run(entries, [](uint64_t, uint64_t, const std::u16string&) { return true; }));
    EXPECT_EQ(verifier.filesChecked(), 1u);
}

}  // namespace
}  // namespace lume
