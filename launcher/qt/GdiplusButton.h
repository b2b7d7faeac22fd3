// A button drawn from the skin's pictures: a first picture and, for some buttons, a second
// one, from which it keeps a look per state (normal, pressed, hover, disabled, and those of
// the checked and of the highlighted button). Pressed is the first picture drawn one pixel
// right and down; hover (and checked) is the second picture, or the first one lightened.
// Text is drawn over the picture in its own colour.
#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QPixmap>
#include <array>

namespace lume {

class GdiplusButton : public QAbstractButton {
    Q_OBJECT
public:
    enum class Look {
        Normal,
        Pressed,
        Hover,
        Disabled,
        CheckedNormal,
        CheckedPressed,
        CheckedHover,
        HighlightedNormal,
        HighlightedPressed,
        HighlightedHover,
    };

    GdiplusButton(int commandId, QWidget* parent);

    // Pictures by skin id (second 0: none).
    void setPictures(int first, int second = 0);
    void setTextColour(const QColor& colour);
    void setHighlighted(bool highlighted);
    // The check behaviour: the button keeps a checked state, which each click toggles
    // when toggles is true (otherwise only setChecked changes it).
    void setCheckBehaviour(bool toggles);
    bool isHighlighted() const { return highlighted_; }
    bool isHovered() const { return hovered_; }
    int commandId() const { return commandId_; }

    // The look the button has now.
    Look look() const;
    QSize sizeHint() const override;

signals:
    // Clicked while enabled (a disabled button ignores clicks).
    void command(int id);

protected:
    void paintEvent(QPaintEvent*) override;
    void enterEvent(QEnterEvent*) override;
    void leaveEvent(QEvent*) override;
    void changeEvent(QEvent*) override;
    void nextCheckState() override;

private:
    int commandId_;
    QColor textColour_ = Qt::white;
    bool highlighted_ = false;
    bool hovered_ = false;
    bool toggles_ = true;
    // Normal, hover, disabled, checked, checked hover, highlighted, highlighted hover.
    std::array<QPixmap, 7> looks_;
};

}  // namespace lume
