// Slot editing from the popup menus, the title, the administrator log-in and
// the about box.
#include "app/Mainfrm.h"

void TMainForm::EditClick() {}

void TMainForm::CopyClick() {}

void TMainForm::CutClick() {}

void TMainForm::Paste1Click() {}

void TMainForm::DeleteClick() {}

void TMainForm::ColourClick() {}

void TMainForm::Disable1Click() {}

void TMainForm::RenameClick() {}

void TMainForm::EditTitleClick() {}

void TMainForm::LogInClick() {}

void TMainForm::AboutClick() {}
