// Starting the game or the self-upgrade program.
#pragma once

#include <string_view>

namespace lume {

// Command lines longer than this many UTF-16 units are refused.
constexpr size_t kMaxCommandLine = 255;

// Starts the command line in the working directory without waiting for it; logs the
// outcome. A command line over kMaxCommandLine units fails with its log line.
bool launchProcess(std::u16string_view commandLine, std::u16string_view workingDirectory);

}  // namespace lume
