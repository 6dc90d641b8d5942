// The main window: menus, tool bar, the command panel, the log and the status
// bar. It owns the command set as a document (pmv::TCommandSet: records,
// title, page captions, serial settings, file name, snapshot, clipboard), the
// serial port component and the target link, and wires the events of the
// menus and of the panel to its handlers. A handler asks the operator what it
// must, runs the document's operation and shows the change it returns
// (ShowChange). The panel (TSlotPanel) shows the slots and reports what
// happens on them; the link (pmv::TPortLink) runs the requests. Handler
// bodies live in one file per area:
//   Mainfrm.cpp        construction, menus, window events
//   MainfrmConfig.cpp  configuration load, save, delete-all, close query, defaults
//   MainfrmLink.cpp    the target link, Get All / Set All, value entry, port control
//   MainfrmEdit.cpp    slot popup operations, page rename, title, log-in, about
//   MainfrmCompare.cpp the comparison window, Send Selected, Take Values, snapshots
//   MainfrmRecovery.cpp  the end on a signal and its recovery copies
//   MainfrmLog.cpp     time stamps, Save Log As, the traffic window
#pragma once

#include "app/FormDialogs.h"
#include "config/CmdRecord.h"
#include "config/CommandSet.h"
#include "config/Comparison.h"
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
class TCompareForm;
class TFormLinkView;
class TFormWatchView;
class TLogView;
class TRepaintPacer;
class TSlotPanel;
class TStatusLine;
class TTrafficForm;

namespace QORLNK {
class TLNKCOMPort;
class TLNKCOMDlg;
} // namespace QORLNK

namespace pmv {
class TCompareRun;
class TPortLink;
class TPortWatch;
class TRunView;
} // namespace pmv

class TMainForm : public QMainWindow {
    Q_OBJECT

public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    // The command set the window shows.
    const pmv::TCommandSet& Document() const { return m_doc; }
    // The record of a slot (0..191); an empty record for any other index.
    const pmv::TCmdRecord& Slot(int index) const { return m_doc.Record(index); }
    // Replaces a slot's record and shows it, as the command editor's OK does.
    void SetSlot(int index, const pmv::TCmdRecord& record);
    // The command set with the title, the page captions and the port's
    // settings: what "&Save Config" writes.
    const pmv::TConfigSet& Config() const { return m_doc.Config(); }
    // Full path of the configuration file last loaded or saved; empty before.
    QString FileName() const;
    // The close query's comparison of the current state with the snapshot.
    bool IsConfigModified() const { return m_doc.IsModified(); }

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
    // The comparison window (none before the first comparison), what it
    // shows, and the run that reads and sends its rows.
    TCompareForm* CompareWindow() const { return m_compareForm; }
    const pmv::TSetComparison& Comparison() const { return m_comparison; }
    const pmv::TCompareRun& CompareRun() const { return *m_run; }
    // The traffic window (none before "&Traffic…" was first chosen).
    TTrafficForm* TrafficWindow() const { return m_trafficForm; }

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
    // A menu item of the window by its object name.
    QAction* Action(const char* name) const;

    // ---- Slots and shared helpers -------------------------------------------------
    // Shows what a document operation changed: clears and shows slots, sets
    // caption colours and page captions, enables "&Paste".
    void ShowChange(const pmv::TSetChange& change);
    // Brings the slot's widgets in line with its record.
    void ShowSlot(int index);
    // Runs the command editor on a copy of the slot's record; OK stores the
    // edited record in the document, shows it and gives true.
    bool EditSlot(int index);
    // The port component's settings, as the document keeps them.
    pmv::TSerialSettings PortSettings() const;
    // Status panel 0 of an open port: "COM<n>: <baud> <data> <parity> <stop>".
    QString OpenPortStatusText() const;
    // Opens the port; when it does not open, logs failureLine and after it
    // the reason (which device, and why) in one line. True when open.
    bool OpenPortOrSayWhy(const QString& failureLine);

    // ---- Comparison and snapshots (MainfrmCompare.cpp) -------------------------------
    void BuildCompare();
    TCompareForm* ShowCompareWindow();
    // Set All, after reading the target's values into a snapshot beside the
    // configuration file (a set without a file has none).
    void SetAllWithSnapshot();
    // Writes the snapshot of what read holds and logs where. False (and
    // logged why) when it could not be written: then nothing may be sent.
    bool WriteTargetSnapshot(const pmv::TSetComparison& read);
    void CompareRunFinished();
    // The compared rows follow the file values of the slots that changed.
    void ComparedSlotsChanged(const pmv::TSlotSet& records);
    // Ends what the comparison was doing and empties its window: the set it
    // compared is gone.
    void ForgetComparison();

    // ---- The log and the traffic window (MainfrmLog.cpp) ------------------------------
    void BuildLog();
    void SaveLogAsClick();
    void TrafficClick();

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
    // Commands menu, after the specified items, and the comparison window.
    void CompareWithTargetClick();
    void CompareWithFileClick();
    void SendSelectedClick();
    void TakeValuesClick();
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
    // The command set: CmdTable, ConfigTitle, the page captions, the serial
    // settings, ConfigFileName, SavedConfig and the slot clipboard. The link
    // reads its table, so it comes before the link.
    pmv::TCommandSet m_doc;
    pmv::TFileStamp m_fileStamp; // the file on disk after the last load or save
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
    std::unique_ptr<pmv::TRunView> m_runView; // in front of m_linkView
    std::unique_ptr<pmv::TPortLink> m_link;   // after the views: goes before them
    std::unique_ptr<TFormWatchView> m_watchView;
    std::unique_ptr<pmv::TPortWatch> m_watch; // after its view: goes before it
    // The comparison: its run (after the link and the views: goes first),
    // the rows the window shows, and those Set All's snapshot reads.
    std::unique_ptr<pmv::TCompareRun> m_run;
    enum class TRunPurpose { Compare, Send, SetAllSnapshot };
    TRunPurpose m_runPurpose = TRunPurpose::Compare;
    pmv::TSetComparison m_comparison;
    bool m_comparisonWithTarget = false;
    pmv::TSetComparison m_snapshotRead;
    QString m_sendNote; // what the snapshot before a send did
    TCompareForm* m_compareForm = nullptr;
    TTrafficForm* m_trafficForm = nullptr;
    bool m_shown = false;
    bool m_destroying = false;
};
