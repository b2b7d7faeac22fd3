#include "launcher/qt/CZoneViewWnd.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>
#include <algorithm>

#include "launcher/qt/SkinPictures.h"
#include "launcher/qt/skin/SkinIds.h"

namespace lume {

CZoneViewWnd::CZoneViewWnd(QWidget* parent)
    : QWidget(parent), cell_(skinPicture(skin::kCell)), cellLit_(skinPicture(skin::kCellLit)) {
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
}

void CZoneViewWnd::setColumns(int columns) {
    columns_ = std::max(1, columns);
    update();
}

void CZoneViewWnd::addZone(Zone zone) {
    zones_.push_back(std::move(zone));
    update();
}

void CZoneViewWnd::setSelected(int index) {
    selected_ = index >= 0 && index < count() ? index : -1;
    update();
}

int CZoneViewWnd::rows() const {
    return (count() + columns_ - 1) / columns_;
}

int CZoneViewWnd::visibleRows() const {
    return std::max(1, height() / kCellHeight);
}

QRect CZoneViewWnd::cellRect(int index) const {
    const int column = index % columns_;
    const int row = index / columns_ - firstRow_;
    return QRect(column * kCellWidth, row * kCellHeight, kCellWidth, kCellHeight);
}

int CZoneViewWnd::cellAt(const QPoint& at) const {
    for (int i = 0; i < count(); ++i) {
        if (cellRect(i).adjusted(1, 1, -1, -1).contains(at)) {
            return i;
        }
    }
    return -1;
}

void CZoneViewWnd::mouseMoveEvent(QMouseEvent* event) {
    const int now = cellAt(event->position().toPoint());
    if (now != hover_) {
        hover_ = now;
        update();
    }
    if (now >= 0) {
        setFocus();
    }
}

void CZoneViewWnd::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        return;
    }
    hover_ = cellAt(event->position().toPoint());
    if (hover_ >= 0) {
        selected_ = hover_;
        update();
        emit zoneClicked(selected_, zone(selected_).tab);
    }
}

void CZoneViewWnd::mouseDoubleClickEvent(QMouseEvent* event) {
    const int at = cellAt(event->position().toPoint());
    if (event->button() == Qt::LeftButton && at >= 0) {
        selected_ = at;
        emit zoneConfirmed(at, zone(at).tab);
    }
}

void CZoneViewWnd::wheelEvent(QWheelEvent* event) {
    setFocus();
    const int last = std::max(0, rows() - visibleRows());
    const int step = event->angleDelta().y() > 0 ? -1 : event->angleDelta().y() < 0 ? 1 : 0;
    firstRow_ = std::clamp(firstRow_ + step, 0, last);
    update();
    event->accept();
}

void CZoneViewWnd::leaveEvent(QEvent*) {
    if (hover_ != -1) {
        hover_ = -1;
        update();
    }
}

void CZoneViewWnd::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QFont small = nameFont_;
    small.setPixelSize(std::max(10, nameFont_.pixelSize() - 2));
    for (int i = 0; i < count(); ++i) {
        const QRect r = cellRect(i);
        if (!r.intersects(rect())) {
            continue;
        }
        const Zone& z = zone(i);
        const bool lit = i == hover_ || i == selected_;
        p.drawPixmap(r.topLeft(), lit ? cellLit_ : cell_);
        if (i == selected_) {
            p.setPen(QPen(QColor(120, 255, 140), 2));
            p.setBrush(Qt::NoBrush);
            p.drawRoundedRect(QRectF(r).adjusted(3.5, 3.5, -4.5, -4.5), 6, 6);
        }
        const QRect text = r.adjusted(28, 4, -6, -4);
        const QString name = QString::fromStdU16String(z.name);
        const QString hint = QString::fromStdU16String(z.hint);
        p.setFont(nameFont_);
        p.setPen(i == selected_ ? QColor(120, 255, 140) : QColor(255, 244, 220));
        const int nameFlags = Qt::AlignLeft | (hint.isEmpty() ? Qt::AlignVCenter : Qt::AlignTop);
        p.drawText(text.adjusted(0, hint.isEmpty() ? 0 : 3, 0, 0), nameFlags,
                   QFontMetrics(nameFont_).elidedText(name, Qt::ElideRight, text.width()));
        if (!hint.isEmpty()) {
            p.setFont(small);
            p.setPen(QColor(180, 190, 220));
            p.drawText(text.adjusted(0, 0, 0, -3), Qt::AlignLeft | Qt::AlignBottom,
                       QFontMetrics(small).elidedText(hint, Qt::ElideRight, text.width()));
        }
        // The marks: "新" for a new server, "测" for a test server, in the top right corner.
        int markRight = r.right() - 5;
        for (const auto& [on, mark, colour] :
             {std::tuple{z.isNew, QStringLiteral("新"), QColor(220, 50, 40)},
              std::tuple{z.test, QStringLiteral("测"), QColor(40, 120, 220)}}) {
            if (!on) {
                continue;
            }
            const QRect badge(markRight - 15, r.top() + 3, 15, 14);
            p.setPen(Qt::NoPen);
            p.setBrush(colour);
            p.drawRoundedRect(badge, 3, 3);
            p.setFont(small);
            p.setPen(Qt::white);
            p.drawText(badge, Qt::AlignCenter, mark);
            markRight -= 17;
        }
    }
}

}  // namespace lume
