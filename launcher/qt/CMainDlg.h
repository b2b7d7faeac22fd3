// The launcher's main window: the skinned controls where bin\controlPosition.xml puts them,
// the news pages, the server choice, the update's progress, and at the end the game or the
// self-upgrade. It runs the launcher's flow (the same as the terminal launcher's) and is
// that flow's view; the updater's workers report to it only through posted messages,
// which reach it as queued events on its own thread.
//
// The steps that block for seconds (the page probes, the server list download, the mirror
// choice) run on a helper thread while the window keeps painting, moving and answering its
// close button; the updater's messages that arrive meanwhile wait and are handled
// afterwards, in order, as if the window had been busy.
#pragma once

#include <QPointer>
#include <QString>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "engine/Kernel/MessageTarget.h"
#include "launcher/core/BrowserPages.h"
#include "launcher/core/LauncherView.h"
#include "launcher/core/Trace.h"
#include "launcher/qt/GdiplusDialog.h"

namespace lume {

class BackgroundDialog;
class ControlPostionConfig;
class CServerListDialog;
class GdiplusButton;
class GdiplusImageProgress;
class GdiplusStatic;
class LauncherFlow;
class LauncherSettings;
class LogWritter;
class Logger;
class PatchUpdater;
class WebBrowser2;

struct LauncherOptions {
    // Press START_GAME as soon as the window is idle after the server list; a run started
    // so ends with exit code 1 when it cannot finish (no server list, a failed update, a
    // program that cannot start).
    bool autoStart = false;
    // Save the window as a PNG when the update has finished, before the hand-over.
    QString screenshot;
    // Write every posted message as one JSON line (as lume-cli --trace).
    QString trace;
};

class CMainDlg : public GdiplusDialog, public LauncherView, public MessageTarget {
    Q_OBJECT
public:
    static constexpr char16_t kTitle[] = u"《Lumora》更新程序";
    static constexpr char16_t kTextBrowserFailed[] =
        u"打开公告栏失败。可能你的IE浏览器已更新，需要重新启动电脑。";

    enum Command : int {
        kPatch = 1005,
        kMinimize = 1019,
        kClose = 1020,
        kZone1 = 1021,
        kZone2 = 1022,
        kServerList = 1024,
        kStartGame = 1026,
        kConfirmChoice = 1062,
    };
    enum ControlId : int {
        kCafeBrowser = 1002,
        kNewsBrowser = 1003,
        kFlashBrowser = 1004,
        kProgress = 1027,
        kDefaultServer = 1030,
        kTip = 1031,
        kVersion = 1032,
        kWarning = 1033,
        kCurrentProgress = 1036,
    };

    // The set-up steps up to the controls: the layout, bin\config.ini, the version text,
    // the fonts and every control. background is the window the dialog is shown in.
    CMainDlg(LauncherOptions options, BackgroundDialog* background);
    ~CMainDlg() override;

    // The remaining set-up steps, once the window is shown: the browsers and their pages,
    // the log and the updater, and the server list download.
    void start();

    // A command of a button (its id); ignored where the state does not allow it.
    void command(int id);

    // LauncherView: called on the window's thread.
    void showTip(const std::u16string& text) override;
    void showProgressText(const std::u16string& text) override;
    // While an update runs the speed follows the progress text in its static; the
    // elapsed-time text at the end comes without one.
    void showSpeed(uint64_t bytesPerSecond) override;
    void setProgressBar(int position) override;
    int progressBar() const override;
    void showServerName(const std::u16string& name) override;
    void showZoneButton(int index, const std::u16string* name) override;
    void setStartEnabled(bool enabled) override;
    void messageBox(const std::u16string& text, const std::u16string& caption) override;
    bool confirm(const std::u16string& text, const std::u16string& caption) override;

    // MessageTarget: called on any thread; queues the message for the window's thread.
    bool post(uint32_t message, uint32_t wParam, uint32_t lParam) override;

    bool mayClose() override;
    void closeDialog() override;

    // What the window shows and holds, for automation and tests.
    LauncherFlow* flow() const { return flow_.get(); }
    BackgroundDialog* backgroundWindow() const { return background_; }
    GdiplusButton* button(const std::u16string& layoutName) const;
    GdiplusStatic* label(const std::u16string& layoutName) const;
    GdiplusImageProgress* progress() const { return progress_; }
    GdiplusButton* confirmButton() const { return confirm_; }
    WebBrowser2* browser(int id) const;
    CServerListDialog* serverListDialog() const { return dialog_; }
    const BrowserPages& pages() const { return pages_; }
    bool browserFailed() const { return browserFailed_; }
    const QString& lastMessage() const { return lastMessage_; }
    // A blocking step runs, or a question waits for its answer.
    bool busy() const { return busy_ > 0; }
    // The server list has been handled and the window waits for the player.
    bool idle() const;
    bool hasEnded() const { return ended_; }
    int exitCode() const { return exitCode_; }
    bool saveScreenshot(const QString& path);

signals:
    // The dialog is over (closed, or the game or upgrade was started).
    void ended(int exitCode);
    void messageShown(const QString& text);
    // The window is idle after the server list arrived (see idle()).
    void becameIdle();

protected:
    bool event(QEvent* event) override;

private:
    void createControls();
    void createBrowsers();
    GdiplusButton* addButton(const std::u16string& name, int id, int first, int second);
    GdiplusStatic* addStatic(const std::u16string& name, int id, bool background);
    void runBlocking(const std::function<void()>& step);
    void deliverPending();
    void afterMessage(const PostedMessage& message);
    void maybeAutoStart();
    void autoFailed();
    void waitForPages();
    void openServerList();
    void closeServerList();
    void cleanUp();
    void finishClose(int code);

    LauncherOptions options_;
    BackgroundDialog* background_;
    std::unique_ptr<ControlPostionConfig> layout_;
    std::unique_ptr<LauncherSettings> settings_;
    std::unique_ptr<LogWritter> writer_;
    std::unique_ptr<Logger> logger_;
    std::unique_ptr<PatchUpdater> updater_;
    std::unique_ptr<LauncherFlow> flow_;
    Trace trace_;

    std::map<std::u16string, GdiplusButton*> buttons_;
    std::map<std::u16string, GdiplusStatic*> statics_;
    GdiplusButton* start_ = nullptr;
    GdiplusButton* confirm_ = nullptr;
    GdiplusButton* zones_[2] = {nullptr, nullptr};
    GdiplusImageProgress* progress_ = nullptr;
    GdiplusStatic* browserFailure_ = nullptr;
    std::u16string progressText_;
    std::map<int, WebBrowser2*> browsers_;
    BrowserPages pages_;
    bool browserFailed_ = false;

    QPointer<BackgroundDialog> dialogWindow_;
    CServerListDialog* dialog_ = nullptr;
    std::u16string chosenName_;

    std::deque<PostedMessage> pending_;
    int busy_ = 0;
    bool delivering_ = false;
    bool serverListHandled_ = false;
    bool autoStarted_ = false;
    bool closeRequested_ = false;
    bool cleanedUp_ = false;
    bool ended_ = false;
    int exitCode_ = 0;
    QString lastMessage_;
};

// The main window in its background window, ready to be shown; the caller owns the
// background window (which owns the dialog).
struct MainWindow {
    std::unique_ptr<BackgroundDialog> background;
    CMainDlg* dialog = nullptr;
};
MainWindow createMainWindow(LauncherOptions options);

}  // namespace lume
