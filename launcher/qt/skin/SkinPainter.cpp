// lume-skin OUTDIR: draws every picture of the launcher's skin and writes it as
// OUTDIR/<id>.png at its exact size. Run at build time; the pictures are then compiled
// into the launcher. Everything is drawn here with QPainter: gradients, shapes and text,
// from fixed seeds, so that every build draws the same skin.
//
// The main window's picture frames the areas that the sample game's
// bin\controlPosition.xml gives its controls (news page, second page, server box, status
// lines, start button).
#include <QDir>
#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QRandomGenerator>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <vector>

#include "launcher/qt/skin/SkinIds.h"

namespace {

using namespace lume::skin;

const QColor kGold(232, 193, 112);
const QColor kGoldDark(150, 108, 48);
const QColor kInk(8, 12, 30);

QString cjkFamily(bool serif) {
    const QStringList wanted = serif ? QStringList{"Noto Serif CJK SC", "Noto Sans CJK SC"}
                                     : QStringList{"Noto Sans CJK SC", "WenQuanYi Zen Hei"};
    const QStringList present = QFontDatabase::families();
    for (const QString& family : wanted) {
        if (present.contains(family)) {
            return family;
        }
    }
    return QString();
}

QFont font(bool serif, int pixels, int weight) {
    QFont f(cjkFamily(serif));
    f.setPixelSize(pixels);
    f.setWeight(static_cast<QFont::Weight>(weight));
    f.setHintingPreference(QFont::PreferNoHinting);
    return f;
}

QImage canvas(int id) {
    for (const SkinSize& s : kSkinSizes) {
        if (s.id == id) {
            QImage image(s.width, s.height, QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::transparent);
            return image;
        }
    }
    return QImage();
}

void begin(QPainter& p, QImage& image) {
    p.begin(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
}

QPainterPath rounded(const QRectF& r, qreal radius) {
    QPainterPath path;
    path.addRoundedRect(r, radius, radius);
    return path;
}

// Text with a soft dark halo, centred in r.
void haloText(QPainter& p, const QRectF& r, const QString& text, const QFont& f,
              const QColor& colour, int halo = 2) {
    p.setFont(f);
    p.setPen(QColor(0, 0, 0, 110));
    for (int dx = -halo; dx <= halo; ++dx) {
        for (int dy = -halo; dy <= halo; ++dy) {
            if (dx * dx + dy * dy <= halo * halo && (dx != 0 || dy != 0)) {
                p.drawText(r.translated(dx, dy + 1), Qt::AlignCenter, text);
            }
        }
    }
    p.setPen(colour);
    p.drawText(r, Qt::AlignCenter, text);
}

// A gold double frame around a panel.
void goldFrame(QPainter& p, const QRectF& r, qreal radius) {
    QLinearGradient edge(r.topLeft(), r.bottomRight());
    edge.setColorAt(0.0, QColor(250, 224, 160));
    edge.setColorAt(0.5, kGoldDark);
    edge.setColorAt(1.0, QColor(240, 205, 130));
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QBrush(edge), 1.6));
    p.drawPath(rounded(r, radius));
    p.setPen(QPen(QColor(255, 230, 170, 50), 1.0));
    p.drawPath(rounded(r.adjusted(3, 3, -3, -3), radius - 2));
}

// A dark glass panel with a gold frame and corner ornaments.
void panel(QPainter& p, const QRectF& r, const QString& title = QString()) {
    QLinearGradient fill(r.topLeft(), r.bottomLeft());
    fill.setColorAt(0.0, QColor(20, 28, 58, 235));
    fill.setColorAt(1.0, QColor(10, 14, 32, 240));
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawPath(rounded(r, 8));
    goldFrame(p, r, 8);
    // Diamond ornaments on the corners.
    p.setPen(Qt::NoPen);
    p.setBrush(kGold);
    for (QPointF c : {r.topLeft(), r.topRight(), r.bottomLeft(), r.bottomRight()}) {
        QPolygonF d;
        d << c + QPointF(0, -4) << c + QPointF(4, 0) << c + QPointF(0, 4) << c + QPointF(-4, 0);
        p.drawPolygon(d);
    }
    if (!title.isEmpty()) {
        const QFont f = font(true, 15, 700);
        const QFontMetrics m(f);
        const int w = m.horizontalAdvance(title) + 44;
        const QRectF tab(r.left() + 18, r.top() - 13, w, 26);
        QLinearGradient tg(tab.topLeft(), tab.bottomLeft());
        tg.setColorAt(0.0, QColor(70, 48, 20));
        tg.setColorAt(1.0, QColor(38, 24, 10));
        p.setBrush(tg);
        p.setPen(QPen(kGold, 1.2));
        p.drawPath(rounded(tab, 12));
        haloText(p, tab, title, f, QColor(255, 226, 160), 1);
    }
}

