#include "comport/Lnkcomthreads.h"

#include "comport/Lnkcomport.h"

#include <cassert>
#include <chrono>
#include <utility>

namespace QORLNK {

// ---------------------------------------------------------------------------
// TLNKCOMThread

TLNKCOMThread::TLNKCOMThread(const char* AClassName, const char* ANameSuffix, HANDLE AHandle,
                             TLNKIndicatorProc AIndicator, TLNKReportProc AReport,
                             TLNKCOMPort* AOwner)
    : TThread(false), FClassName(AClassName), FOwner(AOwner), FHandle(AHandle),
      FReport(std::move(AReport)), FIndicator(std::move(AIndicator)) {
    // Taken here, on the user-interface thread: the port number cannot
    // change while the port is open.
    FName = "COM" + FOwner->GetPortStr() + ANameSuffix;
    // Asked before the start, so that the worker's first turn (the first
    // frame sent, the first byte taken) does not wait behind busy processes.
    SetPriority(pmv::platform::tpTimeCritical);
}

TLNKCOMThread::~TLNKCOMThread() {
    // The most-derived destructor has already stopped and waited.
    assert(Finished() || !Started());
}

HANDLE TLNKCOMThread::CreateWorkerEvent() {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        const DWORD err = GetLastError();
        ThreadReport(rtError, FClassName.c_str(), "CreateEvent", __LINE__, err);
        FInitFailed = true;
        Terminate();
    }
    return event;
}

void TLNKCOMThread::CloseWorkerEvent(HANDLE& event, const char* func) {
    if (event == nullptr)
        return;
    if (!CloseHandle(event)) {
        const DWORD err = GetLastError();
        ThreadReport(rtError, func, "CloseHandle", __LINE__, err);
    }
    event = nullptr;
}

void TLNKCOMThread::StartWorker() {
    // A worker whose constructor failed is already terminated: its run ends
    // at once without doing anything.
    Start();
}

void TLNKCOMThread::Stop() {
    if (FStopped)
        return;
    FStopped = true;
    Terminate();
    Wake();
}

void TLNKCOMThread::StopAndWait() {
    Stop();
    if (!FWaited) {
        FWaited = true;
        WaitFor();
    }
}

// Runs on the worker's own thread.
void TLNKCOMThread::NameThread() {
    TThread::NameThreadForDebugging(FName);
}

void TLNKCOMThread::ThreadReport(TReportType type, const char* func, const char* desc, int line,
                                 DWORD err) {
    if (TThread::IsMainThread()) {
        // Constructor, destructor and hand-over reports: run the routine
        // directly (the pending report belongs to the worker's own thread).
        if (!FOwner.isNull())
            FReport(type, func, desc, FClassName, line, static_cast<int>(err));
        return;
    }
    FPendingReport.type = type;
    FPendingReport.func = func;
    FPendingReport.desc = desc;
    FPendingReport.file = FClassName;
    FPendingReport.line = line;
    FPendingReport.err = static_cast<int>(err);
    SyncCall([this] {
        FReport(FPendingReport.type, FPendingReport.func, FPendingReport.desc, FPendingReport.file,
                FPendingReport.line, FPendingReport.err);
        // A worker that finds the device gone tells the port, which raises
        // OnDeviceLost later from its own queued call. The report's handler
        // may have destroyed the port.
        if (TLNKCOMPort* port = FOwner.data();
            port != nullptr && DeviceLost(static_cast<DWORD>(FPendingReport.err)))
            port->DeviceLostFound();
    });
}

// Runs on the worker's own thread (directly on the user-interface thread
// when called there).
void TLNKCOMThread::SyncCall(const std::function<void()>& method,
                             std::chrono::milliseconds maxDelay) {
    TThread::SynchronizeWithin(
        [this, &method] {
            // A port destroyed by an earlier handler is not touched again.
            if (FOwner.isNull())
                return;
            // Lets the port see that a Close() made from inside this call must
            // not wait for this worker (it is blocked until the call returns).
            struct InCall {
                bool& flag;
                const bool old;
                explicit InCall(bool& f) : flag(f), old(f) { flag = true; }
                ~InCall() { flag = old; }
            } inCall(FInSyncCall);
            method();
        },
        maxDelay);
}

void TLNKCOMThread::Indicate(TIndicatorType type, bool level) {
    if (!FOwner.isNull())
        FIndicator(type, level);
}

bool TLNKCOMThread::Unrecoverable(DWORD err) {
    return DeviceLost(err) || err == ERROR_INVALID_HANDLE;
}

bool TLNKCOMThread::DeviceLost(DWORD err) {
    return err == ERROR_BAD_COMMAND || err == ERROR_DEVICE_REMOVED;
}

