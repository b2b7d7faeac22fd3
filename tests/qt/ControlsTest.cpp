// The skinned button: each of its states draws its own look.
#include <gtest/gtest.h>

#include <QApplication>
#include <QEnterEvent>
#include <QImage>
#include <vector>

#include "launcher/qt/GdiplusButton.h"
#include "launcher/qt/skin/SkinIds.h"

namespace lume {
namespace {

QImage shot(QWidget& w) {
    return w.grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

TEST(GdiplusButton, EachStateDrawsItsOwnLook) {
    QWidget parent;
    parent.resize(100, 40);
    GdiplusButton button(1021, &parent);
    button.setPictures(skin::kZone, skin::kZoneHover);
    button.setGeometry(0, 0, 80, 24);
    parent.show();
    int commands = 0;
    QObject::connect(&button, &GdiplusButton::command, [&](int id) { commands += id; });

    // Each look is drawn differently; a disabled button ignores clicks.
    std::vector<QImage> looks = {shot(button)};
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QApplication::sendEvent(&button, &enter);
    EXPECT_EQ(button.look(), GdiplusButton::Look::Hover);
    looks.push_back(shot(button));
    button.setEnabled(false);
    EXPECT_EQ(button.look(), GdiplusButton::Look::Disabled);
    looks.push_back(shot(button));
    button.click();
    button.setEnabled(true);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&button, &leave);
    button.setDown(true);
    EXPECT_EQ(button.look(), GdiplusButton::Look::Pressed);
    // Pressed: the first picture one pixel right and down.
    const QImage pressed = shot(button);
    for (int y = 0; y + 1 < pressed.height(); y += 3) {
        for (int x = 0; x + 1 < pressed.width(); x += 3) {
            ASSERT_EQ(pressed.pixel(x + 1, y + 1), looks[0].pixel(x, y)) << x << "," << y;
        }
    }
    button.setDown(false);
    // Checked (a tab drawn pressed; a click leaves it checked) and highlighted.
    button.setCheckBehaviour(false);
    button.setChecked(true);
    EXPECT_EQ(button.look(), GdiplusButton::Look::CheckedNormal);
    looks.push_back(shot(button));
    button.click();
    EXPECT_TRUE(button.isChecked());
    button.setChecked(false);
    button.setHighlighted(true);
    EXPECT_EQ(button.look(), GdiplusButton::Look::HighlightedNormal);
    looks.push_back(shot(button));
    for (size_t i = 1; i < looks.size(); ++i) {
        EXPECT_NE(looks[i], looks[0]) << i;
    }
    EXPECT_NE(looks[1], looks[2]);
    EXPECT_EQ(commands, 1021);
}

}  // namespace
}  // namespace lume
