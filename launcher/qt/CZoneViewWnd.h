// The grid of server cells in one tab of the server list dialog: cells of 126 x 47 pixels,
// a given number per row, hover under the pointer, a selected cell, and a click that
// reports the cell to the dialog. When there are more rows than fit, the wheel scrolls.
#pragma once

#include <QFont>
#include <QPixmap>
#include <QWidget>
#include <string>
#include <vector>

namespace lume {

struct Zone {
    std::u16string name;
    std::u16string hint;
    int tab = 0;
    int id = 0;
    bool isNew = false;
    bool test = false;
};

class CZoneViewWnd : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWindowId = 2025;
    static constexpr int kCellWidth = 126;
    static constexpr int kCellHeight = 47;

    explicit CZoneViewWnd(QWidget* parent);

    void setColumns(int columns);
    void addZone(Zone zone);
    int count() const { return static_cast<int>(zones_.size()); }
    const Zone& zone(int index) const { return zones_[static_cast<size_t>(index)]; }
    void setSelected(int index);
    int selected() const { return selected_; }
    int hover() const { return hover_; }
    int firstRow() const { return firstRow_; }
    // Where cell index is drawn now (it may lie outside the view).
    QRect cellRect(int index) const;
    void setNameFont(const QFont& font) { nameFont_ = font; }

signals:
    // A cell was clicked: its index and its tab (message 2024 to the dialog).
    void zoneClicked(int index, int tab);
    // A cell was double-clicked: the choice is confirmed at once.
    void zoneConfirmed(int index, int tab);

protected:
    void paintEvent(QPaintEvent*) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void leaveEvent(QEvent*) override;

private:
    int cellAt(const QPoint& at) const;
    int rows() const;
    int visibleRows() const;

    std::vector<Zone> zones_;
    int columns_ = 3;
    int firstRow_ = 0;
    int hover_ = -1;
    int selected_ = -1;
    QPixmap cell_;
    QPixmap cellLit_;
    QFont nameFont_;
};

}  // namespace lume
