#include "launcher/qt/GdiplusImageProgress.h"

#include <QPainter>
#include <algorithm>

#include "launcher/qt/SkinPictures.h"

namespace lume {

GdiplusImageProgress::GdiplusImageProgress(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void GdiplusImageProgress::setPictures(int trackId, int fillId) {
    track_ = skinPicture(trackId);
    fill_ = skinPicture(fillId);
    update();
}

void GdiplusImageProgress::setRange(int minimum, int maximum) {
    minimum_ = minimum;
    maximum_ = std::max(maximum, minimum);
    setPosition(position_);
}

void GdiplusImageProgress::setPosition(int position) {
    position = std::clamp(position, minimum_, maximum_);
    if (position != position_) {
        position_ = position;
        update();
    }
}

int GdiplusImageProgress::fillWidth() const {
    // The fill sits inside the track, centred, with the track's rim around it.
    const int inner = fill_.isNull() ? width() : std::min(width(), fill_.width());
    const int span = maximum_ - minimum_;
    return span == 0
               ? 0
               : static_cast<int>(static_cast<int64_t>(inner) * (position_ - minimum_) / span);
}

void GdiplusImageProgress::paintEvent(QPaintEvent*) {
    QPainter p(this);
    drawStretched(p, rect(), track_, 8);
    const int w = fillWidth();
    if (fill_.isNull() || w <= 0) {
        return;
    }
    const int inner = std::min(width(), fill_.width());
    const QPoint at((width() - inner) / 2, (height() - fill_.height()) / 2);
    p.drawPixmap(at, fill_, QRect(0, 0, w, fill_.height()));
}

}  // namespace lume