// Runs on the worker's own thread.
TLNKCOMThread::TCompletion TLNKCOMThread::AwaitCompletion(OVERLAPPED& ov, DWORD& transferred) {
    // A stop that came just before the operation was started may have been
    // missed by the wake-up: look at the flag again before blocking.
    if (Terminated())
        return cpStopped;
    const DWORD wait = WaitForSingleObject(ov.hEvent, INFINITE);
    if (Terminated())
        return cpStopped;
    if (wait != WAIT_OBJECT_0)
        return cpWoken;
    if (GetOverlappedResult(FHandle, &ov, &transferred, FALSE))
        return cpDone;
    const DWORD err = GetLastError();
    if (err == ERROR_IO_INCOMPLETE) {
        // Woken by a stray signal while the operation is still on.
        ResetEvent(ov.hEvent);
        return cpWoken;
    }
    ThreadReport(rtError, "Execute", "GetOverlappedResult", __LINE__, err);
    return Unrecoverable(err) ? cpGone : cpFailed;
}

// ---------------------------------------------------------------------------
// TLNKCOMStatusThread

TLNKCOMStatusThread::TLNKCOMStatusThread(HANDLE AHandle, TLNKIndicatorProc AIndicator,
                                         TLNKReportProc AReport, TLNKCOMPort* AOwner)
    : TLNKCOMThread("TLNKCOMStatusThread", " Status Thread", AHandle, std::move(AIndicator),
                    std::move(AReport), AOwner) {
    FOverlapped = OVERLAPPED{};
    FOverlapped.hEvent = CreateWorkerEvent();
    StartWorker();
}

TLNKCOMStatusThread::~TLNKCOMStatusThread() {
    StopAndWait();
    CloseWorkerEvent(FOverlapped.hEvent, "~TLNKCOMStatusThread");
}

void TLNKCOMStatusThread::Wake() {
    if (FOverlapped.hEvent != nullptr && !SetEvent(FOverlapped.hEvent)) {
        const DWORD err = GetLastError();
        ThreadReport(rtError, "~TLNKCOMStatusThread", "SetEvent", __LINE__, err);
    }
}

// Ends an event wait that may still be outstanding, so that the wait no
// longer writes into FEventMask and FOverlapped once the run is over.
// Runs on the status thread.
void TLNKCOMStatusThread::EndPendingWait() {
    DWORD n = 0;
    if (GetOverlappedResult(FHandle, &FOverlapped, &n, FALSE) ||
        GetLastError() != ERROR_IO_INCOMPLETE)
        return; // already over
    // Setting the event mask completes a pending WaitCommEvent (empty mask);
    // the mask itself stays what it was.
    DWORD mask = 0;
    if (GetCommMask(FHandle, &mask))
        SetCommMask(FHandle, mask);
    else
        SetCommMask(FHandle, EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING);
    GetOverlappedResult(FHandle, &FOverlapped, &n, TRUE);
}

// Runs on the status thread.
void TLNKCOMStatusThread::Execute() {
    if (Terminated())
        return;
    NameThread();
    for (;;) {
        if (Terminated())
            return;
        FEventMask = 0;
        if (WaitCommEvent(FHandle, &FEventMask, &FOverlapped)) {
            ProcessStatusEvnt(FEventMask);
            continue;
        }
        const DWORD err = GetLastError();
        if (err != ERROR_IO_PENDING) {
            ThreadReport(rtError, "Execute", "WaitCommEvent", __LINE__, err);
            return;
        }
        DWORD n = 0;
        switch (AwaitCompletion(FOverlapped, n)) {
        case cpDone:
            ProcessStatusEvnt(FEventMask);
            break;
        case cpWoken:
            EndPendingWait();
            break;
        case cpFailed:
            break;
        case cpGone:
            return; // every further wait fails the same way
        case cpStopped:
            EndPendingWait();
            return;
        }
    }
}

// One line item: reads the level on the user-interface thread when the call
// runs, raises the event and sets the indicator. Runs on the status thread.
void TLNKCOMStatusThread::LineEvent(TIndicatorType type) {
    SyncCall([this, type] {
        TLNKCOMPort* port = FOwner;
        bool level = false; // a failed read is reported by the read and shows as off
        TLNKLineEvent handler;
        switch (type) {
        case itCTS:
            port->GetCTS(level);
            handler = port->OnCTS;
            break;
        case itDSR:
            port->GetDSR(level);
            handler = port->OnDSR;
            break;
        case itRI:
            port->GetRI(level);
            handler = port->OnRI;
            break;
        default:
            port->GetCD(level);
            handler = port->OnCD;
            break;
        }
        if (handler)
            handler(this, level);
        Indicate(type, level);
    });
}

