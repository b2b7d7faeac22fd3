// The main window's flow without any drawing: the server list and the choice of a server,
// the download addresses cached by server group and id, starting an update and showing its
// progress, and at the end starting the game or handing over to the self-upgrade. Runs on
// the front end's thread; the updater's reports arrive through handleMessage.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "engine/Kernel/MessageTarget.h"
#include "launcher/core/Handover.h"
#include "launcher/core/LauncherSettings.h"
#include "launcher/core/LauncherView.h"
#include "launcher/core/ProgressDisplay.h"
#include "serverlist/ServerRecord.h"
#include "update/Updater.h"

namespace lume {

class LauncherFlow {
public:
    enum class State { Starting, Idle, Updating, Launching, Closed };
    enum class Ending { None, Game, Upgrade };

    struct Environment {
        // The launcher's directory in backslash form, ending in a backslash.
        std::u16string programDirectory;
        // The mirror choice for a server (the probe); nullopt when every mirror and the
        // fallback failed.
        std::function<std::optional<DownloadAddressSet>(const ServerRecord&)> chooseMirror;
        // Starts a program without waiting; launchProcess unless a test replaces it.
        std::function<bool(const std::u16string& commandLine, const std::u16string& directory)>
            launch;
        // The front end's clean-up (server list dialog, updater, logger, log writer), run
        // once the game or the upgrade has been started.
        std::function<void()> cleanUp;
        // Runs a step that blocks for seconds (the server list download, the mirror
        // choice) and returns when it is done. The window runs it on another thread and
        // keeps painting meanwhile; by default it runs right here. While it runs, the flow
        // must not be entered again except through requestClose.
        std::function<void(const std::function<void()>& step)> runBlocking;
        // Called when an update has succeeded, just before the hand-over.
        std::function<void()> beforeHandOver;
        // Seconds of the wall clock, for the elapsed time of an update.
        std::function<int64_t()> clock;
        // When false, a finished update starts nothing and the flow stays idle.
        bool launchAtEnd = true;
    };

    LauncherFlow(LauncherView& view, Updater& updater, LauncherSettings& settings,
                 Environment environment);

    // The set-up steps after the updater exists: reads the remembered server, shows it,
    // and downloads the server list from the remembered slot, writing back the slot that
    // worked. Blocks for the download.
    void setUp();
    // A message posted by the updater (6025 .. 6036).
    void handleMessage(const PostedMessage& message);

    // Start (command 1026): false when the flow is not idle, the update is already done,
    // or the addresses are missing.
    bool startUpdate();
    // A zone button (0 or 1), only while idle.
    bool chooseZoneButton(int index);
    // A server chosen by the player (zone button or server list dialog).
    void chooseServer(const std::u16string& name);
    // Close: asks for confirmation while updating; false when the player keeps the window.
    bool requestClose();

    State state() const { return state_; }
    // The game or the upgrade could not be started; the flow is idle again.
    bool launchFailed() const { return launchFailed_; }
    Ending ending() const { return ending_; }
    bool updateDone() const { return updateDone_; }
    bool closing() const { return closing_; }
    const std::u16string& currentServer() const { return currentServer_; }
    const DownloadAddressSet& addresses() const { return addresses_; }
    int zoneType() const { return zoneType_; }
    const std::map<int32_t, DownloadAddressSet>& groupCache() const { return byGroup_; }
    const std::map<int32_t, DownloadAddressSet>& idCache() const { return byId_; }

    static constexpr char16_t kTextListFailed[] = u"下载服务器列表失败，请检查网络";
    static constexpr char16_t kTextListDone[] = u"下载服务器列表完成";
    static constexpr char16_t kTextNoAddress[] = u"下载地址或路径没有设置";
    static constexpr char16_t kTextConfirmClose[] = u"正在更新中，确认要关闭更新程序吗？";
    static constexpr char16_t kTextGameStartFailed[] = u"启动游戏失败，请检查游戏文件后重试";
    static constexpr char16_t kTextUpgradeStartFailed[] = u"启动升级程序失败，请重新运行更新程序";

private:
    void onServerList(bool success);
    void onUpdateFinished(uint32_t wParam, uint32_t lParam);
    // Selecting a server by name; fromPlayer clears the update-done flag when it changes.
    void selectServer(const std::u16string& name, bool fromPlayer);
    void handOver(Ending ending);

    LauncherView& view_;
    Updater& updater_;
    LauncherSettings& settings_;
    Environment env_;
    State state_ = State::Starting;
    Ending ending_ = Ending::None;
    bool updateDone_ = false;
    bool closing_ = false;
    bool launchFailed_ = false;
    int zoneType_ = LauncherSettings::kDefaultZoneType;
    std::u16string currentServer_;
    std::u16string zoneButtons_[2];
    DownloadAddressSet addresses_;
    std::map<int32_t, DownloadAddressSet> byGroup_;
    std::map<int32_t, DownloadAddressSet> byId_;
    int64_t startTime_ = 0;
    ProgressDisplay progress_;
};

}  // namespace lume
