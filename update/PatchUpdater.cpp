#include "update/PatchUpdater.h"

#include "platform/Files.h"
#include "platform/IniFile.h"
#include "platform/Text.h"
#include "serverlist/ServerListDownloader.h"
#include "transfer/Https.h"
#include "update/SPThread.h"
#include "update/UpdateThread.h"

namespace lume {

PatchUpdater::PatchUpdater(MessageTarget* window, Logger::Writter* writer,
                           const TransferOverrides& overrides)
    : window_(window) {
    logger_ = std::make_unique<Logger>(writer);
    logA_m1("create updater:%s %s", __DATE__, __TIME__);
    settings_ = readTransferSettings(kConfigPath);
    applyExtraCaFile(kConfigPath);
    if (overrides.limitRate) {
        settings_.limitRate = *overrides.limitRate;
    }
    if (overrides.proxy) {
        settings_.proxy = *overrides.proxy;
    }
    if (settings_.limitRate != 0 || !settings_.proxy.empty() || settings_.http2) {
        logA_m1("limit rate:%llu proxy:%s http2:%d",
                static_cast<unsigned long long>(settings_.limitRate), settings_.proxy,
                settings_.http2 ? 1 : 0);
    }
    serverList_ = std::make_unique<ServerListDownloader>(*this, servers_);
    updateThread_ = std::make_unique<UpdateThread>(*this, settings_);
    patchProcessor_ = std::make_unique<SPThread>(*this);
    logA_m1("timeout时间: retryTimes:%d %d", settings_.timeout, settings_.retryTimes);
}

PatchUpdater::~PatchUpdater() {
    stopAll();
    logger_.reset();
    withdrawInstance();
}

void PatchUpdater::applyExtraCaFile(std::u16string_view configPath) {
    platform::IniFile ini;
    ini.load(configPath);
    const std::u16string file = ini.getString(u"other", u"cafile", u"");
    if (file.empty()) {
        setExtraCaFile({});
        return;
    }
    // Set even when missing: HTTPS servers then fail their check rather than being trusted
    // on less than the operator asked for.
    if (!platform::isFile(file)) {
        logW_m1(u"CA文件'%s'不存在", file);
    }
    setExtraCaFile(platform::nativePath(file));
}

TransferSettings PatchUpdater::readTransferSettings(std::u16string_view configPath) {
    platform::IniFile ini;
    ini.load(configPath);
    TransferSettings s;
    s.timeout = ini.getInt(u"other", u"timeout", kDefaultTimeout);
    if (s.timeout < kMinTimeout) {
        s.timeout = kMinTimeout;
    }
    s.retryTimes = ini.getInt(u"other", u"retrytimes", kDefaultRetryTimes);
    s.limitRate =
        parseRate(platform::wideToUtf8(ini.getString(u"other", u"limitrate", u""))).value_or(0);
    s.proxy = platform::wideToUtf8(ini.getString(u"other", u"proxy", u""));
    s.http2 = ini.getInt(u"other", u"http2", 0) != 0;
    s.stallSeconds = ini.getInt(u"other", u"stalltime", s.stallSeconds);
    if (s.stallSeconds <= 0) {
        s.stallSeconds = TransferSettings{}.stallSeconds;
    }
    return s;
}

bool PatchUpdater::startPatch(const std::string& listName, const std::string& patchDir,
                              const std::string& gameDir) {
    if (!patchProcessor_) {
        return false;
    }
    return patchProcessor_->start(platform::narrowToWide(listName),
                                  platform::narrowToWide(patchDir),
                                  platform::narrowToWide(gameDir));
}

int PatchUpdater::downloadServerList(int startSlot) {
    return serverList_ ? serverList_->download(startSlot) : 0;
}

bool PatchUpdater::beginUpdate(const std::string& host, const std::string& path,
                               const std::string& backHost, const std::string& backPath,
                               uint8_t force) {
    return updateThread_ ? updateThread_->beginUpdate(host, path, backHost, backPath, force)
                         : false;
}

void PatchUpdater::stopAll() {
    patchProcessor_.reset();
    updateThread_.reset();
    serverList_.reset();
}

void PatchUpdater::stopUpdate() {
    if (updateThread_) {
        updateThread_->stopUpdate();
    }
}

std::u16string PatchUpdater::getDefaultServer() {
    return serverList_ ? serverList_->defaultServer() : std::u16string();
}

uint64_t PatchUpdater::downloadRate() const {
    return updateThread_ ? updateThread_->downloadRate() : 0;
}

bool PatchUpdater::postMessage(uint32_t message, uint32_t wParam, uint32_t lParam) {
    return window_ != nullptr && window_->post(message, wParam, lParam);
}

}  // namespace lume
