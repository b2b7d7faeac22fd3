// The release manifest, published beside flist.xml and signed by the operator: for every file
// the release serves (flist.xml, each sub file list, each data file) its path, size and
// SHA-256, the release's version (higher with every publish) and its expiry. Launchers that
// trust the operator's key check every list and data file against it; older launchers never
// fetch it.
//
// The text, one item per line, each line ended by a line feed:
//   lume-release-manifest 1
//   version <decimal>
//   expires <seconds since 1970-01-01 UTC>
//   file <size> <sha-256 in hex> <path relative to the release root, '/' between folders>
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "update/ReleaseSigning.h"

namespace lume {

struct ManifestFile {
    uint32_t size = 0;
    Sha256Digest sha256{};
};

struct ReleaseManifest {
    static constexpr char kFileName[] = "release.manifest";
    static constexpr char kSignatureName[] = "release.manifest.sig";

    uint64_t version = 0;
    int64_t expires = 0;
    std::map<std::string, ManifestFile, std::less<>> files;  // by UTF-8 path

    // Null when the release does not serve the path.
    const ManifestFile* find(std::string_view path) const;
    // The bytes that are published and signed (files in path order).
    std::string text() const;
    // Refuses anything but the exact form above: a missing or repeated field, a number
    // that does not fit, a path that is empty, repeated or holds control characters.
    static bool parse(std::string_view text, ReleaseManifest& manifest, std::string& error);
};

}  // namespace lume
