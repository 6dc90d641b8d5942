// Configuration load, save, delete-all and the close query; parameter defaults.
//
// The file format, its checks and the atomic write live in config/; this file
// only moves values between those routines and the window.
#include "app/FormWidgets.h"
#include "app/HostApplication.h"
#include "app/Mainfrm.h"
#include "app/SlotPanel.h"
#include "app/link/PortWatch.h"
#include "comport/Lnkcomport.h"
#include "config/ConfigFile.h"
#include "config/ConfigState.h"
#include "config/ParamDefaults.h"
#include "dialogs/Dlgutils.h"

#include <QFile>
#include <QFileInfo>
#include <QMessageBox>

using namespace pmv;

namespace {

// The questions' texts break lines with '\n', which the box shows as a new line.
const QString kDeleteAllQuestion =
    QStringLiteral("Are you sure you want to\ndelete all loaded commands?");
const QString kChangedOnDiskQuestion =
    QStringLiteral("%1 has been changed on disk since it was loaded or saved.\nOverwrite it?");

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

void TMainForm::SetDialogs(TMainFormDialogs dialogs) {
    m_dialogs = std::move(dialogs);
}

// The command set as it stands on the window, with the port component's settings.
TConfigSet TMainForm::Config() const {
    TConfigSet set;
    set.CmdTable = CmdTable;
    set.Title = ConfigTitle;
    for (int p = 0; p < kPageCount; ++p)
        set.PageCaptions[p] = CmdsPageControl->PageCaption(p);
    set.ComPort = LNKCOMPort->Port();
    set.BaudRate = LNKCOMPort->BaudRate();
    set.DataBits = LNKCOMPort->DataBits();
    set.Parity = LNKCOMPort->Parity();
    set.StopBits = LNKCOMPort->StopBits();
    return set;
}

// ---- Load ---------------------------------------------------------------------------

void TMainForm::LoadConfigClick() {
    const QString path = m_dialogs.AskOpenConfigFile(this);
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
        Memo->AppendLine(FromLatin1(r.Message));
        return;
    case TConfigLoadStatus::Ok:
        break;
    }
    const TConfigSet& set = r.Set;

    // The command set and its snapshot.
    CmdsPageControl->setCurrentIndex(0);
    for (int i = 0; i < kSlotCount; ++i)
        ClearSlot(i);
    ConfigFileName = path;
    m_configEncoding = r.Encoding;
    ConfigTitle = set.Title;
    for (int p = 0; p < kPageCount; ++p)
        CmdsPageControl->SetPageCaption(p, set.PageCaptions[p]);
    CmdTable = set.CmdTable;
    SavedConfig = MakeSavedConfig(set);
    for (int i = 0; i < kSlotCount; ++i)
        ShowSlot(i);

    // A fresh log and fresh traffic counts (panels 2, 4 and 6). The request
    // engine keeps the counts; the status bar's double click is their reset.
    Memo->Clear();
    StatusBarDblClick();

    const QString baseName = BaseName(path);
    Memo->AppendLine(QStringLiteral("%1 commands loaded from configuration file \"%2\"")
                         .arg(kSlotCount)
                         .arg(baseName));
    if (!ConfigTitle.empty()) {
        setWindowTitle(TitleCaption(ConfigTitle));
        Memo->AppendLine(QStringLiteral("Title: \"") + FromLatin1(ConfigTitle) + QLatin1Char('"'));
    }
    StatusBar->SetPanel(7, baseName);
    m_fileStamp = StampFile(PathBytes(path));
    MentionRecoveryCopies(QFileInfo(path).absolutePath(), QFileInfo(path).fileName());

