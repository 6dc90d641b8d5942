// Configuration load, save, delete-all and the close query; parameter defaults.
//
// The file format, its checks and the atomic write live in config/; this file
// only moves values between those routines and the window.
#include "app/HostApplication.h"
#include "app/Mainfrm.h"
#include "comport/Lnkcomport.h"
#include "config/ConfigFile.h"
#include "config/ConfigState.h"
#include "config/ParamDefaults.h"

#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTabWidget>

using namespace pmv;

namespace {

const QString ConfigFileFilter = QStringLiteral("INI Files (*.ini)");
const QString ConfigStartFolder = QStringLiteral(".");

// The questions' texts break lines with '\n', which the box shows as a new line.
const QString DeleteAllQuestion =
    QStringLiteral("Are you sure you want to\ndelete all loaded commands?");

QString Latin1(const std::string& s) {
    return QString::fromLatin1(s.data(), qsizetype(s.size()));
}

// Paths travel to config/ as bytes in the local file-name encoding, and
// messages that name them come back the same way.
std::string PathBytes(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

QString PathText(const std::string& bytes) {
    return QFile::decodeName(QByteArray(bytes.data(), qsizetype(bytes.size())));
}

QString BaseName(const QString& path) {
    return PathText(ConfigFileBaseName(PathBytes(path)));
}

} // namespace

// ---- Modal boxes and file dialogs ---------------------------------------------------

namespace {

int AskWarning(TMainForm& form, const QString& text, QMessageBox::StandardButtons buttons) {
    if (form.Dialogs.Warning)
        return form.Dialogs.Warning(text, int(buttons));
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Warning"), text, buttons, &form);
    // Yes/No/Cancel and OK/Cancel: the first button is the default one, and
    // Escape or the close box gives Cancel.
    box.setDefaultButton(buttons.testFlag(QMessageBox::Yes) ? QMessageBox::Yes : QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Cancel);
    return box.exec();
}

QString RunOpenDialog(TMainForm& form) {
    if (form.Dialogs.OpenConfigFile)
        return form.Dialogs.OpenConfigFile();
    QFileDialog dlg(&form, QString(), ConfigStartFolder, ConfigFileFilter);
    dlg.setAcceptMode(QFileDialog::AcceptOpen);
    dlg.setFileMode(QFileDialog::ExistingFile);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return {};
    return dlg.selectedFiles().constFirst();
}

QString RunSaveDialog(TMainForm& form, const QString& fileName) {
    if (form.Dialogs.SaveConfigFile)
        return form.Dialogs.SaveConfigFile(fileName);
    QFileDialog dlg(&form, QString(), ConfigStartFolder, ConfigFileFilter);
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setFileMode(QFileDialog::AnyFile);
    dlg.setDefaultSuffix(QStringLiteral("ini"));
    dlg.setOption(QFileDialog::DontConfirmOverwrite);
    if (!fileName.isEmpty())
        dlg.selectFile(fileName);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return {};
    return dlg.selectedFiles().constFirst();
}

// The command set as it stands on the window, with the port component's settings.
TConfigSet CurrentConfigSet(const TMainForm& form) {
    TConfigSet set;
    set.CmdTable = form.CmdTable;
    set.Title = form.ConfigTitle;
    for (int p = 0; p < PageCount; ++p)
        set.PageCaptions[p] = form.PageCaption(p);
    const QORLNK::TLNKCOMPort& port = *form.LNKCOMPort;
    set.ComPort = port.Port();
    set.BaudRate = port.BaudRate();
    set.DataBits = port.DataBits();
    set.Parity = port.Parity();
    set.StopBits = port.StopBits();
    return set;
}

} // namespace

// ---- Load ---------------------------------------------------------------------------

void TMainForm::LoadConfigClick() {
    const QString path = RunOpenDialog(*this);
    if (path.isEmpty())
        return;
    LoadConfigFromFile(path);
}

void TMainForm::LoadConfigFromFile(const QString& path) {
    const TConfigLoadResult r = pmv::LoadConfigFile(PathBytes(path));
    switch (r.Status) {
    case TConfigLoadStatus::CannotOpen:
        ShowError(PathText(r.Message));
        return;
    case TConfigLoadStatus::Invalid:
        Log(Latin1(r.Message));
        return;
    case TConfigLoadStatus::Ok:
        break;
    }
    const TConfigSet& set = r.Set;

    // The command set and its snapshot.
    CmdsPageControl->setCurrentIndex(0);
    for (int i = 0; i < SlotCount; ++i)
        ClearSlot(i);
    ConfigFileName = path;
    ConfigTitle = set.Title;
    for (int p = 0; p < PageCount; ++p)
        SetPageCaption(p, set.PageCaptions[p]);
    CmdTable = set.CmdTable;
    SavedConfig = MakeSavedConfig(set);
    for (int i = 0; i < SlotCount; ++i)
        ShowSlot(i);

    // A fresh log and fresh traffic counts (panels 2, 4 and 6). The request
    // engine keeps the counts; the status bar's double click is their reset.
    Memo->clear();
    StatusBarDblClick();

    const QString baseName = BaseName(path);
    Log(QStringLiteral("%1 commands loaded from configuration file \"%2\"")
            .arg(SlotCount)
            .arg(baseName));
    if (!ConfigTitle.empty()) {
        setWindowTitle(TitleCaption(ConfigTitle));
        Log(QStringLiteral("Title: \"") + Latin1(ConfigTitle) + QLatin1Char('"'));
    }
    SetStatusPanel(7, baseName);

    // Reopen the port with the file's settings, whether or not it was open.
    LNKCOMPort->Close();
    LNKCOMPort->SetPort1(set.ComPort);
    LNKCOMPort->SetBaudRate(set.BaudRate);
    LNKCOMPort->SetDataBits(set.DataBits);
    LNKCOMPort->SetParity(set.Parity);
    LNKCOMPort->SetStopBits(set.StopBits);
    LNKCOMPort->Open();
    if (LNKCOMPort->GetOpened()) {
        SetStatusPanel(0, OpenPortStatusText());
    } else {
        SetStatusPanel(0, QStringLiteral("COM Closed"));
        Log(QString::asprintf("ERROR: - unable to open COM%d", LNKCOMPort->Port()));
    }
}

// ---- Save ---------------------------------------------------------------------------

void TMainForm::SaveConfigClick() {
    SaveConfigFile();
}

bool TMainForm::SaveConfigFile() {
    QString path = ConfigFileName;
    if (path.isEmpty()) {
        path = RunSaveDialog(*this, ConfigFileName);
        if (path.isEmpty())
            return false;
    }
    const TConfigSet set = CurrentConfigSet(*this);
    const TConfigSaveResult r = pmv::SaveConfigFile(PathBytes(path), set);
    if (!r.Ok) {
        // Neither the name nor the snapshot is taken: the close query still
        // sees the unsaved changes, and the next save asks for a name again.
        ShowError(PathText(r.Message));
        return false;
    }
    ConfigFileName = path;
    SavedConfig = MakeSavedConfig(set);
    // Written, but the reader would refuse it (a setting outside its lists,
    // a value outside its range): say so while it can still be corrected.
    for (const std::string& w : r.Warnings)
        Log(Latin1(w));
    SetStatusPanel(7, BaseName(path));
    return true;
}

// ---- Close query --------------------------------------------------------------------

bool TMainForm::IsConfigModified() const {
    TPageCaptions captions;
    for (int p = 0; p < PageCount; ++p)
        captions[p] = PageCaption(p);
    return pmv::IsConfigModified(ConfigTitle, captions, LNKCOMPort->Port(),
                                 int(LNKCOMPort->BaudRate()), int(LNKCOMPort->Parity()), CmdTable,
                                 SavedConfig);
}

void TMainForm::FormCloseQuery(bool& CanClose) {
    if (!IsConfigModified()) {
        CanClose = true;
        return;
    }
    const QString question = PathText(CloseQueryPrompt(PathBytes(ConfigFileName)));
    switch (AskWarning(*this, question, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel)) {
    case QMessageBox::Yes:
        // A cancelled save dialog or a failed write keeps the window open,
        // so that the changes are not lost without a word.
        CanClose = SaveConfigFile();
        break;
    case QMessageBox::No:
        CanClose = true;
        break;
    default:
        CanClose = false;
        break;
    }
}

// ---- Delete all ---------------------------------------------------------------------

void TMainForm::DeleteAllCommandsClick() {
    if (AskWarning(*this, DeleteAllQuestion, QMessageBox::Ok | QMessageBox::Cancel) !=
        QMessageBox::Ok)
        return;
    for (int i = 0; i < SlotCount; ++i) {
        ClearSlot(i);
        ShowSlot(i);
    }
}

// ---- Parameter defaults -------------------------------------------------------------

void TMainForm::DefaultClick() {
    ShowSlot(SelectedSlot);
}

void TMainForm::StoreParameterDefault1Click() {
    if (SelectedSlot < 0 || SelectedSlot >= SlotCount)
        return;
    // A text that is not an integer throws; the handler guard shows it.
    pmv::StoreParameterDefault(CmdTable[SelectedSlot],
                               SlotCtrls[SelectedSlot].edit->text().toLatin1().toStdString());
}

void TMainForm::SetAllParameterDefaultsClick() {
    for (int i = 0; i < SlotCount; ++i)
        ShowSlot(i);
    Log(QString::fromLatin1(AllDefaultsSetLogLine));
    Log(QString::fromLatin1(SetAllReminderLogLine));
}

void TMainForm::StoreAllParameterDefaultsClick() {
    TSlotEditTexts texts;
    for (int i = 0; i < SlotCount; ++i)
        texts[i] = SlotCtrls[i].edit->text().toLatin1().toStdString();
    // Stops with its conversion error at the first text that is not an
    // integer; the slots before it keep their new defaults.
    pmv::StoreAllParameterDefaults(CmdTable, texts);
    Log(QString::fromLatin1(AllDefaultsStoredLogLine));
    Log(QString::fromLatin1(SetAllReminderLogLine));
}
