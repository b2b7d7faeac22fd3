#include "update/ReleaseGate.h"

#include <charconv>
#include <vector>

#include "engine/FileSystem/GrowingMemoryStream.h"
#include "engine/Kernel/Logger.h"
#include "engine/Kernel/Reporter.h"
#include "platform/Files.h"
#include "platform/IniFile.h"
#include "platform/Text.h"
#include "platform/Time.h"
#include "transfer/UrlFile.h"
#include "update/ListFetch.h"

namespace lume {

namespace {

// A manifest or signature far larger than any release needs is refused unread.
constexpr uint32_t kManifestLimit = 64u << 20;
constexpr uint32_t kSignatureLimit = 64 * 1024;

std::string_view bytesOf(GrowingMemoryStream& stream) {
    return {reinterpret_cast<const char*>(stream.data()), stream.size()};
}

}  // namespace

ReleaseGate::ReleaseGate(Reporter& reporter, std::function<int64_t()> clock,
                         std::u16string keysPath, std::u16string configPath)
    : reporter_(reporter),
      clock_(clock ? std::move(clock) : [] { return platform::unixTime(); }),
      keysPath_(std::move(keysPath)),
      configPath_(std::move(configPath)) {}

uint64_t ReleaseGate::acceptedVersion() const {
    platform::IniFile ini;
    ini.load(configPath_);
    const std::string text = platform::wideToUtf8(ini.getString(kSection, kVersionKey, u"0"));
    uint64_t version = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), version);
    return error == std::errc() && end == text.data() + text.size() ? version : 0;
}

ReleaseGate::Verdict ReleaseGate::check(std::u16string_view base, std::u16string_view backBase) {
    manifest_.reset();
    if (!platform::isFile(keysPath_)) {
        logW_m1(kTextReleaseUnverified);
        reporter_.postText(kTextReleaseUnverified);
        return Verdict::kUnverified;
    }
    std::string text;
    std::vector<PublicKey> keys;
    std::string why;
    if (!platform::readWholeFile(keysPath_, text) || !parseTrustedKeys(text, keys, why) ||
        keys.empty()) {
        logA_m1("bin\\release.pub: %s", why.empty() ? std::string("no key") : why);
        logW_m1(kTextReleaseKeysInvalid);
        reporter_.postText(kTextReleaseKeysInvalid);
        return Verdict::kRefused;
    }
    const uint64_t accepted = acceptedVersion();
    // The first reason other than an unreachable address is the one to tell: a mirror that
    // is down says nothing about the primary that sent a forged manifest.
    Refusal reason = Refusal::kUnreachable;
    uint64_t refusedVersion = 0;
    const std::u16string_view sources[2] = {base, backBase};
    for (size_t i = 0; i < 2; ++i) {
        if ((i == 1 && backBase == base) || (stopping_ && stopping_())) {
            break;
        }
        ReleaseManifest manifest;
        const Refusal refusal = checkAt(sources[i], keys, accepted, manifest);
        if (refusal == Refusal::kNone) {
            if (manifest.version > accepted) {
                platform::IniFile ini;
                ini.load(configPath_);
                ini.set(kSection, kVersionKey,
                        platform::utf8ToWide(std::to_string(manifest.version)));
                if (!ini.save(configPath_)) {
                    logW_0(u"写入 '%s' 失败", configPath_);
                }
            }
            logW_m1(kTextManifestAccepted, manifest.version);
            reporter_.postText(kTextManifestAccepted, manifest.version);
            manifest_ = std::move(manifest);
            return Verdict::kAccepted;
        }
        if (reason == Refusal::kUnreachable) {
            reason = refusal;
            refusedVersion = manifest.version;
        }
    }
    refuse(reason, refusedVersion, accepted);
    return reason == Refusal::kUnreachable ? Verdict::kUnreachable : Verdict::kRefused;
}

