// The server list dialog: every server of the downloaded list in two tabs, "网通区" and
// "电信区", each a grid of cells. Clicking a cell chooses that server; the main window takes
// the choice when the player confirms it (there, or by a double click here). Closing the
// dialog in any way tells the main window, which then restores its own layout.
#pragma once

#include <array>
#include <string>

#include "launcher/qt/GdiplusDialog.h"

namespace lume {

class BackgroundDialog;
class ControlPostionConfig;
class CZoneViewWnd;
class GdiplusButton;
class Updater;

class CServerListDialog : public GdiplusDialog {
    Q_OBJECT
public:
    static constexpr int kConfirm = 1000;
    static constexpr int kFirstTab = 1001;
    static constexpr int kColumns = 4;
    static constexpr char16_t kCaption[] = u"《Lumora》服务器列表";

    // Fills the tabs from the updater's servers; the current server's cell is selected.
    CServerListDialog(const ControlPostionConfig& layout, const Updater& servers,
                      const std::u16string& currentServer, BackgroundDialog* background);

    void showTab(int tab);
    int currentTab() const { return currentTab_; }
    CZoneViewWnd* view(int tab) const { return views_[static_cast<size_t>(tab)]; }
    GdiplusButton* tabButton(int tab) const { return tabs_[static_cast<size_t>(tab)]; }
    GdiplusButton* closeButton() const { return close_; }
    const std::u16string& chosenName() const { return chosen_; }

    // Command 1000: the choice is confirmed, then the dialog closes.
    void confirm();
    void closeDialog() override;

signals:
    // A cell was clicked (message 2024): the name of its server.
    void chosen(const std::u16string& name);
    // Confirmed in the dialog itself, with a name that is not empty.
    void confirmed(const std::u16string& name);
    // The dialog is closing (any way).
    void closing();

protected:
    void paintEvent(QPaintEvent*) override;

private:
    void onZone(int index, int tab);

    std::array<CZoneViewWnd*, 2> views_{};
    std::array<GdiplusButton*, 2> tabs_{};
    GdiplusButton* close_ = nullptr;
    int currentTab_ = -1;
    std::u16string chosen_;
    bool closed_ = false;
};

}  // namespace lume
