#include "serverlist/ProbeWebStatusThread.h"

#include <list>
#include <memory>

#include "engine/Kernel/Logger.h"
#include "platform/Text.h"
#include "transfer/Https.h"
#include "transfer/UrlFile.h"

namespace lume {

ProbeWebStatusThread::ProbeWebStatusThread(std::string url, std::string address, std::string path,
                                           uint8_t flag)
    : url_(std::move(url)), address_(std::move(address)), path_(std::move(path)), flag_(flag) {
    (void)flag_;
}

ProbeWebStatusThread::~ProbeWebStatusThread() {
    logA_m1("~ProbeWebStatusThread '%s'", name());
    requestStop();
    stopAndJoin();
}

bool ProbeWebStatusThread::start(int32_t connectTimeoutMs, WakeSignal* finished) {
    timeoutMs_ = connectTimeoutMs;
    finished_ = finished;
    seconds_.store(0.0);
    return luThread::start(kStackSize);
}

void ProbeWebStatusThread::run() {
    UrlFile transfer;
    double seconds = kFailedSeconds;
    if (!transfer.probe(platform::narrowToWide(url_), timeoutMs_, seconds)) {
        seconds = kFailedSeconds;
    }
    seconds_.store(seconds);
    requestStop();
    if (finished_ != nullptr) {
        finished_->wake();
    }
}

std::string probeUrl(const std::string& address, const std::string& path) {
    return serverUrl(address) + path + "/" + "flist.xml";
}

std::optional<DownloadAddressSet> chooseMirror(const ServerRecord& server,
                                               int32_t connectTimeoutMs) {
    DownloadAddressSet result;
    result.primaryHost = server.primaryAddress;
    result.primaryPath = server.primaryPath;
    if (server.mirrors.empty()) {
        return result;
    }

    WakeSignal finished;
    std::list<std::unique_ptr<ProbeWebStatusThread>> probes;
    for (size_t i = 0; i < server.mirrors.size(); ++i) {
        const auto& [address, path] = server.mirrors[i];
        auto probe =
            std::make_unique<ProbeWebStatusThread>(probeUrl(address, path), address, path, 2);
        probe->setName("ProbeWebStatusThread " + std::to_string(i));
        if (probe->start(connectTimeoutMs, &finished)) {
            probes.push_back(std::move(probe));
        }
    }

    logA_m1("网络探测开始\n");
    double best = 55555.0;
    std::string bestAddress;
    std::string bestPath;
    while (!probes.empty()) {
        const uint64_t seen = finished.count();
        for (auto it = probes.begin(); it != probes.end();) {
            ProbeWebStatusThread& probe = **it;
            if (!probe.isStopped()) {
                ++it;
                continue;
            }
            // A failed probe reports 555555 s, above the starting best, so it never wins.
            if (probe.seconds() < best) {
                best = probe.seconds();
                bestAddress = probe.address();
                bestPath = probe.path();
            }
            probe.stopAndJoin();
            it = probes.erase(it);
        }
        if (!probes.empty()) {
            finished.waitSince(seen, WakeSignal::Clock::now() + luThread::kIdleWaitLimit);
        }
    }
    logA_m1("网络探测结束\n");

    if (!bestAddress.empty() && !bestPath.empty()) {
        result.mirrorHost = bestAddress;
        result.mirrorPath = bestPath;
        return result;
    }
    UrlFile transfer;
    double seconds = 0;
    if (transfer.probe(
            platform::narrowToWide(probeUrl(server.fallbackAddress, server.fallbackPath)),
            connectTimeoutMs, seconds)) {
        result.mirrorHost = server.fallbackAddress;
        result.mirrorPath = server.fallbackPath;
        return result;
    }
    return std::nullopt;
}

}  // namespace lume
