#include "launcher/core/LauncherFlow.h"

#include "engine/Kernel/Logger.h"
#include "engine/Kernel/Process.h"
#include "platform/Time.h"
#include "update/Messages.h"

namespace lume {

LauncherFlow::LauncherFlow(LauncherView& view, Updater& updater, LauncherSettings& settings,
                           Environment environment)
    : view_(view), updater_(updater), settings_(settings), env_(std::move(environment)) {
    if (!env_.launch) {
        env_.launch = [](const std::u16string& line, const std::u16string& dir) {
            return launchProcess(line, dir);
        };
    }
    if (!env_.clock) {
        env_.clock = [] { return platform::unixTime(); };
    }
    if (!env_.runBlocking) {
        env_.runBlocking = [](const std::function<void()>& step) { step(); };
    }
}

void LauncherFlow::setUp() {
    currentServer_ = settings_.serverName();
    zoneType_ = settings_.zoneType();
    view_.showServerName(currentServer_);
    int slot = zoneType_;
    env_.runBlocking([&] { slot = updater_.downloadServerList(slot); });
    zoneType_ = slot;
    if (state_ == State::Closed) {  // the player closed the window meanwhile
        return;
    }
    settings_.setZoneType(zoneType_);
    static_cast<void>(settings_.save());  // logged; the slot holds for this run
    state_ = State::Idle;
    view_.setStartEnabled(true);
}

void LauncherFlow::handleMessage(const PostedMessage& m) {
    switch (m.message) {
        case kMsgServerList:
            onServerList(m.wParam == 1);
            break;
        case kMsgProgress: {
            const auto shown =
                progress_.onProgress(static_cast<int32_t>(m.wParam), m.lParam, view_.progressBar());
            view_.showProgressText(shown.text);
            view_.showSpeed(updater_.downloadRate());
            view_.setProgressBar(shown.bar);
            break;
        }
        case kMsgFileList:
            view_.showTip(m.wParam == 1 ? u"正在下载flist.xml" : u"下载flist.xml完成");
            break;
        case kMsgUpdateResult:
            onUpdateFinished(m.wParam, m.lParam);
            break;
        case kMsgText: {
            const std::u16string text = updater_.text(m.wParam);
            if (!text.empty()) {
                view_.showTip(text);
            }
            break;
        }
        case kMsgWriteFailed:
            if (m.wParam != 0) {
                const Reporter::DiskShortfall disk = updater_.diskShortfall();
                view_.messageBox(
                    disk.needed != 0 ? diskFullText(disk.needed, disk.available) : kTextWriteFailed,
                    u"Lumora");
                logW_m1(u"写文件失败，请检查游戏目录剩余空间以及写文件权限(%u个)", m.wParam);
            }
            break;
        case kMsgPhaseProgress:
            if (static_cast<int32_t>(m.wParam) >= 1) {
                view_.setProgressBar(
                    static_cast<int>(static_cast<uint64_t>(m.lParam) * 100 / m.wParam));
            }
            break;
        case kMsgBlocksHandedOut:
            view_.setProgressBar(0);
            break;
        default:
            break;
    }
}

void LauncherFlow::onServerList(bool success) {
    if (!success) {
        view_.messageBox(kTextListFailed, u"");
        return;
    }
    view_.showTip(kTextListDone);
    if (currentServer_.empty() || updater_.serverByName(currentServer_) == nullptr) {
        currentServer_ = updater_.getDefaultServer();
    }
    byGroup_.clear();
    byId_.clear();
    // Touches only the server list and the caches, which nothing else uses meanwhile.
    env_.runBlocking([this] {
        for (size_t i = 0; i < updater_.serverCount(); ++i) {
            const ServerRecord& server = *updater_.serverAt(i);
            DownloadAddressSet set;
            auto cached = byGroup_.find(server.group);
            if (cached != byGroup_.end()) {
                set = cached->second;
            } else if (env_.chooseMirror) {
                if (auto chosen = env_.chooseMirror(server)) {
                    set = *chosen;
                    byGroup_[server.group] = set;
                }
            }
            if (!set.primaryHost.empty() && !set.primaryPath.empty()) {
                byId_[server.id] = set;
            }
        }
    });
    if (state_ == State::Closed) {
        return;
    }
    if (updater_.serverByName(currentServer_) != nullptr) {
        selectServer(currentServer_, false);
    }
    for (int i = 0; i < 2; ++i) {
        if (const ServerRecord* server = updater_.serverAt(static_cast<size_t>(i))) {
            zoneButtons_[i] = server->name;
            view_.showZoneButton(i, &zoneButtons_[i]);
        } else {
            zoneButtons_[i].clear();
            view_.showZoneButton(i, nullptr);
        }
    }
}

void LauncherFlow::selectServer(const std::u16string& name, bool fromPlayer) {
    if (fromPlayer) {
        if (name == currentServer_) {
            return;
        }
        updateDone_ = false;
    }
    currentServer_ = name;
    view_.showServerName(currentServer_);
    const ServerRecord* server = updater_.serverByName(name);
    if (server == nullptr) {
        return;
    }
    addresses_ = DownloadAddressSet{};
    auto cached = byId_.find(server->id);
    if (cached != byId_.end()) {
        addresses_ = cached->second;
    }
    settings_.rememberServer(*server);
    static_cast<void>(settings_.save());  // logged; the choice holds for this run
}

void LauncherFlow::chooseServer(const std::u16string& name) {
    if (state_ != State::Idle || name.empty()) {
        return;
    }
    selectServer(name, true);
}

bool LauncherFlow::chooseZoneButton(int index) {
    if (state_ != State::Idle || index < 0 || index > 1 || zoneButtons_[index].empty()) {
        return false;
    }
    selectServer(zoneButtons_[index], true);
    return true;
}

bool LauncherFlow::startUpdate() {
    if (state_ != State::Idle || updateDone_) {
        return false;
    }
    state_ = State::Updating;
    view_.setStartEnabled(false);
    if (addresses_.primaryHost.empty() || addresses_.primaryPath.empty()) {
        view_.showTip(kTextNoAddress);
        state_ = State::Idle;
        view_.setStartEnabled(true);
        return false;
    }
    startTime_ = env_.clock();
    if (!updater_.beginUpdate(addresses_.primaryHost, addresses_.primaryPath, addresses_.mirrorHost,
                              addresses_.mirrorPath, 0)) {
        // The update run refused to start: nothing will report back, so the player must be
        // able to try again.
        view_.showTip(kTextDownloadFailed);
        state_ = State::Idle;
        view_.setStartEnabled(true);
        return false;
    }
    return true;
}

void LauncherFlow::onUpdateFinished(uint32_t wParam, uint32_t lParam) {
    if (closing_ || state_ != State::Updating) {
        return;
    }
    const UpdateResult result = decodeUpdateResult(wParam, lParam);
    if (!result.success()) {
        const Reporter::DiskShortfall disk = updater_.diskShortfall();
        view_.showTip(failureText(result, disk.needed, disk.available));
        state_ = State::Idle;
        view_.setStartEnabled(true);
        return;
    }
    updateDone_ = true;
    launchFailed_ = false;
    view_.showProgressText(elapsedText(env_.clock() - startTime_));
    view_.setProgressBar(100);
    const bool upgrade = result.kind == UpdateResult::Kind::Restart;
    if (upgrade) {
        logW_m1(u"%s\r\n", kTextNeedRestart);
    } else {
        view_.setStartEnabled(true);
    }
    if (env_.beforeHandOver) {
        env_.beforeHandOver();
    }
    handOver(upgrade ? Ending::Upgrade : Ending::Game);
}

// The program is started while the log still exists, so that its log line is kept; the
// clean-up follows. A program that cannot be started is reported and leaves the launcher
// idle, so that the player can try again.
void LauncherFlow::handOver(Ending ending) {
    ending_ = ending;
    if (!env_.launchAtEnd) {
        state_ = State::Idle;
        return;
    }
    state_ = State::Launching;
    const Handover h = ending == Ending::Game ? gameHandover(env_.programDirectory)
                                              : upgradeHandover(env_.programDirectory);
    if (!env_.launch(h.commandLine, h.workingDirectory)) {
        launchFailed_ = true;
        updateDone_ = false;
        state_ = State::Idle;
        const char16_t* text =
            ending == Ending::Game ? kTextGameStartFailed : kTextUpgradeStartFailed;
        logW_m1(u"%s", text);
        view_.showTip(text);
        view_.setStartEnabled(true);
        view_.messageBox(text, u"Lumora");
        return;
    }
    if (env_.cleanUp) {
        env_.cleanUp();
    }
    state_ = State::Closed;
}

bool LauncherFlow::requestClose() {
    if (state_ == State::Updating) {
        if (!view_.confirm(kTextConfirmClose, u"自动更新")) {
            return false;
        }
        closing_ = true;
    }
    state_ = State::Closed;
    return true;
}

}  // namespace lume
