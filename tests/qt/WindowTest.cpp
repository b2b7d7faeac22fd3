// The launcher window on a loopback release of the sample game: the whole update, the
// server list dialog, the start button and the close question while updating, the news
// pages' fallback, closing during a blocking step, and start-up. (A game that cannot start:
// LauncherFlowTest and CliTest.) Screenshots for a reviewer go to LUME_SCREENSHOT_DIR.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QWebEngineView>

#include "launcher/core/LauncherFlow.h"
#include "launcher/core/LauncherSettings.h"
#include "launcher/core/Startup.h"
#include "launcher/qt/BackgroundDialog.h"
#include "launcher/qt/CMainDlg.h"
#include "launcher/qt/CServerListDialog.h"
#include "launcher/qt/CZoneViewWnd.h"
#include "launcher/qt/GdiplusButton.h"
#include "launcher/qt/GdiplusImageProgress.h"
#include "launcher/qt/GdiplusStatic.h"
#include "launcher/qt/LauncherApp.h"
#include "launcher/qt/WebBrowser2.h"
#include "platform/Files.h"
#include "platform/SingleInstance.h"
#include "platform/Text.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TestHttpServer.h"
#include "tests/update/UpdateTestData.h"

namespace fs = std::filesystem;

namespace lume {
namespace {

constexpr int kPatience = 120000;  // ms; a safety net, never a measure

// Answers the next question box with the button given, once it is open.
void answerNextQuestion(QMessageBox::StandardButton answer) {
    QTimer::singleShot(0, [answer] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            answerNextQuestion(answer);
            return;
        }
        box->button(answer)->click();
    });
}

void keepScreenshot(const QPixmap& shot, const char* name) {
    QDir().mkpath(LUME_SCREENSHOT_DIR);
    shot.save(QStringLiteral(LUME_SCREENSHOT_DIR "/%1").arg(name), "PNG");
}

// The sample game published as versions 1 and 2 on a loopback server with a server list
// of its own; version 1 installed in "game" with the sample's layout and news pages.
class Window : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.started());
        const fs::path sample = LUME_SAMPLE_DIR;
        for (const char* version : {"v1", "v2"}) {
            const fs::path dir = fs::path(box.path()) / version;
            test::makeSampleVersion(dir, sample / version);
            ASSERT_TRUE(test::publish(dir, box.path() + "/www/game"));
        }
        fs::copy(box.path() + "/v1", box.path() + "/game", fs::copy_options::recursive);
        fs::copy(sample / "client", box.path() + "/game",
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        for (const char* dir : {"news", "news-mirror"}) {
            fs::create_directories(box.path() + "/www/" + dir);
            fs::copy(sample / "news", box.path() + "/www/" + dir, fs::copy_options::recursive);
        }
        writeLayout({});
        // Zone 3 goes by its group; zone 5 is in neither tab.
        box.writeFile(
            "www/serverlist.xml", platform::utf8ToNarrow(R"(<server><patch>
            <items type="0"><serverItem addr=")" + server.host() +
                                                         R"(" path="/game" flag="1"/></items>
            <items type="20"><serverItem addr=")" + server.host() +
                                                         R"(" path="/game" flag="1"/></items>
            </patch><zones default="电信一区">
            <zone name="电信一区" type="0" outer="1" id="1" default="1" zone="1" new="1" hint="新区开启"/>
            <zone name="电信二区" type="0" outer="1" id="2" default="2" zone="2"/>
            <zone name="网通一区" type="20" outer="1" id="3" default="3" zone="0"/>
            <zone name="双线一区" type="0" outer="1" id="4" default="4" zone="3"/>
            <zone name="双线二区" type="20" outer="1" id="5" default="5" zone="3" test="1"/>
            <zone name="隐藏" type="0" outer="1" id="6" default="6" zone="5"/>
            </zones></server>)"));
        box.writeFile("data/bin/srvListUrl.xml",
                      "<l><url type=\"4\" path=\"" + server.url("/serverlist.xml") + "\"/></l>");
        ASSERT_TRUE(platform::setCurrentDirectory(platform::utf8ToWide(box.path() + "/game")));
    }

    // The sample's layout pointing at this server; pages replaces page addresses by name.
    void writeLayout(const std::map<std::string, std::string>& pages) {
        std::string layout =
            test::readBytes(fs::path(LUME_SAMPLE_DIR) / "client/bin/controlPosition.xml");
        for (size_t at; (at = layout.find("NEWS_HOST")) != std::string::npos;) {
            layout.replace(at, std::string_view("NEWS_HOST").size(), server.host());
        }
        for (const auto& [name, url] : pages) {
            const size_t at = layout.find("name=\"" + name + "\" url=\"");
            ASSERT_NE(at, std::string::npos) << name;
            const size_t start = layout.find("url=\"", at) + 5;
            layout.replace(start, layout.find('"', start) - start, url);
        }
        box.writeFile("game/bin/controlPosition.xml", platform::utf8ToNarrow(layout));
    }

    CMainDlg* open(LauncherOptions options = {}) {
        window = createMainWindow(std::move(options));
        window.background->show();
        QTimer::singleShot(0, window.dialog, &CMainDlg::start);
        return window.dialog;
    }
    bool waitIdle() {
        return QTest::qWaitFor([this] { return window.dialog->idle(); }, kPatience);
    }
    // The whole window, once the pages shown have loaded.
    void screenshot(const char* name) {
        for (int id : {CMainDlg::kNewsBrowser, CMainDlg::kFlashBrowser}) {
            if (WebBrowser2* b = window.dialog->browser(id)) {
                EXPECT_TRUE(QTest::qWaitFor([b] { return !b->loading(); }, kPatience));
            }
        }
        keepScreenshot(window.dialog->backgroundWindow()->grab(), name);
    }
    void click(QWidget* widget, QPoint at = {}) {
        ASSERT_NE(widget, nullptr);
        QTest::mouseClick(widget, Qt::LeftButton, {}, at.isNull() ? widget->rect().center() : at);
    }

    test::Sandbox box;
    test::TestHttpServer server{box.path() + "/www"};
    MainWindow window;
};

