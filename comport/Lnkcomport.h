// TLNKCOMPort: the serial port component of the QORLNK package.
//
// How data flows through the package: Open() opens "\\.\COM<Port>" for
// overlapped I/O and starts three workers. The receive thread reads one byte
// at a time and hands it to the user-interface thread through a synchronized
// call (OnRxChar, in order, the next read only after the handler has
// returned); the same call goes on reading and raising OnRxChar for the bytes
// the receive side already holds, so a burst costs one hand-over, not one
// per byte. TxData() hands a caller's block to the transmit thread, which
// writes it with one overlapped write and raises OnTxData once it is out:
// first thing in the next TxData() (within the reply's processing, usually,
// so the completion costs no wake-up of its own), during Close(), or
// TLNKCOMTxThread::kCompletionDelay after the write at the latest. The
// status thread waits for modem-line, break and error events and raises the
// line events. Every event, report and indicator change runs on the
// user-interface thread; the workers block in their synchronized call until
// it has run, and there is no other lock. Failures never show a message: each
// goes through Report() to OnReport. Close() stops the workers (running
// their pending synchronized calls meanwhile, so handlers can run during
// Close) and undoes exactly the open steps that were done.
//
// When a worker finds the device gone (unplugged, or the peer of a
// pseudo-terminal closed), its failure is reported as always and the port
// raises OnDeviceLost once, later, from its own queued call on the
// user-interface thread, so the handler may close the port.
//
// Lifetime: the port may be destroyed from inside any of its event handlers
// (OnRxChar, OnTxData, the line events, OnOpen, OnClose, OnDeviceLost, and
// OnReport raised by a worker); the workers then never touch it again and
// are released once the handler has returned. Not allowed: destroying it
// from OnReport raised by one of its own methods, or from an OnClose that
// its destructor raised.
#pragma once

#include "comport/LnkTypes.h"
#include "comport/Lnkcomponent.h"
#include "platform/winapi.h"

#include <QMetaObject>
#include <array>
#include <functional>
#include <memory>
#include <string>

namespace QORLNK {

class TLNKCOMIndicator;
class TLNKCOMPort;
class TLNKCOMThread;
class TLNKCOMStatusThread;
class TLNKCOMRxThread;
class TLNKCOMTxThread;

/// OnReport(Sender, aReportType, aSrcFunc, aDesc, aSrcFile, aSrcLine, aAPIErr).
/// aSrcFunc: the routine that found the problem; aDesc: the failing system
/// call or a message; aSrcFile: the source unit (TLNKCOMPort or a worker
/// class name); aAPIErr: the system error code, 0 when no system call failed.
using TLNKReportEvent = std::function<void(TLNKCOMPort* Sender, TReportType aReportType,
                                           const std::string& aSrcFunc, const std::string& aDesc,
                                           const std::string& aSrcFile, int aSrcLine, int aAPIErr)>;
/// OnOpen / OnClose(Sender).
using TLNKNotifyEvent = std::function<void(TLNKCOMPort* Sender)>;
/// OnRxChar(Sender = the receive thread, aCh = the byte received).
using TLNKRxCharEvent = std::function<void(TLNKCOMRxThread* Sender, char aCh)>;
/// OnTxData(Sender = the transmit thread, aLen = bytes written).
using TLNKTxDataEvent = std::function<void(TLNKCOMTxThread* Sender, int aLen)>;
/// OnRxBreak / OnRxError(Sender = the status thread).
using TLNKStatusEvent = std::function<void(TLNKCOMStatusThread* Sender)>;
/// OnCTS / OnDSR / OnRI / OnCD(Sender = the status thread, aLevel = the line
/// level read when the handler runs).
using TLNKLineEvent = std::function<void(TLNKCOMStatusThread* Sender, bool aLevel)>;

/// Number of TIndicatorType values.
constexpr int IndicatorCount = 10;

/// The serial port component. All members are for the user-interface thread.
class TLNKCOMPort : public TLNKComponent {
    Q_OBJECT
public:
    /// @param AOwner     owner (QObject parent)
    /// @param ADesigning design mode (form designer); the program runs in run mode
    explicit TLNKCOMPort(QObject* AOwner = nullptr, bool ADesigning = false);
    /// Closes the port if it is open (raising OnClose).
    ~TLNKCOMPort() override;

