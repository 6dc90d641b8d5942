// The three workers of TLNKCOMPort: line status, receive and transmit.
//
// Each is created by the port's open sequence with the device handle, the
// port's Indicator and Report routines bound to the port, and the port as
// owner, and starts at once. A worker reaches the user-interface thread only
// through synchronized calls (it blocks until the call has run there); the
// port's events, reports and indicator changes all happen inside them.
// Destroying a worker (on the user-interface thread) stops it: it sets the
// terminate flag, ends the worker's pending overlapped operation or wakes its
// wait, and waits for the run to end while running pending synchronized
// calls. A run never ends while an overlapped operation that writes into the
// worker's members is still pending.
//
// A worker may outlive its port: an event handler that destroys the port
// runs inside one of the worker's synchronized calls, so the port cannot wait
// for that worker. From then on the worker touches nothing of the port (no
// handler, report or indicator); it ends as soon as the handler has returned
// and is released on the user-interface thread afterwards.
#pragma once

#include "comport/LnkTypes.h"
#include "comport/Lnkcomport.h"
#include "platform/Thread.h"
#include "platform/winapi.h"

#include <QPointer>
#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <string>

namespace QORLNK {

class TLNKCOMPort;

/// The port's Indicator routine, bound to the port.
using TLNKIndicatorProc = std::function<void(TIndicatorType type, bool level)>;
/// The port's Report routine, bound to the port.
using TLNKReportProc = std::function<void(TReportType aReportType, const std::string& aSrcFunc,
                                          const std::string& aDesc, const std::string& aSrcFile,
                                          int aSrcLine, int aAPIErr)>;

/// What the three workers have in common.
class TLNKCOMThread : public pmv::platform::TThread {
public:
    ~TLNKCOMThread() override;

    /// The owning port; null once the port has been destroyed (user-interface
    /// thread only).
    TLNKCOMPort* Owner() const { return FOwner.data(); }
    /// Set when the constructor could not create an event; the worker then
    /// ends at once.
    bool InitFailed() const { return FInitFailed; }
    /// The debugger name, e.g. "COM3 Rx Thread".
    const std::string& Name() const { return FName; }
    /// True while one of this worker's synchronized calls runs (user-interface
    /// thread only).
    bool InSyncCall() const { return FInSyncCall; }
    /// Asks the worker to end and wakes it; a second call does nothing. Does
    /// not wait. User-interface thread.
    void Stop();

protected:
    struct TPendingReport {
        TReportType type = rtError;
        std::string func;
        std::string desc;
        std::string file;
        int line = 0;
        int err = 0;
    };

    TLNKCOMThread(const char* AClassName, const char* ANameSuffix, HANDLE AHandle,
                  TLNKIndicatorProc AIndicator, TLNKReportProc AReport, TLNKCOMPort* AOwner);

    /// Ends the run (if Stop() has not yet) and waits for it, running
    /// pending synchronized calls; then closes the worker's events. Called by
    /// the most-derived destructor, while the members still exist.
    void StopAndWait();
    /// Wakes the worker after the terminate flag is set (user-interface thread).
    virtual void Wake() = 0;
    /// Creates a manual-reset, unsignalled, unnamed event; on failure reports
    /// "CreateEvent" and marks the worker failed and terminated.
    HANDLE CreateWorkerEvent();
    /// Closes one of the worker's events; reports failure as routine func.
    void CloseWorkerEvent(HANDLE& event, const char* func);
    /// Starts the run unless the constructor failed (then the run ends at once).
    void StartWorker();
    /// Names the calling thread for debuggers.
    void NameThread();
    /// Raises a report: directly on the user-interface thread, else through a
    /// synchronized call (the worker waits until OnReport has returned).
    void ThreadReport(TReportType type, const char* func, const char* desc, int line, DWORD err);
    /// Runs method on the user-interface thread and waits for it; does not
    /// run it once the port is gone. An exception escaping the method ends
    /// the worker's run. With maxDelay the call may wait that long for the
    /// user-interface thread to come by (TThread::SynchronizeWithin).
    void SyncCall(const std::function<void()>& method,
                  std::chrono::milliseconds maxDelay = std::chrono::milliseconds(0));
    /// The bound indicator routine, unless the port is gone (a handler run
    /// just before may have destroyed it). User-interface thread.
    void Indicate(TIndicatorType type, bool level);

    /// How waiting for a pending overlapped operation ended.
    enum TCompletion : int {
        cpDone,    // completed; the transferred count is filled in
        cpWoken,   // the wait ended otherwise; the operation may still be on
        cpFailed,  // completed with an error, which was reported
        cpGone,    // completed with an error after which nothing can work (reported)
        cpStopped, // the worker was asked to end; the operation may still be on
    };
    /// Waits without time limit for the pending operation on ov (its event)
    /// and collects its result. Worker thread.
    TCompletion AwaitCompletion(OVERLAPPED& ov, DWORD& transferred);
    /// An error after which the device cannot be used again (removed, or the
    /// handle unusable).
    static bool Unrecoverable(DWORD err);
    /// An error the device layer gives once the device has been removed.
    static bool DeviceLost(DWORD err);