TEST_F(Window, AWholeUpdateEndsWithTheGameStarted) {
    CMainDlg* dlg = open({true, QString::fromStdString(box.path() + "/end.png"),
                          QString::fromStdString(box.path() + "/trace.jsonl")});
    ASSERT_TRUE(QTest::qWaitFor([dlg] { return dlg->hasEnded(); }, kPatience));
    EXPECT_EQ(dlg->exitCode(), 0) << dlg->label(u"STATIC_CURRENT_FILE")->text().toStdString();
    EXPECT_EQ(dlg->flow()->ending(), LauncherFlow::Ending::Game);
    ASSERT_TRUE(QTest::qWaitFor([this] { return box.exists("game/bin/started.txt"); }, kPatience));
    EXPECT_EQ(box.readFile("game/bin/version.dat"), box.readFile("v2/bin/version.dat"));
    EXPECT_EQ(box.readFile("game/maps/level2.map"), box.readFile("v2/maps/level2.map"));

    EXPECT_EQ(dlg->progress()->position(), 100);
    // The speed follows the progress text while updating, never the elapsed time.
    GdiplusStatic* progressText = dlg->label(u"STATIC_CURRENT_PROGRESS");
    EXPECT_TRUE(progressText->text().startsWith("更新耗时:") &&
                !progressText->text().contains("/s"));
    dlg->showProgressText(u"更新进度:40%");
    for (const auto& [rate, shown] : {std::pair{1572864, "更新进度:40%  1.5 MB/s"},
                                      {921600, "更新进度:40%  900 KB/s"},
                                      {0, "更新进度:40%"}}) {
        dlg->showSpeed(rate);
        EXPECT_EQ(progressText->text(), shown) << rate;
    }
    EXPECT_EQ(dlg->label(u"STATIC_DEFAULT_SERVER")->text(), "电信一区");
    EXPECT_EQ(dlg->label(u"STATIC_VERSION")->text(), "版本号: 1.0.0");
    EXPECT_NE(box.readFile("trace.jsonl").find("{\"msg\":6029,\"wParam\":0,\"lParam\":0}"),
              std::string::npos);
    const QImage end(QString::fromStdString(box.path() + "/end.png"));
    EXPECT_EQ(end.size(), QSize(1160, 740));
    keepScreenshot(QPixmap::fromImage(end), "main-window.png");

    if (WebBrowser2::engineAvailable()) {
        WebBrowser2* news = dlg->browser(CMainDlg::kNewsBrowser);
        ASSERT_NE(news, nullptr);
        EXPECT_EQ(news->address().toStdString(), server.url("/news/index.html"));
        EXPECT_TRUE(news->isShown());
        EXPECT_FALSE(news->loading());  // the screenshot waited for the page
    } else {
        EXPECT_TRUE(dlg->browserFailed());
        EXPECT_EQ(dlg->label(u"STATIC_CURRENT_FILE")->isVisible(), false);  // window gone
    }
}

