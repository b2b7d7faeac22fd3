// The interface through which the window drives the update engine and through which the
// workers report back: posted messages, and texts interned in a string pool and sent by
// index so that no pointer crosses a thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/Kernel/Reporter.h"
#include "serverlist/ServerRecord.h"
#include "update/Messages.h"

namespace lume {

class Updater : public Reporter {
public:
    ~Updater() override;

    // Applies a local patch directory: its file list listName, installed into gameDir (three
    // narrow texts in the code page). The end is posted as 6039 with the failures.
    virtual bool startPatch(const std::string& listName, const std::string& patchDir,
                            const std::string& gameDir) = 0;
    // Destroys the object.
    virtual void release() { delete this; }
    // Downloads and parses the server list on the caller's thread; the slot that worked.
    virtual int downloadServerList(int startSlot) = 0;
    // Starts an update run from the address set; force rechecks packs whose index matches.
    virtual bool beginUpdate(const std::string& host, const std::string& path,
                             const std::string& backHost, const std::string& backPath,
                             uint8_t force) = 0;
    // Stops and destroys the workers.
    virtual void stopAll() {}
    // Asks a running update to stop at its next safe point; its summary still arrives.
    virtual void stopUpdate() {}
    virtual std::u16string getDefaultServer() = 0;
    // The download speed of the running update: bytes per second over the last seconds, 0
    // when nothing is being downloaded. Called on any thread.
    virtual uint64_t downloadRate() const { return 0; }
    // Posts to the window. Called on any thread.
    virtual bool postMessage(uint32_t message, uint32_t wParam, uint32_t lParam) = 0;
    // The workers' MessageTarget: the same as postMessage.
    bool post(uint32_t message, uint32_t wParam, uint32_t lParam) final {
        return postMessage(message, wParam, lParam);
    }

    // The servers of the last server list; read on the window's thread.
    size_t serverCount() const { return servers_.size(); }
    const ServerRecord* serverAt(size_t index) const;
    const ServerRecord* serverByName(const std::u16string& name) const;
    std::vector<ServerRecord>& servers() { return servers_; }

protected:
    std::vector<ServerRecord> servers_;
};

}  // namespace lume
