#include "comport/Lnkcomport.h"

#include "comport/LnkText.h"
#include "comport/Lnkcomdlg.h"
#include "comport/Lnkcomthreads.h"
#include "comport/Lnkindicator.h"
#include "comport/Lnkutils.h"

#include <QDebug>
#include <QTimer>
#include <QWidget>

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

QWidget* OwnerWidget(QObject* owner) {
    for (QObject* o = owner; o != nullptr; o = o->parent()) {
        if (auto* w = qobject_cast<QWidget*>(o))
            return w;
    }
    return nullptr;
}

} // namespace

TLNKCOMPort::TLNKCOMPort(QObject* AOwner, bool ADesigning)
    : TLNKComponent(AOwner, ADesigning), FCopyright(LnkCopyright), FVersion(LnkVersion) {
    const int first = FirstCOMPort();
    FPort = Designing() ? first : (first != 0 ? first : 1);
    MeasureCOMDlgFrm(FCOMDlgWidth, FCOMDlgHeight);
}

TLNKCOMPort::~TLNKCOMPort() {
    CloseCOMPort();
    ReapStoppedWorkers();
    // Workers still inside one of their handlers (the port destroyed from
    // within its own event) cannot be waited for here; they end on their own
    // when the handler returns and never touch the port again.
    for (auto& worker : FStoppedWorkers)
        (void)worker.release();
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

bool TLNKCOMPort::ApplyLineSetting(const char* func, const std::function<void(DCB&)>& change) {
    // The block is changed on a copy, so a refused value does not linger in
    // FDCB to be applied by the next successful setter.
    DCB dcb = FDCB;
    change(dcb);
    dcb.fDtrControl = FDTRLevel ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fRtsControl = FRTSLevel ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    if (!SetCommState(FHandle, &dcb)) {
        const DWORD err = GetLastError();
        ReportHere(rtError, func, "SetCommState", __LINE__, err);
        return false;
    }
    FDCB = dcb;
    return true;
}

void TLNKCOMPort::SetBaudRate(TBaudRate b) {
    if (b == FBaudRate || b < br110 || b > br115200)
        return;
    if (GetOpened() && !ApplyLineSetting("SetBaudRate", [b](DCB& d) {
            d.BaudRate = static_cast<DWORD>(BaudRateValue(b));
        }))
        return;
    FBaudRate = b;
}

void TLNKCOMPort::SetDataBits(TDataBits d) {
    if (d == FDataBits || d < db5 || d > db8)
        return;
    if (GetOpened() && !ApplyLineSetting("SetDataBits", [d](DCB& dcb) {
            dcb.ByteSize = static_cast<BYTE>(5 + d);
        }))
        return;
    FDataBits = d;
}

void TLNKCOMPort::SetParity(TParity p) {
    if (p == FParity || p < paNone || p > paSpace)
        return;
    if (GetOpened() && !ApplyLineSetting("SetBaudParity", [p](DCB& d) {
            d.Parity = static_cast<BYTE>(p);
            d.fParity = (p == paNone) ? 0 : 1;
        }))
        return;
    FParity = p;
}

void TLNKCOMPort::SetStopBits(TStopBits s) {
    if (s == FStopBits || s < sb1 || s > sb2)
        return;
    if (GetOpened() &&
        !ApplyLineSetting("SetStopBits", [s](DCB& d) { d.StopBits = static_cast<BYTE>(s); }))
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
        control->SetStateOn(level);
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
    // Worker events cannot run during the sequence (it never yields to the
    // event loop), but reports can, and their handlers may call Open/Close.
    SequenceGuard guard(FInSequence);
    ReapStoppedWorkers();
    FOpenStep = 0;
    const std::string device = "\\\\.\\COM" + std::to_string(FPort);
    const TLNKIndicatorProc indicator = [this](TIndicatorType type, bool level) {
        Indicator(type, level);
    };
    const TLNKReportProc report = [this](TReportType type, const std::string& func,
                                         const std::string& desc, const std::string& file, int line,
                                         int err) { Report(type, func, desc, file, line, err); };
    auto fail = [this](const char* call, int line) {
        const DWORD err = GetLastError();
        ReportHere(rtError, "OpenCOMPort", call, line, err);
    };

    do {
        FHandle = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        if (FHandle == INVALID_HANDLE_VALUE || FHandle == nullptr) {
            FHandle = nullptr;
            fail("CreateFile", __LINE__);
            break;
        }
        FOpenStep = 1;

        if (!GetCommTimeouts(FHandle, &FSavedTimeouts)) {
            fail("GetCommTimeouts", __LINE__);
            break;
        }
        COMMTIMEOUTS timeouts{}; // all zero: transfers complete only when whole
        if (!SetCommTimeouts(FHandle, &timeouts)) {
            fail("SetCommTimeouts", __LINE__);
            break;
        }
        FOpenStep = 2;

        if (!GetCommProperties(FHandle, &FPropsBefore)) {
            fail("GetCommProperties", __LINE__);
            break;
        }
        if (!SetupComm(FHandle, static_cast<DWORD>(FRxQueueSize),
                       static_cast<DWORD>(FTxQueueSize))) {
            fail("SetupComm", __LINE__);
            break;
        }
        FOpenStep = 3;

        if (!GetCommProperties(FHandle, &FPropsAfter)) {
            fail("GetCommProperties", __LINE__);
            break;
        }
        if (!GetCommMask(FHandle, &FSavedCommMask)) {
            fail("GetCommMask", __LINE__);
            break;
        }
        if (!SetCommMask(FHandle, kCommMask)) {
            fail("SetCommMask", __LINE__);
            break;
        }
        FOpenStep = 4;

        DWORD maskNow = 0; // read back; not used further
        if (!GetCommMask(FHandle, &maskNow)) {
            fail("GetCommMask", __LINE__);
            break;
        }

        FDCB = DCB{};
        FDCB.DCBlength = sizeof(DCB);
        FDCB.fBinary = 1;
        FDCB.fParity = (FParity == paNone) ? 0 : 1;
        FDCB.Parity = static_cast<BYTE>(FParity);
        FDCB.BaudRate = static_cast<DWORD>(BaudRateValue(FBaudRate));
        FDCB.ByteSize = static_cast<BYTE>(5 + FDataBits);
        FDCB.StopBits = static_cast<BYTE>(FStopBits);
        FDCB.fDtrControl = FDTRInitialLevel ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        FDCB.fRtsControl = FRTSInitialLevel ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        FDCB.XonLim = 1024;
        FDCB.XoffLim = 256;
        FDCB.XonChar = 0x11;
        FDCB.XoffChar = 0x13;
        if (!SetCommState(FHandle, &FDCB)) {
            fail("SetCommState", __LINE__);
            break;
        }

        try {
            FStatusThread = std::make_unique<TLNKCOMStatusThread>(FHandle, indicator, report, this);
        } catch (...) {
            FStatusThread.reset();
        }
        if (!FStatusThread) {
            ReportHere(rtError, "OpenCOMPort", "COM port status thread creation", __LINE__, 0);
            break;
        }
        FOpenStep = 5;
        if (FStatusThread->InitFailed()) {
            ReportHere(rtError, "OpenCOMPort", "COM port status thread initialisation", __LINE__,
                       0);
            break;
        }

        try {
            FRxThread = std::make_unique<TLNKCOMRxThread>(FHandle, indicator, report, this);
        } catch (...) {
            FRxThread.reset();
        }
        if (!FRxThread) {
            ReportHere(rtError, "OpenCOMPort", "COM port Rx data thread creation", __LINE__, 0);
            break;
        }
        FOpenStep = 6;
        if (FRxThread->InitFailed()) {
            ReportHere(rtError, "OpenCOMPort", "COM port Rx data thread initialisation", __LINE__,
                       0);
            break;
        }

        try {
            FTxThread = std::make_unique<TLNKCOMTxThread>(FHandle, indicator, report, this);
        } catch (...) {
            FTxThread.reset();
        }
        if (!FTxThread) {
            ReportHere(rtError, "OpenCOMPort", "COM port Tx data thread creation", __LINE__, 0);
            break;
        }
        if (FTxThread->InitFailed()) {
            // The port is not usable without its transmit worker: fail the
            // open (FOpenStep stays 6) instead of reporting it as open.
            ReportHere(rtError, "OpenCOMPort", "COM port Tx data thread initialisation", __LINE__,
                       0);
            FTxThread.reset();
            break;
        }
        FOpenStep = 7;

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

        FStatusThread->SetPriority(pmv::platform::tpTimeCritical);
        FRxThread->SetPriority(pmv::platform::tpTimeCritical);
        FTxThread->SetPriority(pmv::platform::tpTimeCritical);
    } while (false);

    if (FOpenStep == 7 && OnOpen) {
        FInSequence = false; // the handler may close the port again
        const TLNKNotifyEvent handler = OnOpen;
        handler(this);
    }
    if (FOpenStep < 7)
        CloseCOMPort();
    return FOpenStep == 7;
}

template <class T> void TLNKCOMPort::StopWorker(std::unique_ptr<T>& worker) {
    if (!worker)
        return;
    if (worker->InSyncCall()) {
        // Close() was called by one of this worker's own handlers: the worker
        // is blocked until that handler returns, so it cannot be waited for
        // now. It is stopped (its pending operation ended while the handle is
        // still open), ends when the handler returns, and is released then.
        worker->Stop();
        FStoppedWorkers.push_back(std::move(worker));
        QTimer::singleShot(0, this, [this] { ReapStoppedWorkers(); });
        return;
    }
    worker.reset();
}

void TLNKCOMPort::ReapStoppedWorkers() {
    bool waiting = false;
    for (auto& worker : FStoppedWorkers) {
        if (worker && !worker->InSyncCall())
            worker.reset();
        else if (worker)
            waiting = true;
    }
    std::erase(FStoppedWorkers, nullptr);
    if (waiting)
        QTimer::singleShot(20, this, [this] { ReapStoppedWorkers(); });
}

bool TLNKCOMPort::CloseCOMPort() {
    SequenceGuard guard(FInSequence);
    const int step = FOpenStep;
    bool undoFailed = false;
    auto fail = [this, &undoFailed](const char* call, int line) {
        const DWORD err = GetLastError();
        undoFailed = true;
        ReportHere(rtError, "OpenCOMPort", call, line, err);
    };

    // Destroying a worker stops it and waits for its end while running its
    // pending synchronized calls (so handlers may run here).
    if (step >= 7)
        StopWorker(FTxThread);
    if (step >= 6)
        StopWorker(FRxThread);
    if (step >= 5)
        StopWorker(FStatusThread);

    if (step >= 4 && !SetCommMask(FHandle, FSavedCommMask))
        fail("SetCommMask", __LINE__);
    if (step >= 3 &&
        !SetupComm(FHandle, FPropsBefore.dwCurrentRxQueue, FPropsBefore.dwCurrentTxQueue))
        fail("SetupComm", __LINE__);
    if (step >= 2 && !SetCommTimeouts(FHandle, &FSavedTimeouts))
        fail("SetCommTimeouts", __LINE__);
    if (step >= 1 && !CloseHandle(FHandle))
        fail("CloseHandle", __LINE__);
    FHandle = nullptr;

    FOpenStep = 0;
    for (int i = 0; i < IndicatorCount; ++i)
        Indicator(static_cast<TIndicatorType>(i), false);

    // Last, so that a handler may open the port again.
    if (step == 7 && !undoFailed && OnClose) {
        FInSequence = false;
        const TLNKNotifyEvent handler = OnClose;
        handler(this);
    }
    return true;
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

void TLNKCOMPort::COMDlg(int X, int Y) {
    int port = FPort;
    TBaudRate baudRate = FBaudRate;
    TDataBits dataBits = FDataBits;
    TParity parity = FParity;
    TStopBits stopBits = FStopBits;
    TLNKCOMDlgFrm form(X, Y, "COM Port Settings", TCOMDlgReadOnlyAttribs{}, FCOMMax, port, baudRate,
                       dataBits, parity, stopBits, OwnerWidget(Owner()));
    if (form.exec() == QDialog::Accepted) {
        SetPort1(port);
        SetBaudRate(baudRate);
        SetDataBits(dataBits);
        SetParity(parity);
        SetStopBits(stopBits);
    }
}

} // namespace QORLNK
