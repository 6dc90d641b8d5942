// Configuration load, save, delete-all and the close query; parameter defaults.
#include "app/Mainfrm.h"

void TMainForm::LoadConfigClick() {}

void TMainForm::SaveConfigClick() {}

void TMainForm::DeleteAllCommandsClick() {}

void TMainForm::SetAllParameterDefaultsClick() {}

void TMainForm::StoreAllParameterDefaultsClick() {}

void TMainForm::DefaultClick() {}

void TMainForm::StoreParameterDefault1Click() {}

void TMainForm::FormCloseQuery(bool& CanClose) {
    CanClose = true;
}
