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

    // The command set and its snapshot. A comparison of the old set ends.
    ForgetComparison();
    ForgetWatch();
    CmdsPageControl->setCurrentIndex(0);
    ShowChange(m_doc.Load(set, PathBytes(path), r.Encoding));

    // A fresh log and fresh traffic counts (panels 2, 4 and 6). The request
    // engine keeps the counts; the status bar's double click is their reset.
    Memo->Clear();
    StatusBarDblClick();

    const QString baseName = BaseName(path);
    Memo->AppendLine(QStringLiteral("%1 commands loaded from configuration file \"%2\"")
                         .arg(kSlotCount)
                         .arg(baseName));
    if (!set.Title.empty()) {
        setWindowTitle(TitleCaption(set.Title));
        Memo->AppendLine(QStringLiteral("Title: \"") + FromLatin1(set.Title) + QLatin1Char('"'));
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
    // What the component took, should it have refused a value.
    m_doc.SetSerial(PortSettings());
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
    QString path = FileName();
    if (path.isEmpty()) {
        path = m_dialogs.AskSaveConfigFile(this, path);
        if (path.isEmpty())
            return false;
    } else if (StampFile(PathBytes(path)) != m_fileStamp &&
               m_dialogs.AskWarning(this, kChangedOnDiskQuestion.arg(BaseName(path)),
                                    int(QMessageBox::Yes | QMessageBox::No)) != QMessageBox::Yes) {
        return false; // another program wrote it since: not overwritten unasked
    }
    // On a failure neither the name nor the snapshot is taken: the close
    // query still sees the unsaved changes, and the next save asks for a
    // name again. The texts go out as the file stored them (8-bit or UTF-8).
    const TConfigSaveResult r = m_doc.Save(PathBytes(path));
    if (!r.Ok) {
        ShowError(PathText(r.Message));
        return false;
    }
    m_fileStamp = StampFile(PathBytes(path));
    // Written, but the reader would refuse it (a setting outside its lists,
    // a value outside its range): say so while it can still be corrected.
    for (const std::string& w : r.Warnings)
        Memo->AppendLine(FromLatin1(w));
    StatusBar->SetPanel(7, BaseName(path));
    return true;
}

// ---- Close query --------------------------------------------------------------------

void TMainForm::FormCloseQuery(bool& CanClose) {
    if (!IsConfigModified()) {
        CanClose = true;
        return;
    }
    const QString question = PathText(m_doc.CloseQuestion());
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
    ShowChange(m_doc.DeleteAll());
}

// ---- Parameter defaults -------------------------------------------------------------

void TMainForm::DefaultClick() {
    ShowChange(m_doc.ShowDefault(CmdsPageControl->SelectedSlot()));
}

void TMainForm::StoreParameterDefault1Click() {
    const int s = CmdsPageControl->SelectedSlot();
    // A text that is not an integer throws; the handler guard shows it.
    ShowChange(m_doc.StoreDefault(s, ToLatin1(CmdsPageControl->EditText(s))));
}

void TMainForm::SetAllParameterDefaultsClick() {
    ShowChange(m_doc.ShowAllDefaults());
    Memo->AppendLine(QString::fromLatin1(kAllDefaultsSetLogLine));
    Memo->AppendLine(QString::fromLatin1(kSetAllReminderLogLine));
}

void TMainForm::StoreAllParameterDefaultsClick() {
    TSlotEditTexts texts;
    for (int i = 0; i < kSlotCount; ++i)
        texts[i] = ToLatin1(CmdsPageControl->EditText(i));
    // Stops with its conversion error at the first text that is not an
    // integer; the slots before it keep their new defaults.
    ShowChange(m_doc.StoreAllDefaults(texts));
    Memo->AppendLine(QString::fromLatin1(kAllDefaultsStoredLogLine));
    Memo->AppendLine(QString::fromLatin1(kSetAllReminderLogLine));
}