    // Reopen the port with the file's settings, whether or not it was open.
    m_watch->Stop();
    LNKCOMPort->Close();
    LNKCOMPort->SetPort1(set.ComPort);
    LNKCOMPort->SetBaudRate(set.BaudRate);
    LNKCOMPort->SetDataBits(set.DataBits);
    LNKCOMPort->SetParity(set.Parity);
    LNKCOMPort->SetStopBits(set.StopBits);
    if (OpenPortOrSayWhy(QString::asprintf("ERROR: - unable to open COM%d", LNKCOMPort->Port())))
        StatusBar->SetPanel(0, OpenPortStatusText());
    else
        StatusBar->SetPanel(0, QStringLiteral("COM Closed"));
}

// ---- Save ---------------------------------------------------------------------------

void TMainForm::SaveConfigClick() {
    SaveConfigFile();
}

bool TMainForm::SaveConfigFile() {
    QString path = ConfigFileName;
    if (path.isEmpty()) {
        path = m_dialogs.AskSaveConfigFile(this, ConfigFileName);
        if (path.isEmpty())
            return false;
    } else if (StampFile(PathBytes(path)) != m_fileStamp &&
               m_dialogs.AskWarning(this, kChangedOnDiskQuestion.arg(BaseName(path)),
                                    int(QMessageBox::Yes | QMessageBox::No)) != QMessageBox::Yes) {
        return false; // another program wrote it since: not overwritten unasked
    }
    const TConfigSet set = Config();
    const TConfigSaveResult r = pmv::SaveConfigFile(PathBytes(path), set, m_configEncoding);
    if (!r.Ok) {
        // Neither the name nor the snapshot is taken: the close query still
        // sees the unsaved changes, and the next save asks for a name again.
        ShowError(PathText(r.Message));
        return false;
    }
    ConfigFileName = path;
    SavedConfig = MakeSavedConfig(set);
    m_fileStamp = StampFile(PathBytes(path));
    // Written, but the reader would refuse it (a setting outside its lists,
    // a value outside its range): say so while it can still be corrected.
    for (const std::string& w : r.Warnings)
        Memo->AppendLine(FromLatin1(w));
    StatusBar->SetPanel(7, BaseName(path));
    return true;
}

// ---- Close query --------------------------------------------------------------------

bool TMainForm::IsConfigModified() const {
    TPageCaptions captions;
    for (int p = 0; p < kPageCount; ++p)
        captions[p] = CmdsPageControl->PageCaption(p);
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
    switch (m_dialogs.AskWarning(this, question,
                                 int(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel))) {
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
    if (m_dialogs.AskWarning(this, kDeleteAllQuestion,
                             int(QMessageBox::Ok | QMessageBox::Cancel)) != QMessageBox::Ok)
        return;
    for (int i = 0; i < kSlotCount; ++i) {
        ClearSlot(i);
        ShowSlot(i);
    }
}

// ---- Parameter defaults -------------------------------------------------------------

void TMainForm::DefaultClick() {
    ShowSlot(CmdsPageControl->SelectedSlot());
}

void TMainForm::StoreParameterDefault1Click() {
    const int s = CmdsPageControl->SelectedSlot();
    // A text that is not an integer throws; the handler guard shows it.
    pmv::StoreParameterDefault(CmdTable[s], ToLatin1(CmdsPageControl->EditText(s)));
}

void TMainForm::SetAllParameterDefaultsClick() {
    for (int i = 0; i < kSlotCount; ++i)
        ShowSlot(i);
    Memo->AppendLine(QString::fromLatin1(kAllDefaultsSetLogLine));
    Memo->AppendLine(QString::fromLatin1(kSetAllReminderLogLine));
}

void TMainForm::StoreAllParameterDefaultsClick() {
    TSlotEditTexts texts;
    for (int i = 0; i < kSlotCount; ++i)
        texts[i] = ToLatin1(CmdsPageControl->EditText(i));
    // Stops with its conversion error at the first text that is not an
    // integer; the slots before it keep their new defaults.
    pmv::StoreAllParameterDefaults(CmdTable, texts);
    Memo->AppendLine(QString::fromLatin1(kAllDefaultsStoredLogLine));
    Memo->AppendLine(QString::fromLatin1(kSetAllReminderLogLine));
}
