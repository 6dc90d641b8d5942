// The main window: menus, tool bar, the tabbed panel of 192 command slots,
// the log and the status bar.
//
// The window owns the command set (CmdTable, ConfigTitle, the page captions)
// and its snapshot (SavedConfig). A record reaches the screen only through
// ShowSlot(), and every operation reaches a slot's widgets only through
// SlotCtrls[index]. Widget events are routed to the handler methods below;
// their bodies live in one file per area:
//   Mainfrm.cpp        construction, layout, ShowSlot/ClearSlot, show, exit
//   MainfrmConfig.cpp  configuration load, save, delete-all, close query, defaults
//   MainfrmLink.cpp    requests, Get All / Set All, value entry, port control
//   MainfrmEdit.cpp    slot popup operations, page rename, title, log-in, about
#pragma once

#include "config/CmdRecord.h"

#include <QColor>
#include <QHash>
#include <QMainWindow>
#include <QString>

#include <array>
#include <functional>
#include <memory>
#include <string>

class QAction;
class QColorDialog;
class QGroupBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;
class QStyle;
class QTabWidget;
class QTimer;
class QToolBar;

namespace QORLNK {
class TLNKCOMPort;
class TLNKCOMDlg;
class TLNKCOMRxThread;
} // namespace QORLNK

namespace pmv {
class TRequestEngine;
} // namespace pmv

// The request engine with its port, timer and view adapters
// (MainfrmLinkAdapters.h).
class TMainFormLink;
struct TMainFormLinkDeleter {
    void operator()(TMainFormLink* link) const;
};

// The four widgets of one slot, in the order group box, Get, Set, edit.
struct TSlotCtrls {
    QGroupBox* box = nullptr;
    QPushButton* get = nullptr;
    QPushButton* set = nullptr;
    QLineEdit* edit = nullptr;
};

// The modal questions and file dialogs of the window. An empty member shows
// the toolkit's own box or dialog; tests put their own answers in.
struct TMainFormDialogs {
    // Warning box with the given QMessageBox::StandardButtons; returns the
    // button chosen (closing the box gives its escape button, Cancel).
    std::function<int(const QString& text, int buttons)> Warning;
    // Open dialog for a configuration file: the chosen existing file, or
    // an empty text when cancelled.
    std::function<QString()> OpenConfigFile;
    // Save dialog starting with fileName: the chosen path, or an empty text
    // when cancelled.
    std::function<QString(const QString& fileName)> SaveConfigFile;
};

class TMainForm : public QMainWindow {
    Q_OBJECT

public:
    static constexpr int ClientWidth = 501;
    static constexpr int ClientHeight = 483;
    static constexpr int StatusPanelCount = 8;
    static constexpr int NumericEditMaxLength = 6;
    static constexpr int StringEditMaxLength = 80;

    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    // ---- Command set and its snapshot --------------------------------------
    pmv::TCmdTable CmdTable{};
    std::string ConfigTitle;       // 8-bit text; empty: no title
    QString ConfigFileName;        // full path of the current configuration file; empty until
                                   // the first load or save
    int SelectedSlot = 0;          // slot last pressed with the mouse; the popup acts on it
    pmv::TSavedConfig SavedConfig; // state after the last load or save

    // Slot clipboard of the popup menu (not the system clipboard).
    pmv::TCmdRecord ClipCmd;
    bool ClipCutPending = false;
    int ClipSource = 0;

    // Traffic counters shown in status panels 2, 4 and 6: copies of the
    // request engine's, which counts; reset them with LinkEngine().ResetCounters().
    int TxCount = 0;
    int RxCount = 0;
    int RxTOCount = 0;

    // Non-visual components owned by the window: the serial port, its
    // settings dialog component and the 200 ms reply timer (disabled at start).
    QORLNK::TLNKCOMPort* LNKCOMPort = nullptr;
    QORLNK::TLNKCOMDlg* LNKCOMDlg = nullptr;
    QTimer* RxTimer = nullptr;
    // Modal boxes and file dialogs (see TMainFormDialogs).
    TMainFormDialogs Dialogs;
    // The colour dialog of "C&olour" (solid colours), created on first use.
    QColorDialog* ColorDialog = nullptr;

    // ---- Widgets --------------------------------------------------------------
    std::array<TSlotCtrls, pmv::SlotCount> SlotCtrls{};

    QToolBar* MainToolBar = nullptr;
    QTabWidget* CmdsPageControl = nullptr;
    std::array<QWidget*, pmv::PageCount> CmdPageTabSheets{};
    QPlainTextEdit* Memo = nullptr;
    QStatusBar* StatusBar = nullptr;
    std::array<QLabel*, StatusPanelCount> StatusPanels{};

    // Main menu.
    QMenu* FileMenu = nullptr;
    QMenu* COMMenu = nullptr;
    QMenu* CommandsMenu = nullptr;
    QMenu* OptionsMenu = nullptr;
    QMenu* HelpMenu = nullptr;
    QAction* LogIn = nullptr;
    QAction* LoadConfig = nullptr;
    QAction* SaveConfig = nullptr;
    QAction* EditTitle = nullptr;
    QAction* Exit = nullptr;
    QAction* COMSettings = nullptr;
    QAction* COMOpen = nullptr;
    QAction* COMClose = nullptr;
    QAction* DeleteAllCommands = nullptr;
    QAction* SetAllParameterDefaults = nullptr;
    QAction* StoreAllParameterDefaults = nullptr;
    QAction* GetAllParameters = nullptr;
    QAction* SetAllParameters = nullptr;
    QAction* ShowTransmissions = nullptr;
    QAction* ShowUnframedReceptions = nullptr;
    QAction* ShowCommandDescription = nullptr;
    QAction* About = nullptr;

