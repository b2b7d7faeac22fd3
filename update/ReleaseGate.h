// What an update must pass before it downloads anything, when the installation trusts
// release keys (bin\release.pub, one public key per line): the release manifest and its
// signature, fetched from the primary address and then the mirror, signed by a trusted key,
// not expired (a frozen release is refused) and not older than the newest release this
// installation has accepted (kept in bin\config.ini, so a replayed older release is
// refused). The accepted manifest then names the size and SHA-256 of every list and data
// file of the update. Without bin\release.pub updates go on unverified, as they always did.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "transfer/TransferSettings.h"
#include "update/ReleaseManifest.h"

namespace lume {

class Reporter;

inline constexpr char16_t kTextReleaseUnverified[] =
    u"本次更新未经发布签名验证(没有bin\\release.pub)";
inline constexpr char16_t kTextReleaseKeysInvalid[] = u"bin\\release.pub中没有有效的公钥,拒绝更新";
inline constexpr char16_t kTextManifestUnreachable[] = u"无法下载发布清单,拒绝更新";
inline constexpr char16_t kTextManifestUnsigned[] = u"发布清单没有签名,拒绝更新";
inline constexpr char16_t kTextManifestBadSignature[] = u"发布清单的签名无效,拒绝更新";
inline constexpr char16_t kTextManifestMalformed[] = u"发布清单格式错误,拒绝更新";
inline constexpr char16_t kTextManifestExpired[] = u"发布清单已过期,拒绝更新";
inline constexpr char16_t kTextManifestRollback[] = u"发布清单的版本%u低于已接受的版本%u,拒绝更新";
inline constexpr char16_t kTextManifestAccepted[] = u"发布清单已验证,版本%u";
inline constexpr char16_t kTextNotInManifest[] = u"'%s'不在发布清单中";
inline constexpr char16_t kTextManifestMismatch[] = u"'%s'与发布清单不符";

class ReleaseGate {
public:
    static constexpr char16_t kKeysPath[] = u"bin\\release.pub";
    static constexpr char16_t kConfigPath[] = u"bin\\config.ini";
    static constexpr char16_t kSection[] = u"release";
    static constexpr char16_t kVersionKey[] = u"version";

    enum class Verdict {
        kUnverified,   // no bin\release.pub: the update goes on unverified
        kAccepted,     // manifest() is the accepted manifest
        kUnreachable,  // no address delivered the manifest
        kRefused,      // refused (the reason has been posted and logged)
    };

    // reporter receives the texts; clock gives seconds since 1970 (the wall clock unless a
    // test gives another). Paths are relative to the game directory.
    explicit ReleaseGate(Reporter& reporter, std::function<int64_t()> clock = {},
                         std::u16string keysPath = kKeysPath,
                         std::u16string configPath = kConfigPath);

    // The check of one update, from the release at base and then at backBase (each an
    // address to which "/release.manifest" is added). On acceptance the version is recorded
    // as accepted. Called on the update thread.
    Verdict check(std::u16string_view base, std::u16string_view backBase);
    // Asked while the manifest is fetched: true cuts the fetch short (the update thread has
    // been asked to stop).
    void setStopping(std::function<bool()> stopping) { stopping_ = std::move(stopping); }
    // The update's proxy, bandwidth limit and HTTP/2 without TLS, for the manifest's
    // download. Set before a check, on the update run's thread.
    void setTransferSettings(const TransferSettings& settings) { settings_ = settings; }
    // The manifest of the last check that accepted one; null otherwise.
    const ReleaseManifest* manifest() const { return manifest_ ? &*manifest_ : nullptr; }

    // The newest release version this installation has accepted (0: none yet).
    uint64_t acceptedVersion() const;

private:
    enum class Refusal {
        kNone,
        kUnreachable,
        kUnsigned,
        kBadSignature,
        kMalformed,
        kExpired,
        kRollback
    };
    Refusal checkAt(std::u16string_view base, const std::vector<PublicKey>& keys, uint64_t accepted,
                    ReleaseManifest& manifest);
    void refuse(Refusal refusal, uint64_t version, uint64_t accepted);

    Reporter& reporter_;
    std::function<int64_t()> clock_;
    std::u16string keysPath_;
    std::u16string configPath_;
    std::function<bool()> stopping_;
    TransferSettings settings_;
    std::optional<ReleaseManifest> manifest_;
};

// True when no manifest is in force, or when bytes are exactly what the manifest names for
// path (its size and SHA-256); a mismatch or an unlisted path is logged and told to the
// reporter, when there is one.
bool matchesManifest(const ReleaseManifest* manifest, std::string_view path, std::string_view bytes,
                     Reporter* reporter = nullptr);

}  // namespace lume