// Runs on the status thread.
void TLNKCOMStatusThread::ProcessStatusEvnt(DWORD mask) {
    if ((mask & EV_BREAK) && !Terminated()) {
        SyncCall([this] {
            const TLNKStatusEvent handler = FOwner->OnRxBreak;
            if (handler)
                handler(this);
            Indicate(itBRK, true);
            Indicate(itBRK, false);
        });
    }
    if ((mask & EV_ERR) && !Terminated()) {
        DWORD errors = 0;
        if (!ClearCommError(FHandle, &errors, nullptr)) {
            const DWORD err = GetLastError();
            ThreadReport(rtError, "ProcessStatusEvnt", "ClearCommError", __LINE__, err);
        } else if (errors & (CE_FRAME | CE_OVERRUN | CE_RXPARITY)) {
            SyncCall([this] {
                const TLNKStatusEvent handler = FOwner->OnRxError;
                if (handler)
                    handler(this);
                Indicate(itERR, true);
                Indicate(itERR, false);
            });
        }
    }
    if ((mask & EV_CTS) && !Terminated())
        LineEvent(itCTS);
    if ((mask & EV_DSR) && !Terminated())
        LineEvent(itDSR);
    if ((mask & EV_RING) && !Terminated())
        LineEvent(itRI);
    if ((mask & EV_RLSD) && !Terminated())
        LineEvent(itCD);
}

// ---------------------------------------------------------------------------
// TLNKCOMRxThread

TLNKCOMRxThread::TLNKCOMRxThread(HANDLE AHandle, TLNKIndicatorProc AIndicator,
                                 TLNKReportProc AReport, TLNKCOMPort* AOwner)
    : TLNKCOMThread("TLNKCOMRxThread", " Rx Thread", AHandle, std::move(AIndicator),
                    std::move(AReport), AOwner) {
    FOverlapped = OVERLAPPED{};
    FOverlapped.hEvent = CreateWorkerEvent();
    StartWorker();
}

TLNKCOMRxThread::~TLNKCOMRxThread() {
    StopAndWait();
    CloseWorkerEvent(FOverlapped.hEvent, "~TLNKCOMRxThread");
}

void TLNKCOMRxThread::Wake() {
    // Ends the pending read; the thread then sees the terminate flag.
    if (!PurgeComm(FHandle, PURGE_RXABORT)) {
        const DWORD err = GetLastError();
        ThreadReport(rtError, "~TLNKCOMRxThread", "PurgeComm", __LINE__, err);
    }
}

bool TLNKCOMRxThread::AwaitingBytes() const {
    if (Finished())
        return true;
    // A read the device layer has completed sets the event before the
    // worker wakes: the byte is then on its way.
    return FAwaiting.load(std::memory_order_acquire) &&
           WaitForSingleObject(FOverlapped.hEvent, 0) == WAIT_TIMEOUT;
}

// Ends a read that may still be outstanding and waits until it is over, so
// that it no longer writes into FRxByte and FOverlapped. True when it had
// read a byte after all. Runs on the receive thread.
bool TLNKCOMRxThread::EndPendingRead() {
    DWORD n = 0;
    if (GetOverlappedResult(FHandle, &FOverlapped, &n, FALSE))
        return n == 1;
    if (GetLastError() != ERROR_IO_INCOMPLETE)
        return false;
    PurgeComm(FHandle, PURGE_RXABORT);
    return GetOverlappedResult(FHandle, &FOverlapped, &n, TRUE) && n == 1;
}

// Runs on the receive thread.
void TLNKCOMRxThread::Deliver() {
    SyncCall([this] {
        // One call hands over the whole burst: after each event the next
        // byte is read here, while the worker waits, and only when the
        // receive side already holds it, so every byte still goes through
        // one read and one event, in order, each after the previous handler
        // returned. A handler that closes or destroys the port ends the
        // burst (the worker is stopped by then); one that purges the receive
        // side leaves nothing to read; a device gone fails the read.
        const auto until = std::chrono::steady_clock::now() + kBurstBudget;
        for (;;) {
            // Read anew for every byte: the handler may reassign it.
            const TLNKRxCharEvent handler = FOwner->OnRxChar;
            if (handler)
                handler(this, static_cast<char>(FRxByte));
            Indicate(itRX, true);
            Indicate(itRX, false);
            if (Terminated() || FOwner.isNull() || std::chrono::steady_clock::now() >= until ||
                !ReadHeldByte())
                return;
        }
    });
}

