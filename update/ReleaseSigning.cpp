#include "update/ReleaseSigning.h"

#include <openssl/evp.h>
#include <sodium.h>

#include <cstring>
#include <mutex>

namespace lume {

namespace {

static_assert(crypto_sign_PUBLICKEYBYTES == 32 && crypto_sign_SECRETKEYBYTES == 64 &&
              crypto_sign_BYTES == 64);

bool sodiumReady() {
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] { ready = sodium_init() >= 0; });
    return ready;
}

std::string base64Line(const uint8_t* bytes, size_t length) {
    const size_t room = sodium_base64_ENCODED_LEN(length, sodium_base64_VARIANT_ORIGINAL);
    std::string text(room, '\0');
    sodium_bin2base64(text.data(), room, bytes, length, sodium_base64_VARIANT_ORIGINAL);
    text.resize(std::strlen(text.c_str()));
    return text + "\n";
}

std::string_view trimmed(std::string_view text) {
    const char* space = " \t\r\n";
    const size_t first = text.find_first_not_of(space);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// Exactly `length` bytes in standard base64, nothing else.
bool decodeExact(std::string_view text, uint8_t* out, size_t length) {
    if (text.empty() ||
        text.size() != sodium_base64_ENCODED_LEN(length, sodium_base64_VARIANT_ORIGINAL) - 1) {
        return false;
    }
    size_t got = 0;
    const char* end = nullptr;
    return sodium_base642bin(out, length, text.data(), text.size(), nullptr, &got, &end,
                             sodium_base64_VARIANT_ORIGINAL) == 0 &&
           got == length && end == text.data() + text.size();
}

}  // namespace

void Sha256::ContextFree::operator()(void* context) const {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context));
}

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
    failed_ = !context_ || EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(context_.get()), EVP_sha256(),
                                             nullptr) != 1;
}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, size_t length) {
    if (!failed_ && length != 0) {
        failed_ = EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(context_.get()), data, length) != 1;
    }
}

Sha256Digest Sha256::finish() {
    Sha256Digest digest{};
    unsigned int length = 0;
    EVP_MD_CTX* context = static_cast<EVP_MD_CTX*>(context_.get());
    if (failed_ || EVP_DigestFinal_ex(context, digest.data(), &length) != 1 ||
        length != digest.size()) {
        digest.fill(0);
    }
    failed_ = !context_ || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1;
    return digest;
}

Sha256Digest Sha256::of(std::string_view bytes) {
    Sha256 hash;
    hash.update(bytes.data(), bytes.size());
    return hash.finish();
}

std::string toHex(const Sha256Digest& digest) {
    static const char* const kDigits = "0123456789abcdef";
    std::string text;
    text.reserve(64);
    for (uint8_t b : digest) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 15]);
    }
    return text;
}

bool fromHex(std::string_view text, Sha256Digest& digest) {
    if (text.size() != 64) {
        return false;
    }
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    };
    for (size_t i = 0; i < digest.size(); ++i) {
        const int high = nibble(text[2 * i]);
        const int low = nibble(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        digest[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

SecretKey::~SecretKey() {
    sodium_memzero(bytes_.data(), bytes_.size());
}

PublicKey SecretKey::publicKey() const {
    PublicKey key;
    crypto_sign_ed25519_sk_to_pk(key.data(), bytes_.data());
    return key;
}

bool generateKeyPair(PublicKey& publicKey, SecretKey& secretKey) {
    return sodiumReady() && crypto_sign_keypair(publicKey.data(), secretKey.data()) == 0;
}

Signature sign(std::string_view message, const SecretKey& key) {
    sodiumReady();
    Signature signature{};
    crypto_sign_detached(signature.data(), nullptr,
                         reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                         key.data());
    return signature;
}

bool verifySignature(std::string_view message, const Signature& signature, const PublicKey& key) {
    return sodiumReady() &&
           crypto_sign_verify_detached(signature.data(),
                                       reinterpret_cast<const unsigned char*>(message.data()),
                                       message.size(), key.data()) == 0;
}

std::string publicKeyLine(const PublicKey& key) {
    return base64Line(key.data(), key.size());
}

std::string secretKeyText(const SecretKey& key) {
    return base64Line(key.data(), SecretKey::size());
}

std::string signatureText(const Signature& signature) {
    return base64Line(signature.data(), signature.size());
}

bool parseSecretKey(std::string_view text, SecretKey& key) {
    if (!decodeExact(trimmed(text), key.data(), SecretKey::size())) {
        return false;
    }
    // The second half is the public key of the first: a damaged file is caught here rather
    // than by every launcher refusing what it signed.
    SecretKey check;
    PublicKey ignored;
    crypto_sign_seed_keypair(ignored.data(), check.data(), key.data());
    return std::memcmp(check.data(), key.data(), SecretKey::size()) == 0;
}

bool parseSignatures(std::string_view text, std::vector<Signature>& signatures) {
    signatures.clear();
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = trimmed(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.empty()) {
            continue;
        }
        Signature signature;
        if (!decodeExact(line, signature.data(), signature.size())) {
            return false;
        }
        signatures.push_back(signature);
    }
    return !signatures.empty();
}

bool parseTrustedKeys(std::string_view text, std::vector<PublicKey>& keys, std::string& error) {
    keys.clear();
    size_t lineNumber = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = trimmed(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++lineNumber;
        if (lineNumber == 1 && line.substr(0, 3) == "\xEF\xBB\xBF") {
            line = trimmed(line.substr(3));  // a byte order mark left by an editor
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const size_t space = line.find_first_of(" \t");
        PublicKey key;
        if (!decodeExact(line.substr(0, space), key.data(), key.size())) {
            error = "line " + std::to_string(lineNumber) + " holds no public key";
            return false;
        }
        keys.push_back(key);
    }
    return true;
}

}  // namespace lume
