#include "comport/Lnkcomport.h"

#include "comport/LnkLamp.h"
#include "comport/LnkText.h"
#include "comport/Lnkcomthreads.h"
#include "comport/Lnkindicator.h"
#include "comport/Lnkutils.h"

#include <QCoreApplication>
#include <QDebug>
#include <QPointer>
#include <QTimer>

#include <chrono>

namespace QORLNK {

namespace {

const char* const kUnit = "TLNKCOMPort";

// Event mask asked for at open: CTS, DSR, RLSD, BREAK, ERR and RING (0x1F8).
constexpr DWORD kCommMask = EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING;
static_assert(kCommMask == 0x1F8);

// Marks an open or close sequence as running for its lifetime.
class SequenceGuard {
public:
    explicit SequenceGuard(bool& flag) : FFlag(flag), FOld(flag) { FFlag = true; }
    ~SequenceGuard() { FFlag = FOld; }
    SequenceGuard(const SequenceGuard&) = delete;
    SequenceGuard& operator=(const SequenceGuard&) = delete;

private:
    bool& FFlag;
    const bool FOld;
};

// Workers stopped while one of their own handlers ran (it closed or
// destroyed the port): each ends as soon as that handler has returned and is
// released here afterwards. They are kept apart from any port, which may be
// gone by then. User-interface thread only.
struct TStoppedWorkers {
    std::vector<std::unique_ptr<TLNKCOMThread>> workers;
    bool reapingScheduled = false;
};

TStoppedWorkers& StoppedWorkers() {
    // Never destroyed: no worker is waited for during static destruction.
    static auto* stopped = new TStoppedWorkers;
    return *stopped;
}

void ScheduleReaping(int delayMs);

// Releases the stopped workers whose handler has returned.
void ReapStoppedWorkers() {
    // Releasing a worker runs pending synchronized calls, whose handlers may
    // stop more workers: work on a list of its own.
    std::vector<std::unique_ptr<TLNKCOMThread>> workers;
    workers.swap(StoppedWorkers().workers);
    for (auto& worker : workers) {
        if (!worker->InSyncCall())
            worker.reset();
    }
    std::erase(workers, nullptr);
    auto& kept = StoppedWorkers().workers;
    for (auto& worker : workers)
        kept.push_back(std::move(worker));
    if (!kept.empty())
        ScheduleReaping(20);
}

void ScheduleReaping(int delayMs) {
    TStoppedWorkers& stopped = StoppedWorkers();
    QCoreApplication* app = QCoreApplication::instance();
    if (stopped.reapingScheduled || app == nullptr)
        return; // without an event loop: at the next open or port destruction
    stopped.reapingScheduled = true;
    QTimer::singleShot(delayMs, app, [] {
        StoppedWorkers().reapingScheduled = false;
        ReapStoppedWorkers();
    });
}

void KeepStoppedWorker(std::unique_ptr<TLNKCOMThread> worker) {
    StoppedWorkers().workers.push_back(std::move(worker));
    ScheduleReaping(0);
}

} // namespace

TLNKCOMPort::TLNKCOMPort(QObject* AOwner, bool ADesigning)
    : TLNKComponent(AOwner, ADesigning), FCopyright(LnkCopyright), FVersion(LnkVersion) {
    const int first = FirstCOMPort();
    FPort = Designing() ? first : (first != 0 ? first : 1);
}

TLNKCOMPort::~TLNKCOMPort() {
    // A worker inside one of its handlers (the port destroyed from within its
    // own event) cannot be waited for here: it is kept with the stopped
    // workers, never touches the port again and is released once the
    // handler has returned.
    CloseCOMPort();
    ReapStoppedWorkers();
    for (auto& notice : FIndicatorNotices)
        QObject::disconnect(notice);
}

// ---------------------------------------------------------------------------
// Settings

int TLNKCOMPort::GetRxQueueSize() const {
    return GetOpened() ? static_cast<int>(FPropsAfter.dwCurrentRxQueue) : FRxQueueSize;
}

int TLNKCOMPort::GetTxQueueSize() const {
    return GetOpened() ? static_cast<int>(FPropsAfter.dwCurrentTxQueue) : FTxQueueSize;
}

void TLNKCOMPort::SetCOMMax(int m) {
    if (!Designing())
        return;
    if (m < 1 || m > 256 || m == FCOMMax)
        return;
    FCOMMax = m;
    if (FPort > m)
        FPort = (FEnumMode == emAll) ? 1 : FirstCOMPort();
    else if (FEnumMode == emPresent && FPort == 0)
        FPort = FirstCOMPort();
}

void TLNKCOMPort::SetEnumMode(TEnumMode e) {
    if (!Designing())
        return;
    if (e == FEnumMode || (e != emAll && e != emPresent))
        return;
    FEnumMode = e;
    if (e == emAll) {
        if (FPort == 0)
            FPort = 1;
    } else {
        FPort = FirstCOMPort();
    }
}

void TLNKCOMPort::SetPort1(int n) {
    if (!Designing()) {
        if (GetOpened())
            return;
        if (n >= 1 && n <= FCOMMax)
            FPort = n;
        return;
    }
    if (n < 0 || n > FCOMMax)
        return;
    if (FEnumMode == emAll || n == 0 || IsPortPres(n))
        FPort = n;
}

bool TLNKCOMPort::ApplyLineSettings(const char* func, TBaudRate baudRate, TDataBits dataBits,
                                    TParity parity, TStopBits stopBits, bool dtrOn, bool rtsOn) {
    // Built whole from the settings: a refused value never lingers in FDCB
    // to be applied by the next successful change.
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.fBinary = 1;
    dcb.fParity = (parity == paNone) ? 0 : 1;
    dcb.Parity = static_cast<BYTE>(parity);
    dcb.BaudRate = static_cast<DWORD>(BaudRateValue(baudRate));
    dcb.ByteSize = static_cast<BYTE>(5 + dataBits);
    dcb.StopBits = static_cast<BYTE>(stopBits);
    // Re-applying the block never changes the output lines.
    dcb.fDtrControl = dtrOn ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fRtsControl = rtsOn ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    dcb.XonLim = 1024;
    dcb.XoffLim = 256;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    if (!SetCommState(FHandle, &dcb)) {
        const DWORD err = GetLastError();
        ReportHere(rtError, func, "SetCommState", __LINE__, err);
        return false;
    }
    FDCB = dcb;
    return true;
}

void TLNKCOMPort::SetBaudRate(TBaudRate b) {
    if (b == FBaudRate || !IsBaudRate(b))
        return;
    if (GetOpened() &&
        !ApplyLineSettings("SetBaudRate", b, FDataBits, FParity, FStopBits, FDTRLevel, FRTSLevel))
        return;
    FBaudRate = b;
}

void TLNKCOMPort::SetDataBits(TDataBits d) {
    if (d == FDataBits || !IsDataBits(d))
        return;
    if (GetOpened() &&
        !ApplyLineSettings("SetDataBits", FBaudRate, d, FParity, FStopBits, FDTRLevel, FRTSLevel))
        return;
    FDataBits = d;
}

void TLNKCOMPort::SetParity(TParity p) {
    if (p == FParity || !IsParity(p))
        return;
    if (GetOpened() && !ApplyLineSettings("SetBaudParity", FBaudRate, FDataBits, p, FStopBits,
                                          FDTRLevel, FRTSLevel))
        return;
    FParity = p;
}

void TLNKCOMPort::SetStopBits(TStopBits s) {
    if (s == FStopBits || !IsStopBits(s))
        return;
    if (GetOpened() &&
        !ApplyLineSettings("SetStopBits", FBaudRate, FDataBits, FParity, s, FDTRLevel, FRTSLevel))
        return;
    FStopBits = s;
}

void TLNKCOMPort::SetRxQueueSize(int size) {
    if (size >= 1024 && size <= 512000)
        FRxQueueSize = size;
}

void TLNKCOMPort::SetTxQueueSize(int size) {
    if (size >= 1024 && size <= 512000)
        FTxQueueSize = size;
}

TLNKCOMIndicator* TLNKCOMPort::GetIndicator(TIndicatorType type) const {
    const int i = static_cast<int>(type);
    return (i >= 0 && i < IndicatorCount) ? FIndicators[i] : nullptr;
}

void TLNKCOMPort::SetIndicator(TIndicatorType type, TLNKCOMIndicator* control) {
    const int i = static_cast<int>(type);
    if (i < 0 || i >= IndicatorCount || FIndicators[i] == control)
        return;
    QObject::disconnect(FIndicatorNotices[i]);
    FIndicatorNotices[i] = {};
    FIndicators[i] = control;
    FIndicatorObjects[i] = control;
    if (control != nullptr) {
        FIndicatorNotices[i] = connect(control, &QObject::destroyed, this,
                                       [this](QObject* obj) { Notification(obj, opRemove); });
    }
}

void TLNKCOMPort::Notification(QObject* AComponent, TOperation Operation) {
    if (Operation != opRemove || AComponent == nullptr)
        return;
    // Compared as QObject pointers taken while the controls were alive: the
    // control being removed is no longer a TLNKCOMIndicator.
    for (int i = 0; i < IndicatorCount; ++i) {
        if (FIndicatorObjects[i] == AComponent) {
            QObject::disconnect(FIndicatorNotices[i]);
            FIndicatorNotices[i] = {};
            FIndicators[i] = nullptr;
            FIndicatorObjects[i] = nullptr;
        }
    }
}

// ---------------------------------------------------------------------------
// Text forms

std::string TLNKCOMPort::GetPortStr() const {
    return std::to_string(FPort);
}

std::string TLNKCOMPort::GetBaudRateStr() const {
    return BaudRateStr(FBaudRate);
}

std::string TLNKCOMPort::GetDataBitsStr() const {
    return DataBitsStr(FDataBits);
}

std::string TLNKCOMPort::GetParityStr() const {
    return ParityStr(FParity);
}

std::string TLNKCOMPort::GetStopBitsStr() const {
    return StopBitsStr(FStopBits);
}

// ---------------------------------------------------------------------------
// Reports and indicators

void TLNKCOMPort::Report(TReportType aReportType, const std::string& aSrcFunc,
                         const std::string& aDesc, const std::string& aSrcFile, int aSrcLine,
                         int aAPIErr) {
    if (OnReport) {
        const TLNKReportEvent handler = OnReport; // the handler may reassign OnReport
        handler(this, aReportType, aSrcFunc, aDesc, aSrcFile, aSrcLine, aAPIErr);
        return;
    }
#ifndef NDEBUG
    qDebug().noquote() << QStringLiteral("%1 report: %2 %3: %4 (%5:%6, error %7)")
                              .arg(objectName().isEmpty() ? QStringLiteral("TLNKCOMPort")
                                                          : objectName())
                              .arg(aReportType == rtError ? QStringLiteral("error")
                                                          : QStringLiteral("warning"))
                              .arg(QString::fromStdString(aSrcFunc))
                              .arg(QString::fromStdString(aDesc))
                              .arg(QString::fromStdString(aSrcFile))
                              .arg(aSrcLine)
                              .arg(aAPIErr);
#endif
}

void TLNKCOMPort::ReportHere(TReportType type, const char* func, const char* desc, int line,
                             DWORD err) {
    Report(type, func, desc, kUnit, line, static_cast<int>(err));
}

void TLNKCOMPort::Indicator(TIndicatorType type, bool level) {
    if (TLNKCOMIndicator* control = GetIndicator(type))
        static_cast<TLNKLamp*>(control)->SetStateOn(level);
}

// ---------------------------------------------------------------------------
// Open and close

bool TLNKCOMPort::Open() {
    if (GetOpened()) {
        ReportHere(rtWarning, "Open", "COM port already open", __LINE__, 0);
        return true;
    }
    if (FInSequence)
        return false; // from a handler while the port is being closed
    return OpenCOMPort();
}

bool TLNKCOMPort::Close() {
    if (!GetOpened()) {
        ReportHere(rtWarning, "Close", "COM port already closed", __LINE__, 0);
        return true;
    }
    if (FInSequence)
        return true; // from a handler while the port is being opened or closed
    return CloseCOMPort();
}

bool TLNKCOMPort::OpenCOMPort() {
    {
        // Worker events cannot run during the stages (they never yield to
        // the event loop), but reports can, and their handlers may call
        // Open or Close.
        SequenceGuard guard(FInSequence);
        ReapStoppedWorkers();
        RunOpenSteps();
        if (FOpenStep < osOpen) {
            CloseCOMPort();
            return false;
        }
        ++FOpenCount;
        FDeviceLostNoted = false;
    }
    // Last, so that the handler may close the port again or destroy it.
    if (OnOpen) {
        const QPointer<TLNKCOMPort> alive(this);
        const TLNKNotifyEvent handler = OnOpen;
        handler(this);
        if (alive.isNull())
            return false;
    }
    return FOpenStep == osOpen;
}

void TLNKCOMPort::RunOpenSteps() {
    auto fail = [this](const char* call, int line) {
        const DWORD err = GetLastError();
        ReportHere(rtError, "OpenCOMPort", call, line, err);
    };

    FOpenStep = osNone;
    const std::string device = "\\\\.\\COM" + std::to_string(FPort);
    FHandle = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (FHandle == INVALID_HANDLE_VALUE || FHandle == nullptr) {
        FHandle = nullptr;
        return fail("CreateFile", __LINE__);
    }
    FOpenStep = osDeviceOpened;

    if (!GetCommTimeouts(FHandle, &FSavedTimeouts))
        return fail("GetCommTimeouts", __LINE__);
    COMMTIMEOUTS timeouts{}; // all zero: transfers complete only when whole
    if (!SetCommTimeouts(FHandle, &timeouts))
        return fail("SetCommTimeouts", __LINE__);
    FOpenStep = osTimeoutsSet;

    if (!GetCommProperties(FHandle, &FPropsBefore))
        return fail("GetCommProperties", __LINE__);
    if (!SetupComm(FHandle, static_cast<DWORD>(FRxQueueSize), static_cast<DWORD>(FTxQueueSize)))
        return fail("SetupComm", __LINE__);
    FOpenStep = osQueuesSet;

    if (!GetCommProperties(FHandle, &FPropsAfter))
        return fail("GetCommProperties", __LINE__);
    if (!GetCommMask(FHandle, &FSavedCommMask))
        return fail("GetCommMask", __LINE__);
    if (!SetCommMask(FHandle, kCommMask))
        return fail("SetCommMask", __LINE__);
    FOpenStep = osCommMaskSet;

    DWORD maskNow = 0; // read back; not used further
    if (!GetCommMask(FHandle, &maskNow))
        return fail("GetCommMask", __LINE__);
    if (!ApplyLineSettings("OpenCOMPort", FBaudRate, FDataBits, FParity, FStopBits,
                           FDTRInitialLevel, FRTSInitialLevel))
        return;

    if (!StartWorker(FStatusThread, "COM port status thread creation",
                     "COM port status thread initialisation"))
        return;
    FOpenStep = osStatusThread;
    if (!StartWorker(FRxThread, "COM port Rx data thread creation",
                     "COM port Rx data thread initialisation"))
        return;
    FOpenStep = osRxThread;
    if (!StartWorker(FTxThread, "COM port Tx data thread creation",
                     "COM port Tx data thread initialisation"))
        return;
    FOpenStep = osTxThread;

    ShowLinesAfterOpen(); // the workers run time-critical from their start
}

template <class TWorker>
bool TLNKCOMPort::StartWorker(std::unique_ptr<TWorker>& worker, const char* creationText,
                              const char* initText) {
    const TLNKIndicatorProc indicator = [this](TIndicatorType type, bool level) {
        Indicator(type, level);
    };
    const TLNKReportProc report = [this](TReportType type, const std::string& func,
                                         const std::string& desc, const std::string& file, int line,
                                         int err) { Report(type, func, desc, file, line, err); };
    try {
        worker = std::make_unique<TWorker>(FHandle, indicator, report, this);
    } catch (...) {
        worker.reset();
    }
    if (!worker) {
        ReportHere(rtError, "OpenCOMPort", creationText, __LINE__, 0);
        return false;
    }
    if (worker->InitFailed()) {
        // Such a worker has ended at once; the port is not usable without it.
        ReportHere(rtError, "OpenCOMPort", initText, __LINE__, 0);
        worker.reset();
        return false;
    }
    return true;
}

void TLNKCOMPort::ShowLinesAfterOpen() {
    FDTRLevel = FDTRInitialLevel;
    Indicator(itDTR, FDTRLevel);
    FRTSLevel = FRTSInitialLevel;
    Indicator(itRTS, FRTSLevel);
    // A line that cannot be read (reported by its reader) shows as off.
    bool level = false;
    Indicator(itCD, GetCD(level) && level);
    level = false;
    Indicator(itCTS, GetCTS(level) && level);
    level = false;
    Indicator(itDSR, GetDSR(level) && level);
    level = false;
    Indicator(itRI, GetRI(level) && level);
    Indicator(itRX, false);
    Indicator(itTX, false);
    Indicator(itBRK, false);
    Indicator(itERR, false);
}

template <class TWorker> void TLNKCOMPort::StopWorker(std::unique_ptr<TWorker>& worker) {
    if (!worker)
        return;
    if (worker->InSyncCall()) {
        // Close() was called by one of this worker's own handlers: the worker
        // is blocked until that handler returns, so it cannot be waited for
        // now. It is stopped (its pending operation ended while the handle is
        // still open), ends when the handler returns, and is released then.
        worker->Stop();
        KeepStoppedWorker(std::move(worker));
        return;
    }
    worker.reset();
}

bool TLNKCOMPort::CloseCOMPort() {
    const TOpenStep step = FOpenStep;
    bool undoFailed = false;
    {
        SequenceGuard guard(FInSequence);
        auto fail = [this, &undoFailed](const char* call, int line) {
            const DWORD err = GetLastError();
            undoFailed = true;
            ReportHere(rtError, "OpenCOMPort", call, line, err);
        };

        // Destroying a worker stops it and waits for its end while running
        // its pending synchronized calls (so handlers may run here).
        if (step >= osTxThread)
            StopWorker(FTxThread);
        if (step >= osRxThread)
            StopWorker(FRxThread);
        if (step >= osStatusThread)
            StopWorker(FStatusThread);

        if (step >= osCommMaskSet && !SetCommMask(FHandle, FSavedCommMask))
            fail("SetCommMask", __LINE__);
        if (step >= osQueuesSet &&
            !SetupComm(FHandle, FPropsBefore.dwCurrentRxQueue, FPropsBefore.dwCurrentTxQueue))
            fail("SetupComm", __LINE__);
        if (step >= osTimeoutsSet && !SetCommTimeouts(FHandle, &FSavedTimeouts))
            fail("SetCommTimeouts", __LINE__);
        if (step >= osDeviceOpened && !CloseHandle(FHandle))
            fail("CloseHandle", __LINE__);
        FHandle = nullptr;

        FOpenStep = osNone;
        for (int i = 0; i < IndicatorCount; ++i)
            Indicator(static_cast<TIndicatorType>(i), false);
    }
    // Last, so that the handler may open the port again or destroy it.
    if (step == osOpen && !undoFailed && OnClose) {
        const TLNKNotifyEvent handler = OnClose;
        handler(this);
    }
    return true;
}

void TLNKCOMPort::DeliverReceived() {
    using Clock = std::chrono::steady_clock;
    // From inside the receive thread's event the worker cannot go on before
    // the caller returns.
    if (!FRxThread || FRxThread->InSyncCall() || !pmv::platform::TThread::IsMainThread())
        return;
    const QPointer<TLNKCOMPort> self(this); // a handler may destroy the port
    const auto until = Clock::now() + std::chrono::milliseconds(DeliverReceivedLimitMs);
    for (;;) {
        pmv::platform::TThread::CheckSynchronize();
        if (self.isNull() || !FRxThread || FRxThread->AwaitingBytes() || Clock::now() >= until)
            return;
        // The worker reads its next byte: wait for its call (or look again).
        pmv::platform::TThread::CheckSynchronize(1);
    }
}

void TLNKCOMPort::DeviceLostFound() {
    if (FDeviceLostNoted || FOpenStep != osOpen)
        return;
    FDeviceLostNoted = true;
    // Not raised here, inside the worker's synchronized call: the handler
    // must be free to close the port, which waits for that very worker.
    const unsigned openCount = FOpenCount;
    QMetaObject::invokeMethod(
        this, [this, openCount] { RaiseDeviceLost(openCount); }, Qt::QueuedConnection);
}

void TLNKCOMPort::RaiseDeviceLost(unsigned openCount) {
    // Not for a port closed (or closed and opened again) since.
    if (openCount != FOpenCount || FOpenStep != osOpen || !OnDeviceLost)
        return;
    const TLNKNotifyEvent handler = OnDeviceLost;
    handler(this);
}

// ---------------------------------------------------------------------------
// Transmission

bool TLNKCOMPort::TxData(const char* aData, int aLen) {
    if (!GetOpened()) {
        ReportHere(rtError, "TxData", "COM port not open", __LINE__, 0);
        return false;
    }
    if (aLen < 1) {
        ReportHere(rtError, "TxData", "aLen less than or equal to zero", __LINE__, 0);
        return false;
    }
    if (!FinishPreviousBlock("TxData"))
        return false;
    if (!FTxThread || !FTxThread->TxData(aData, aLen)) {
        ReportHere(rtError, "TxData", "Tx error", __LINE__, 0);
        return false;
    }
    return true;
}

bool TLNKCOMPort::TxChar(char c) {
    if (!GetOpened()) {
        ReportHere(rtError, "TxChar", "COM port not open", __LINE__, 0);
        return false;
    }
    if (!FinishPreviousBlock("TxChar"))
        return false;
    // The buffer may itself be the block in transit: write it only for a
    // hand-over that will be accepted.
    if (FTxThread && !FTxThread->TxBusy())
        FTxCharBuf = c;
    if (!FTxThread || !FTxThread->TxData(&FTxCharBuf, 1)) {
        ReportHere(rtError, "TxChar", "Tx error", __LINE__, 0);
        return false;
    }
    return true;
}

bool TLNKCOMPort::FinishPreviousBlock(const char* func) {
    if (!FTxThread)
        return true;
    const QPointer<TLNKCOMPort> alive(this);
    FTxThread->RunDueCompletion();
    if (alive.isNull())
        return false;
    if (!GetOpened()) { // closed by the OnTxData handler
        ReportHere(rtError, func, "COM port not open", __LINE__, 0);
        return false;
    }
    return true;
}

bool TLNKCOMPort::TxAbort() {
    if (!GetOpened()) {
        ReportHere(rtError, "TxAbort", "COM port not open", __LINE__, 0);
        return false;
    }
    if (FTxThread && FTxThread->TxAbort()) {
        Indicator(itTX, false);
        return true;
    }
    ReportHere(rtError, "TxAbort", "Abort error", __LINE__, 0);
    return false;
}

// ---------------------------------------------------------------------------
// Lines

bool TLNKCOMPort::Escape(const char* func, DWORD code) {
    if (!GetOpened()) {
        ReportHere(rtError, func, "COM port not open", __LINE__, 0);
        return false;
    }
    if (!EscapeCommFunction(FHandle, code)) {
        const DWORD err = GetLastError();
        ReportHere(rtError, func, "EscapeCommFunction", __LINE__, err);
        return false;
    }
    return true;
}

bool TLNKCOMPort::SetRTS(bool level) {
    if (!Escape("SetRTS", level ? SETRTS : CLRRTS))
        return false;
    FRTSLevel = level;
    Indicator(itRTS, level);
    return true;
}

bool TLNKCOMPort::SetDTR(bool level) {
    if (!Escape("SetDTR", level ? SETDTR : CLRDTR))
        return false;
    FDTRLevel = level;
    Indicator(itDTR, level);
    return true;
}

bool TLNKCOMPort::SetTxBreak(bool on) {
    return Escape("SetTxBreak", on ? SETBREAK : CLRBREAK);
}

bool TLNKCOMPort::ModemBit(const char* func, DWORD bit, bool& level) {
    if (!GetOpened()) {
        ReportHere(rtError, func, "COM port not open", __LINE__, 0);
        return false;
    }
    DWORD status = 0;
    if (!GetCommModemStatus(FHandle, &status)) {
        const DWORD err = GetLastError();
        ReportHere(rtError, func, "GetCommModemStatus", __LINE__, err);
        return false;
    }
    level = (status & bit) != 0;
    return true;
}

bool TLNKCOMPort::GetCTS(bool& level) {
    return ModemBit("GetCTS", MS_CTS_ON, level);
}

bool TLNKCOMPort::GetDSR(bool& level) {
    return ModemBit("GetDSR", MS_DSR_ON, level);
}

bool TLNKCOMPort::GetRI(bool& level) {
    return ModemBit("GetRI", MS_RING_ON, level);
}

bool TLNKCOMPort::GetCD(bool& level) {
    return ModemBit("GetCD", MS_RLSD_ON, level);
}

// ---------------------------------------------------------------------------
// Enumeration and settings form

bool TLNKCOMPort::IsPortPresent(int n) const {
    return IsPortPres(n);
}

int TLNKCOMPort::FirstCOMPort() const {
    for (int n = 1; n <= FCOMMax; ++n) {
        if (IsPortPres(n))
            return n;
    }
    return 0;
}

} // namespace QORLNK
