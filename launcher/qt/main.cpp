#include <QApplication>
#include <string>
#include <vector>

#include "engine/FileSystem/PackManager.h"
#include "launcher/qt/LauncherApp.h"

int main(int argc, char** argv) {
    lume::prepareBrowserEngine();
    QApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    // The pack store reads its settings from the command line and becomes the fallback for
    // files missing under the data directory (bin\srvListUrl.xml may live in a pack).
    std::vector<std::u16string> wide;
    for (const QString& a : args) {
        wide.push_back(a.toStdU16String());
    }
    lume::PackManager::setCommandLine(wide);
    lume::PackManager::installFallback();
    return lume::runLauncher(app, args);
}
