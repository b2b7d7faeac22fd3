// The update run: one update at a time, on its own thread ("download flist.xml thread").
// This build holds the object and its thread plumbing; the run itself (file list, checks,
// downloads, pack merging) is not part of it yet, so beginUpdate refuses to start.
#pragma once

#include <cstdint>
#include <string>

#include "engine/Kernel/Lock.h"
#include "engine/Kernel/Singleton.h"
#include "engine/Kernel/luThread.h"

namespace lume {

class UpdateThread : public luThread,
                     public ObjectLevelLockable<UpdateThread>,
                     public Singleton<UpdateThread> {
public:
    UpdateThread();
    ~UpdateThread() override;

    // Called on the window's thread. False when no run was started.
    bool beginUpdate(const std::string& host, const std::string& path, const std::string& backHost,
                     const std::string& backPath, uint8_t force);

    void run() override;
};

}  // namespace lume