    const std::string FClassName;
    std::string FName;
    bool FInitFailed = false;
    const QPointer<TLNKCOMPort> FOwner; // cleared when the port is destroyed
    const HANDLE FHandle;
    const TLNKReportProc FReport;
    TPendingReport FPendingReport;
    const TLNKIndicatorProc FIndicator;

private:
    bool FInSyncCall = false; // user-interface thread only
    bool FStopped = false;    // user-interface thread only
    bool FWaited = false;     // user-interface thread only
};

/// The line status worker: waits for CTS, DSR, RLSD, BREAK, ERR and RING
/// events and raises the port's line events in a fixed order.
class TLNKCOMStatusThread final : public TLNKCOMThread {
public:
    TLNKCOMStatusThread(HANDLE AHandle, TLNKIndicatorProc AIndicator, TLNKReportProc AReport,
                        TLNKCOMPort* AOwner);
    ~TLNKCOMStatusThread() override;

protected:
    void Execute() override;
    void Wake() override;

private:
    void ProcessStatusEvnt(DWORD mask);
    void LineEvent(TIndicatorType type);
    void EndPendingWait();

    OVERLAPPED FOverlapped{};
    DWORD FEventMask = 0;
};

/// The receive worker: reads one byte at a time and delivers each as one
/// OnRxChar on the user-interface thread. One synchronized call delivers the
/// byte read and then, one read and one event each, the bytes the receive
/// side already holds, for at most kBurstBudget.
class TLNKCOMRxThread final : public TLNKCOMThread {
public:
    /// How long one synchronized call may go on delivering bytes that keep
    /// coming, so that the user-interface thread's other work gets its turn.
    static constexpr std::chrono::milliseconds kBurstBudget{4};

    TLNKCOMRxThread(HANDLE AHandle, TLNKIndicatorProc AIndicator, TLNKReportProc AReport,
                    TLNKCOMPort* AOwner);
    ~TLNKCOMRxThread() override;

    /// True while the worker holds no received byte: its read waits for the
    /// device, which had nothing left when the read began, and has not
    /// completed since (or the run is over). User-interface thread.
    bool AwaitingBytes() const;

protected:
    void Execute() override;
    void Wake() override;

private:
    void Deliver();
    bool ReadHeldByte();
    bool EndPendingRead();

    OVERLAPPED FOverlapped{};
    unsigned char FRxByte = 0;
    DWORD FBytesRead = 0;
    std::atomic<bool> FAwaiting{false}; // in the wait for a pending read
};

/// The transmit worker: writes one handed-over block at a time with one
/// overlapped write and raises OnTxData when it has been written.
class TLNKCOMTxThread final : public TLNKCOMThread {
public:
    /// How long a completion may wait to be asked for (by the next hand-over,
    /// RunDueCompletion, or a close) before it wakes the user-interface
    /// thread for itself.
    static constexpr std::chrono::milliseconds kCompletionDelay{20};

    TLNKCOMTxThread(HANDLE AHandle, TLNKIndicatorProc AIndicator, TLNKReportProc AReport,
                    TLNKCOMPort* AOwner);
    ~TLNKCOMTxThread() override;

    /// Starts a transmission of aLen bytes at aData (not copied; see
    /// TLNKCOMPort::TxData). Refused ("Tx is busy") while one is in transit.
    /// User-interface thread.
    bool TxData(const char* aData, int aLen);
    /// Drops the transmission in transit; refused ("Tx not in progress") when
    /// there is none. User-interface thread.
    bool TxAbort();
    /// True from an accepted hand-over until completion or drop.
    bool TxBusy() const { return FTxBusy.load(); }
    /// When the block in transit has been written and only its completion
    /// call (OnTxData, the TX lamp) still waits for this thread, runs that
    /// call now, so that the next block is taken at once instead of being
    /// refused. Does nothing inside this worker's own events. The handler it
    /// raises may close or destroy the port. The worker stays asleep until
    /// the next TxData (or stopping it) wakes it, once, for the new block.
    /// User-interface thread.
    void RunDueCompletion();

protected:
    void Execute() override;
    void Wake() override;

private:
    void Complete(DWORD written);
    void DropBusy();
    void EndPendingWrite();

    HANDLE FTxRequest = nullptr;
    std::atomic<bool> FTxBusy{false};
    std::atomic<bool> FTxAbort{false};
    std::atomic<bool> FCompletionDue{false}; // the worker's last call frees it
    const char* FData = nullptr;             // written before FTxRequest is signalled
    DWORD FLen = 0;
    DWORD FBytesWritten = 0;
    OVERLAPPED FOverlapped{};
};

} // namespace QORLNK
