#include "update/UpdateThread.h"

#include "engine/Kernel/Logger.h"
#include "platform/Thread.h"

namespace lume {

UpdateThread::UpdateThread() {
    setName("download flist.xml thread");
}

UpdateThread::~UpdateThread() {
    withdrawInstance();
    stopAndJoin();
}

bool UpdateThread::beginUpdate(const std::string& host, const std::string& path, const std::string&,
                               const std::string&, uint8_t) {
    logA_m1("update from http://%s%s refused: this build has no update run", host, path);
    return false;
}

void UpdateThread::run() {
    platform::sleepMs(5);
}

}  // namespace lume
