// The downloaded list of zones and servers. This build keeps the object in its place in the
// updater; fetching and parsing the list is not part of it yet, so a download reports
// failure (message 6025 with 0) and no server is listed.
#pragma once

#include <string>

#include "engine/Kernel/Singleton.h"

namespace lume {

class ServerListDownloader : public Singleton<ServerListDownloader> {
public:
    ServerListDownloader() = default;
    ~ServerListDownloader() override { withdrawInstance(); }

    // Called on the window's thread. The slot that worked, 0 when none did.
    int download(int startSlot);
    std::u16string defaultServer() const { return defaultServer_; }

private:
    std::u16string defaultServer_;
};

}  // namespace lume