TEST_F(Window, TheServerListDialogThenAnUpdateThatDoesNotEnd) {
    server.injectForPath("/game/flist.xml", test::FaultPlan::stall());
    CMainDlg* dlg = open();
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(dlg->button(u"ZONE2")->text(), "电信二区");

    click(dlg->button(u"TREE_SRV_LIST"));
    CServerListDialog* list = dlg->serverListDialog();
    ASSERT_NE(list, nullptr);
    // Choosing: the dialog over the news, the start button turned into the confirm button.
    EXPECT_FALSE(dlg->button(u"START_GAME")->isVisible());
    EXPECT_TRUE(dlg->confirmButton()->isVisible());
    EXPECT_FALSE(dlg->button(u"TREE_SRV_LIST")->isEnabled());
    EXPECT_TRUE(list->currentTab() == 1 && list->tabButton(1)->isChecked());
    auto names = [list](int tab) {
        std::vector<std::u16string> n;
        for (int i = 0; i < list->view(tab)->count(); ++i) {
            n.push_back(list->view(tab)->zone(i).name);
        }
        return n;
    };
    EXPECT_EQ(names(0), (std::vector<std::u16string>{u"网通一区", u"双线二区"}));
    EXPECT_EQ(names(1), (std::vector<std::u16string>{u"电信一区", u"电信二区", u"双线一区"}));
    CZoneViewWnd* view = list->view(1);
    EXPECT_EQ(view->selected(), 0);  // the current server
    QTest::mouseMove(view, view->cellRect(2).center());
    EXPECT_TRUE(QTest::qWaitFor([view] { return view->hover() == 2; }, kPatience));
    screenshot("server-list.png");

    // Enter leaves the dialog open; a click then a close without confirming changes nothing.
    QTest::keyClick(list, Qt::Key_Return);
    EXPECT_EQ(dlg->serverListDialog(), list);
    click(view, view->cellRect(1).center());
    EXPECT_EQ(std::tuple(view->selected(), list->chosenName()), std::tuple(1, u"电信二区"));
    click(list->closeButton());
    EXPECT_EQ(dlg->serverListDialog(), nullptr);
    EXPECT_EQ(LauncherSettings().serverName(), u"电信一区");
    EXPECT_TRUE(dlg->button(u"START_GAME")->isVisible() && !dlg->confirmButton()->isVisible());
    EXPECT_TRUE(dlg->button(u"TREE_SRV_LIST")->isEnabled());

    // The other tab, a choice, and the confirm button: the server changes and is remembered.
    click(dlg->button(u"TREE_SRV_LIST"));
    list = dlg->serverListDialog();
    ASSERT_NE(list, nullptr);
    click(list->tabButton(0));
    EXPECT_TRUE(list->view(0)->isVisible() && !list->view(1)->isVisible());
    EXPECT_EQ(list->view(0)->selected(), -1);
    click(list->view(0), list->view(0)->cellRect(0).center());
    click(dlg->confirmButton());
    EXPECT_EQ(dlg->label(u"STATIC_DEFAULT_SERVER")->text(), "网通一区");
    EXPECT_EQ(LauncherSettings().serverName(), u"网通一区");

    // Escape in the dialog closes it; Return in the window does nothing.
    click(dlg->button(u"TREE_SRV_LIST"));
    ASSERT_NE(dlg->serverListDialog(), nullptr);
    QTest::keyClick(dlg->serverListDialog(), Qt::Key_Escape);
    EXPECT_EQ(dlg->serverListDialog(), nullptr);
    QTest::keyClick(dlg, Qt::Key_Return);
    EXPECT_FALSE(dlg->hasEnded());

    // While updating (the file list never comes) the start button is disabled, the server
    // cannot change, and closing asks first.
    GdiplusButton* start = dlg->button(u"START_GAME");
    click(start);
    EXPECT_EQ(start->look(), GdiplusButton::Look::Disabled);
    click(dlg->button(u"ZONE2"));
    click(dlg->button(u"TREE_SRV_LIST"));
    EXPECT_EQ(dlg->serverListDialog(), nullptr);
    EXPECT_EQ(dlg->flow()->currentServer(), u"网通一区");
    answerNextQuestion(QMessageBox::Cancel);
    click(dlg->button(u"CLOSE_BUTTON"));
    EXPECT_EQ(dlg->lastMessage(), "正在更新中，确认要关闭更新程序吗？");
    EXPECT_EQ(dlg->flow()->state(), LauncherFlow::State::Updating);
    screenshot("updating.png");
    answerNextQuestion(QMessageBox::Ok);
    click(dlg->button(u"CLOSE_BUTTON"));
    EXPECT_TRUE(dlg->hasEnded() && dlg->flow()->closing());
    EXPECT_FALSE(box.exists("game/bin/started.txt"));
}

