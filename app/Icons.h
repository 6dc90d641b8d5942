// The icons of menu items, tool buttons and the window, drawn at start in one
// flat style (dark outline, a few accent colours) at 16 and 32 pixels.
#pragma once

#include <QIcon>
#include <QImage>

namespace pmv {

enum class TIcon {
    Application,
    Exit,
    LoadConfig,
    SaveConfig,
    EditTitle,
    LogIn,
    COMSettings,
    COMOpen,
    COMClose,
    DeleteAllCommands,
    SetAllParameterDefaults,
    StoreAllParameterDefaults,
    GetAllParameters,
    SetAllParameters,
    About,
};

QIcon MakeIcon(TIcon icon);

// One icon drawn at size x size pixels on a transparent background (the
// pictures of MakeIcon are these at 16 and 32). Needs no display.
QImage IconImage(TIcon icon, int size);

} // namespace pmv