    // Slot popup menu and page popup menu.
    QMenu* CmdPopupMenu = nullptr;
    QAction* Edit = nullptr;
    QAction* Copy = nullptr;
    QAction* Cut = nullptr;
    QAction* Paste1 = nullptr;
    QAction* Delete = nullptr;
    QAction* Colour = nullptr;
    QAction* Disable1 = nullptr;
    QAction* Default = nullptr;
    QAction* StoreParameterDefault1 = nullptr;
    QMenu* TabNamingPopupMenu = nullptr;
    QAction* Rename = nullptr;

    // ---- Operations on slots and shared helpers -------------------------------
    // Clears the record (keeping its Disabled flag) and empties and disables the
    // two buttons. Callers follow it with ShowSlot(). Out-of-range: nothing.
    void ClearSlot(int index);
    // Brings the slot's four widgets in line with CmdTable[index].
    void ShowSlot(int index);
    // Runs the command editor on a copy of CmdTable[index]; OK stores the
    // edited record and gives true. Cancel or an index outside the table:
    // nothing changes, false.
    bool EditSlot(int index);
    // Font colour of the slot's caption (the group box title).
    void SetSlotCaptionColour(int index, const QColor& colour);
    QColor SlotCaptionColour(int index) const;

    // Page captions live in the tab texts; these convert to and from 8-bit text.
    std::string PageCaption(int page) const;
    void SetPageCaption(int page, const std::string& caption);

    void SetStatusPanel(int i, const QString& text);
    // Status panel 0 of an open port: "COM<n>: <baud> <data> <parity> <stop>".
    QString OpenPortStatusText() const;
    QString StatusPanel(int i) const;

    // Appends one line to the log; control characters in it are shown as
    // their symbols (a carriage return as U+240D), so it stays one line.
    void Log(const QString& line);

    // Check mark of the Options menu item at pos (0 Show Transmissions,
    // 1 Show Unframed Receptions, 2 Show Command Description).
    bool OptionChecked(int pos) const;

    // Writes a slot edit's text whole: the edits limit only what is typed
    // (6 characters, 80 for a string slot), not what the program shows.
    void SetSlotEditText(int index, const QString& text);
    // The typing limit of a slot edit.
    int SlotEditMaxLength(int index) const;

    // The target link: requests, runs, counters (MainfrmLink.cpp).
    pmv::TRequestEngine& LinkEngine() const;
    TMainFormLink& Link() const { return *FLink; }

    // "QXM300 Controller Host V1.8: "<title>"" or, for an empty title,
    // "QXM300 Controller Host V1.8".
    static QString TitleCaption(const std::string& title);
    // "PMV Controller Host V1.8", the caption at show time.
    static QString StartCaption();

    // ---- Handlers ---------------------------------------------------------------
    // File menu.
    void LogInClick();
    void LoadConfigClick();
    void SaveConfigClick();
    void EditTitleClick();
    void ExitClick();
    // What "&Save Config" runs: asks for a name only while ConfigFileName is
    // empty, writes the file and refreshes SavedConfig. True when written;
    // false when the dialog was cancelled or the write failed (error box shown).
    bool SaveConfigFile();
    // Steps of "&Load Config" after the open dialog: reads and checks path and
    // puts it into effect, reopening the port with its settings.
    void LoadConfigFromFile(const QString& path);
    // The close query's comparison of the current state with SavedConfig.
    bool IsConfigModified() const;
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
    // Slot popup menu (acts on SelectedSlot).
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
    // The per-slot family: one handler per event kind, for slot index 0..191.
    void SlotMouseDown(int index); // any mouse button on any of the four widgets
    void SlotGetButtonClick(int index);
    void SlotSetButtonClick(int index);
    void SlotEditExit(int index); // the edit lost the input focus
    void SlotEditKeyDown(int index, QKeyEvent* event);
    // Serial port and reply timer. LNKCOMPortRxChar runs inside the receive
    // thread's synchronized call, once per received byte.
    void LNKCOMPortRxChar(QORLNK::TLNKCOMRxThread* Sender, char ch);
    void RxTimerTimer();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildComponents();
    void BuildLink();
    void BuildMenus();
    void BuildToolBar();
    void BuildPages();
    void BuildSlot(int index);
    void BuildLogAndStatusBar();
    void CentreOnScreen();
    int SlotOf(const QObject* widget) const;
    void SetSlotCaption(int index, const QString& caption);

    QHash<const QObject*, int> FSlotOfWidget;
    std::array<QString, pmv::SlotCount> FSlotCaption{};
    std::array<QRgb, pmv::SlotCount> FSlotCaptionRgb{};
    std::array<bool, pmv::SlotCount> FSlotCaptionColourSet{};
    QList<QObject*> FNoHintButtons;
    QObject* FWheelSource = nullptr;
    QStyle* FPanelStyle = nullptr;
    std::unique_ptr<TMainFormLink, TMainFormLinkDeleter> FLink;
    bool FShown = false;
    bool FDestroying = false;
};
