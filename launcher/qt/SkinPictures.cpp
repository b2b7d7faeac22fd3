#include "launcher/qt/SkinPictures.h"

#include <QPainter>
#include <QPixmapCache>

namespace lume {

QPixmap skinPicture(int id) {
    const QString key = QStringLiteral(":/skin/%1.png").arg(id);
    QPixmap picture;
    if (!QPixmapCache::find(key, &picture) && picture.load(key)) {
        QPixmapCache::insert(key, picture);
    }
    return picture;
}

void drawStretched(QPainter& painter, const QRect& target, const QPixmap& picture, int edge) {
    if (picture.isNull() || target.isEmpty()) {
        return;
    }
    const int h = picture.height();
    edge = std::min({edge, picture.width() / 2, target.width() / 2});
    painter.drawPixmap(QRect(target.left(), target.top(), edge, target.height()), picture,
                       QRect(0, 0, edge, h));
    painter.drawPixmap(
        QRect(target.left() + edge, target.top(), target.width() - 2 * edge, target.height()),
        picture, QRect(edge, 0, picture.width() - 2 * edge, h));
    painter.drawPixmap(QRect(target.right() + 1 - edge, target.top(), edge, target.height()),
                       picture, QRect(picture.width() - edge, 0, edge, h));
}

}  // namespace lume
