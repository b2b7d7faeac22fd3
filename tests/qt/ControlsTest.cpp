// The skin and its controls: every picture at its size, the button's state looks, the
// progress fill.
#include <gtest/gtest.h>

#include <QApplication>
#include <QEnterEvent>
#include <QImage>

#include "launcher/qt/GdiplusButton.h"
#include "launcher/qt/GdiplusImageProgress.h"
#include "launcher/qt/SkinPictures.h"
#include "launcher/qt/skin/SkinIds.h"

namespace lume {
namespace {

QImage shot(QWidget& w) {
    return w.grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

TEST(Skin, EveryPictureIsThereAtItsSize) {
    for (const skin::SkinSize& s : skin::kSkinSizes) {
        const QPixmap picture = skinPicture(s.id);
        EXPECT_EQ(picture.size(), QSize(s.width, s.height)) << s.id;
    }
    EXPECT_TRUE(skinPicture(1).isNull());
}

TEST(GdiplusButton, EachStateDrawsItsOwnLook) {
    QWidget parent;
    parent.resize(100, 40);
    GdiplusButton button(1021, &parent);
    button.setPictures(skin::kZone, skin::kZoneHover);
    button.setGeometry(0, 0, 80, 24);
    button.setText(QStringLiteral("电信一区"));
    parent.show();

    const QImage normal = shot(button);
    EXPECT_EQ(button.look(), GdiplusButton::Look::Normal);
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QApplication::sendEvent(&button, &enter);
    EXPECT_EQ(button.look(), GdiplusButton::Look::Hover);
    const QImage hover = shot(button);
    button.setEnabled(false);
    EXPECT_EQ(button.look(), GdiplusButton::Look::Disabled);
    const QImage disabled = shot(button);
    EXPECT_NE(hover, normal);
    EXPECT_NE(disabled, hover);
    EXPECT_NE(disabled, normal);

    // A disabled button ignores clicks.
    int commands = 0;
    QObject::connect(&button, &GdiplusButton::command, [&](int id) {
        EXPECT_EQ(id, 1021);
        ++commands;
    });
    button.click();
    EXPECT_EQ(commands, 0);
    button.setEnabled(true);
    button.click();
    EXPECT_EQ(commands, 1);

    // Pressed: the first picture one pixel right and down (no text to get in the way).
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&button, &leave);
    button.setText(QString());
    const QImage plain = shot(button);
    button.setDown(true);
    EXPECT_EQ(button.look(), GdiplusButton::Look::Pressed);
    const QImage pressed = shot(button);
    for (int y = 0; y + 1 < plain.height(); y += 3) {
        for (int x = 0; x + 1 < plain.width(); x += 3) {
            ASSERT_EQ(pressed.pixel(x + 1, y + 1), plain.pixel(x, y)) << x << "," << y;
        }
    }
    button.setDown(false);

    // Checked (a tab drawn pressed) and highlighted have looks of their own.
    button.setCheckBehaviour(false);
    button.setChecked(true);
    EXPECT_EQ(button.look(), GdiplusButton::Look::CheckedNormal);
    EXPECT_NE(shot(button), plain);
    button.click();  // without toggling, a click leaves it checked
    EXPECT_TRUE(button.isChecked());
    button.setChecked(false);
    button.setHighlighted(true);
    EXPECT_EQ(button.look(), GdiplusButton::Look::HighlightedNormal);
    EXPECT_NE(shot(button), plain);
}

TEST(GdiplusImageProgress, FillFollowsThePosition) {
    GdiplusImageProgress bar(nullptr);
    bar.setPictures(skin::kProgressBack, skin::kProgressFill);
    bar.resize(670, 12);
    bar.setRange(0, 100);
    EXPECT_EQ(bar.fillWidth(), 0);
    bar.setPosition(50);
    EXPECT_EQ(bar.fillWidth(), 333);
    bar.setPosition(250);  // clamped
    EXPECT_EQ(bar.position(), 100);
    EXPECT_EQ(bar.fillWidth(), 666);
}

}  // namespace
}  // namespace lume
