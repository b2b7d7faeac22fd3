#include "engine/Kernel/Process.h"

#include "engine/Kernel/Logger.h"
#include "platform/Error.h"
#include "platform/Process.h"

namespace lume {

namespace {
constexpr uint32_t kErrInsufficientBuffer = 122;
}

bool launchProcess(std::u16string_view commandLine, std::u16string_view workingDirectory) {
    uint32_t error = 0;
    if (commandLine.size() > kMaxCommandLine) {
        // The command line is copied into a fixed 256-unit buffer on the platform the
        // launcher came from; a longer one is refused rather than cut.
        error = kErrInsufficientBuffer;
    } else if (!platform::startProcess(commandLine, workingDirectory)) {
        error = platform::lastError();
    }
    if (error != 0) {
        // In the run's log file like the start itself: a game that did not start must be
        // explainable from the log.
        logW_m1(u"begin process:%s%s error:%d", workingDirectory, commandLine, error);
        return false;
    }
    logW_m1(u"begin process:%s%s", workingDirectory, commandLine);
    return true;
}

}  // namespace lume
