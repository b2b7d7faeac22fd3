// The texts of signed releases as stored and published: the manifest (only its exact form
// parses), the trusted keys of bin\release.pub, key and signature files; and signatures that
// hold only for the signed bytes and the signing key.
#include <gtest/gtest.h>

#include "update/ReleaseManifest.h"
#include "update/ReleaseSigning.h"

namespace lume {
namespace {

const std::string kSha(64, 'a');

TEST(ReleaseManifest, TheExactFormParsesAndRoundTrips) {
    ReleaseManifest m;
    m.version = 7;
    m.expires = 1700000000;
    m.files["flist.xml"] = {12, Sha256::of("hello")};
    m.files["数据/a b.gzf.1f"] = {0, Sha256::of("")};
    ReleaseManifest back;
    std::string error;
    ASSERT_TRUE(ReleaseManifest::parse(m.text(), back, error)) << error;
    EXPECT_EQ(std::tuple(back.version, back.expires), std::tuple(7u, 1700000000));
    ASSERT_NE(back.find("数据/a b.gzf.1f"), nullptr);
    EXPECT_EQ(back.find("flist.xml")->sha256, Sha256::of("hello"));
    EXPECT_EQ(back.find("flist.xml")->size, 12u);
    EXPECT_EQ(back.find("a"), nullptr);
    EXPECT_EQ(back.text(), m.text());
    // The well-known digest: the hash is SHA-256 and not something like it.
    EXPECT_EQ(toHex(Sha256::of("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(ReleaseManifest, AnythingElseIsRefused) {
    const std::string head = "lume-release-manifest 1\nversion 3\nexpires 99\n";
    const std::string line = "file 5 " + kSha + " a.txt\n";
    const char* const reasons[] = {"header", "version", "expiry", "file line"};
    const std::pair<std::string, const char*> cases[] = {
        {"", reasons[0]},
        {"lume-release-manifest 2\nversion 3\nexpires 99\n", reasons[0]},
        {"lume-release-manifest 1\nversion x\nexpires 99\n", reasons[1]},
        {"lume-release-manifest 1\nversion -3\nexpires 99\n", reasons[1]},
        {"lume-release-manifest 1\nversion 03\nexpires 99\n", reasons[1]},
        {"lume-release-manifest 1\nversion 99999999999999999999\nexpires 9\n", reasons[1]},
        {"lume-release-manifest 1\nversion 3\nexpires 99 \n", reasons[2]},
        {"lume-release-manifest 1\nversion 3\n", reasons[2]},
        {head + "file 5 " + kSha + " a.txt", reasons[3]},         // no final line feed
        {head + "file 5 " + kSha + " \n", reasons[3]},            // no path
        {head + "file 5 " + kSha + " a\rb\n", reasons[3]},        // a control character
        {head + "file 4294967296 " + kSha + " a\n", reasons[3]},  // beyond 4 GiB
        {head + "file 5 " + kSha.substr(1) + "g a\n", reasons[3]},
        {head + "file 5 " + kSha + " a.txt\r\n", reasons[3]},
        {head + "File 5 " + kSha + " a.txt\n", reasons[3]},
        {head + line + line, reasons[3]},  // the same path twice
        {head + "\n", reasons[3]},
    };
    for (const auto& [text, what] : cases) {
        ReleaseManifest m;
        std::string error;
        EXPECT_FALSE(ReleaseManifest::parse(text, m, error)) << what << ": " << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

TEST(ReleaseSigning, SignaturesHoldOnlyForTheBytesAndTheKeyAndTheirTextsReadBack) {
    PublicKey a, b;
    SecretKey secretA, secretB;
    ASSERT_TRUE(generateKeyPair(a, secretA));
    ASSERT_TRUE(generateKeyPair(b, secretB));
    const Signature s = sign("release 7", secretA);
    EXPECT_TRUE(verifySignature("release 7", s, a));
    EXPECT_FALSE(verifySignature("release 8", s, a));
    EXPECT_FALSE(verifySignature("release 7", s, b));

    // A secret key whose halves do not belong together is a damaged file.
    std::string damaged = secretKeyText(secretA);
    damaged[50] = damaged[50] == 'A' ? 'B' : 'A';
    SecretKey reread;
    EXPECT_FALSE(parseSecretKey(damaged, reread));
    std::vector<Signature> signatures;
    for (const std::string& bad :
         std::vector<std::string>{"", "AAAA\n", publicKeyLine(a), signatureText(s) + "junk\n"}) {
        EXPECT_FALSE(parseSignatures(bad, signatures)) << bad;
    }
    // bin\release.pub: comments, blank lines, a byte order mark and a comment after a key.
    std::string lineA = publicKeyLine(a);
    lineA.pop_back();
    std::vector<PublicKey> keys;
    std::string error;
    ASSERT_TRUE(parseTrustedKeys(
        "\xEF\xBB\xBF# keys\r\n" + lineA + "  old 2024\r\n\n" + publicKeyLine(b), keys, error))
        << error;
    EXPECT_EQ(keys, (std::vector<PublicKey>{a, b}));
    for (const std::string& bad :
         std::vector<std::string>{lineA + "A", "ssh-ed25519 " + lineA, secretKeyText(secretA)}) {
        EXPECT_FALSE(parseTrustedKeys("# keys\n" + bad + "\n", keys, error)) << bad;
        EXPECT_EQ(error, "line 2 holds no public key");
    }
}

}  // namespace
}  // namespace lume
