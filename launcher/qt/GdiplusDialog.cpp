#include "launcher/qt/GdiplusDialog.h"

#include <QKeyEvent>

namespace lume {

GdiplusDialog::GdiplusDialog(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::StrongFocus);
}

void GdiplusDialog::escape() {
    if (mayClose()) {
        closeDialog();
    }
}

void GdiplusDialog::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            event->accept();  // swallowed
            return;
        case Qt::Key_Escape:
            event->accept();
            escape();
            return;
        default:
            QWidget::keyPressEvent(event);
    }
}

}  // namespace lume
