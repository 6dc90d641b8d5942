// The icons of menu items, tool buttons and the window, drawn at start in one
// flat style (dark outline, a few accent colours) at 16 and 32 pixels.
#pragma once

#include <QIcon>

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

} // namespace pmv
