#include "launcher/qt/GdiplusButton.h"

#include <QEnterEvent>
#include <QImage>
#include <QPainter>

#include "launcher/qt/SkinPictures.h"

namespace lume {

namespace {

enum Slot { kNormal, kHover, kDisabled, kChecked, kCheckedHover, kHighlighted, kHighlightedHover };

// Each colour channel moved towards white by amount (0..1), alpha kept.
QPixmap lightened(const QPixmap& picture, double amount) {
    QImage image = picture.toImage().convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb c = line[x];
            auto up = [amount](int v) { return v + static_cast<int>((255 - v) * amount); };
            line[x] = qRgba(up(qRed(c)), up(qGreen(c)), up(qBlue(c)), qAlpha(c));
        }
    }
    return QPixmap::fromImage(image);
}

// Grey and dimmed: the look of a button that cannot be pressed.
QPixmap greyed(const QPixmap& picture) {
    QImage image = picture.toImage().convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb c = line[x];
            const int grey = qGray(c) * 3 / 5;
            line[x] = qRgba(grey, grey, grey, qAlpha(c) * 3 / 4);
        }
    }
    return QPixmap::fromImage(image);
}

// A warm tint: the checked look when there is no second picture.
QPixmap tinted(const QPixmap& picture, const QColor& colour) {
    QPixmap out = picture;
    QPainter p(&out);
    p.setCompositionMode(QPainter::CompositionMode_SourceAtop);
    p.fillRect(out.rect(), QColor(colour.red(), colour.green(), colour.blue(), 70));
    return out;
}

// The picture with a soft glow drawn around its opaque parts.
QPixmap glowing(const QPixmap& picture) {
    QPixmap out(picture.size());
    out.fill(Qt::transparent);
    QPainter p(&out);
    const QPixmap halo = tinted(lightened(picture, 0.6), QColor(255, 220, 140));
    p.setOpacity(0.35);
    for (QPoint d : {QPoint(-1, 0), QPoint(1, 0), QPoint(0, -1), QPoint(0, 1)}) {
        p.drawPixmap(d, halo);
    }
    p.setOpacity(1.0);
    p.drawPixmap(0, 0, lightened(picture, 0.12));
    return out;
}

}  // namespace

GdiplusButton::GdiplusButton(int commandId, QWidget* parent)
    : QAbstractButton(parent), commandId_(commandId) {
    setAttribute(Qt::WA_Hover);
    setFocusPolicy(Qt::NoFocus);
    connect(this, &QAbstractButton::clicked, this, [this] { emit command(commandId_); });
}

void GdiplusButton::setPictures(int first, int second) {
    const QPixmap normal = skinPicture(first);
    const QPixmap other = second != 0 ? skinPicture(second) : QPixmap();
    looks_.fill(QPixmap());
    if (!normal.isNull()) {
        looks_[kNormal] = normal;
        looks_[kHover] = !other.isNull() ? other : lightened(normal, 0.18);
        looks_[kDisabled] = greyed(normal);
        looks_[kChecked] = !other.isNull() ? other : tinted(normal, QColor(255, 200, 90));
        looks_[kCheckedHover] = lightened(looks_[kChecked], 0.12);
        looks_[kHighlighted] = glowing(normal);
        looks_[kHighlightedHover] = glowing(looks_[kHover]);
    }
    update();
}

void GdiplusButton::setTextColour(const QColor& colour) {
    textColour_ = colour;
    update();
}

void GdiplusButton::setHighlighted(bool highlighted) {
    highlighted_ = highlighted;
    update();
}

void GdiplusButton::setCheckBehaviour(bool toggles) {
    setCheckable(true);
    toggles_ = toggles;
}

void GdiplusButton::nextCheckState() {
    if (toggles_) {
        QAbstractButton::nextCheckState();
    }
}

GdiplusButton::Look GdiplusButton::look() const {
    if (!isEnabled()) {
        return Look::Disabled;
    }
    const bool down = isDown();
    if (isChecked()) {
        return down ? Look::CheckedPressed : hovered_ ? Look::CheckedHover : Look::CheckedNormal;
    }
    if (highlighted_) {
        return down       ? Look::HighlightedPressed
               : hovered_ ? Look::HighlightedHover
                          : Look::HighlightedNormal;
    }
    return down ? Look::Pressed : hovered_ ? Look::Hover : Look::Normal;
}

QSize GdiplusButton::sizeHint() const {
    return looks_[kNormal].isNull() ? QSize(80, 24) : looks_[kNormal].size();
}

void GdiplusButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    const Look now = look();
    int slot = kNormal;
    bool shifted = false;
    switch (now) {
        case Look::Normal:
            break;
        case Look::Pressed:
            shifted = true;
            break;
        case Look::Hover:
            slot = kHover;
            break;
        case Look::Disabled:
            slot = kDisabled;
            break;
        case Look::CheckedNormal:
            slot = kChecked;
            break;
        case Look::CheckedPressed:
            slot = kChecked;
            shifted = true;
            break;
        case Look::CheckedHover:
            slot = kCheckedHover;
            break;
        case Look::HighlightedNormal:
            slot = kHighlighted;
            break;
        case Look::HighlightedPressed:
            slot = kHighlighted;
            shifted = true;
            break;
        case Look::HighlightedHover:
            slot = kHighlightedHover;
            break;
    }
    const QPoint offset = shifted ? QPoint(1, 1) : QPoint(0, 0);
    const QPixmap& picture = looks_[static_cast<size_t>(slot)];
    if (!picture.isNull()) {
        p.drawPixmap(QRect(offset, size()), picture);
    }
    if (!text().isEmpty()) {
        p.setFont(font());
        p.setPen(QColor(0, 0, 0, 150));
        p.drawText(rect().translated(offset + QPoint(0, 1)), Qt::AlignCenter, text());
        p.setPen(isEnabled() ? textColour_ : QColor(150, 150, 150));
        p.drawText(rect().translated(offset), Qt::AlignCenter, text());
    }
}

void GdiplusButton::enterEvent(QEnterEvent* event) {
    hovered_ = true;
    update();
    QAbstractButton::enterEvent(event);
}

void GdiplusButton::leaveEvent(QEvent* event) {
    hovered_ = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void GdiplusButton::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange) {
        update();
    }
    QAbstractButton::changeEvent(event);
}

}  // namespace lume
