// The terminal launcher: run in a game directory (or with -C DIR), it sets up the log and
// the updater exactly as the launcher window does and reports what the updater posts.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace lume {

enum CliExit : int {
    kExitOk = 0,
    kExitFailure = 1,
    kExitUsage = 2,
};

struct CliOptions {
    std::string directory;  // -C
    std::string trace;      // --trace FILE or "-"
    std::string command;    // empty: the default job
    bool help = false;
};

// Parses the arguments (without the program name); on a usage error fills error and
// returns false.
bool parseCliOptions(const std::vector<std::string>& args, CliOptions& options, std::string& error);
std::string cliUsage();
// Runs the launcher with the arguments; out and err receive its terminal output.
int runCli(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace lume
