// The release publisher: turns a game directory as installed (loose files, and packs in
// their folders) into a static release tree that any HTTP server serves to the launcher:
// flist.xml, every loose file's download data, and per pack its sub file list and its
// members' stored bytes. Files are named by their checksums, so publishing a newer version
// into the same tree keeps every older version's files and players of any version update.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace lume {

struct PublishOptions {
    std::string gameDirectory;  // the installed game, as on a player's machine
    std::string outDirectory;   // the release tree (created; an earlier version may be in it)
    // Relative paths (with '/' or '\') of must-update files. The launcher's own "lume.exe"
    // is always one.
    std::vector<std::string> must;
    // Relative paths (files or folders) left out in addition to the launcher's own state
    // (log, update, bin/config.ini and temporary download files).
    std::vector<std::string> exclude;
};

struct PublishReport {
    int looseFiles = 0;
    int packs = 0;
    int packMembers = 0;
    int withdrawnPacks = 0;
    int dataFilesWritten = 0;  // new files in the tree (the rest were there already)
};

// Writes the release. On failure, error says why; flist.xml is replaced only at the very
// end, so a failed run leaves the previously published version intact. log receives one
// line per published file when not null.
[[nodiscard]] bool publishRelease(const PublishOptions& options, PublishReport& report,
                                  std::string& error, std::FILE* log = nullptr);

// Command-line entry: lume-publish GAME_DIR OUT_DIR [--must PATH]... [--exclude PATH]...
int publishMain(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace lume
