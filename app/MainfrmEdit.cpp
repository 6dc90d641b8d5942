// Slot editing from the popup menus, the title, the administrator log-in and
// the about box.
//
// The slot operations act on the panel's SelectedSlot, set by the mouse press
// or the keyboard request that opened the popup menu. None of them needs the port, a log-in or a
// free link, and none writes to the log. Every dialog is created for one question with the window
// as owner, run modally and destroyed when its result has been read.
#include "app/Mainfrm.h"

#include "app/FormWidgets.h"
#include "app/SlotPanel.h"
#include "dialogs/Aboutfrm.h"
#include "dialogs/Dlgutils.h"
#include "dialogs/Editcmdfrm.h"
#include "dialogs/Getstrfrm.h"

#include <QAction>
#include <QApplication>
#include <QColorDialog>
#include <QMessageBox>

using namespace pmv;

namespace {

// The administrator password; letter case counts.
constexpr const char* AdminPassword = "KTmarigold";
constexpr unsigned kAdminPasswordMaxLength = 10;
constexpr unsigned kPageCaptionMaxLength = 24;
constexpr unsigned kTitleMaxLength = 50;

bool IsSlotIndex(int index) {
    return index >= 0 && index < kSlotCount;
}

} // namespace

// ---- Slot popup menu ------------------------------------------------------------------

bool TMainForm::EditSlot(int index) {
    if (!IsSlotIndex(index))
        return false;
    // The editor works on its own copy; the record changes only on OK.
    return EditCmd(this, index, CmdTable[index]);
}

void TMainForm::EditClick() {
    const int s = CmdsPageControl->SelectedSlot();
    if (EditSlot(s))
        ShowSlot(s);
}

void TMainForm::CopyClick() {
    const int s = CmdsPageControl->SelectedSlot();
    ClipCmd = CmdTable[s];
    ClipCutPending = false;
    ClipSource = s;
    Paste1->setEnabled(true);
}

void TMainForm::CutClick() {
    const int s = CmdsPageControl->SelectedSlot();
    // The slot stays as it is until the next paste moves its definition.
    ClipCmd = CmdTable[s];
    ClipCutPending = true;
    ClipSource = s;
    Paste1->setEnabled(true);
}

void TMainForm::Paste1Click() {
    const int s = CmdsPageControl->SelectedSlot();
    SetSlot(s, ClipCmd);
    if (ClipCutPending) {
        ClipCutPending = false;
        // Pasting a cut slot back where it came from ends the move there:
        // clearing the source now would wipe the definition just pasted.
        if (ClipSource != s) {
            ClearSlot(ClipSource);
            ShowSlot(ClipSource);
        }
    }
}

void TMainForm::DeleteClick() {
    const int s = CmdsPageControl->SelectedSlot();
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Warning"),
                    QStringLiteral("Delete the selected command?"),
                    QMessageBox::Ok | QMessageBox::Cancel, this);
    box.setObjectName(QStringLiteral("DeleteMessageBox"));
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Cancel);
    if (box.exec() != QMessageBox::Ok)
        return;
    ClearSlot(s);
    ShowSlot(s);
}

void TMainForm::ColourClick() {
    const int s = CmdsPageControl->SelectedSlot();
    if (!ColorDialog) {
        ColorDialog = new QColorDialog(this);
        ColorDialog->setObjectName(QStringLiteral("ColorDialog"));
        // Solid colours only: no alpha channel.
        ColorDialog->setOption(QColorDialog::ShowAlphaChannel, false);
        // Qt's own dialog: a desktop's colour chooser keeps settings of its own.
        ColorDialog->setOption(QColorDialog::DontUseNativeDialog);
    }
    ColorDialog->setCurrentColor(SlotColourToQColor(CmdTable[s].colour, QApplication::palette()));
    if (ColorDialog->exec() != QDialog::Accepted)
        return;
    const QColor chosen = ColorDialog->selectedColor();
    if (!chosen.isValid())
        return;
    CmdTable[s].colour = QColorToSlotColour(chosen);
    // A disabled slot keeps its grey caption; the colour shows once it is
    // enabled again.
    if (!CmdTable[s].has(pmv::Disabled))
        CmdsPageControl->SetCaptionColour(s, chosen);
}

void TMainForm::Disable1Click() {
    const int s = CmdsPageControl->SelectedSlot();
    CmdTable[s].opts ^= pmv::Disabled;
    ShowSlot(s);
}

// ---- Page popup menu and title ----------------------------------------------------------

void TMainForm::RenameClick() {
    const int p = CmdsPageControl->currentIndex();
    if (p < 0 || p >= kPageCount)
        return;
    std::string text = CmdsPageControl->PageCaption(p);
    if (!GetStr(this, "Rename Page", text, kPageCaptionMaxLength, false))
        return;
    // An empty text keeps the caption: a page always has a name.
    if (!text.empty())
        CmdsPageControl->SetPageCaption(p, text);
}

void TMainForm::EditTitleClick() {
    std::string text = ConfigTitle;
    if (!GetStr(this, "Rename Title", text, kTitleMaxLength, false))
        return;
    ConfigTitle = text;
    setWindowTitle(TitleCaption(ConfigTitle));
}

// ---- Log-in and about box ---------------------------------------------------------------

void TMainForm::LogInClick() {
    std::string password;
    if (!GetStr(this, "Admin Password", password, kAdminPasswordMaxLength, true))
        return;
    // There is no administrator mode: a correct password is only confirmed.
    // A wrong one is refused silently, and the operator may try again at once.
    if (password == AdminPassword)
        Memo->AppendLine(QStringLiteral("Not implemented"));
}

void TMainForm::AboutClick() {
    TAboutForm box(this);
    box.SetCompanyName("PMV Vodazivovu");
    box.SetApplicationName("PMV Controller Host");
    box.SetIdentity("PMV-HOST");
    box.SetVersion(QString::asprintf("V%d.%d", kVersionMajor, kVersionMinor).toStdString());
    box.SetBuildTime("15:11");
    box.SetBuildDate("23rd June 2022");
    box.SetNoticeYear("2022");
    box.exec();
}
