// The command lines with which the launcher hands over when an update is done: the game
// client "lume.dat run" in bin, or the self-upgrade program "upgrade.tmp" with the bin
// directory, the program directory and the launcher's file name.
#pragma once

#include <string>
#include <string_view>

namespace lume {

struct Handover {
    std::u16string commandLine;
    std::u16string workingDirectory;
};

// programDirectory is the launcher's directory in backslash form, ending in a backslash.
Handover gameHandover(std::u16string_view programDirectory);
Handover upgradeHandover(std::u16string_view programDirectory);

// A directory in the engine's backslash form, ending in a backslash.
std::u16string asProgramDirectory(std::u16string_view directory);

}  // namespace lume
