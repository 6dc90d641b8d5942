// The main window: menus, tool bar, the command panel, the log and the status
// bar. It owns the command set (CmdTable, ConfigTitle, the page captions) and
// its snapshot (SavedConfig), the serial port component and the target link,
// and wires the events of the menus and of the panel to its handlers. The
// panel (TSlotPanel) shows the slots and reports what happens on them; the
// link (pmv::TPortLink) runs the requests. Handler bodies live in one file
// per area:
//   Mainfrm.cpp        construction, menus, window events
//   MainfrmConfig.cpp  configuration load, save, delete-all, close query, defaults
//   MainfrmLink.cpp    the target link, Get All / Set All, value entry, port control
//   MainfrmEdit.cpp    slot popup operations, page rename, title, log-in, about
//   MainfrmRecovery.cpp  the end on a signal and its recovery copies
#pragma once

#include "app/FormDialogs.h"
#include "config/CmdRecord.h"
#include "config/ConfigFile.h"
#include "config/Recovery.h"

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <memory>
#include <string>

class QAction;
class QColorDialog;
class QMenu;
class QTimer;
class TFormLinkView;
class TFormWatchView;
class TLogView;
class TRepaintPacer;
class TSlotPanel;
class TStatusLine;

namespace QORLNK {
class TLNKCOMPort;
class TLNKCOMDlg;
} // namespace QORLNK

namespace pmv {
class TPortLink;
class TPortWatch;
} // namespace pmv

class TMainForm : public QMainWindow {
    Q_OBJECT

public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    // The record of a slot (0..191); an empty record for any other index.
    const pmv::TCmdRecord& Slot(int index) const;
    // Replaces a slot's record and shows it, as the command editor's OK does.
    void SetSlot(int index, const pmv::TCmdRecord& record);
    // The command set with the title, the page captions and the port's
    // settings: what "&Save Config" writes.
    pmv::TConfigSet Config() const;
    // Full path of the configuration file last loaded or saved; empty before.
    const QString& FileName() const { return ConfigFileName; }
    // The close query's comparison of the current state with the snapshot.
    bool IsConfigModified() const;

    // "&Load Config" after its dialog: reads and checks path and puts it into
    // effect, reopening the port with its settings.
    void LoadConfigFromFile(const QString& path);
    // "&Save Config": asks for a name only while no file is known, writes the
    // file and takes the snapshot. True when written; false when the dialog
    // was cancelled or the write failed (error box shown).
    bool SaveConfigFile();
    void SetDialogs(TMainFormDialogs dialogs);
    // The program is ending on a signal (SIGTERM, SIGINT, SIGHUP) instead of
    // through the window: closes the port through the component and keeps
    // unsaved changes in a recovery copy beside the file, never over it.
    // Returns the line to print on standard error.
    std::string EndBySignal(int signal);
    // Logs a line for each recovery copy in folder (only those of the file
    // configName, when given) and returns the lines.
    QStringList MentionRecoveryCopies(const QString& folder, const QString& configName = {});
    // The window's target link (for measurements).
    pmv::TPortLink& Link() { return *m_link; }
    // The window repaints at most once per frame (app/RepaintPacer.h).
    const TRepaintPacer& Pacer() const { return *m_pacer; }

    // "QXM300 Controller Host V1.8: "<title>"" or, for an empty title,
    // "QXM300 Controller Host V1.8".
    static QString TitleCaption(const std::string& title);
    // "PMV Controller Host V1.8", the caption at show time.
    static QString StartCaption();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // ---- Construction (Mainfrm.cpp, MainfrmLink.cpp) -------------------------------
    void BuildComponents();
    void BuildMenus();
    void BuildLink();
    void CentreOnScreen();

    // ---- Slots and shared helpers -------------------------------------------------
    // Clears the record (keeping its Disabled flag) and empties and disables
    // the two buttons. Callers follow it with ShowSlot(). Out of range: nothing.
    void ClearSlot(int index);
    // Brings the slot's widgets in line with CmdTable[index].
    void ShowSlot(int index);
    // Runs the command editor on a copy of CmdTable[index]; OK stores the
    // edited record and gives true.
    bool EditSlot(int index);
    // Status panel 0 of an open port: "COM<n>: <baud> <data> <parity> <stop>".
    QString OpenPortStatusText() const;
    // Opens the port; when it does not open, logs failureLine and after it
    // the reason (which device, and why) in one line. True when open.
    bool OpenPortOrSayWhy(const QString& failureLine);

    // ---- Handlers -------------------------------------------------------------------
    // File menu.
    void LogInClick();
    void LoadConfigClick();
    void SaveConfigClick();
    void EditTitleClick();
    void ExitClick();
    // COM menu.
    void COMSettingsClick();
    void COMOpenClick();
    void COMCloseClick();
    // Commands menu.
    void DeleteAllCommandsClick();
    void SetAllParameterDefaultsClick();
    void StoreAllParameterDefaultsClick();
    void GetAllParametersClick();
    void SetAllParametersClick();
    // Help menu.
    void AboutClick();
    // Slot popup menu (acts on the panel's SelectedSlot).
    void EditClick();
    void CopyClick();
    void CutClick();
    void Paste1Click();
    void DeleteClick();
    void ColourClick();
    void Disable1Click();
    void DefaultClick();
    void StoreParameterDefault1Click();
    // Page popup menu (acts on the active page).
    void RenameClick();
    // Window events.
    void FormShow();
    void FormCloseQuery(bool& CanClose);
    void FormMouseWheelUp(bool& Handled);
    void FormMouseWheelDown(bool& Handled);
    void StatusBarDblClick();
    void MemoDblClick();

    // ---- State --------------------------------------------------------------------
    pmv::TCmdTable CmdTable{};
    std::string ConfigTitle;       // 8-bit text; empty: no title
    QString ConfigFileName;        // empty until the first load or save
    pmv::TSavedConfig SavedConfig; // state after the last load or save
    pmv::TFileStamp m_fileStamp;   // ConfigFileName on disk after the last load or save
    // How the file last loaded stored its texts; a save writes them so again.
    pmv::TTextEncoding m_configEncoding = pmv::TTextEncoding::EightBit;
    // Slot clipboard of the popup menu (not the system clipboard).
    pmv::TCmdRecord ClipCmd;
    bool ClipCutPending = false;
    int ClipSource = 0;
    TMainFormDialogs m_dialogs;

    // ---- Components and widgets ---------------------------------------------------
    QORLNK::TLNKCOMPort* LNKCOMPort = nullptr;
    QORLNK::TLNKCOMDlg* LNKCOMDlg = nullptr;
    QTimer* RxTimer = nullptr;           // the 200 ms reply timer
    QColorDialog* ColorDialog = nullptr; // created on first use
    TSlotPanel* CmdsPageControl = nullptr;
    TLogView* Memo = nullptr;
    TStatusLine* StatusBar = nullptr;
    QMenu* OptionsMenu = nullptr;
    QMenu* CmdPopupMenu = nullptr;
    QMenu* TabNamingPopupMenu = nullptr;
    QAction* Paste1 = nullptr;
    QObject* m_wheelSource = nullptr;
    TRepaintPacer* m_pacer = nullptr;
    std::unique_ptr<TFormLinkView> m_linkView;
    std::unique_ptr<pmv::TPortLink> m_link; // after the view: goes before it
    std::unique_ptr<TFormWatchView> m_watchView;
    std::unique_ptr<pmv::TPortWatch> m_watch; // after its view: goes before it
    bool m_shown = false;
    bool m_destroying = false;
};