// Mountains: a ridge line by midpoint displacement from a fixed seed, filled downwards;
// its peaks reach amplitude above base. Returns the ridge's height at x.
std::function<qreal(qreal)> ridge(QPainter& p, const QRectF& area, qreal base, qreal amplitude,
                                  int seed, const QColor& top, const QColor& bottom) {
    QRandomGenerator rng(static_cast<quint32>(seed));
    constexpr int kPoints = 257;
    std::vector<qreal> h(kPoints, 0.0);
    h.front() = rng.generateDouble() - 0.5;
    h.back() = rng.generateDouble() - 0.5;
    qreal spread = 1.0;
    for (int step = kPoints - 1; step > 1; step /= 2) {
        for (int i = step / 2; i < kPoints; i += step) {
            h[i] = (h[i - step / 2] + h[i + step / 2]) / 2 + (rng.generateDouble() - 0.5) * spread;
        }
        spread *= 0.56;
    }
    const auto [low, high] = std::minmax_element(h.begin(), h.end());
    const qreal lowest = *low, range = std::max(*high - *low, 1e-6);
    std::vector<qreal> ys(kPoints);
    QPainterPath path(QPointF(area.left(), area.bottom()));
    for (int i = 0; i < kPoints; ++i) {
        ys[i] = base - (h[i] - lowest) / range * amplitude;
        path.lineTo(area.left() + area.width() * i / (kPoints - 1), ys[i]);
    }
    path.lineTo(area.right(), area.bottom());
    path.closeSubpath();
    QLinearGradient g(0, base - amplitude, 0, area.bottom());
    g.setColorAt(0.0, top);
    g.setColorAt(1.0, bottom);
    p.setPen(QPen(QColor(150, 170, 240, 60), 1.0));
    p.setBrush(g);
    p.drawPath(path);
    return [ys, area](qreal x) {
        const int i = std::clamp(static_cast<int>((x - area.left()) / area.width() * (kPoints - 1)),
                                 0, kPoints - 1);
        return ys[static_cast<size_t>(i)];
    };
}

void stars(QPainter& p, const QRectF& area, int count, int seed) {
    QRandomGenerator rng(static_cast<quint32>(seed));
    p.setPen(Qt::NoPen);
    for (int i = 0; i < count; ++i) {
        const QPointF at(area.left() + rng.bounded(area.width()),
                         area.top() + rng.bounded(area.height()));
        const qreal size = 0.4 + rng.generateDouble() * 1.3;
        p.setBrush(QColor(220, 230, 255, 70 + rng.bounded(170)));
        p.drawEllipse(at, size, size);
    }
}

