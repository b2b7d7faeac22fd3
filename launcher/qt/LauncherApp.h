// lume-launcher: the desktop launcher. Start-up makes it the only launcher, checks that the
// game can run here, puts ".back" copies of the game client in place, and opens the main
// window on the game directory.
#pragma once

#include <QString>
#include <QStringList>

class QApplication;

namespace lume {

enum LauncherExit : int {
    kLauncherOk = 0,
    kLauncherFailure = 1,
    kLauncherUsage = 2,
    kLauncherAlreadyRunning = 3,
};

struct LauncherArguments {
    QString directory;  // -C
    bool autoStart = false;
    QString screenshot;
    QString trace;
    bool help = false;
};

// Parses the arguments (without the program name); false with error on a usage error.
bool parseLauncherArguments(const QStringList& args, LauncherArguments& parsed, QString& error);
QString launcherUsage();

// What the browser engine needs in this process; called before the application object
// exists.
void prepareBrowserEngine();

// Runs the launcher with the arguments (without the program name) in app's event loop;
// the exit status.
int runLauncher(QApplication& app, const QStringList& args);

}  // namespace lume
