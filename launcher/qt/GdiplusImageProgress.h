// A progress bar drawn from the skin: a track picture and a fill picture, the fill cut to
// the width that the position gives within the range.
#pragma once

#include <QPixmap>
#include <QWidget>

namespace lume {

class GdiplusImageProgress : public QWidget {
    Q_OBJECT
public:
    explicit GdiplusImageProgress(QWidget* parent);

    void setPictures(int trackId, int fillId);
    void setRange(int minimum, int maximum);
    void setPosition(int position);
    int position() const { return position_; }
    // The width of the fill drawn now, in pixels.
    int fillWidth() const;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QPixmap track_;
    QPixmap fill_;
    int minimum_ = 0;
    int maximum_ = 100;
    int position_ = 0;
};

}  // namespace lume
