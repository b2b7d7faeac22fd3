// The skin's pictures, compiled into the program and looked up by id.
#pragma once

#include <QPixmap>

class QPainter;

namespace lume {

// The picture ":/skin/<id>.png"; a null pixmap when the skin has no such picture (the
// control is then drawn without it).
QPixmap skinPicture(int id);

// Draws picture over target, stretching only its middle horizontally: the left and right
// edge columns (edge pixels each) keep their shape at any width.
void drawStretched(QPainter& painter, const QRect& target, const QPixmap& picture, int edge);

}  // namespace lume
