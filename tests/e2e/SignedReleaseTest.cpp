// Signed releases end to end on a real nginx: releases published and signed with
// lume-publish, a game that trusts the operator's key in bin\release.pub, and the terminal
// launcher refusing every release, list or data file that is not what the operator signed,
// with nothing of it installed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "engine/Kernel/Format.h"
#include "platform/IniFile.h"
#include "tests/e2e/EndToEnd.h"
#include "update/ReleaseGate.h"

namespace fs = std::filesystem;

namespace lume {
namespace {

// Changes byte 10 of the file, then bytes 20 to 23 so that the file checksum of the whole stays
// what it was: the checksum is no defence against anyone who wants a file to pass it. Its
// register is linear in the bytes: four bytes xored in at 20 cancel what the change at 10 left
// in it, and nothing after them sees a difference.
void forge(const fs::path& file) {
    std::string bytes = test::readBytes(file);
    const uint32_t target = test::crcOf(bytes);
    const std::string zeros(10, '\0');
    // What the change leaves in the register after byte 19: its checksum less that of zeros.
    const uint32_t left = test::crcOf("\x5A" + zeros.substr(1)) ^ test::crcOf(zeros);
    bytes[10] ^= 0x5A;
    for (int k = 0; k < 4; ++k) {
        bytes[20 + k] ^= static_cast<char>(left >> (8 * k));
    }
    ASSERT_EQ(test::crcOf(bytes), target);
    test::writeBytes(file, bytes);
}

// A CA and a certificate for 127.0.0.1 that it signed, in dir (ca.pem, server.pem,
// server.key); false when openssl cannot make them.
bool makeCertificates(const std::string& dir) {
    fs::create_directories(dir);
    const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 ";
    const std::string commands =
        "cd '" + dir + "' && openssl req -x509 " + key +
        "-keyout ca.key -out ca.pem -subj '/CN=Lumora test CA' "
        "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=keyCertSign && openssl req " +
        key +
        "-keyout server.key -out server.pem -subj '/CN=127.0.0.1' -CA ca.pem -CAkey ca.key "
        "-addext subjectAltName=IP:127.0.0.1 -addext basicConstraints=CA:FALSE";
    return std::system(("(" + commands + ") >/dev/null 2>&1").c_str()) == 0;
}

class SignedRelease : public test::EndToEnd {
protected:
    void prepare() override {
        std::string error;
        ASSERT_TRUE(generateSigningKey(root + "/keys/a", error)) << error;
        ASSERT_TRUE(generateSigningKey(root + "/keys/b", error)) << error;
        for (int v : {1, 2}) {
            test::makeVersion(
                root + "/v" + std::to_string(v),
                {{"readme.txt", test::textBytes(5000, v)},
                 {"big.bin", test::noiseBytes(600000, v)},
                 {"bin/release.pub", test::readBytes(root + "/keys/a.pub")}},
                {{"ui",
                  {{"a.txt", test::textBytes(3000, v)}, {"m.bin", test::noiseBytes(40000, v)}}}});
            ASSERT_TRUE(publish("v" + std::to_string(v), "www/release", {"keys/a"}));
        }
        ASSERT_TRUE(publish("v1", "www/old", {"keys/a"}));
        install("v1");
    }