void glowOrb(QPainter& p, const QPointF& centre, qreal radius) {
    QRadialGradient halo(centre, radius * 3.2);
    halo.setColorAt(0.0, QColor(255, 236, 190, 150));
    halo.setColorAt(0.35, QColor(140, 190, 255, 55));
    halo.setColorAt(1.0, QColor(40, 60, 140, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(halo);
    p.drawEllipse(centre, radius * 3.2, radius * 3.2);
    QRadialGradient orb(centre - QPointF(radius * 0.3, radius * 0.3), radius * 1.2);
    orb.setColorAt(0.0, QColor(255, 252, 236));
    orb.setColorAt(0.6, QColor(255, 226, 160));
    orb.setColorAt(1.0, QColor(220, 160, 90));
    p.setBrush(orb);
    p.drawEllipse(centre, radius, radius);
}

// The game's title: gold letters with a dark outline and a warm glow.
void title(QPainter& p, const QPointF& at) {
    const QFont big = font(true, 64, 900);
    QPainterPath word;
    word.addText(at, big, "LUMORA");
    for (int i = 6; i >= 1; --i) {
        p.setPen(
            QPen(QColor(255, 190, 90, 14), i * 3.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPath(word);
    }
    const QRectF box = word.boundingRect();
    QLinearGradient gold(box.topLeft(), box.bottomLeft());
    gold.setColorAt(0.0, QColor(255, 246, 205));
    gold.setColorAt(0.45, QColor(240, 196, 100));
    gold.setColorAt(0.55, QColor(196, 140, 56));
    gold.setColorAt(1.0, QColor(250, 214, 130));
    p.setPen(QPen(QColor(40, 22, 6), 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(gold);
    p.drawPath(word);
    // The Chinese name under it, between two thin rules.
    const QFont sub = font(true, 17, 700);
    const QRectF line(box.left(), box.bottom() + 6, box.width(), 24);
    haloText(p, line, QStringLiteral("《Lumora》 光 耀 之 境"), sub, QColor(255, 232, 180), 1);
    p.setPen(QPen(kGold, 1));
    const qreal mid = line.center().y();
    const qreal textHalf = QFontMetrics(sub).horizontalAdvance("《Lumora》 光 耀 之 境") / 2.0 + 10;
    p.drawLine(QPointF(box.left() - 10, mid), QPointF(line.center().x() - textHalf, mid));
    p.drawLine(QPointF(line.center().x() + textHalf, mid), QPointF(box.right() + 10, mid));
}

// A castle on a ridge, its windows lit; base is the middle of its foot.
void castle(QPainter& p, const QPointF& base) {
    const qreal x = base.x(), y = base.y();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(22, 28, 62));
    p.drawRect(QRectF(x - 30, y - 40, 60, 60));
    p.drawRect(QRectF(x - 42, y - 62, 16, 82));
    p.drawRect(QRectF(x + 26, y - 70, 18, 90));
    p.drawRect(QRectF(x - 10, y - 54, 20, 20));
    for (QPointF tip : {QPointF(x - 34, y - 80), QPointF(x + 35, y - 90), QPointF(x, y - 72)}) {
        QPolygonF roof;
        roof << tip << tip + QPointF(-11, 22) << tip + QPointF(11, 22);
        p.drawPolygon(roof);
    }
    p.setBrush(QColor(255, 210, 120, 230));
    for (QPointF w : {QPointF(x - 37, y - 48), QPointF(x + 32, y - 56), QPointF(x - 3, y - 46),
                      QPointF(x - 18, y - 22), QPointF(x + 14, y - 14)}) {
        p.drawRect(QRectF(w, QSizeF(3, 5)));
    }
}

QImage mainBackground() {
    QImage image = canvas(kMainBackground);
    QPainter p;
    begin(p, image);
    const QRectF all(0.5, 0.5, image.width() - 1.0, image.height() - 1.0);
    const QPainterPath window = rounded(all, 16);
    p.setClipPath(window);

    QLinearGradient sky(0, 0, 0, image.height());
    sky.setColorAt(0.0, QColor(26, 40, 92));
    sky.setColorAt(0.22, QColor(18, 24, 60));
    sky.setColorAt(0.6, QColor(9, 12, 30));
    sky.setColorAt(1.0, QColor(5, 7, 18));
    p.fillRect(image.rect(), sky);
    stars(p, QRectF(0, 0, image.width(), 300), 260, 7);
    glowOrb(p, QPointF(900, 52), 30);
    // Aurora veils across the sky.
    for (int i = 0; i < 3; ++i) {
        QPainterPath veil;
        const qreal y = 40 + i * 26;
        veil.moveTo(300, y + 40);
        veil.cubicTo(500, y - 30, 700, y + 70, 1160, y - 10);
        veil.lineTo(1160, y + 30);
        veil.cubicTo(700, y + 110, 500, y + 10, 300, y + 60);
        veil.closeSubpath();
        QLinearGradient g(300, 0, 1160, 0);
        g.setColorAt(0.0, QColor(80, 220, 200, 0));
        g.setColorAt(0.5, QColor(90, 210, 230, 28 - i * 6));
        g.setColorAt(1.0, QColor(120, 140, 255, 0));
        p.setPen(Qt::NoPen);
        p.setBrush(g);
        p.drawPath(veil);
    }
    // The landscape is drawn on a layer of its own that fades out towards the panels.
    QImage layer(image.size(), QImage::Format_ARGB32_Premultiplied);
    layer.fill(Qt::transparent);
    {
        QPainter l;
        begin(l, layer);
        const QRectF land(0, 0, image.width(), 200);
        const auto far = ridge(l, land, 124, 74, 5, QColor(62, 78, 146), QColor(30, 38, 82));
        castle(l, QPointF(560, far(560) + 8));
        ridge(l, land, 134, 44, 12, QColor(36, 46, 98), QColor(18, 24, 56));
        ridge(l, land, 146, 22, 19, QColor(20, 26, 60), QColor(12, 16, 40));
        l.setCompositionMode(QPainter::CompositionMode_DestinationIn);
        QLinearGradient fade(0, 126, 0, 180);
        fade.setColorAt(0.0, QColor(0, 0, 0, 255));
        fade.setColorAt(1.0, QColor(0, 0, 0, 0));
        l.fillRect(layer.rect(), fade);
    }
    p.drawImage(0, 0, layer);

    title(p, QPointF(46, 86));

    // The content panels, where the layout puts the pages and the server box.
    panel(p, QRectF(28, 138, 696, 436), QStringLiteral("最新公告"));
    panel(p, QRectF(736, 138, 396, 230), QStringLiteral("精彩活动"));
    panel(p, QRectF(736, 382, 396, 192), QStringLiteral("服务器"));
    // Separator inside the server box.
    p.setPen(QPen(QColor(232, 193, 112, 70), 1));
    p.drawLine(QPointF(756, 466), QPointF(1112, 466));

    // The bottom bar: status lines, progress and the start button's bed.
    QLinearGradient bar(0, 580, 0, 740);
    bar.setColorAt(0.0, QColor(16, 20, 44, 245));
    bar.setColorAt(1.0, QColor(6, 8, 20, 255));
    p.setPen(Qt::NoPen);
    p.setBrush(bar);
    p.drawRect(QRectF(0, 582, image.width(), 160));
    QLinearGradient rule(0, 0, image.width(), 0);
    rule.setColorAt(0.0, QColor(232, 193, 112, 0));
    rule.setColorAt(0.5, QColor(232, 193, 112, 200));
    rule.setColorAt(1.0, QColor(232, 193, 112, 0));
    p.fillRect(QRectF(0, 582, image.width(), 1.2), rule);
    p.save();
    p.translate(1011, 629);
    p.scale(1.0, 0.42);
    QRadialGradient bed(QPointF(0, 0), 140);
    bed.setColorAt(0.0, QColor(255, 170, 60, 70));
    bed.setColorAt(1.0, QColor(255, 170, 60, 0));
    p.setBrush(bed);
    p.drawEllipse(QPointF(0, 0), 140, 140);
    p.restore();

    // The window's edge.
    p.setClipping(false);
    goldFrame(p, all.adjusted(1, 1, -1, -1), 15);
    p.end();
    return image;
}

QImage dialogBackground() {
    QImage image = canvas(kDialogBackground);
    QPainter p;
    begin(p, image);
    const QRectF all(1, 1, image.width() - 2.0, image.height() - 2.0);
    QLinearGradient fill(0, 0, 0, image.height());
    fill.setColorAt(0.0, QColor(30, 38, 78));
    fill.setColorAt(0.15, QColor(17, 22, 50));
    fill.setColorAt(1.0, QColor(8, 10, 26));
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawPath(rounded(all, 12));
    p.setClipPath(rounded(all, 12));
    stars(p, QRectF(0, 0, image.width(), 40), 40, 23);
    // The header strip, where the caption is written.
    QLinearGradient head(0, 0, 0, 44);
    head.setColorAt(0.0, QColor(80, 58, 24, 160));
    head.setColorAt(1.0, QColor(40, 28, 10, 40));
    p.fillRect(QRectF(0, 0, image.width(), 44), head);
    p.fillRect(QRectF(20, 44, image.width() - 40, 1), QColor(232, 193, 112, 140));
    // The grid's bed.
    p.setBrush(QColor(4, 6, 16, 150));
    p.setPen(QPen(QColor(232, 193, 112, 60), 1));
    p.drawRoundedRect(QRectF(41, 86, 516, 250), 6, 6);
    p.setClipping(false);
    goldFrame(p, all, 12);
    p.end();
    return image;
}

// A round-cornered button face: gradient body, gloss on the upper half, gold rim.
void buttonFace(QPainter& p, const QRectF& r, qreal radius, const QColor& top, const QColor& bottom,
                const QColor& rim, bool glossy = true) {
    QLinearGradient body(r.topLeft(), r.bottomLeft());
    body.setColorAt(0.0, top);
    body.setColorAt(1.0, bottom);
    p.setPen(QPen(rim, 1.5));
    p.setBrush(body);
    p.drawPath(rounded(r, radius));
    if (glossy) {
        QLinearGradient gloss(r.topLeft(), QPointF(r.left(), r.center().y()));
        gloss.setColorAt(0.0, QColor(255, 255, 255, 90));
        gloss.setColorAt(1.0, QColor(255, 255, 255, 8));
        p.setPen(Qt::NoPen);
        p.setBrush(gloss);
        p.drawPath(rounded(QRectF(r.left() + 2, r.top() + 2, r.width() - 4, r.height() / 2 - 1),
                           radius - 1));
    }
}

QImage bigButton(int id, const QString& label, const QColor& top, const QColor& bottom, bool lit) {
    QImage image = canvas(id);
    QPainter p;
    begin(p, image);
    const QRectF r(5, 5, image.width() - 10.0, image.height() - 10.0);
    // Outer glow.
    for (int i = 5; i >= 1; --i) {
        p.setPen(QPen(QColor(top.red(), top.green(), top.blue(), lit ? 34 : 18), i * 2.0));
        p.setBrush(Qt::NoBrush);
        p.drawPath(rounded(r, 14));
    }
    buttonFace(p, r, 14, lit ? top.lighter(118) : top, lit ? bottom.lighter(115) : bottom,
               QColor(255, 232, 170));
    p.setPen(QPen(QColor(90, 40, 0, 120), 1));
    p.setBrush(Qt::NoBrush);
    p.drawPath(rounded(r.adjusted(3, 3, -3, -3), 11));
    haloText(p, r.adjusted(0, -1, 0, -1), label, font(false, 30, 900), QColor(255, 250, 236), 2);
    p.end();
    return image;
}

QImage smallButton(int id, const QString& label, bool lit) {
    QImage image = canvas(id);
    QPainter p;
    begin(p, image);
    const QRectF r(0.75, 0.75, image.width() - 1.5, image.height() - 1.5);
    buttonFace(p, r, 5, lit ? QColor(70, 98, 170) : QColor(42, 58, 112),
               lit ? QColor(32, 46, 100) : QColor(20, 28, 64),
               lit ? QColor(255, 226, 150) : QColor(190, 150, 80));
    if (!label.isEmpty()) {
        haloText(p, r, label, font(false, 12, 700),
                 lit ? QColor(255, 240, 200) : QColor(236, 226, 200), 1);
    }
    p.end();
    return image;
}

// The window's own buttons: a gold-rimmed disc with a drawn glyph.
QImage captionButton(int id, bool close, bool lit) {
    QImage image = canvas(id);
    QPainter p;
    begin(p, image);
    const QRectF r(4.5, 4, 30, 30);
    QRadialGradient body(r.center() - QPointF(4, 5), 22);
    if (lit) {
        body.setColorAt(0.0, close ? QColor(240, 100, 80) : QColor(90, 130, 220));
        body.setColorAt(1.0, close ? QColor(140, 30, 24) : QColor(30, 50, 120));
    } else {
        body.setColorAt(0.0, QColor(52, 64, 116));
        body.setColorAt(1.0, QColor(16, 20, 48));
    }
    p.setPen(QPen(lit ? QColor(255, 230, 170) : kGold, 1.5));
    p.setBrush(body);
    p.drawEllipse(r);
    p.setPen(QPen(QColor(255, 246, 226), 2.4, Qt::SolidLine, Qt::RoundCap));
    const QPointF c = r.center();
    if (close) {
        p.drawLine(c + QPointF(-6, -6), c + QPointF(6, 6));
        p.drawLine(c + QPointF(-6, 6), c + QPointF(6, -6));
    } else {
        p.drawLine(c + QPointF(-7, 3), c + QPointF(7, 3));
    }
    p.end();
    return image;
}

QImage progressBack() {
    QImage image = canvas(kProgressBack);
    QPainter p;
    begin(p, image);
    const QRectF r(0.5, 0.5, image.width() - 1.0, image.height() - 1.0);
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0.0, QColor(2, 3, 10));
    g.setColorAt(1.0, QColor(24, 30, 60));
    p.setPen(QPen(QColor(232, 193, 112, 150), 1));
    p.setBrush(g);
    p.drawPath(rounded(r, 5.5));
    p.end();
    return image;
}

QImage progressFill() {
    QImage image = canvas(kProgressFill);
    QPainter p;
    begin(p, image);
    const QRectF r(0, 0, image.width(), image.height());
    QLinearGradient along(r.topLeft(), r.topRight());
    along.setColorAt(0.0, QColor(40, 170, 220));
    along.setColorAt(0.6, QColor(110, 220, 210));
    along.setColorAt(1.0, QColor(255, 214, 120));
    p.setPen(Qt::NoPen);
    p.setBrush(along);
    p.drawPath(rounded(r, 4));
    QLinearGradient gloss(r.topLeft(), r.bottomLeft());
    gloss.setColorAt(0.0, QColor(255, 255, 255, 130));
    gloss.setColorAt(0.5, QColor(255, 255, 255, 20));
    gloss.setColorAt(1.0, QColor(0, 0, 0, 40));
    p.setBrush(gloss);
    p.drawPath(rounded(r, 4));
    p.end();
    return image;
}

QImage staticBack() {
    QImage image = canvas(kStaticBack);
    QPainter p;
    begin(p, image);
    QLinearGradient g(0, 0, image.width(), 0);
    g.setColorAt(0.0, QColor(30, 40, 84, 0));
    g.setColorAt(0.04, QColor(30, 40, 84, 150));
    g.setColorAt(0.7, QColor(22, 30, 66, 110));
    g.setColorAt(1.0, QColor(22, 30, 66, 0));
    p.fillRect(image.rect(), g);
    QLinearGradient rule(0, 0, image.width(), 0);
    rule.setColorAt(0.0, QColor(232, 193, 112, 0));
    rule.setColorAt(0.1, QColor(232, 193, 112, 90));
    rule.setColorAt(1.0, QColor(232, 193, 112, 0));
    p.fillRect(QRectF(0, image.height() - 1, image.width(), 1), rule);
    p.end();
    return image;
}

QImage tab(int id, bool selected) {
    QImage image = canvas(id);
    QPainter p;
    begin(p, image);
    QPainterPath shape;
    const QRectF r(0.75, 0.75, image.width() - 1.5, image.height() + 8.0);
    shape.addRoundedRect(r, 7, 7);
    p.setClipRect(QRectF(0, 0, image.width(), image.height()));
    QLinearGradient g(0, 0, 0, image.height());
    g.setColorAt(0.0, selected ? QColor(96, 74, 34) : QColor(38, 48, 94));
    g.setColorAt(1.0, selected ? QColor(50, 36, 14) : QColor(18, 24, 54));
    p.setPen(QPen(selected ? QColor(255, 226, 150) : QColor(150, 120, 70), 1.2));
    p.setBrush(g);
    p.drawPath(shape);
    if (selected) {
        p.fillRect(QRectF(8, image.height() - 2.5, image.width() - 16, 2.5), QColor(120, 255, 140));
    }
    p.end();
    return image;
}

QImage cell(int id, bool lit) {
    QImage image = canvas(id);
    QPainter p;
    begin(p, image);
    const QRectF r(3.5, 3.5, 119, 40);
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0.0, lit ? QColor(70, 92, 170) : QColor(34, 44, 90));
    g.setColorAt(1.0, lit ? QColor(34, 46, 104) : QColor(16, 22, 50));
    p.setPen(QPen(lit ? QColor(255, 226, 150) : QColor(120, 110, 90), lit ? 1.6 : 1.0));
    p.setBrush(g);
    p.drawPath(rounded(r, 6));
    // A small emblem on the left: a four-pointed star.
    const QPointF c(r.left() + 15, r.center().y());
    QPolygonF star;
    for (int i = 0; i < 8; ++i) {
        const qreal a = i * M_PI / 4;
        const qreal len = i % 2 == 0 ? 7.0 : 2.4;
        star << c + QPointF(std::cos(a) * len, std::sin(a) * len);
    }
    p.setPen(Qt::NoPen);
    p.setBrush(lit ? QColor(255, 226, 140) : QColor(160, 150, 120));
    p.drawPolygon(star);
    p.end();
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: lume-skin OUTDIR\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!out.mkpath(".")) {
        std::fprintf(stderr, "lume-skin: cannot create %s\n", argv[1]);
        return 1;
    }
    if (cjkFamily(false).isEmpty()) {
        std::fprintf(stderr, "lume-skin: no CJK font (install fonts-noto-cjk)\n");
        return 1;
    }
    const QColor startTop(255, 178, 64), startBottom(196, 64, 18);
    const QColor okTop(60, 200, 150), okBottom(18, 96, 80);
    const std::map<int, std::function<QImage()>> painters = {
        {kMainBackground, mainBackground},
        {kDialogBackground, dialogBackground},
        {kClose, [] { return captionButton(kClose, true, false); }},
        {kCloseHover, [] { return captionButton(kCloseHover, true, true); }},
        {kMinimize, [] { return captionButton(kMinimize, false, false); }},
        {kMinimizeHover, [] { return captionButton(kMinimizeHover, false, true); }},
        {kStartGame,
         [&] { return bigButton(kStartGame, "开始游戏", startTop, startBottom, false); }},
        {kConfirm, [&] { return bigButton(kConfirm, "确定选择", okTop, okBottom, false); }},
        {kConfirmHover,
         [&] { return bigButton(kConfirmHover, "确定选择", okTop, okBottom, true); }},
        {kZone, [] { return smallButton(kZone, QString(), false); }},
        {kZoneHover, [] { return smallButton(kZoneHover, QString(), true); }},
        {kServerList, [] { return smallButton(kServerList, "选择服务器", false); }},
        {kServerListHover, [] { return smallButton(kServerListHover, "选择服务器", true); }},
        {kPatch, [] { return smallButton(kPatch, "手动补丁", false); }},
        {kPatchHover, [] { return smallButton(kPatchHover, "手动补丁", true); }},
        {kProgressBack, progressBack},
        {kProgressFill, progressFill},
        {kStaticBack, staticBack},
        {kTab, [] { return tab(kTab, false); }},
        {kTabSelected, [] { return tab(kTabSelected, true); }},
        {kCell, [] { return cell(kCell, false); }},
        {kCellLit, [] { return cell(kCellLit, true); }},
    };
    for (const SkinSize& s : kSkinSizes) {
        const auto painter = painters.find(s.id);
        const QImage image = painter == painters.end() ? QImage() : painter->second();
        const QString path = out.filePath(QString::number(s.id) + ".png");
        if (image.size() != QSize(s.width, s.height) || !image.save(path, "PNG")) {
            std::fprintf(stderr, "lume-skin: cannot draw picture %d\n", s.id);
            return 1;
        }
    }
    return 0;
}
