// The cryptography of signed releases: SHA-256 of the files a release serves (OpenSSL's
// libcrypto, which uses the processor's SHA instructions: every downloaded byte is hashed,
// and libsodium's portable SHA-256 is five times slower here), Ed25519 keys and detached
// signatures (libsodium), and the one-line texts in which keys and signatures are stored
// (bin\release.pub, the operator's key files, release.manifest.sig).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace lume {

using Sha256Digest = std::array<uint8_t, 32>;
using PublicKey = std::array<uint8_t, 32>;
using Signature = std::array<uint8_t, 64>;

// SHA-256 of bytes given piece by piece, as they stream past. Should the hash state not be
// had (no memory), the digest is all zeros, which matches no file.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* data, size_t length);
    // The digest of everything given so far; the hash starts over afterwards.
    Sha256Digest finish();

    static Sha256Digest of(std::string_view bytes);

private:
    // Frees the EVP_MD_CTX; kept opaque so that callers need no OpenSSL header.
    struct ContextFree {
        void operator()(void* context) const;
    };
    std::unique_ptr<void, ContextFree> context_;
    bool failed_ = false;
};

// 64 lower-case hex digits; fromHex accepts exactly that form (either case).
std::string toHex(const Sha256Digest& digest);
bool fromHex(std::string_view text, Sha256Digest& digest);

// An Ed25519 secret key (libsodium's 64-byte form: seed and public key); wiped when it goes.
class SecretKey {
public:
    SecretKey() = default;
    ~SecretKey();
    SecretKey(const SecretKey&) = delete;
    SecretKey& operator=(const SecretKey&) = delete;

    uint8_t* data() { return bytes_.data(); }
    const uint8_t* data() const { return bytes_.data(); }
    static constexpr size_t size() { return 64; }
    PublicKey publicKey() const;

private:
    std::array<uint8_t, 64> bytes_{};
};

// False only when libsodium cannot start (no source of randomness).
[[nodiscard]] bool generateKeyPair(PublicKey& publicKey, SecretKey& secretKey);
Signature sign(std::string_view message, const SecretKey& key);
bool verifySignature(std::string_view message, const Signature& signature, const PublicKey& key);

// The texts: standard base64 of the bytes on one line, ended by a line feed.
std::string publicKeyLine(const PublicKey& key);
std::string secretKeyText(const SecretKey& key);
std::string signatureText(const Signature& signature);
// Surrounding white space is ignored; anything else that is not exactly one key in base64 is
// refused.
bool parseSecretKey(std::string_view text, SecretKey& key);
// A signature file: one signature per line (a release signed by the old and the new key
// while keys change hands); blank lines are skipped, anything else refuses the file.
bool parseSignatures(std::string_view text, std::vector<Signature>& signatures);
// The trusted keys of bin\release.pub: one base64 key per line, optionally followed by white
// space and a comment; blank lines and lines starting with '#' are skipped. False, with the
// line number in error, when a line holds no valid key; an empty key list is not an error
// here.
bool parseTrustedKeys(std::string_view text, std::vector<PublicKey>& keys, std::string& error);

}  // namespace lume
