// One selectable game server of the downloaded server list, with the addresses its update
// is fetched from, and the address set an update is started with.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace lume {

struct ServerRecord {
    std::u16string name;
    std::u16string hint;
    std::u16string loginAddress;
    std::u16string loginPort;
    std::string primaryAddress;  // narrow texts, as they go into URLs
    std::string primaryPath;
    std::vector<std::pair<std::string, std::string>> mirrors;  // (address, path)
    std::string fallbackAddress;
    std::string fallbackPath;
    int32_t group = 0;
    int32_t zone = 0;
    int32_t id = 0;
    int32_t rank = 100;
    bool isNew = false;
    bool test = false;
};

// Primary host and path, mirror host and path: what the mirror choice settles and
// beginUpdate receives.
struct DownloadAddressSet {
    std::string primaryHost;
    std::string primaryPath;
    std::string mirrorHost;
    std::string mirrorPath;
};

}  // namespace lume
