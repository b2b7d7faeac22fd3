#include "launcher/qt/LauncherApp.h"

#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>

#include "launcher/core/Startup.h"
#include "launcher/qt/BackgroundDialog.h"
#include "launcher/qt/CMainDlg.h"
#include "launcher/qt/Fonts.h"
#include "platform/Files.h"
#include "platform/SingleInstance.h"

namespace lume {

namespace {

// A message box where a player can see one; on a machine without a display (an unattended
// run) standard error carries the text alone.
void tell(const std::u16string& text, const std::u16string& caption) {
    std::fprintf(stderr, "%s\n", QString::fromStdU16String(text).toUtf8().constData());
    const QString platform = QGuiApplication::platformName();
    if (platform != "offscreen" && platform != "minimal") {
        QMessageBox::information(nullptr, QString::fromStdU16String(caption),
                                 QString::fromStdU16String(text));
    }
}

}  // namespace

QString launcherUsage() {
    return QStringLiteral(
        "usage: lume-launcher [-C DIR] [--auto-start] [--screenshot FILE] [--trace FILE]\n"
        "\n"
        "The launcher window, run in a game directory (the current one, or DIR).\n"
        "\n"
        "  -C DIR              work in DIR (the game directory)\n"
        "  --auto-start        press the start button as soon as the window is idle; the\n"
        "                      run then ends with status 1 when it cannot finish\n"
        "  --screenshot FILE   save the window as a PNG when the update has finished\n"
        "  --trace FILE        write every message the updater posts as one JSON line\n"
        "  -h, --help          show this text\n"
        "\n"
        "exit status: 0 closed, or the game or the upgrade was started; 1 an unattended run\n"
        "failed; 2 bad usage; 3 another launcher is running\n");
}

bool parseLauncherArguments(const QStringList& args, LauncherArguments& parsed, QString& error) {
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        auto value = [&](QString& target) {
            if (i + 1 >= args.size()) {
                error = QStringLiteral("option %1 needs a value").arg(a);
                return false;
            }
            target = args[++i];
            return true;
        };
        if (a == "-C") {
            if (!value(parsed.directory)) {
                return false;
            }
        } else if (a == "--screenshot") {
            if (!value(parsed.screenshot)) {
                return false;
            }
        } else if (a == "--trace") {
            if (!value(parsed.trace)) {
                return false;
            }
        } else if (a == "--auto-start") {
            parsed.autoStart = true;
        } else if (a == "-h" || a == "--help") {
            parsed.help = true;
        } else {
            error = QStringLiteral("unexpected argument %1").arg(a);
            return false;
        }
    }
    return true;
}

void prepareBrowserEngine() {
    // The engine describes its graphics set-up at every start; a player's terminal does not
    // need that.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.info=false"));
    // The browser engine shares its drawing contexts with the widgets.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    // The engine's sandbox cannot run as root; the pages still show, without it.
    if (geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX")) {
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    }
}

int runLauncher(QApplication& app, const QStringList& args) {
    LauncherArguments parsed;
    QString error;
    if (!parseLauncherArguments(args, parsed, error)) {
        std::fprintf(stderr, "lume-launcher: %s\n\n%s", error.toUtf8().constData(),
                     launcherUsage().toUtf8().constData());
        return kLauncherUsage;
    }
    if (parsed.help) {
        std::fputs(launcherUsage().toUtf8().constData(), stdout);
        return kLauncherOk;
    }
    // Files named on the command line are where the user meant, whatever -C says.
    for (QString* file : {&parsed.screenshot, &parsed.trace}) {
        if (!file->isEmpty()) {
            *file = QDir::current().absoluteFilePath(*file);
        }
    }
    if (!parsed.directory.isEmpty() &&
        !platform::setCurrentDirectory(parsed.directory.toStdU16String())) {
        std::fprintf(stderr, "lume-launcher: cannot work in %s\n",
                     parsed.directory.toUtf8().constData());
        return kLauncherUsage;
    }
    installFontFallbacks();

    platform::SingleInstance instance;
    if (!instance.acquire(instanceName())) {
        tell(kTextAlreadyRunning, kCaptionHint);
        return kLauncherAlreadyRunning;
    }
    if (!gameRuntimeAvailable()) {
        tell(kTextNoRuntime, kCaptionHint);
        return kLauncherFailure;
    }
    restoreBackFiles();

    LauncherOptions options;
    options.autoStart = parsed.autoStart;
    options.screenshot = parsed.screenshot;
    options.trace = parsed.trace;
    MainWindow window = createMainWindow(options);
    int code = kLauncherOk;
    QObject::connect(window.dialog, &CMainDlg::ended, &app, [&app, &code](int exitCode) {
        code = exitCode;
        app.exit(exitCode);
    });
    app.setQuitOnLastWindowClosed(false);
    window.background->show();
    QTimer::singleShot(0, window.dialog, &CMainDlg::start);
    app.exec();
    return code;
}

}  // namespace lume
