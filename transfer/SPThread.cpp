#include "transfer/SPThread.h"

#include "engine/Kernel/Logger.h"

namespace lume {

SPThread::SPThread() {
    setName("SPThread thread");
}

SPThread::~SPThread() {
    withdrawInstance();
    stopAndJoin();
}

bool SPThread::start(const std::u16string& a, const std::u16string&, const std::u16string&) {
    logW_m1(u"patch %s refused: this build has no patch processor", a);
    return false;
}

void SPThread::run() {
    idleWait(wakeCount(), kIdleWaitLimit);
}

}  // namespace lume
