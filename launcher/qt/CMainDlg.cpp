#include "launcher/qt/CMainDlg.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QMessageBox>
#include <QTimer>
#include <thread>

#include "engine/Kernel/LogWritter.h"
#include "engine/Kernel/Logger.h"
#include "launcher/core/ControlPostionConfig.h"
#include "launcher/core/Handover.h"
#include "launcher/core/LauncherFlow.h"
#include "launcher/core/LauncherSettings.h"
#include "launcher/core/ProgressDisplay.h"
#include "launcher/qt/BackgroundDialog.h"
#include "launcher/qt/CServerListDialog.h"
#include "launcher/qt/Fonts.h"
#include "launcher/qt/GdiplusButton.h"
#include "launcher/qt/GdiplusImageProgress.h"
#include "launcher/qt/GdiplusStatic.h"
#include "launcher/qt/WebBrowser2.h"
#include "launcher/qt/skin/SkinIds.h"
#include "platform/Files.h"
#include "serverlist/ProbeWebStatusThread.h"
#include "update/Messages.h"
#include "update/PatchUpdater.h"

namespace lume {

namespace {

// An updater message on its way to the window's thread.
class UpdaterEvent : public QEvent {
public:
    static QEvent::Type type() {
        static const auto registered = static_cast<QEvent::Type>(QEvent::registerEventType());
        return registered;
    }
    explicit UpdaterEvent(const PostedMessage& message) : QEvent(type()), message(message) {}
    PostedMessage message;
};

QRect toQRect(const LayoutRect& r) {
    return QRect(r.left, r.top, r.right - r.left, r.bottom - r.top);
}

QString qs(const std::u16string& text) {
    return QString::fromStdU16String(text);
}

}  // namespace

CMainDlg::CMainDlg(LauncherOptions options, BackgroundDialog* background)
    : GdiplusDialog(background), options_(std::move(options)), background_(background) {
    background_->setWindowTitle(qs(kTitle));
    layout_ = std::make_unique<ControlPostionConfig>();
    layout_->load();
    settings_ = std::make_unique<LauncherSettings>();
    createControls();
    // The question of the window's close may come before anything else runs.
    setFocus();
}

CMainDlg::~CMainDlg() {
    cleanUp();
}

GdiplusButton* CMainDlg::addButton(const std::u16string& name, int id, int first, int second) {
    auto* b = new GdiplusButton(id, this);
    b->setPictures(first, second);
    b->setGeometry(toQRect(layout_->rectangle(name)));
    connect(b, &GdiplusButton::command, this, &CMainDlg::command);
    buttons_[name] = b;
    return b;
}

GdiplusStatic* CMainDlg::addStatic(const std::u16string& name, int id, bool background) {
    auto* s = new GdiplusStatic(id, this);
    s->setGeometry(toQRect(layout_->rectangle(name)));
    if (background) {
        s->setBackgroundPicture(skin::kStaticBack);
    }
    s->setText(qs(layout_->prompt(name)));
    statics_[name] = s;
    return s;
}

void CMainDlg::createControls() {
    const QFont small = launcherFont(u"宋体", 12, 400);
    const QFont normal = launcherFont(u"宋体", 14, 400);
    const QFont bold = launcherFont(u"微软雅黑", 20, 900);

    addButton(u"MINIMIZE", kMinimize, skin::kMinimize, skin::kMinimizeHover);
    addButton(u"CLOSE_BUTTON", kClose, skin::kClose, skin::kCloseHover);
    start_ = addButton(u"START_GAME", kStartGame, skin::kStartGame, 0);
    start_->setEnabled(false);  // Starting
    confirm_ = new GdiplusButton(kConfirmChoice, this);
    confirm_->setPictures(skin::kConfirm, skin::kConfirmHover);
    confirm_->setGeometry(start_->geometry());
    confirm_->hide();
    connect(confirm_, &GdiplusButton::command, this, &CMainDlg::command);
    for (int i = 0; i < 2; ++i) {
        zones_[i] = addButton(i == 0 ? u"ZONE1" : u"ZONE2", i == 0 ? kZone1 : kZone2, skin::kZone,
                              skin::kZoneHover);
        zones_[i]->setFont(small);
        zones_[i]->setTextColour(Qt::white);
        zones_[i]->hide();
    }
    addButton(u"TREE_SRV_LIST", kServerList, skin::kServerList, skin::kServerListHover)->hide();
    addButton(u"PATCH_BTN", kPatch, skin::kPatch, skin::kPatchHover);

    progress_ = new GdiplusImageProgress(this);
    progress_->setPictures(skin::kProgressBack, skin::kProgressFill);
    progress_->setGeometry(toQRect(layout_->rectangle(u"UPDATE_PROGRESS")));
    progress_->setRange(0, 100);

    GdiplusStatic* server = addStatic(u"STATIC_DEFAULT_SERVER", kDefaultServer, true);
    server->setFont(bold);
    server->setTextColour(QColor(255, 51, 0));
    server->hide();
    GdiplusStatic* tip1 = addStatic(u"TIP1", kTip, false);
    tip1->setFont(small);
    tip1->setTextColour(QColor(153, 153, 153));
    addStatic(u"TIP2", kTip, false)->setFont(small);
    addStatic(u"STATIC_CURRENT_FILE", kTip, true)->setFont(normal);
    addStatic(u"STATIC_CURRENT_PROGRESS", kCurrentProgress, true)->setFont(normal);
    GdiplusStatic* version = addStatic(u"STATIC_VERSION", kVersion, true);
    version->setFont(small);
    version->setText(QStringLiteral("版本号: %1").arg(qs(readVersionText())));
    GdiplusStatic* warning = addStatic(u"STATIC_WARNING", kWarning, true);
    warning->setFont(small);
    warning->setTextColour(QColor(200, 190, 160));
    warning->setAlignment(Qt::AlignCenter);

    browserFailure_ = new GdiplusStatic(0, this);
    browserFailure_->setGeometry(toQRect(layout_->rectangle(u"NEWS_BROWSER")));
    browserFailure_->setFont(normal);
    browserFailure_->setAlignment(Qt::AlignCenter);
    browserFailure_->hide();
}

void CMainDlg::createBrowsers() {
    if (!WebBrowser2::engineAvailable()) {
        browserFailed_ = true;
    } else {
        for (const auto& [id, name] :
             {std::pair{kCafeBrowser, u"WANGBA_BROWSER"}, std::pair{kNewsBrowser, u"NEWS_BROWSER"},
              std::pair{kFlashBrowser, u"FLASH_BROWSER"}}) {
            auto* browser = new WebBrowser2(id, toQRect(layout_->rectangle(name)), this);
            connect(browser, &WebBrowser2::failed, this, [this] {
                if (!browserFailed_) {
                    browserFailed_ = true;
                    browserFailure_->setText(qs(kTextBrowserFailed));
                    browserFailure_->show();
                    messageBox(kTextBrowserFailed, u"Lumora");
                }
            });
            browsers_[id] = browser;
        }
        // Each probe may wait half a second for a connection: off the window's thread.
        pages_ = chooseBrowserPages(settings_->browserVariant(), *layout_,
                                    [this](const std::u16string& url) {
                                        bool answers = false;
                                        if (closeRequested_) {
                                            return answers;  // the window is going
                                        }
                                        runBlocking([&] { answers = pageAnswers(url); });
                                        return answers;
                                    });
        if (ended_ || closeRequested_) {
            return;
        }
        for (const auto& [id, page] :
             {std::pair{kNewsBrowser, pages_.news}, std::pair{kFlashBrowser, pages_.flash}}) {
            WebBrowser2* browser = browsers_[id];
            browser->show(!page.empty());
            if (!page.empty()) {
                browser->navigate(qs(page));
            }
        }
        if (!pages_.cafe.empty()) {
            browsers_[kCafeBrowser]->navigate(qs(pages_.cafe));
        }
    }
    if (browserFailed_) {
        browserFailure_->setText(qs(kTextBrowserFailed));
        browserFailure_->show();
        messageBox(kTextBrowserFailed, u"Lumora");
    }
}

void CMainDlg::start() {
    if (ended_ || flow_) {
        return;
    }
    createBrowsers();
    if (ended_ || closeRequested_) {
        return;
    }
    writer_ = std::make_unique<LogWritter>(-1);
    writer_->setEcho(false);
    logger_ = std::make_unique<Logger>(writer_.get());
    updater_ = std::make_unique<PatchUpdater>(this, writer_.get());
    if (!options_.trace.isEmpty() && !trace_.open(options_.trace.toStdString())) {
        logW_m1(u"cannot write the trace to %s", options_.trace.toStdU16String());
    }

    LauncherFlow::Environment env;
    env.programDirectory = asProgramDirectory(platform::currentDirectory());
    env.chooseMirror = [](const ServerRecord& s) { return chooseMirror(s); };
    env.cleanUp = [this] {
        cleanUp();
        QTimer::singleShot(0, this, [this] { finishClose(0); });
    };
    env.runBlocking = [this](const std::function<void()>& step) { runBlocking(step); };
    env.beforeHandOver = [this] {
        if (!options_.screenshot.isEmpty()) {
            waitForPages();
            saveScreenshot(options_.screenshot);
        }
    };
    flow_ = std::make_unique<LauncherFlow>(*this, *updater_, *settings_, std::move(env));
    flow_->setUp();
    if (closeRequested_) {
        finishClose(0);
        return;
    }
    deliverPending();
}

void CMainDlg::runBlocking(const std::function<void()>& step) {
    ++busy_;
    {
        QEventLoop loop;
        std::thread helper([&] {
            step();
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        });
        loop.exec();
        helper.join();
    }
    --busy_;
    if (busy_ == 0) {
        // What arrived meanwhile, once the caller has finished its own step.
        QTimer::singleShot(0, this, [this] {
            if (closeRequested_) {
                finishClose(exitCode_);
            } else {
                deliverPending();
            }
        });
    }
}

bool CMainDlg::post(uint32_t message, uint32_t wParam, uint32_t lParam) {
    QCoreApplication::postEvent(this, new UpdaterEvent({message, wParam, lParam}));
    return true;
}

bool CMainDlg::event(QEvent* event) {
    if (event->type() == UpdaterEvent::type()) {
        pending_.push_back(static_cast<UpdaterEvent*>(event)->message);
        deliverPending();
        return true;
    }
    return GdiplusDialog::event(event);
}

void CMainDlg::deliverPending() {
    if (delivering_ || busy_ > 0 || ended_ || !flow_) {
        return;
    }
    delivering_ = true;
    while (!pending_.empty() && busy_ == 0 && !ended_ && !cleanedUp_) {
        const PostedMessage m = pending_.front();
        pending_.pop_front();
        if (updater_) {
            trace_.record(m, *updater_);
        }
        flow_->handleMessage(m);
        afterMessage(m);
    }
    delivering_ = false;
    maybeAutoStart();
}

void CMainDlg::afterMessage(const PostedMessage& m) {
    if (m.message == kMsgServerList) {
        serverListHandled_ = true;
        if (m.wParam == 1) {
            buttons_[u"TREE_SRV_LIST"]->show();
            statics_[u"STATIC_DEFAULT_SERVER"]->show();
        }
    }
    if (!options_.autoStart || cleanedUp_) {
        return;
    }
    const bool listFailed = m.message == kMsgServerList && m.wParam != 1;
    const bool updateFailed =
        m.message == kMsgUpdateResult && flow_->state() == LauncherFlow::State::Idle;
    if (listFailed || updateFailed) {
        autoFailed();
    }
}

bool CMainDlg::idle() const {
    return serverListHandled_ && flow_ && flow_->state() == LauncherFlow::State::Idle &&
           busy_ == 0 && pending_.empty() && !ended_;
}

void CMainDlg::maybeAutoStart() {
    if (!idle()) {
        return;
    }
    emit becameIdle();
    if (!options_.autoStart || autoStarted_) {
        return;
    }
    autoStarted_ = true;
    QTimer::singleShot(0, this, [this] {
        command(kStartGame);
        if (!ended_ && flow_->state() != LauncherFlow::State::Updating) {
            autoFailed();  // no download address
        }
    });
}

void CMainDlg::autoFailed() {
    if (!options_.screenshot.isEmpty()) {
        waitForPages();
        saveScreenshot(options_.screenshot);
    }
    exitCode_ = 1;
    QTimer::singleShot(0, this, [this] {
        cleanUp();
        finishClose(1);
    });
}

void CMainDlg::waitForPages() {
    auto loading = [this] {
        for (const auto& [id, browser] : browsers_) {
            if (browser->isShown() && browser->loading()) {
                return true;
            }
        }
        return false;
    };
    if (!loading()) {
        return;
    }
    ++busy_;
    QEventLoop loop;
    for (const auto& [id, browser] : browsers_) {
        connect(browser, &WebBrowser2::loadFinished, &loop, [&] {
            if (!loading()) {
                loop.quit();
            }
        });
        connect(browser, &WebBrowser2::failed, &loop, &QEventLoop::quit);
    }
    // A page that never finishes must not keep the update's end waiting.
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
    --busy_;
}

bool CMainDlg::saveScreenshot(const QString& path) {
    const QPixmap shot = background_->grab();
    if (!shot.save(path, "PNG")) {
        logW_m1(u"cannot save the screenshot %s", path.toStdU16String());
        return false;
    }
    return true;
}

void CMainDlg::command(int id) {
    if (ended_ || !flow_ || busy_ > 0) {
        if (id == kMinimize) {
            background_->showMinimized();
        } else if (id == kClose) {
            escape();
        }
        return;
    }
    const bool idleNow = start_->isEnabled();
    switch (id) {
        case kMinimize:
            background_->showMinimized();
            break;
        case kClose:
            escape();
            break;
        case kServerList:
            if (idleNow && dialog_ == nullptr) {
                openServerList();
            }
            break;
        case kStartGame:
            if (idleNow && !flow_->updateDone()) {
                flow_->startUpdate();
            }
            break;
        case kZone1:
        case kZone2:
            if (idleNow) {
                flow_->chooseZoneButton(id - kZone1);
            }
            break;
        case kConfirmChoice:
            if (dialog_ != nullptr) {
                if (!chosenName_.empty()) {
                    flow_->chooseServer(chosenName_);
                }
                dialog_->closeDialog();
            }
            break;
        default:  // the patch button has no action
            break;
    }
}

void CMainDlg::openServerList() {
    const QRect at = toQRect(layout_->rectangle(u"SRV_LIST_DIALOG"));
    dialogWindow_ = new BackgroundDialog(skin::kDialogBackground, this);
    dialogWindow_->move(at.topLeft());
    if (!at.isEmpty()) {
        dialogWindow_->setFixedSize(at.size());
    }
    dialog_ = new CServerListDialog(*layout_, *updater_, flow_->currentServer(), dialogWindow_);
    dialogWindow_->host(dialog_);
    chosenName_ = flow_->currentServer();
    connect(dialog_, &CServerListDialog::chosen, this,
            [this](const std::u16string& name) { chosenName_ = name; });
    connect(dialog_, &CServerListDialog::confirmed, this,
            [this](const std::u16string& name) { flow_->chooseServer(name); });
    connect(dialog_, &CServerListDialog::closing, this, &CMainDlg::closeServerList);
    // Choosing: the dialog covers the news, and the start button becomes the confirm button.
    if (WebBrowser2* news = browser(kNewsBrowser)) {
        news->show(false);
    }
    start_->hide();
    confirm_->show();
    buttons_[u"TREE_SRV_LIST"]->setEnabled(false);
    dialogWindow_->show();
    dialogWindow_->raise();
}

void CMainDlg::closeServerList() {
    if (dialogWindow_) {
        dialogWindow_->hide();
        dialogWindow_->deleteLater();
    }
    dialog_ = nullptr;
    if (WebBrowser2* news = browser(kNewsBrowser)) {
        news->show(!pages_.news.empty());
    }
    confirm_->hide();
    start_->show();
    buttons_[u"TREE_SRV_LIST"]->setEnabled(true);
    setFocus();
}

bool CMainDlg::mayClose() {
    if (ended_) {
        return false;
    }
    if (!flow_) {
        return true;  // nothing runs yet that a question could be about
    }
    // Reports that arrive while the player answers wait for the answer.
    ++busy_;
    const bool close = flow_->requestClose();
    --busy_;
    if (!close && busy_ == 0) {
        QTimer::singleShot(0, this, &CMainDlg::deliverPending);
    }
    return close;
}

void CMainDlg::closeDialog() {
    if (busy_ > 0) {
        // A blocking step still runs: the window goes now, the rest when the step is done.
        closeRequested_ = true;
        background_->hide();
        return;
    }
    finishClose(0);
}

void CMainDlg::cleanUp() {
    if (cleanedUp_) {
        return;
    }
    cleanedUp_ = true;
    if (dialog_ != nullptr) {
        dialog_->closeDialog();
    }
    updater_.reset();
    logger_.reset();
    writer_.reset();
    layout_.reset();
}

void CMainDlg::finishClose(int code) {
    if (ended_) {
        return;
    }
    // The window goes first: stopping the workers may take a moment.
    background_->hide();
    cleanUp();
    ended_ = true;
    exitCode_ = code;
    emit ended(code);
}

GdiplusButton* CMainDlg::button(const std::u16string& layoutName) const {
    auto it = buttons_.find(layoutName);
    return it == buttons_.end() ? nullptr : it->second;
}

GdiplusStatic* CMainDlg::label(const std::u16string& layoutName) const {
    auto it = statics_.find(layoutName);
    return it == statics_.end() ? nullptr : it->second;
}

WebBrowser2* CMainDlg::browser(int id) const {
    auto it = browsers_.find(id);
    return it == browsers_.end() ? nullptr : it->second;
}

void CMainDlg::showTip(const std::u16string& text) {
    statics_[u"STATIC_CURRENT_FILE"]->setText(qs(text));
}

void CMainDlg::showProgressText(const std::u16string& text) {
    progressText_ = text;
    statics_[u"STATIC_CURRENT_PROGRESS"]->setText(qs(text));
}

void CMainDlg::showSpeed(uint64_t bytesPerSecond) {
    const std::u16string shown =
        bytesPerSecond == 0 ? progressText_ : progressText_ + u"  " + speedText(bytesPerSecond);
    statics_[u"STATIC_CURRENT_PROGRESS"]->setText(qs(shown));
}

void CMainDlg::setProgressBar(int position) {
    progress_->setPosition(position);
}

int CMainDlg::progressBar() const {
    return progress_->position();
}

void CMainDlg::showServerName(const std::u16string& name) {
    statics_[u"STATIC_DEFAULT_SERVER"]->setText(qs(name));
}

void CMainDlg::showZoneButton(int index, const std::u16string* name) {
    GdiplusButton* zone = zones_[index];
    zone->setVisible(name != nullptr);
    zone->setText(name != nullptr ? qs(*name) : QString());
}

void CMainDlg::setStartEnabled(bool enabled) {
    start_->setEnabled(enabled);
}

void CMainDlg::messageBox(const std::u16string& text, const std::u16string& caption) {
    // Shown without waiting for it: the window goes on (and an unattended run too).
    auto* box = new QMessageBox(QMessageBox::Information, qs(caption), qs(text), QMessageBox::Ok,
                                background_);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
    lastMessage_ = qs(text);
    emit messageShown(lastMessage_);
}

bool CMainDlg::confirm(const std::u16string& text, const std::u16string& caption) {
    QMessageBox box(QMessageBox::Question, qs(caption), qs(text),
                    QMessageBox::Ok | QMessageBox::Cancel, background_);
    lastMessage_ = qs(text);
    emit messageShown(lastMessage_);
    return box.exec() == QMessageBox::Ok;
}

MainWindow createMainWindow(LauncherOptions options) {
    MainWindow window;
    window.background = std::make_unique<BackgroundDialog>(skin::kMainBackground);
    window.dialog = new CMainDlg(std::move(options), window.background.get());
    window.background->host(window.dialog);
    return window;
}

}  // namespace lume
