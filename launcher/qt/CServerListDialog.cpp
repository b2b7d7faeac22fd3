#include "launcher/qt/CServerListDialog.h"

#include <QPainter>

#include "launcher/core/ControlPostionConfig.h"
#include "launcher/core/ServerTabs.h"
#include "launcher/qt/BackgroundDialog.h"
#include "launcher/qt/CZoneViewWnd.h"
#include "launcher/qt/Fonts.h"
#include "launcher/qt/GdiplusButton.h"
#include "launcher/qt/skin/SkinIds.h"
#include "update/Updater.h"

namespace lume {

namespace {

QRect toQRect(const LayoutRect& r) {
    return QRect(r.left, r.top, r.right - r.left, r.bottom - r.top);
}

}  // namespace

CServerListDialog::CServerListDialog(const ControlPostionConfig& layout, const Updater& servers,
                                     const std::u16string& currentServer,
                                     BackgroundDialog* background)
    : GdiplusDialog(background), chosen_(currentServer) {
    setWindowTitle(QString::fromStdU16String(kCaption));
    const QRect strip = toQRect(layout.rectangle(u"SRV_LIST_ZONE"));
    const QRect grid = toQRect(layout.rectangle(u"SRV_LIST_Ctrl"));
    const QFont tabFont = launcherFont(u"宋体", 13, 100);
    for (int i = 0; i < 2; ++i) {
        auto* button = new GdiplusButton(kFirstTab + i, this);
        button->setPictures(skin::kTab, skin::kTabSelected);
        button->setGeometry(strip.translated(i * (strip.width() + 2), 0));
        button->setFont(tabFont);
        button->setText(QString::fromStdU16String(kServerTabTitles[static_cast<size_t>(i)]));
        button->setCheckBehaviour(false);
        connect(button, &GdiplusButton::command, this, [this](int id) { showTab(id - kFirstTab); });
        tabs_[static_cast<size_t>(i)] = button;

        auto* view = new CZoneViewWnd(this);
        view->setColumns(kColumns);
        view->setGeometry(grid);
        view->setNameFont(launcherFont(u"宋体", 14, 700));
        connect(view, &CZoneViewWnd::zoneClicked, this, &CServerListDialog::onZone);
        connect(view, &CZoneViewWnd::zoneConfirmed, this, [this](int index, int tab) {
            onZone(index, tab);
            confirm();
        });
        views_[static_cast<size_t>(i)] = view;
    }
    close_ = new GdiplusButton(0, this);
    close_->setPictures(skin::kClose, skin::kCloseHover);
    close_->setGeometry(background->width() - 46, 4, 39, 38);
    connect(close_, &GdiplusButton::command, this, &CServerListDialog::closeDialog);

    for (size_t i = 0; i < servers.serverCount(); ++i) {
        const ServerRecord& s = *servers.serverAt(i);
        const int tab = serverTab(s);
        if (tab < 0) {
            continue;
        }
        CZoneViewWnd* view = views_[static_cast<size_t>(tab)];
        view->addZone(Zone{s.name, s.hint, tab, s.id, s.isNew, s.test});
        if (s.name == currentServer) {
            view->setSelected(view->count() - 1);
        }
    }
    showTab(1);
}

void CServerListDialog::showTab(int tab) {
    currentTab_ = tab;
    for (int j = 0; j < 2; ++j) {
        const bool on = j == tab;
        views_[static_cast<size_t>(j)]->setVisible(on);
        GdiplusButton* button = tabs_[static_cast<size_t>(j)];
        button->setChecked(on);  // drawn pressed
        button->setTextColour(on ? QColor(0, 255, 0) : QColor(255, 255, 255));
    }
    views_[static_cast<size_t>(tab)]->setFocus();
}

void CServerListDialog::onZone(int index, int tab) {
    chosen_ = views_[static_cast<size_t>(tab)]->zone(index).name;
    emit chosen(chosen_);
}

void CServerListDialog::confirm() {
    if (!chosen_.empty()) {
        emit confirmed(chosen_);
    }
    closeDialog();
}

void CServerListDialog::closeDialog() {
    if (closed_) {
        return;
    }
    closed_ = true;
    emit closing();
}

void CServerListDialog::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.setFont(launcherFont(u"微软雅黑", 18, 700));
    const QRect caption(0, 6, width(), 32);
    p.setPen(QColor(0, 0, 0, 170));
    p.drawText(caption.translated(1, 1), Qt::AlignCenter, windowTitle());
    p.setPen(QColor(255, 226, 160));
    p.drawText(caption, Qt::AlignCenter, windowTitle());
}

}  // namespace lume
