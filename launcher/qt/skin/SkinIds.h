// The launcher's skin: every picture by its numeric id and its size in pixels. The
// pictures are drawn by lume-skin at build time and compiled into the program as
// ":/skin/<id>.png".
#pragma once

#include <array>

namespace lume::skin {

enum SkinId : int {
    kDialogBackground = 194,  // the server list dialog
    kMainBackground = 179,    // the main window
    kClose = 170,             // CLOSE_BUTTON
    kCloseHover = 171,
    kMinimize = 174,  // MINIMIZE
    kMinimizeHover = 175,
    kStartGame = 178,  // START_GAME
    kConfirm = 203,    // the confirm button 1062, first and second picture
    kConfirmHover = 204,
    kZone = 181,  // ZONE1, ZONE2
    kZoneHover = 182,
    kServerList = 176,  // TREE_SRV_LIST, first and second picture
    kServerListHover = 177,
    kPatch = 172,  // PATCH_BTN, first and second picture
    kPatchHover = 173,
    kProgressBack = 169,  // the progress bar's track
    kProgressFill = 180,  // and its fill
    kStaticBack = 201,    // background of the status statics
    kTab = 200,           // server list tab, first and second picture
    kTabSelected = 198,
    kCell = 196,     // zone view cell
    kCellLit = 197,  // zone view cell, second picture (hover and selection)
};

struct SkinSize {
    int id, width, height;
};

inline constexpr std::array<SkinSize, 22> kSkinSizes = {{
    {kMainBackground, 1160, 740},
    {kDialogBackground, 598, 377},
    {kClose, 39, 38},
    {kCloseHover, 39, 38},
    {kMinimize, 39, 38},
    {kMinimizeHover, 39, 38},
    {kStartGame, 219, 82},
    {kConfirm, 219, 82},
    {kConfirmHover, 219, 82},
    {kZone, 80, 24},
    {kZoneHover, 80, 24},
    {kServerList, 80, 24},
    {kServerListHover, 80, 24},
    {kPatch, 80, 24},
    {kPatchHover, 80, 24},
    {kProgressBack, 670, 12},
    {kProgressFill, 666, 8},
    {kStaticBack, 664, 20},
    {kTab, 110, 23},
    {kTabSelected, 110, 23},
    {kCell, 127, 47},
    {kCellLit, 126, 47},
}};

}  // namespace lume::skin
