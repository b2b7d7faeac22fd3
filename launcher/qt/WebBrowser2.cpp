#include "launcher/qt/WebBrowser2.h"

#include <QFileInfo>
#include <QLibraryInfo>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>
#include <QWebEngineView>

namespace lume {

bool WebBrowser2::engineAvailable() {
    if (!qEnvironmentVariableIsEmpty("LUME_NO_WEBENGINE")) {
        return false;
    }
    QString helper = qEnvironmentVariable("QTWEBENGINEPROCESS_PATH");
    if (helper.isEmpty()) {
        helper = QLibraryInfo::path(QLibraryInfo::LibraryExecutablesPath) + "/QtWebEngineProcess";
    }
    return QFileInfo(helper).isExecutable();
}

QString WebBrowser2::externalObjectScript() {
    // A name is known when its first three characters are those of "xxyyzz"; reading it
    // gives "Wibble". Any other name fails as an unknown name does.
    return QStringLiteral(R"JS(
(function () {
    var external = new Proxy({}, {
        get: function (target, name) {
            if (typeof name !== 'string') { return undefined; }
            if (name.substring(0, 3) === 'xxy') { return 'Wibble'; }
            throw new TypeError("Object doesn't support property or method '" + name + "'");
        },
        has: function (target, name) {
            return typeof name === 'string' && name.substring(0, 3) === 'xxy';
        }
    });
    Object.defineProperty(window, 'external', { value: external, configurable: true });
})();
)JS");
}

WebBrowser2::WebBrowser2(int id, const QRect& rect, QWidget* parent)
    : QObject(parent), id_(id), view_(new QWebEngineView(parent)) {
    view_->setGeometry(rect);
    view_->setContextMenuPolicy(Qt::NoContextMenu);
    view_->hide();
    QWebEnginePage* page = view_->page();
    page->settings()->setAttribute(QWebEngineSettings::ShowScrollBars, false);
    page->setBackgroundColor(Qt::transparent);
    QWebEngineScript external;
    external.setName(QStringLiteral("external"));
    external.setInjectionPoint(QWebEngineScript::DocumentCreation);
    external.setWorldId(QWebEngineScript::MainWorld);
    external.setRunsOnSubFrames(true);
    external.setSourceCode(externalObjectScript());
    page->scripts().insert(external);
    connect(view_, &QWebEngineView::loadStarted, this, [this] { loading_ = true; });
    connect(view_, &QWebEngineView::loadFinished, this, [this](bool ok) {
        loading_ = false;
        emit loadFinished(ok);
    });
    connect(page, &QWebEnginePage::renderProcessTerminated, this,
            [this](QWebEnginePage::RenderProcessTerminationStatus status, int) {
                loading_ = false;
                if (status != QWebEnginePage::NormalTerminationStatus) {
                    emit failed();
                }
            });
}

WebBrowser2::~WebBrowser2() = default;

void WebBrowser2::show(bool visible) {
    view_->setVisible(visible);
}

bool WebBrowser2::isShown() const {
    return !view_->isHidden();
}

void WebBrowser2::navigate(const QString& url) {
    address_ = url;
    loading_ = true;
    view_->setUrl(QUrl(url));
}

}  // namespace lume