TEST_F(Window, AnUnreachablePrimaryPageSendsBothBrowsersToTheirFallbacks) {
    box.writeFile("www/news-mirror/index.html",
                  "<html><script>document.title = window.external.xxyyzz;"
                  "try { window.external.other; } catch (e) { document.title += '/' + e.name; }"
                  "</script><body>mirror</body></html>");
    writeLayout({{"Web_Default", "http://127.0.0.1:1/news/index.html"}});
    CMainDlg* dlg = open();
    ASSERT_TRUE(waitIdle());
    if (!WebBrowser2::engineAvailable()) {
        // Without a browser engine the window says so where the news would be, and works.
        EXPECT_TRUE(dlg->browserFailed());
        EXPECT_EQ(dlg->lastMessage().toStdU16String(), CMainDlg::kTextBrowserFailed);
        EXPECT_TRUE(dlg->button(u"START_GAME")->isEnabled());
        return;
    }
    EXPECT_EQ(dlg->pages().news, platform::utf8ToWide(server.url("/news-mirror/index.html")));
    // Once a primary failed, the second browser goes straight to its fallback.
    EXPECT_EQ(dlg->pages().flash, platform::utf8ToWide(server.url("/news-mirror/event.html")));
    EXPECT_EQ(server.requestCount("/news/event.html"), 0);
    WebBrowser2* news = dlg->browser(CMainDlg::kNewsBrowser);
    ASSERT_TRUE(QTest::qWaitFor([news] { return !news->loading(); }, kPatience));
    // The page's external object: "xxy..." reads "Wibble", other names fail.
    EXPECT_EQ(news->view()->title(), "Wibble/TypeError");
    EXPECT_EQ(news->view()->contextMenuPolicy(), Qt::NoContextMenu);
}

TEST_F(Window, ClosingWhileTheServerListDownloadsAnswersAtOnce) {
    server.injectForPath("/serverlist.xml", test::FaultPlan::stall());
    CMainDlg* dlg = open();
    // The download blocks the flow; the window's own event loop still runs, so this timer
    // fires meanwhile: the window paints, and the close button hides it at once.
    bool closedWhileBusy = false, painted = false, hidden = false;
    QTimer probe;
    probe.setInterval(1);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (closedWhileBusy || dlg->flow() == nullptr || !dlg->busy()) {
            return;
        }
        closedWhileBusy = true;
        painted = !dlg->backgroundWindow()->grab().isNull();
        click(dlg->button(u"CLOSE_BUTTON"));
        hidden = !dlg->backgroundWindow()->isVisible() && !dlg->hasEnded();
        server.stop();  // the download fails now
    });
    probe.start();
    ASSERT_TRUE(QTest::qWaitFor([dlg] { return dlg->hasEnded(); }, kPatience));
    EXPECT_EQ(std::tuple(closedWhileBusy, painted, hidden, dlg->flow()->state()),
              std::tuple(true, true, true, LauncherFlow::State::Closed));
    EXPECT_EQ(dlg->exitCode(), 0);
}

TEST(LauncherStartUp, ArgumentsAndASecondInstance) {
    LauncherArguments parsed;
    QString error;
    ASSERT_TRUE(parseLauncherArguments(
        {"-C", "g", "--auto-start", "--screenshot", "s.png", "--trace", "t"}, parsed, error));
    EXPECT_EQ(std::tuple(parsed.directory, parsed.autoStart, parsed.screenshot),
              std::tuple("g", true, "s.png"));
    EXPECT_FALSE(parseLauncherArguments({"--screenshot"}, parsed, error));
    EXPECT_FALSE(parseLauncherArguments({"extra"}, parsed, error));
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    EXPECT_EQ(runLauncher(*app, {"--nope"}), kLauncherUsage);

    test::Sandbox box;
    setenv("LUME_INSTANCE_NAME", ("LumeQtTest-" + std::to_string(getpid())).c_str(), 1);
    platform::SingleInstance first;
    ASSERT_TRUE(first.acquire(instanceName()));
    box.writeFile("game/bin/lume.dat.back", "new");
    EXPECT_EQ(runLauncher(*app, {"-C", QString::fromStdString(box.path() + "/game")}),
              kLauncherAlreadyRunning);
    EXPECT_TRUE(box.exists("game/bin/lume.dat.back"));  // the first launcher's business
}

}  // namespace
}  // namespace lume
