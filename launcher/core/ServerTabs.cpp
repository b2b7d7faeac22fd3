#include "launcher/core/ServerTabs.h"

namespace lume {

int serverTab(const ServerRecord& server) {
    switch (server.zone) {
        case 0:
            return 0;
        case 1:
        case 2:
            return 1;
        case 3:
            return server.group != 0 ? 0 : 1;
        default:
            return -1;
    }
}

}  // namespace lume
