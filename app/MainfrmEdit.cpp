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
    TCmdRecord record = m_doc.Record(index);
    if (!EditCmd(this, index, record))
        return false;
    ShowChange(m_doc.SetRecord(index, record));
    return true;
}

void TMainForm::EditClick() {
    EditSlot(CmdsPageControl->SelectedSlot());
}

void TMainForm::CopyClick() {
    ShowChange(m_doc.Copy(CmdsPageControl->SelectedSlot()));
}

void TMainForm::CutClick() {
    ShowChange(m_doc.Cut(CmdsPageControl->SelectedSlot()));
}

void TMainForm::Paste1Click() {
    ShowChange(m_doc.Paste(CmdsPageControl->SelectedSlot()));
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
    ShowChange(m_doc.Delete(s));
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
    ColorDialog->setCurrentColor(
        SlotColourToQColor(m_doc.Record(s).colour, QApplication::palette()));
    if (ColorDialog->exec() != QDialog::Accepted)
        return;
    const QColor chosen = ColorDialog->selectedColor();
    if (!chosen.isValid())
        return;
    ShowChange(m_doc.SetColour(s, QColorToSlotColour(chosen)));
}

void TMainForm::Disable1Click() {
    ShowChange(m_doc.ToggleDisabled(CmdsPageControl->SelectedSlot()));
}

// ---- Page popup menu and title ----------------------------------------------------------

void TMainForm::RenameClick() {
    const int p = CmdsPageControl->currentIndex();
    if (p < 0 || p >= kPageCount)
        return;
    std::string text = m_doc.PageCaptions()[p];
    if (!GetStr(this, "Rename Page", text, kPageCaptionMaxLength, false))
        return;
    // An empty text keeps the caption: a page always has a name.
    ShowChange(m_doc.RenamePage(p, text));
}

void TMainForm::EditTitleClick() {
    std::string text = m_doc.Title();
    if (!GetStr(this, "Rename Title", text, kTitleMaxLength, false))
        return;
    ShowChange(m_doc.SetTitle(text));
    setWindowTitle(TitleCaption(m_doc.Title()));
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
