#include "launcher/qt/GdiplusStatic.h"

#include <QPainter>

#include "launcher/qt/SkinPictures.h"

namespace lume {

GdiplusStatic::GdiplusStatic(int id, QWidget* parent) : QWidget(parent), id_(id) {
    // Clicks go through to the window (which can be dragged by them).
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void GdiplusStatic::setBackgroundPicture(int skinId) {
    background_ = skinPicture(skinId);
    update();
}

void GdiplusStatic::setTextColour(const QColor& colour) {
    colour_ = colour;
    update();
}

void GdiplusStatic::setAlignment(Qt::Alignment alignment) {
    alignment_ = alignment;
    update();
}

void GdiplusStatic::setText(const QString& text) {
    if (text != text_) {
        text_ = text;
        update();
    }
}

void GdiplusStatic::paintEvent(QPaintEvent*) {
    QPainter p(this);
    drawStretched(p, rect(), background_, 24);
    if (text_.isEmpty()) {
        return;
    }
    const QRect area = rect().adjusted(alignment_ & Qt::AlignLeft ? 8 : 2, 0, -4, 0);
    p.setFont(font());
    const QString shown =
        fontMetrics().elidedText(text_, Qt::ElideRight, area.width(), Qt::TextSingleLine);
    p.setPen(QColor(0, 0, 0, 160));
    p.drawText(area.translated(1, 1), static_cast<int>(alignment_), shown);
    p.setPen(colour_);
    p.drawText(area, static_cast<int>(alignment_), shown);
}

}  // namespace lume
