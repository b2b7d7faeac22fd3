// An embedded web browser of the launcher (Qt WebEngine): created hidden at a rectangle,
// shown or hidden, navigated to an address. It has no context menu, no scroll bars and no
// border, and its pages find the launcher's external object: window.external answers a
// name that begins like "xxyyzz" with "Wibble" and fails any other name.
#pragma once

#include <QRect>
#include <QString>
#include <QWidget>

class QWebEngineView;

namespace lume {

class WebBrowser2 : public QObject {
    Q_OBJECT
public:
    // Whether the browser engine can start here: false when LUME_NO_WEBENGINE is set (the
    // launcher then runs without its pages, as where the engine is broken) or when the
    // engine's helper program is missing.
    static bool engineAvailable();
    // The script that gives the pages their external object.
    static QString externalObjectScript();

    WebBrowser2(int id, const QRect& rect, QWidget* parent);
    ~WebBrowser2() override;

    int id() const { return id_; }
    void show(bool visible);
    bool isShown() const;
    void navigate(const QString& url);
    // The address last navigated to, and whether its page has finished loading.
    const QString& address() const { return address_; }
    bool loading() const { return loading_; }
    QWebEngineView* view() const { return view_; }

signals:
    void loadFinished(bool ok);
    // The page's renderer could not start or died: the browser cannot show anything.
    void failed();

private:
    int id_;
    QWebEngineView* view_;
    QString address_;
    bool loading_ = false;
};

}  // namespace lume