// Reads the next byte if the receive side holds one already, without leaving
// a read pending. User-interface thread, while the worker waits in its
// synchronized call (so the read record is free).
bool TLNKCOMRxThread::ReadHeldByte() {
    FBytesRead = 0;
    if (ReadFile(FHandle, &FRxByte, 1, &FBytesRead, &FOverlapped))
        return FBytesRead == 1;
    // Any other failure (the device gone) is met and reported by the
    // worker's own next read.
    if (GetLastError() != ERROR_IO_PENDING)
        return false;
    // Nothing held: the read is taken back. A byte that came meanwhile
    // has completed it all the same.
    PurgeComm(FHandle, PURGE_RXABORT);
    DWORD n = 0;
    return GetOverlappedResult(FHandle, &FOverlapped, &n, TRUE) && n == 1;
}

// Runs on the receive thread.
void TLNKCOMRxThread::Execute() {
    if (Terminated())
        return;
    NameThread();
    for (;;) {
        // Also covers a Close() made by the handler of the last delivery.
        if (Terminated())
            return;
        FBytesRead = 0;
        if (ReadFile(FHandle, &FRxByte, 1, &FBytesRead, &FOverlapped)) {
            if (Terminated())
                return;
            Deliver();
            continue;
        }
        const DWORD err = GetLastError();
        if (err != ERROR_IO_PENDING) {
            ThreadReport(rtError, "Execute", "ReadFile", __LINE__, err);
            return;
        }
        FAwaiting.store(true, std::memory_order_release);
        const TCompletion completion = AwaitCompletion(FOverlapped, FBytesRead);
        FAwaiting.store(false, std::memory_order_release);
        switch (completion) {
        case cpDone:
            Deliver();
            break;
        case cpWoken:
            if (EndPendingRead())
                Deliver();
            break;
        case cpFailed:
            break; // no byte for this read; go on with the next
        case cpGone:
            return; // every further read would fail the same way
        case cpStopped:
            EndPendingRead();
            return;
        }
    }
}

// ---------------------------------------------------------------------------
// TLNKCOMTxThread

TLNKCOMTxThread::TLNKCOMTxThread(HANDLE AHandle, TLNKIndicatorProc AIndicator,
                                 TLNKReportProc AReport, TLNKCOMPort* AOwner)
    : TLNKCOMThread("TLNKCOMTxThread", " Tx Thread", AHandle, std::move(AIndicator),
                    std::move(AReport), AOwner) {
    FTxRequest = CreateWorkerEvent();
    FOverlapped = OVERLAPPED{};
    if (!InitFailed())
        FOverlapped.hEvent = CreateWorkerEvent();
    StartWorker();
}

TLNKCOMTxThread::~TLNKCOMTxThread() {
    StopAndWait();
    CloseWorkerEvent(FTxRequest, "~TLNKCOMTxThread");
    CloseWorkerEvent(FOverlapped.hEvent, "~TLNKCOMTxThread");
}

void TLNKCOMTxThread::Wake() {
    // Ends the write in transit, then wakes a thread that waits for work.
    if (!PurgeComm(FHandle, PURGE_TXABORT)) {
        const DWORD err = GetLastError();
        ThreadReport(rtError, "~TLNKCOMTxThread", "PurgeComm", __LINE__, err);
    }
    if (FTxRequest != nullptr)
        SetEvent(FTxRequest);
}

bool TLNKCOMTxThread::TxData(const char* aData, int aLen) {
    // The worker may still sleep in the completion call RunDueCompletion ran
    // just before: it is woken here, once the block is there for it (and
    // before any handler runs, which may destroy this worker).
    if (FTxBusy.load()) {
        WakeHeld();
        ThreadReport(rtError, "TLNKCOMTxThread", "Tx is busy", __LINE__, 0);
        return false;
    }
    // The worker is idle here. An abort that came after the previous block
    // had been written must not drop this one.
    FTxAbort.store(false);
    FData = aData;
    FLen = static_cast<DWORD>(aLen);
    FTxBusy.store(true);
    const bool signalled = SetEvent(FTxRequest);
    const DWORD err = signalled ? 0 : GetLastError();
    WakeHeld();
    if (!signalled) {
        FTxBusy.store(false);
        ThreadReport(rtError, "TxData", "SetEvent", __LINE__, err);
        return false;
    }
    Indicate(itTX, true);
    return true;
}

bool TLNKCOMTxThread::TxAbort() {
    if (FTxBusy.load()) {
        FTxAbort.store(true);
        if (!PurgeComm(FHandle, PURGE_TXABORT)) {
            const DWORD err = GetLastError();
            ThreadReport(rtError, "TxAbort", "PurgeComm", __LINE__, err);
        }
        return true;
    }
    ThreadReport(rtWarning, "TLNKCOMTxThread", "Tx not in progress", __LINE__, 0);
    return false;
}

