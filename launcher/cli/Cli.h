// The terminal launcher: run in a game directory (or with -C DIR), it runs the launcher's
// flow as the window does (server list, server and mirror choice, update, then the game or
// the self-upgrade), or one of its parts: an update from given addresses, the servers, or a
// patch directory applied offline.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "transfer/TransferSettings.h"

namespace lume {

enum CliExit : int {
    kExitOk = 0,
    kExitFailure = 1,
    kExitUsage = 2,
    kExitAlreadyRunning = 3,
    // Stopped by SIGINT or SIGTERM: 128 + the signal, as a shell reports it.
    kExitSignalBase = 128,
};

struct CliOptions {
    std::string command;         // "run" (default), "update", "verify", "servers", "patch"
    std::string patchDirectory;  // patch
    std::string directory;       // -C
    std::string trace;           // --trace FILE or "-"
    std::string server;          // --server NAME (run)
    bool noLaunch = false;       // --no-launch (run)
    std::string host, path, mirrorHost, mirrorPath;  // update
    bool force = false;                              // update --force
    bool repair = false;                             // verify --repair
    TransferOverrides transfer;                      // --limit-rate, --proxy (run, update)
    bool help = false;
};

// Parses the arguments (without the program name); on a usage error fills error and
// returns false.
bool parseCliOptions(const std::vector<std::string>& args, CliOptions& options, std::string& error);
std::string cliUsage();
// Runs the launcher with the arguments; out and err receive its terminal output.
int runCli(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace lume
