#include "launcher/qt/BackgroundDialog.h"

#include <QCloseEvent>
#include <QMouseEvent>
#include <QPainter>

#include "launcher/qt/GdiplusDialog.h"
#include "launcher/qt/SkinPictures.h"

namespace lume {

BackgroundDialog::BackgroundDialog(int pictureId, QWidget* parent)
    : QWidget(parent), picture_(skinPicture(pictureId)) {
    if (parent == nullptr) {
        setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
        setAttribute(Qt::WA_TranslucentBackground);
        setWindowOpacity(kAlpha / 255.0);
    }
    setFixedSize(picture_.isNull() ? QSize(640, 480) : picture_.size());
}

void BackgroundDialog::host(GdiplusDialog* dialog) {
    hosted_ = dialog;
    dialog->setParent(this);
    dialog->setGeometry(rect());
    dialog->show();
    dialog->setFocus();
}

void BackgroundDialog::paintEvent(QPaintEvent*) {
    QPainter p(this);
    if (parentWidget() != nullptr) {
        // A panel has no window of its own whose opacity could be set.
        p.setOpacity(kAlpha / 255.0);
    }
    p.drawPixmap(0, 0, picture_);
}

void BackgroundDialog::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && isWindow()) {
        dragging_ = true;
        grab_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
    }
    event->accept();
}

void BackgroundDialog::mouseMoveEvent(QMouseEvent* event) {
    if (dragging_) {
        move(event->globalPosition().toPoint() - grab_);
    }
    event->accept();
}

void BackgroundDialog::mouseReleaseEvent(QMouseEvent* event) {
    dragging_ = false;
    event->accept();
}

void BackgroundDialog::closeEvent(QCloseEvent* event) {
    // The system's close of the window is the dialog's close: it may refuse.
    if (hosted_ != nullptr && isVisible()) {
        event->ignore();
        hosted_->escape();
        return;
    }
    event->accept();
}

}  // namespace lume
