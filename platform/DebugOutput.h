// The debugger-output channel: messages a Windows debugger would show. Here they go to
// standard error when LUME_DEBUG_OUTPUT=1 and are dropped otherwise.
#pragma once

#include <string_view>

namespace platform {

bool debugOutputEnabled();
void debugOutput(std::u16string_view text);
// Narrow text in the narrow code page.
void debugOutput(std::string_view text);

}  // namespace platform
