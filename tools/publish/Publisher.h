// The release publisher: turns a game directory as installed (loose files, and packs in
// their folders) into a static release tree that any HTTP server serves to the launcher:
// flist.xml, every loose file's download data, and per pack its sub file list and its
// members' stored bytes. Files are named by their checksums, so publishing a newer version
// into the same tree keeps every older version's files and players of any version update.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace lume {

struct PublishOptions {
    std::string gameDirectory;  // the installed game, as on a player's machine
    std::string outDirectory;   // the release tree (created; an earlier version may be in it)
    // For a patch: the version the patch starts from. The patch directory (outDirectory, new
    // or empty) then takes an installation of oldDirectory to gameDirectory.
    std::string oldDirectory;
    // Relative paths (with '/' or '\') of must-update files. The launcher's own "lume.exe"
    // is always one.
    std::vector<std::string> must;
    // Relative paths (files or folders) left out in addition to the launcher's own state
    // (log, update, bin/config.ini and temporary download files).
    std::vector<std::string> exclude;
    // The secret key files that sign the release manifest (release.manifest.sig, one
    // signature per key: while keys change hands, the old and the new); none: the manifest
    // is published unsigned, and launchers that trust release keys refuse it.
    std::vector<std::string> signKeyFiles;
    // Days until the manifest expires; launchers refuse it from then on (0: at once).
    int expiresDays = 30;
    // The release's version; by default one more than the manifest already in the tree
    // (or 1). A version not above the tree's is refused.
    std::optional<uint64_t> version;
    // Seconds since 1970 for the expiry; the wall clock when not given.
    std::optional<int64_t> now;
};

struct PublishReport {
    int looseFiles = 0;
    int packs = 0;
    int packMembers = 0;  // whose stored bytes were written
    int withdrawnPacks = 0;
    int dataFilesWritten = 0;  // new files in the tree (the rest were there already)
    uint64_t version = 0;      // of the release manifest
    int64_t expires = 0;
    int signatures = 0;
};

// Writes the release: its files, then flist.xml, then the release manifest (path, size and
// SHA-256 of every file of this version, its version and expiry) and, with a key, its
// signature. On failure, error says why; flist.xml is replaced only at the end, so a failed
// run leaves the previously published version intact. log receives one line per published
// file when not null.
[[nodiscard]] bool publishRelease(const PublishOptions& options, PublishReport& report,
                                  std::string& error, std::FILE* log = nullptr);

// Writes the patch directory from options.oldDirectory to options.gameDirectory: a file list
// of what changed (loose files and packs, packs dropped as withdrawn), each changed loose
// file's data as <folder>/<name>.gzf, and per changed pack its complete sub file list
// <folder>/<stem>.fxml and the stored bytes of its new or changed members as
// <folder>/<stem>/<key>.gzf. Unchanged files are left out. The patch directory must be new
// or empty; a patch has no release manifest (the signing options are not used).
[[nodiscard]] bool publishPatch(const PublishOptions& options, PublishReport& report,
                                std::string& error, std::FILE* log = nullptr);

// Makes an operator's signing key pair: the secret key in keyFile (created only for its owner,
// never over an existing file) and the public key, one line as bin\release.pub takes it,
// in keyFile + ".pub".
[[nodiscard]] bool generateSigningKey(const std::string& keyFile, std::string& error);

// Command-line entry: lume-publish GAME_DIR OUT_DIR [--must PATH]... [--exclude PATH]...
// [--sign KEYFILE] [--expires DAYS] [--version N]; lume-publish --patch OLD_DIR NEW_DIR
// OUT_DIR [--must PATH]... [--exclude PATH]...; or lume-publish keygen KEYFILE.
int publishMain(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace lume
