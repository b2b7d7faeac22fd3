// The patch processor ("SPThread thread"), which applies a local patch directory. This build
// keeps the object in its place in the updater; applying patches is not part of it yet,
// so start refuses.
#pragma once

#include <string>

#include "engine/Kernel/Lock.h"
#include "engine/Kernel/Singleton.h"
#include "engine/Kernel/luThread.h"

namespace lume {

class SPThread : public luThread, public ObjectLevelLockable<SPThread>, public Singleton<SPThread> {
public:
    SPThread();
    ~SPThread() override;

    // Called on the window's thread. False when nothing was started.
    bool start(const std::u16string& a, const std::u16string& b, const std::u16string& c);
    void run() override;
};

}  // namespace lume
