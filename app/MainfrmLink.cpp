// The target link on the window: slot requests, Get All and Set All, value
// entry (edit exit, keys, mouse wheel) and port control.
#include "app/Mainfrm.h"

#include <QKeyEvent>

void TMainForm::SlotGetButtonClick(int /*index*/) {}

void TMainForm::SlotSetButtonClick(int /*index*/) {}

void TMainForm::SlotEditExit(int /*index*/) {}

void TMainForm::SlotEditKeyDown(int /*index*/, QKeyEvent* /*event*/) {}

void TMainForm::GetAllParametersClick() {}

void TMainForm::SetAllParametersClick() {}

void TMainForm::COMSettingsClick() {}

void TMainForm::COMOpenClick() {}

void TMainForm::COMCloseClick() {}

void TMainForm::StatusBarDblClick() {}

void TMainForm::MemoDblClick() {}

void TMainForm::FormMouseWheelUp(bool& /*Handled*/) {}

void TMainForm::FormMouseWheelDown(bool& /*Handled*/) {}
