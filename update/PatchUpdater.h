// The one updater of the process: created by the window (or the terminal launcher) once,
// it owns the server list downloader, the update run and the patch processor, reads the
// transfer settings from bin\config.ini, and posts every report to the window.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/Kernel/Logger.h"
#include "engine/Kernel/MessageTarget.h"
#include "engine/Kernel/Singleton.h"
#include "transfer/TransferSettings.h"
#include "update/Updater.h"

namespace lume {

class ServerListDownloader;
class UpdateThread;
class SPThread;

class PatchUpdater : public Updater, public Singleton<PatchUpdater> {
public:
    static constexpr int32_t kDefaultTimeout = 10000;
    static constexpr int32_t kMinTimeout = 30000;
    static constexpr int32_t kDefaultRetryTimes = 5;
    static constexpr char16_t kConfigPath[] = u"bin\\config.ini";

    // Registers itself, creates the process-wide Logger over writer, reads the settings
    // (overrides, from the command line, go over those of the file), then creates the server
    // list downloader, the update run and the patch processor, each reporting through this
    // updater. Called on the window's thread.
    PatchUpdater(MessageTarget* window, Logger::Writter* writer,
                 const TransferOverrides& overrides = {});
    // Destroys the patch processor, the update run and the server list downloader (each
    // stops and joins its threads), then the Logger.
    ~PatchUpdater() override;

    bool startPatch(const std::string& listName, const std::string& patchDir,
                    const std::string& gameDir) override;
    int downloadServerList(int startSlot) override;
    bool beginUpdate(const std::string& host, const std::string& path, const std::string& backHost,
                     const std::string& backPath, uint8_t force) override;
    void stopAll() override;
    void stopUpdate() override;
    std::u16string getDefaultServer() override;
    bool postMessage(uint32_t message, uint32_t wParam, uint32_t lParam) override;
    uint64_t downloadRate() const override;

    // Read by every worker; written only during construction.
    int32_t timeout() const { return settings_.timeout; }
    int32_t retryTimes() const { return settings_.retryTimes; }

    // Section "other": "timeout" (default 10000, raised to at least 30000), "retrytimes"
    // (default 5, taken as read), "limitrate" (bytes per second for the whole update, with K,
    // M or G; none by default), "proxy" (libcurl's form, e.g. "http://10.0.0.1:3128"),
    // "http2" (1: HTTP/2 without TLS, for servers configured so) and "stalltime" (seconds
    // without a byte from the servers after which the update gives up, default 120); a
    // missing or garbled file or value gives the defaults.
    static TransferSettings readTransferSettings(std::u16string_view configPath);
    // The extra CA file for HTTPS servers ("cafile" of section "other": a path relative to
    // the game directory, or absolute), trusted besides the system's store by every
    // transfer of the process from now on.
    static void applyExtraCaFile(std::u16string_view configPath);
    // The settings the update runs with.
    const TransferSettings& transferSettings() const { return settings_; }

private:
    MessageTarget* window_;
    std::unique_ptr<Logger> logger_;
    std::unique_ptr<ServerListDownloader> serverList_;
    std::unique_ptr<UpdateThread> updateThread_;
    std::unique_ptr<SPThread> patchProcessor_;
    TransferSettings settings_;
};

}  // namespace lume
