// The window's tests run offscreen in one application object per process. In a sanitizer
// build the browser engine is left out (LUME_NO_WEBENGINE): its own code does not run under
// the sanitizers; the window then shows its documented failure text, and the plain build
// of scripts/test.sh runs the same tests with the real browser.
#include <gtest/gtest.h>

#include <QApplication>

#include "launcher/qt/Fonts.h"
#include "launcher/qt/LauncherApp.h"

#if defined(LUME_QT_TSAN_SUPPRESSIONS)
// Qt's own thread pool, which ThreadSanitizer cannot follow: see tsan.supp.
extern "C" const char* __tsan_default_options() {
    return "suppressions=" LUME_QT_TSAN_SUPPRESSIONS;
}
#endif

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) {
        return RUN_ALL_TESTS();  // listing needs no window system
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    if (qEnvironmentVariableIsEmpty("QTWEBENGINE_CHROMIUM_FLAGS")) {
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox --disable-gpu");
    }
#if defined(LUME_SANITIZED)
    qputenv("LUME_NO_WEBENGINE", "1");
#endif
    lume::prepareBrowserEngine();
    QApplication app(argc, argv);
    lume::installFontFallbacks();
    return RUN_ALL_TESTS();
}
