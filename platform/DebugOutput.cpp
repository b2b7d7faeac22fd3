#include "platform/DebugOutput.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Text.h"

namespace platform {

namespace {

bool readEnabled() {
    const char* env = std::getenv("LUME_DEBUG_OUTPUT");
    return env != nullptr && std::strcmp(env, "1") == 0;
}

void writeToStderr(const std::string& text) {
    // One write per message where possible, so lines from several threads do not interleave.
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, data, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
}

}  // namespace

bool debugOutputEnabled() {
    static const bool enabled = readEnabled();
    return enabled;
}

void debugOutput(std::u16string_view text) {
    if (debugOutputEnabled()) {
        writeToStderr(wideToUtf8(text));
    }
}

void debugOutput(std::string_view text) {
    if (debugOutputEnabled()) {
        writeToStderr(wideToUtf8(narrowToWide(text)));
    }
}

}  // namespace platform
