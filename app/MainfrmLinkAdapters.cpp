#include "app/MainfrmLinkAdapters.h"

#include "app/HostApplication.h"
#include "app/Mainfrm.h"
#include "comport/Lnkcomport.h"

#include <QLineEdit>

namespace {

// Attempts on the next turns of the event loop before waiting a millisecond
// between attempts.
constexpr int ImmediateRetries = 10;

QString Latin1(std::string_view s) {
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

} // namespace

// ---- Port ---------------------------------------------------------------------------

TFormLinkPort::TFormLinkPort(QORLNK::TLNKCOMPort& port) : FPort(port) {
    for (std::string& b : FBuffers)
        b.reserve(128);
    FRetryTimer.setSingleShot(true);
    QObject::connect(&FRetryTimer, &QTimer::timeout, [this] { Retry(); });
    FPort.OnTxData = [this](QORLNK::TLNKCOMTxThread*, int) { TxDone(); };
}

TFormLinkPort::~TFormLinkPort() {
    FPort.OnTxData = nullptr;
}

bool TFormLinkPort::IsOpen() const {
    return FPort.GetOpened();
}

bool TFormLinkPort::HandOver(int buffer) {
    const std::string& b = FBuffers[buffer];
    if (!FPort.TxData(b.data(), static_cast<int>(b.size())))
        return false;
    FInTransit = buffer;
    if (OnHandOver)
        OnHandOver();
    return true;
}

bool TFormLinkPort::TxData(const std::uint8_t* data, int len) {
    // A frame still waiting is out of date: the engine has moved on.
    if (FWaiting >= 0)
        Drop();
    // Never the buffer the component may still be writing.
    const int buffer = FInTransit == 0 ? 1 : 0;
    FBuffers[buffer].assign(reinterpret_cast<const char*>(data),
                            static_cast<std::size_t>(std::max(len, 0)));
    if (HandOver(buffer))
        return true;
    if (len < 1 || !FPort.GetOpened())
        return false;
    // Refused on an open port: the previous block is still being finished.
    ++FDeferred;
    FWaiting = buffer;
    FAttempts = 0;
    FGiveUp = Clock::now() + std::chrono::milliseconds(pmv::TRequestEngine::ReplyTimeoutMs);
    if (FInTransit >= 0)
        FRetryTimer.start(pmv::TRequestEngine::ReplyTimeoutMs); // TxDone comes first
    else
        FRetryTimer.start(0);
    return true;
}

// OnTxData: the block in transit has been written. The component takes the
// next one once this handler has returned.
void TFormLinkPort::TxDone() {
    FInTransit = -1;
    if (FWaiting >= 0)
        FRetryTimer.start(0);
}

void TFormLinkPort::Retry() {
    if (FWaiting < 0)
        return;
    if (!FPort.GetOpened()) {
        Drop();
        return;
    }
    if (HandOver(FWaiting)) {
        FWaiting = -1;
        return;
    }
    const Clock::time_point now = Clock::now();
    if (now >= FGiveUp) {
        Drop();
        return;
    }
    if (FInTransit >= 0) {
        // Still writing the previous block: wait for its completion.
        FRetryTimer.start(
            static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(FGiveUp - now).count()));
        return;
    }
    ++FAttempts;
    FRetryTimer.start(FAttempts < ImmediateRetries ? 0 : 1);
}

void TFormLinkPort::Drop() {
    FWaiting = -1;
    FRetryTimer.stop();
    ++FDropped;
}

// ---- Timer --------------------------------------------------------------------------

TFormLinkTimer::TFormLinkTimer(QTimer& timer) : FTimer(timer) {
    // One tick per request: the engine restarts it with every frame.
    FTimer.setSingleShot(true);
    FTimer.setInterval(pmv::TRequestEngine::ReplyTimeoutMs);
}

void TFormLinkTimer::Start() {
    FTimer.start();
}

void TFormLinkTimer::Stop() {
    FTimer.stop();
}

// ---- View ---------------------------------------------------------------------------

void TFormLinkView::AppendLog(std::string_view line) {
    FForm.Log(Latin1(line));
}

void TFormLinkView::ShowCount(pmv::TLinkCounter counter, int value) {
    int panel = 2;
    switch (counter) {
    case pmv::TLinkCounter::Tx:
        FForm.TxCount = value;
        panel = 2;
        break;
    case pmv::TLinkCounter::Rx:
        FForm.RxCount = value;
        panel = 4;
        break;
    case pmv::TLinkCounter::RxTimeout:
        FForm.RxTOCount = value;
        panel = 6;
        break;
    }
    FForm.SetStatusPanel(panel, QString::number(value));
}

bool TFormLinkView::ShowTransmissions() const {
    return FForm.OptionChecked(0);
}

bool TFormLinkView::ShowUnframedReceptions() const {
    return FForm.OptionChecked(1);
}

bool TFormLinkView::ShowCommandDescription() const {
    return FForm.OptionChecked(2);
}

std::string TFormLinkView::EditText(int index) const {
    if (index < 0 || index >= pmv::SlotCount)
        return {};
    const QByteArray b = FForm.SlotCtrls[index].edit->text().toLatin1();
    return std::string(b.constData(), static_cast<std::size_t>(b.size()));
}

void TFormLinkView::SetEditText(int index, std::string_view text) {
    FForm.SetSlotEditText(index, Latin1(text));
}

void TFormLinkView::ConvertError(const std::string& message) {
    const QString text =
        QString::fromLatin1(message.data(), static_cast<qsizetype>(message.size()));
    QTimer::singleShot(0, &FForm, [text] { pmv::ShowError(text); });
}

// ---- Holder -------------------------------------------------------------------------

TMainFormLink::TMainFormLink(TMainForm& form)
    : Port(*form.LNKCOMPort), Timer(*form.RxTimer), View(form),
      Engine(form.CmdTable, Port, Timer, View), FForm(form) {
    form.LNKCOMPort->OnRxChar = [&form](QORLNK::TLNKCOMRxThread* sender, char ch) {
        form.LNKCOMPortRxChar(sender, ch);
    };
    FTimerConnection = QObject::connect(form.RxTimer, &QTimer::timeout, &form,
                                        [&form] { pmv::RunGuarded([&] { form.RxTimerTimer(); }); });
}

TMainFormLink::~TMainFormLink() {
    // The port component outlives this object (it is a child of the window)
    // and may still deliver bytes while it closes.
    FForm.LNKCOMPort->OnRxChar = nullptr;
    QObject::disconnect(FTimerConnection);
    // It writes straight from Port's frame buffers, so the transfer ends
    // here, before they go (Close waits for the transmit thread).
    if (FForm.LNKCOMPort->GetOpened())
        FForm.LNKCOMPort->Close();
}

int VirtualKeyOf(int qtKey) {
    switch (qtKey) {
    case Qt::Key_Up:
        return pmv::vkUp;
    case Qt::Key_Down:
        return pmv::vkDown;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return pmv::vkReturn;
    default:
        return 0;
    }
}