    // ---- settings (see the setters for their rules) ----
    const std::string& Copyright() const { return FCopyright; }
    const std::string& Version() const { return FVersion; }
    /// Highest port number dealt with, 1..256 (default 32).
    int COMMax() const { return FCOMMax; }
    TEnumMode EnumMode() const { return FEnumMode; }
    /// Port number n; the device opened is "\\.\COM<n>".
    int Port() const { return FPort; }
    TBaudRate BaudRate() const { return FBaudRate; }
    TDataBits DataBits() const { return FDataBits; }
    TParity Parity() const { return FParity; }
    TStopBits StopBits() const { return FStopBits; }
    /// While open: the driver's input queue size after the open set it;
    /// while closed: the property value (1024..512000, default 20480).
    int GetRxQueueSize() const;
    /// As GetRxQueueSize, for the output queue.
    int GetTxQueueSize() const;
    /// True exactly while a device handle is held.
    bool GetOpened() const { return FHandle != nullptr; }
    bool RTSInitialLevel() const { return FRTSInitialLevel; }
    bool DTRInitialLevel() const { return FDTRInitialLevel; }
    /// The indicator control referred to for type (null when none).
    TLNKCOMIndicator* GetIndicator(TIndicatorType type) const;
    TLNKCOMIndicator* CTSIndicator() const { return GetIndicator(itCTS); }
    TLNKCOMIndicator* DSRIndicator() const { return GetIndicator(itDSR); }
    TLNKCOMIndicator* RIIndicator() const { return GetIndicator(itRI); }
    TLNKCOMIndicator* CDIndicator() const { return GetIndicator(itCD); }
    TLNKCOMIndicator* RTSIndicator() const { return GetIndicator(itRTS); }
    TLNKCOMIndicator* DTRIndicator() const { return GetIndicator(itDTR); }
    TLNKCOMIndicator* BRKIndicator() const { return GetIndicator(itBRK); }
    TLNKCOMIndicator* ERRIndicator() const { return GetIndicator(itERR); }
    TLNKCOMIndicator* RXIndicator() const { return GetIndicator(itRX); }
    TLNKCOMIndicator* TXIndicator() const { return GetIndicator(itTX); }

    /// Ignores what is written.
    void SetCopyright(const std::string&) {}
    /// Ignores what is written.
    void SetVersion(const std::string&) {}
    /// Design mode only: 1..256; a Port above the new limit is moved (see source).
    void SetCOMMax(int m);
    /// Design mode only.
    void SetEnumMode(TEnumMode e);
    /// The Port setter. Run mode: refused while open, else 1..COMMax (no
    /// presence check). Design mode: 0..COMMax, with emPresent only 0 or a
    /// present port.
    void SetPort1(int n);
    /// Line settings: an unchanged or out-of-range value is ignored; while
    /// open the new value is applied at once with one SetCommState (DTR and
    /// RTS kept at their current levels) and taken only if that succeeds.
    void SetBaudRate(TBaudRate b);
    void SetDataBits(TDataBits d);
    void SetParity(TParity p);
    void SetStopBits(TStopBits s);
    /// 1024..512000, others ignored; used at the next open.
    void SetRxQueueSize(int size);
    void SetTxQueueSize(int size);
    /// Output levels set at the next open.
    void SetRTSInitialLevel(bool level) { FRTSInitialLevel = level; }
    void SetDTRInitialLevel(bool level) { FDTRInitialLevel = level; }
    /// Refers indicator type to control (null: none). The reference is
    /// cleared when the control is destroyed.
    void SetIndicator(TIndicatorType type, TLNKCOMIndicator* control);
    void SetCTSIndicator(TLNKCOMIndicator* c) { SetIndicator(itCTS, c); }
    void SetDSRIndicator(TLNKCOMIndicator* c) { SetIndicator(itDSR, c); }
    void SetRIIndicator(TLNKCOMIndicator* c) { SetIndicator(itRI, c); }
    void SetCDIndicator(TLNKCOMIndicator* c) { SetIndicator(itCD, c); }
    void SetRTSIndicator(TLNKCOMIndicator* c) { SetIndicator(itRTS, c); }
    void SetDTRIndicator(TLNKCOMIndicator* c) { SetIndicator(itDTR, c); }
    void SetBRKIndicator(TLNKCOMIndicator* c) { SetIndicator(itBRK, c); }
    void SetERRIndicator(TLNKCOMIndicator* c) { SetIndicator(itERR, c); }
    void SetRXIndicator(TLNKCOMIndicator* c) { SetIndicator(itRX, c); }
    void SetTXIndicator(TLNKCOMIndicator* c) { SetIndicator(itTX, c); }

    // ---- text forms ----
    /// The port number in decimal, no prefix ("3").
    std::string GetPortStr() const;
    std::string GetBaudRateStr() const;
    std::string GetDataBitsStr() const;
    std::string GetParityStr() const;
    std::string GetStopBitsStr() const;