ReleaseGate::Refusal ReleaseGate::checkAt(std::u16string_view base,
                                          const std::vector<PublicKey>& keys, uint64_t accepted,
                                          ReleaseManifest& manifest) {
    const std::u16string manifestUrl =
        std::u16string(base) + u"/" + platform::utf8ToWide(ReleaseManifest::kFileName);
    const std::u16string signatureUrl =
        std::u16string(base) + u"/" + platform::utf8ToWide(ReleaseManifest::kSignatureName);
    UrlFile transfer;
    transfer.setTransferSettings(settings_);
    if (stopping_) {
        transfer.setProgressHook([this](double, double) { return stopping_() ? 1 : 0; });
    }
    GrowingMemoryStream text(kListReserve, kManifestLimit);
    if (!fetchOnce(transfer, manifestUrl, text)) {
        logW_m1(u"下载[%s]失败", manifestUrl);
        return Refusal::kUnreachable;
    }
    GrowingMemoryStream signatureText(kSignatureLimit, kSignatureLimit);
    std::vector<Signature> signatures;
    if (!fetchOnce(transfer, signatureUrl, signatureText)) {
        logW_m1(u"下载[%s]失败", signatureUrl);
        return Refusal::kUnsigned;
    }
    if (!parseSignatures(bytesOf(signatureText), signatures)) {
        logW_m1(u"'%s'不是签名", signatureUrl);
        return Refusal::kBadSignature;
    }
    bool signedByTrustedKey = false;
    for (const Signature& signature : signatures) {
        for (const PublicKey& key : keys) {
            signedByTrustedKey =
                signedByTrustedKey || verifySignature(bytesOf(text), signature, key);
        }
    }
    if (!signedByTrustedKey) {
        logW_m1(u"'%s'的签名不属于bin\\release.pub中的任何公钥", manifestUrl);
        return Refusal::kBadSignature;
    }
    std::string why;
    if (!ReleaseManifest::parse(bytesOf(text), manifest, why)) {
        logA_m1("release.manifest: %s", why);
        return Refusal::kMalformed;
    }
    const int64_t now = clock_();
    if (now >= manifest.expires) {
        logW_m1(u"'%s'过期于%d,现在是%d", manifestUrl, manifest.expires, now);
        return Refusal::kExpired;
    }
    if (manifest.version < accepted) {
        return Refusal::kRollback;
    }
    return Refusal::kNone;
}

void ReleaseGate::refuse(Refusal refusal, uint64_t version, uint64_t accepted) {
    std::u16string text;
    switch (refusal) {
        case Refusal::kUnreachable:
            text = kTextManifestUnreachable;
            break;
        case Refusal::kUnsigned:
            text = kTextManifestUnsigned;
            break;
        case Refusal::kBadSignature:
            text = kTextManifestBadSignature;
            break;
        case Refusal::kMalformed:
            text = kTextManifestMalformed;
            break;
        case Refusal::kExpired:
            text = kTextManifestExpired;
            break;
        case Refusal::kRollback:
            text = formatW(kTextManifestRollback, version, accepted);
            break;
        case Refusal::kNone:
            return;
    }
    logW_m1(u"%s", text);
    reporter_.postInterned(text);
}

bool matchesManifest(const ReleaseManifest* manifest, std::string_view path, std::string_view bytes,
                     Reporter* reporter) {
    if (manifest == nullptr) {
        return true;
    }
    const ManifestFile* file = manifest->find(path);
    const char16_t* pattern = nullptr;
    if (file == nullptr) {
        pattern = kTextNotInManifest;
    } else if (file->size != bytes.size() || file->sha256 != Sha256::of(bytes)) {
        pattern = kTextManifestMismatch;
    } else {
        return true;
    }
    const std::u16string text = formatW(pattern, platform::utf8ToWide(path));
    logW_m1(u"%s", text);
    if (reporter != nullptr) {
        reporter->postInterned(text);
    }
    return false;
}

}  // namespace lume
