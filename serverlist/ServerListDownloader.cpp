#include "serverlist/ServerListDownloader.h"

#include "engine/Kernel/Logger.h"
#include "update/PatchUpdater.h"

namespace lume {

int ServerListDownloader::download(int startSlot) {
    logA_m1("server list download from slot %d refused: this build has no server list", startSlot);
    if (PatchUpdater* updater = PatchUpdater::instance()) {
        updater->postMessage(kMsgServerList, 0, 0);
    }
    return 0;
}

}  // namespace lume