    // ---- open and close ----
    /// Opens the port with the current settings; true when it is open
    /// afterwards (an OnOpen handler may have closed or destroyed it: false).
    /// On an open port: warning report, true.
    bool Open();
    /// Closes the port; true. On a closed port: warning report. Handlers of
    /// pending worker events (e.g. OnRxChar for a byte read just before) may
    /// run before Close returns.
    bool Close();

    // ---- transmission ----
    /// Hands aLen bytes at aData to the transmit thread and returns at once.
    /// The bytes are NOT copied: the caller keeps them valid and unchanged
    /// until OnTxData has been raised for them, TxAbort() has dropped them,
    /// or the port has been closed. One block at a time; a second one while
    /// the first is in transit is refused ("Tx is busy", "Tx error"). When the
    /// first has been written and only its completion waits for this thread,
    /// its OnTxData is raised here first and the second is taken. Returns
    /// false as well when that handler closed or destroyed the port.
    bool TxData(const char* aData, int aLen);
    /// Hands one character over (from the component's own one-byte buffer).
    bool TxChar(char c);
    /// Drops the block in transit; the TX indicator goes off at once and no
    /// OnTxData follows for a write that the abort ends.
    bool TxAbort();
    // ---- reception ----
    /// Raises now, through OnRxChar and in order, the events of the bytes the
    /// receive side already holds (taken by the receive thread, or queued in
    /// the device layer or the driver), running the pending synchronized
    /// calls of the workers as they come; returns once the receive thread
    /// waits for the device again with nothing left, or after
    /// DeliverReceivedLimitMs while bytes keep coming. Each byte still goes
    /// through one read and one synchronized call, as always. Does nothing on
    /// a closed port or from inside the receive thread's own event. Lets an
    /// owner whose timer fired late see what arrived before it decides.
    /// User-interface thread.
    void DeliverReceived();
    static constexpr int DeliverReceivedLimitMs = 100;

    // ---- lines ----
    bool SetRTS(bool level);
    bool SetDTR(bool level);
    /// Sets or clears the transmit break (the BRK indicator shows received
    /// breaks only).
    bool SetTxBreak(bool on);
    /// Line reads; on failure the result is false and level is left unwritten.
    bool GetCTS(bool& level);
    bool GetDSR(bool& level);
    bool GetRI(bool& level);
    bool GetCD(bool& level);

    // ---- enumeration and settings form ----
    /// Same as IsPortPres(n).
    bool IsPortPresent(int n) const;
    /// Lowest present port number in 1..COMMax, 0 if none.
    int FirstCOMPort() const;
    /// Shows the settings form at screen position X, Y and applies the result
    /// through the setters (a new port number is refused while open).
    void COMDlg(int X, int Y);
    /// Outer size of the settings form, measured by the first call made
    /// while a widget application exists. The form, COMDlg and these two
    /// live in the package's widget part (Lnkcomdlg.cpp), so that a program
    /// without widgets links the port without them.
    int GetCOMDlgWidth() const;
    int GetCOMDlgHeight() const;

    // ---- reports and indicators ----
    /// The one report routine: calls OnReport when assigned (in a debug build
    /// an unassigned OnReport logs the report with qDebug instead).
    void Report(TReportType aReportType, const std::string& aSrcFunc, const std::string& aDesc,
                const std::string& aSrcFile, int aSrcLine, int aAPIErr);
    /// Sets StateOn of the indicator referred to for type; other values do
    /// nothing.
    void Indicator(TIndicatorType type, bool level);

    void Notification(QObject* AComponent, TOperation Operation) override;

    /// The device handle while open (null while closed); for diagnostics and
    /// tests that script the line source of the device.
    HANDLE GetHandle() const { return FHandle; }

