// The window behind a dialog: it shows the dialog's background picture with its own
// transparency (per pixel, and 250 of 255 overall), is sized to the picture, hosts the
// dialog over its whole area, and moves with it: dragging anywhere that is not a control
// moves the window. Without a parent it is a frameless top-level window; with one it is
// a panel over its parent (the server list dialog over the main window).
#pragma once

#include <QPixmap>
#include <QPoint>
#include <QWidget>

namespace lume {

class GdiplusDialog;

class BackgroundDialog : public QWidget {
    Q_OBJECT
public:
    static constexpr int kAlpha = 250;

    BackgroundDialog(int pictureId, QWidget* parent = nullptr);

    // The dialog shown over the picture; it gets the focus, so that it receives the keys.
    void host(GdiplusDialog* dialog);
    GdiplusDialog* hosted() const { return hosted_; }
    const QPixmap& picture() const { return picture_; }

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    QPixmap picture_;
    GdiplusDialog* hosted_ = nullptr;
    bool dragging_ = false;
    QPoint grab_;
};

}  // namespace lume
