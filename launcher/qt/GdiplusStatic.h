// A transparent text control of the skin: an optional background picture (stretched in
// its middle), a font, a text colour and an alignment. Setting its text repaints it.
#pragma once

#include <QColor>
#include <QPixmap>
#include <QWidget>

namespace lume {

class GdiplusStatic : public QWidget {
    Q_OBJECT
public:
    GdiplusStatic(int id, QWidget* parent);

    void setBackgroundPicture(int skinId);
    void setTextColour(const QColor& colour);
    void setAlignment(Qt::Alignment alignment);
    void setText(const QString& text);
    const QString& text() const { return text_; }
    const QColor& textColour() const { return colour_; }
    int id() const { return id_; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    int id_;
    QPixmap background_;
    QColor colour_ = Qt::white;
    Qt::Alignment alignment_ = Qt::AlignLeft | Qt::AlignVCenter;
    QString text_;
};

}  // namespace lume
