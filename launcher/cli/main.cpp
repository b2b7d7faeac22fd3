#include <cstdio>
#include <string>
#include <vector>

#include "engine/FileSystem/PackManager.h"
#include "launcher/cli/Cli.h"
#include "platform/Signals.h"
#include "platform/Text.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    // The pack store reads its settings from the command line and becomes the fallback for
    // files missing under the data directory; it scans when first asked, which is after
    // the launcher has moved into the game directory.
    std::vector<std::u16string> wide;
    for (const auto& a : args) {
        wide.push_back(platform::utf8ToWide(a));
    }
    lume::PackManager::setCommandLine(wide);
    lume::PackManager::installFallback();
    // Ctrl-C and SIGTERM stop an update at a safe point instead of killing it mid-write.
    platform::catchStopSignals();
    return lume::runCli(args, stdout, stderr);
}
