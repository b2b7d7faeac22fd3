// Timing of download mirrors: one thread per mirror fetches the mirror's flist.xml once and
// records how long the whole transfer took; the mirror choice keeps the fastest.
#pragma once

#include <atomic>
#include <optional>
#include <string>

#include "engine/Kernel/Lock.h"
#include "engine/Kernel/WakeSignal.h"
#include "engine/Kernel/luThread.h"
#include "serverlist/ServerRecord.h"

namespace lume {

class ProbeWebStatusThread : public luThread, public ObjectLevelLockable<ProbeWebStatusThread> {
public:
    static constexpr size_t kStackSize = 0x100000;
    static constexpr double kFailedSeconds = 555555.0;

    ProbeWebStatusThread(std::string url, std::string address, std::string path, uint8_t flag);
    ~ProbeWebStatusThread() override;

    // Starts the one probe with the given connect time-out; finished, when given, is woken
    // once the probe has asked for its stop (it must outlive the thread).
    bool start(int32_t connectTimeoutMs, WakeSignal* finished = nullptr);
    // Runs once on the probe thread, then asks for its own stop.
    void run() override;

    // Valid once the probe has asked for its stop.
    double seconds() const { return seconds_.load(); }
    const std::string& address() const { return address_; }
    const std::string& path() const { return path_; }
    const std::string& url() const { return url_; }

private:
    std::string url_;
    std::string address_;
    std::string path_;
    int32_t timeoutMs_ = 5000;
    uint8_t flag_;
    WakeSignal* finished_ = nullptr;
    std::atomic<double> seconds_{0.0};
};

// serverUrl(address) + path + "/flist.xml": "http://" unless the address says "https://".
std::string probeUrl(const std::string& address, const std::string& path);

// Probes every mirror of the server at once and keeps the fastest; when none answers,
// probes the fallback address instead. The primary address is always the server's own.
// nullopt when the mirrors and the fallback all failed. Blocks the calling thread.
std::optional<DownloadAddressSet> chooseMirror(const ServerRecord& server,
                                               int32_t connectTimeoutMs = 5000);

}  // namespace lume
