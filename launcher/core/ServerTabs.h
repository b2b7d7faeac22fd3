// The two tabs of the server list, "网通区" and "电信区": which tab shows a server, by its
// zone number and server group. Servers of other zone numbers are listed in neither.
#pragma once

#include <array>

#include "serverlist/ServerRecord.h"

namespace lume {

inline constexpr std::array<const char16_t*, 2> kServerTabTitles = {u"网通区", u"电信区"};

// 0 or 1, or -1 for a server that neither tab shows.
int serverTab(const ServerRecord& server);

}  // namespace lume