    bool publish(const std::string& version, const std::string& out, std::vector<std::string> keys,
                 int expiresDays = 30) {
        PublishOptions o;
        o.expiresDays = expiresDays;
        for (const std::string& key : keys) {
            o.signKeyFiles.push_back(root + "/" + key);
        }
        return test::publish(root + "/" + version, root + "/" + out, o);
    }
    // A served copy of the release, changed by edit (given the copy's directory).
    void serveCopy(const std::string& name, const std::function<void(const fs::path&)>& edit) {
        fs::copy(root + "/www/release", root + "/www/" + name, fs::copy_options::recursive);
        edit(root + "/www/" + name);
    }
    uint64_t acceptedVersion(const std::string& game) {
        platform::IniFile ini;
        ini.load(platform::utf8ToWide(root + "/" + game + "/bin/config.ini"));
        return std::stoull(platform::wideToUtf8(ini.getString(u"release", u"version", u"0")));
    }
};

TEST_F(SignedRelease, WhatTheOperatorDidNotSignIsRefusedAndNothingInstalled) {
    const std::string bigData =
        "big.bin.gzf." + test::hexOf(test::crcOf(test::readBytes(root + "/v2/big.bin")));
    // The member of the pack that the two versions do not share, by its served name.
    std::string memberData;
    const test::PackView v1Pack = test::viewPack(root + "/v1/data/ui.pak");
    for (const auto& [key, member] : test::viewPack(root + "/v2/data/ui.pak").members) {
        if (member.stored.size() == 40000 && v1Pack.members.at(key) != member) {
            memberData = "data/" + test::hexOf(key) + ".gzf." + test::hexOf(member.dataCrc);
        }
    }
    ASSERT_FALSE(memberData.empty());
    // The manifest, with a line added, signed again with the key.
    const auto resign = [&](const fs::path& d, const std::string& added, const std::string& key) {
        SecretKey secret;
        ASSERT_TRUE(parseSecretKey(test::readBytes(root + "/" + key), secret));
        const std::string manifest = test::readBytes(d / "release.manifest") + added;
        test::writeBytes(d / "release.manifest", manifest);
        test::writeBytes(d / "release.manifest.sig", signatureText(sign(manifest, secret)));
    };
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> edit;
        std::u16string text;    // told to the player before anything is fetched
        const char* untouched;  // only this is checked when the rest of the release is good
        UpdateResult::Kind kind = UpdateResult::Kind::VerifyFailed;
    } cases[] = {
        {"flist",
         [](const fs::path& d) {
             test::writeBytes(d / "flist.xml", test::readBytes(d / "flist.xml") + " ");
         },
         formatW(kTextManifestMismatch, u"flist.xml"), nullptr},
        {"fxml",
         [](const fs::path& d) {
             for (const auto& f : fs::directory_iterator(d / "data")) {
                 if (f.path().filename().string().starts_with("ui.fxml.")) {
                     test::writeBytes(f.path(), test::readBytes(f.path()) + "<!-- -->");
                 }
             }
         },
         u"", nullptr},
        {"otherkey", [&](const fs::path& d) { resign(d, "", "keys/b"); }, kTextManifestBadSignature,
         nullptr},
        {"malformed", [&](const fs::path& d) { resign(d, "size 1\n", "keys/a"); },
         kTextManifestMalformed, nullptr},
        // The game's own keys damaged: no release passes, rather than every release unchecked.
        {"badkeys",
         [&](const fs::path&) { test::writeBytes(root + "/try/bin/release.pub", "lume-key\n"); },
         kTextReleaseKeysInvalid, "big.bin"},
        {"unsigned", [](const fs::path& d) { fs::remove(d / "release.manifest.sig"); },
         kTextManifestUnsigned, nullptr},
        {"nomanifest", [](const fs::path& d) { fs::remove(d / "release.manifest"); },
         kTextManifestUnreachable, nullptr, UpdateResult::Kind::FileListFailed},
        {"expired",
         [&](const fs::path& d) {
             fs::remove_all(d);
             ASSERT_TRUE(publish("v2", d.lexically_relative(root).string(), {"keys/a"}, 0));
         },
         kTextManifestExpired, nullptr},
        {"forgedfile", [&](const fs::path& d) { forge(d / bigData); }, u"", "big.bin"},
        {"forgedmember", [&](const fs::path& d) { forge(d / memberData); }, u"", "data/ui.pak"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        install("v1", "try");
        serveCopy(c.name, c.edit);
        EXPECT_EQ(update(std::string("/") + c.name, {}, "try"), kExitFailure) << said();
        EXPECT_EQ(last.result.kind, c.kind) << said();
        if (!c.text.empty()) {
            EXPECT_TRUE(printed(c.text)) << said();
        }
        if (c.untouched == nullptr) {
            expectVersion("v1", "try");
        } else {
            test::expectFile(root + "/try", root + "/v1", c.untouched);
        }
    }
}

TEST_F(SignedRelease, WhatThePrimaryForgedIsFetchedFromTheMirror) {
    const std::string bigData =
        "big.bin.gzf." + test::hexOf(test::crcOf(test::readBytes(root + "/v2/big.bin")));
    serveCopy("evil", [&](const fs::path& d) {
        test::writeBytes(d / "flist.xml", test::readBytes(d / "flist.xml") + " ");
        forge(d / bigData);
    });
    // A mirror whose answer runs on past the file's size: the transfer is cut short.
    constexpr uint64_t kLong = 256u << 20;
    serveCopy("long", [&](const fs::path& d) { fs::resize_file(d / bigData, kLong); });
    EXPECT_EQ(update("/evil", {"--mirror-host", nginx->host(), "--mirror-path", "/long"}),
              kExitFailure);
    ASSERT_TRUE(test::waitFor([&] { return nginx->requests("/long/" + bigData) == 1; }));
    EXPECT_LT(nginx->bytesSent("/long/" + bigData), kLong);
    ASSERT_EQ(update("/evil", {"--mirror-host", nginx->host(), "--mirror-path", "/release"}),
              kExitOk)
        << said();
    expectVersion("v2");
    EXPECT_EQ(nginx->requests("/release/flist.xml"), 1);
    EXPECT_EQ(nginx->requests("/release/" + bigData), 1);  // whole, once
}

TEST_F(SignedRelease, AMemberStagedByAnUnverifiedUpdateIsCheckedBeforeItIsMerged) {
    // Without bin\release.pub an update stages a forged member that passes its checksum; a
    // damaged sibling keeps the pack from being merged then.
    const test::PackView v1Pack = test::viewPack(root + "/v1/data/ui.pak");
    serveCopy("forged", [&](const fs::path& d) {
        for (const auto& [key, member] : test::viewPack(root + "/v2/data/ui.pak").members) {
            const fs::path data =
                d / "data" / (test::hexOf(key) + ".gzf." + test::hexOf(member.dataCrc));
            if (member.stored.size() == 40000) {
                forge(data);
            } else {
                std::string bytes = test::readBytes(data);
                bytes[10] ^= 1;
                test::writeBytes(data, bytes);
            }
        }
    });
    const std::string keys = test::readBytes(root + "/game/bin/release.pub");
    fs::remove(root + "/game/bin/release.pub");
    ASSERT_EQ(update("/forged"), kExitFailure) << said();
    ASSERT_EQ(last.result.kind, UpdateResult::Kind::VerifyFailed) << said();
    EXPECT_EQ(test::viewPack(root + "/game/data/ui.pak"), v1Pack);
    // Trusting the key again, the update resumes the pack: the staged member is fetched
    // anew, since it is not what the manifest names.
    test::writeBytes(root + "/game/bin/release.pub", keys);
    ASSERT_EQ(update("/release"), kExitOk) << said();
    expectVersion("v2");
}

TEST_F(SignedRelease, ASignedReleaseIsKeptAndAnOlderOneReplayedAfterItRefused) {
    ASSERT_EQ(updateFully("/release"), kExitOk) << said();
    expectVersion("v2");
    EXPECT_TRUE(printed(formatW(kTextManifestAccepted, 2))) << said();
    ASSERT_EQ(acceptedVersion("game"), 2u);
    // Version 1 is signed by the same key, not expired, and every file matches it.
    EXPECT_EQ(update("/old"), kExitFailure);
    EXPECT_EQ(last.result.kind, UpdateResult::Kind::VerifyFailed);
    EXPECT_TRUE(printed(formatW(kTextManifestRollback, 1, 2))) << said();
    expectVersion("v2");
    EXPECT_EQ(acceptedVersion("game"), 2u);
    // A fresh installation has accepted nothing newer, so to it version 1 is good.
    install("v1", "fresh");
    EXPECT_EQ(update("/old", {}, "fresh"), kExitOk) << said();
}

TEST_F(SignedRelease, KeysChangeHandsThroughASignedRelease) {
    // Version 3 ships the new key, signed by the old one and the new one; version 4 is
    // signed by the new key alone.
    fs::copy(root + "/v2", root + "/v3", fs::copy_options::recursive);
    test::writeBytes(root + "/v3/bin/release.pub", test::readBytes(root + "/keys/b.pub"));
    ASSERT_TRUE(publish("v3", "www/release", {"keys/a", "keys/b"}));
    fs::copy(root + "/v3", root + "/v4", fs::copy_options::recursive);
    test::writeBytes(root + "/v4/readme.txt", "version 4");
    fs::copy(root + "/game", root + "/stale", fs::copy_options::recursive);
    ASSERT_EQ(updateFully("/release"), kExitOk) << said();
    expectVersion("v3");
    ASSERT_TRUE(publish("v4", "www/release", {"keys/b"}));
    ASSERT_EQ(updateFully("/release"), kExitOk) << said();
    expectVersion("v4");
    // An installation that never received the new key does not trust what it alone signed.
    EXPECT_EQ(update("/release", {}, "stale"), kExitFailure);
    EXPECT_TRUE(printed(kTextManifestBadSignature)) << said();
    expectVersion("v1", "stale");
}

TEST_F(SignedRelease, HttpsServersPassOnlyWithACertificateTheLauncherTrusts) {
    ASSERT_TRUE(makeCertificates(root + "/tls")) << "openssl could not make the certificates";
    const auto https = serve({}, {root + "/tls/server.pem", root + "/tls/server.key"});
    // The server list names the HTTPS server as the primary host and as a mirror.
    serveServerList(*https, {https->host(), https->host()}, "/release");

    // Its certificate comes from a CA that the system does not know: nothing is fetched.
    EXPECT_EQ(update("/release", {}, "game", https->host()), kExitFailure);
    EXPECT_EQ(last.result.kind, UpdateResult::Kind::FileListFailed) << said();
    expectVersion("v1");

    // bin\config.ini names the CA: the server list, the mirror probe and the update go through.
    fs::copy(root + "/tls/ca.pem", root + "/game/bin/private-ca.pem");
    test::writeBytes(root + "/game/bin/config.ini", "[other]\r\ncafile=bin\\private-ca.pem\r\n");
    ASSERT_EQ(cli({"run", "-C", game().string(), "--no-launch"}), kExitOk) << said();
    expectVersion("v2");
}

}  // namespace
}  // namespace lume
