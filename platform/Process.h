// Starting another program the way CreateProcessW starts it from a command line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Splits a Windows command line into arguments by the rules Windows programs use:
// white space separates, double quotes group, 2n backslashes before a quote give n
// backslashes and a quote toggle, 2n+1 give n backslashes and a literal quote, and ""
// inside a quoted argument is a literal quote.
std::vector<std::u16string> splitCommandLine(std::u16string_view commandLine);

// Starts the program named by the first argument (resolved against the current
// directory, then PATH; a name with a backslash or slash is taken as a path) with the
// other arguments, in workingDirectory (empty = the current one), without waiting for it.
// Fails with kErrDirectory when the working directory does not exist and kErrFileNotFound
// when the program does not. Exited children are reaped by later calls.
bool startProcess(std::u16string_view commandLine, std::u16string_view workingDirectory,
                  int* pid = nullptr);

}  // namespace platform
