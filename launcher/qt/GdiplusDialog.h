// The base of the launcher's dialogs: a transparent surface over its background window, so
// that only the controls' own drawing shows over the picture. Enter never closes it; Escape
// asks the dialog whether it may close and, if so, closes it.
#pragma once

#include <QWidget>

namespace lume {

class GdiplusDialog : public QWidget {
    Q_OBJECT
public:
    explicit GdiplusDialog(QWidget* parent);

    // Escape and the window's close: false keeps the dialog open.
    virtual bool mayClose() { return true; }
    // Runs the dialog's clean-up and ends it.
    virtual void closeDialog() = 0;
    // What Escape does: closes the dialog when it may close.
    void escape();

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace lume
