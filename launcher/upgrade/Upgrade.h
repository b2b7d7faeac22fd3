// The self-upgrade program, shipped by a release as bin\upgrade.tmp. A launcher whose update
// replaced must-update files (its own executable among them) starts it with one argument,
// "B;E;N": its bin directory, its program directory and its own file name, then exits. The
// program waits until that launcher has gone, puts in place the launcher files that the
// update could only leave beside their targets as "<name>.back" copies, and starts the
// launcher E\N again, which then finds its must-update files current.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lume {

struct UpgradeRequest {
    std::u16string binDirectory;      // B, ending in a backslash
    std::u16string programDirectory;  // E, ending in a backslash
    std::u16string launcherName;      // N, a plain file name
};

// Splits "B;E;N". False when a part is missing or N is not a plain file name.
bool parseUpgradeArgument(std::u16string_view argument, UpgradeRequest& request);

// Waits until no launcher holds the single-instance lock (instance), at most timeoutMs;
// false when one still runs then.
bool waitForLauncherExit(std::u16string_view instance, uint32_t timeoutMs);

// Replaces each file of directory (not its folders) that has a "<name>.back" copy there by
// the copy. Returns how many were put in place; the names that could not be are added to
// failed.
int putStagedFilesInPlace(std::u16string_view directory, std::vector<std::u16string>& failed);

enum UpgradeExit : int {
    kUpgradeOk = 0,      // the new launcher was started
    kUpgradeFailed = 1,  // the launcher did not exit, a file could not be put in place, or
                         // the launcher could not be started
    kUpgradeUsage = 2,
};

// The whole program: args are the program's arguments without its name. Logs to
// E\log\ like the launcher. timeoutMs bounds the wait for the launcher's exit.
int runUpgrade(const std::vector<std::u16string>& args, uint32_t timeoutMs = 60000);

}  // namespace lume