// Ends a write that may still be outstanding and waits until it is over, so
// that it no longer reads the caller's block or writes FOverlapped.
// Runs on the transmit thread.
void TLNKCOMTxThread::EndPendingWrite() {
    DWORD n = 0;
    if (GetOverlappedResult(FHandle, &FOverlapped, &n, FALSE) ||
        GetLastError() != ERROR_IO_INCOMPLETE)
        return;
    PurgeComm(FHandle, PURGE_TXABORT);
    GetOverlappedResult(FHandle, &FOverlapped, &n, TRUE);
}

// Runs on the transmit thread. The worker is free again once the call has
// run: the flag is cleared there, on the user-interface thread, so that a
// block handed over right after the call is taken whether or not the
// worker has been back on a processor since.
void TLNKCOMTxThread::Complete(DWORD written) {
    FCompletionDue.store(true);
    SyncCall(
        [this, written] {
            FCompletionDue.store(false);
            const TLNKTxDataEvent handler = FOwner->OnTxData;
            if (handler)
                handler(this, static_cast<int>(written));
            Indicate(itTX, false);
            FTxBusy.store(false); // after the handler: a TxData from inside it is refused
        },
        kCompletionDelay);
}

// A transmission that ended without completing: the worker is free again
// and the TX lamp goes off. Runs on the transmit thread.
void TLNKCOMTxThread::DropBusy() {
    FCompletionDue.store(true);
    SyncCall([this] {
        FCompletionDue.store(false);
        Indicate(itTX, false);
        FTxBusy.store(false);
    });
}

void TLNKCOMTxThread::RunDueCompletion() {
    // From inside this worker's own call the completion is the call running.
    // The worker is left asleep: the hand-over that follows wakes it (TxData),
    // or stopping it does.
    if (FTxBusy.load() && FCompletionDue.load() && !InSyncCall())
        RunQueuedCallHeld();
}

// Runs on the transmit thread.
void TLNKCOMTxThread::Execute() {
    if (Terminated())
        return;
    NameThread();
    for (;;) {
        // Also covers a Close() made by the handler of the last completion.
        if (Terminated())
            return;
        DWORD wait = WaitForSingleObject(FTxRequest, INFINITE);
        if (wait != WAIT_OBJECT_0) {
            const DWORD err = GetLastError();
            // The worker's own request event is unusable, so no block can be
            // taken any more: this worker ends, and every later hand-over is
            // refused until the port is reopened (nothing is in transit).
            FTxBusy.store(true);
            ThreadReport(rtError, "TLNKCOMTxThread", "WaitForSingleObject", __LINE__, err);
            return;
        }
        ResetEvent(FTxRequest);
        if (Terminated())
            return;
        if (!FTxBusy.load())
            continue; // woken without a block (e.g. by a stop that was taken back)
        FBytesWritten = 0;
        if (WriteFile(FHandle, FData, FLen, &FBytesWritten, &FOverlapped)) {
            Complete(FBytesWritten);
            continue;
        }
        DWORD err = GetLastError();
        if (err != ERROR_IO_PENDING) {
            // Nothing is in transit: the block is dropped and the worker
            // waits for the next one, which fails the same way while the
            // device is gone (each hand-over gets its own report).
            ThreadReport(rtError, "Execute", "WriteFile", __LINE__, err);
            DropBusy();
            continue;
        }
        // A purge (close or TxAbort) that came just before the write was
        // started has missed it: end the write here.
        if (Terminated()) {
            EndPendingWrite();
            return;
        }
        if (FTxAbort.load())
            EndPendingWrite(); // the wait below then ends at once
        wait = WaitForSingleObject(FOverlapped.hEvent, INFINITE);
        if (Terminated()) {
            EndPendingWrite();
            return;
        }
        if (FTxAbort.load()) {
            EndPendingWrite();
            FTxAbort.store(false);
            FTxBusy.store(false);
            continue;
        }
        if (wait != WAIT_OBJECT_0) {
            EndPendingWrite();
            DropBusy();
            continue;
        }
        DWORD written = 0;
        if (!GetOverlappedResult(FHandle, &FOverlapped, &written, FALSE)) {
            err = GetLastError();
            ThreadReport(rtError, "Execute", "GetOverlappedResult", __LINE__, err);
            EndPendingWrite(); // a write still on must not outlive its block
            DropBusy();
            continue;
        }
        Complete(written);
    }
}

} // namespace QORLNK