    // ---- events (assign on the user-interface thread) ----
    TLNKReportEvent OnReport;
    TLNKNotifyEvent OnOpen;
    TLNKNotifyEvent OnClose;
    /// OnDeviceLost(Sender = the port): a worker found the device gone (the
    /// device layer failed with ERROR_BAD_COMMAND or ERROR_DEVICE_REMOVED,
    /// after the worker's own report). Raised at most once per open, on the
    /// user-interface thread from the port's own queued call (never inside
    /// a worker's synchronized call), and only while that same open is still
    /// in force: not after Close(), nor after a reopen. The port stays open
    /// until someone closes it; the handler may call Close() and Open() and
    /// may destroy the port.
    TLNKNotifyEvent OnDeviceLost;
    TLNKRxCharEvent OnRxChar;
    TLNKTxDataEvent OnTxData;
    TLNKStatusEvent OnRxError;
    TLNKStatusEvent OnRxBreak;
    TLNKLineEvent OnCTS;
    TLNKLineEvent OnDSR;
    TLNKLineEvent OnRI;
    TLNKLineEvent OnCD;

protected:
    /// The stages of the open sequence, as kept in FOpenStep: the value is
    /// the last stage completed. The close sequence undoes every stage from
    /// the one it finds down to osDeviceOpened, each as noted.
    enum TOpenStep : int {
        osNone = 0,          // nothing to undo
        osDeviceOpened = 1,  // undone by closing the handle
        osTimeoutsSet = 2,   // undone by restoring FSavedTimeouts
        osQueuesSet = 3,     // undone by restoring the queue sizes of FPropsBefore
        osCommMaskSet = 4,   // undone by restoring FSavedCommMask
        osStatusThread = 5,  // status worker running; undone by destroying it
        osRxThread = 6,      // receive worker running; undone by destroying it
        osTxThread = 7,      // transmit worker running; undone by destroying it
        osOpen = osTxThread, // the port is open
    };

    /// The open sequence; on failure it undoes what it did.
    bool OpenCOMPort();
    /// The close sequence: undoes from FOpenStep down to osDeviceOpened.
    bool CloseCOMPort();

private:
    friend class TLNKCOMThread; // DeviceLostFound

    void ReportHere(TReportType type, const char* func, const char* desc, int line, DWORD err);
    /// Runs the open stages up to osOpen; stops at the first failure (reported)
    /// with FOpenStep at the last stage completed.
    void RunOpenSteps();
    /// Builds the device control block from the given settings and applies
    /// it with SetCommState; FDCB takes it only on success. A failure is
    /// reported with func as the routine.
    bool ApplyLineSettings(const char* func, TBaudRate baudRate, TDataBits dataBits, TParity parity,
                           TStopBits stopBits, bool dtrOn, bool rtsOn);
    /// Creates one worker and checks its initialisation: reports
    /// creationText or initText (and releases a worker that failed to
    /// initialise) and returns false, or true with the worker running.
    template <class TWorker>
    bool StartWorker(std::unique_ptr<TWorker>& worker, const char* creationText,
                     const char* initText);
    /// Sets the lamps of a port that has just opened.
    void ShowLinesAfterOpen();
    bool ModemBit(const char* func, DWORD bit, bool& level);
    bool Escape(const char* func, DWORD code);
    template <class TWorker> void StopWorker(std::unique_ptr<TWorker>& worker);
    /// Before a hand-over: lets a completion of the previous block that only
    /// waits for this thread run now (its OnTxData included). False when its
    /// handler closed the port (reported as func) or destroyed it.
    bool FinishPreviousBlock(const char* func);
    /// A worker found the device gone (from its synchronized call).
    void DeviceLostFound();
    /// The queued call behind OnDeviceLost; openCount tells which open it is for.
    void RaiseDeviceLost(unsigned openCount);

    std::string FCopyright;
    std::string FVersion;
    int FCOMMax = 32;
    TEnumMode FEnumMode = emPresent;
    int FPort = 1;
    TBaudRate FBaudRate = br9600;
    TDataBits FDataBits = db8;
    TParity FParity = paNone;
    TStopBits FStopBits = sb1;
    int FRxQueueSize = 20480;
    int FTxQueueSize = 20480;
    bool FRTSInitialLevel = false;
    bool FDTRInitialLevel = false;
    std::array<TLNKCOMIndicator*, IndicatorCount> FIndicators{};
    std::array<QObject*, IndicatorCount> FIndicatorObjects{}; // the same, as QObject
    std::array<QMetaObject::Connection, IndicatorCount> FIndicatorNotices{};

    HANDLE FHandle = nullptr;
    COMMTIMEOUTS FSavedTimeouts{};
    COMMPROP FPropsBefore{};
    COMMPROP FPropsAfter{};
    DWORD FSavedCommMask = 0;
    DCB FDCB{};
    TOpenStep FOpenStep = osNone;
    bool FDTRLevel = false;
    bool FRTSLevel = false;
    bool FInSequence = false;      // an open or close sequence is running
    char FTxCharBuf = 0;           // TxChar's one-byte block; outlives the call
    unsigned FOpenCount = 0;       // successful opens so far
    bool FDeviceLostNoted = false; // in this open

    std::unique_ptr<TLNKCOMStatusThread> FStatusThread;
    std::unique_ptr<TLNKCOMRxThread> FRxThread;
    std::unique_ptr<TLNKCOMTxThread> FTxThread;

    mutable int FCOMDlgWidth = 0; // 0: not measured yet
    mutable int FCOMDlgHeight = 0;
};

} // namespace QORLNK
