#include "app/link/PortLink.h"

#include "comport/Lnkcomport.h"
#include "platform/PortStatus.h"

#include <algorithm>
#include <exception>

namespace pmv {

namespace {

// Attempts on the next turns of the event loop before waiting a millisecond
// between attempts.
constexpr int kImmediateRetries = 10;

} // namespace

// ---- Port ---------------------------------------------------------------------------

TComPortAdapter::TComPortAdapter(QORLNK::TLNKCOMPort& port) : m_port(port) {
    for (std::string& b : m_buffers)
        b.reserve(128);
    m_retryTimer.setSingleShot(true);
    QObject::connect(&m_retryTimer, &QTimer::timeout, [this] { Retry(); });
    m_port.OnTxData = [this](QORLNK::TLNKCOMTxThread*, int) { TxDone(); };
}

TComPortAdapter::~TComPortAdapter() {
    m_port.OnTxData = nullptr;
}

bool TComPortAdapter::IsOpen() const {
    return m_port.GetOpened();
}

bool TComPortAdapter::HandOver(int buffer) {
    const std::string& b = m_buffers[buffer];
    if (!m_port.TxData(b.data(), static_cast<int>(b.size())))
        return false;
    m_inTransit = buffer;
    if (m_traffic)
        m_traffic->Sent(reinterpret_cast<const std::uint8_t*>(b.data()), b.size(),
                        TTrafficLog::TClock::now());
    if (m_onHandOver)
        m_onHandOver();
    return true;
}

bool TComPortAdapter::TxData(const std::uint8_t* data, int len) {
    // A frame still waiting is out of date: the engine has moved on.
    if (m_waiting >= 0)
        Drop();
    // Never the buffer the component may still be writing.
    const int buffer = m_inTransit == 0 ? 1 : 0;
    m_buffers[buffer].assign(reinterpret_cast<const char*>(data),
                             static_cast<std::size_t>(std::max(len, 0)));
    if (HandOver(buffer))
        return true;
    if (len < 1 || !m_port.GetOpened())
        return false;
    // Refused on an open port: the previous block is still being finished.
    ++m_deferred;
    m_waiting = buffer;
    m_attempts = 0;
    m_retryTimer.start(0);
    return true;
}

// OnTxData: the block in transit has been written. The component takes the
// next one once this handler has returned.
void TComPortAdapter::TxDone() {
    m_inTransit = -1;
    if (m_waiting >= 0) {
        m_attempts = 0;
        m_retryTimer.start(0);
    }
}

void TComPortAdapter::Retry() {
    if (m_waiting < 0)
        return;
    if (!m_port.GetOpened()) {
        Drop();
        return;
    }
    if (HandOver(m_waiting)) {
        m_waiting = -1;
        if (m_onLateHandOver)
            m_onLateHandOver();
        return;
    }
    // Still being written, or its completion not yet due: a hand-over runs
    // the completion as soon as it is.
    ++m_attempts;
    m_retryTimer.start(m_attempts < kImmediateRetries ? 0 : 1);
}

void TComPortAdapter::DropWaiting() {
    if (m_waiting >= 0)
        Drop();
}

void TComPortAdapter::Drop() {
    m_waiting = -1;
    m_retryTimer.stop();
    ++m_dropped;
}

// ---- Timer --------------------------------------------------------------------------

TReplyTimer::TReplyTimer(QTimer& timer) : m_timer(timer) {
    // One tick per request: the engine starts it again with every frame.
    m_timer.setSingleShot(true);
    m_timer.setInterval(ReplyTimeoutMs());
}

void TReplyTimer::Start() {
    m_timer.start();
}

void TReplyTimer::Stop() {
    m_timer.stop();
}

bool TReplyTimer::Running() const {
    return m_timer.isActive();
}

// ---- Holder -------------------------------------------------------------------------

namespace {

// Runs body; the message of an exception it throws goes to report.
template <class TBody, class TReport> void Guarded(TBody body, TReport report) {
    try {
        body();
        return;
    } catch (const std::exception& e) {
        report(std::string(e.what()));
    } catch (...) {
        report(std::string());
    }
}

} // namespace

TPortLink::TPortLink(const TCmdTable& table, QORLNK::TLNKCOMPort& port, QTimer& replyTimer,
                     TLinkView& view, TErrorHandler onError)
    : m_component(port), m_port(port), m_timer(replyTimer), m_engine(table, m_port, m_timer, view),
      m_onError(std::move(onError)) {
    m_component.OnRxChar = [this](QORLNK::TLNKCOMRxThread*, char ch) { RxChar(ch); };
    // The reply time-out counts from the moment the port took the frame.
    m_port.SetLateHandOverHook([this] {
        if (m_timer.Running())
            m_timer.Start();
    });
    m_timeout =
        QObject::connect(&replyTimer, &QTimer::timeout, &m_context, [this] { ReplyTimeout(); });
}

TPortLink::~TPortLink() {
    // The port may still deliver bytes while it closes.
    m_component.OnRxChar = nullptr;
    QObject::disconnect(m_timeout);
    // The component writes straight from the adapter's buffers: the transfer
    // ends here, before they go (Close waits for the transmit thread).
    if (m_component.GetOpened())
        m_component.Close();
}

void TPortLink::SetTraffic(TTrafficLog* traffic) {
    m_traffic = traffic;
    m_port.SetTraffic(traffic);
}

void TPortLink::RxChar(char ch) {
    if (m_traffic)
        m_traffic->Received(static_cast<std::uint8_t>(ch), TTrafficLog::TClock::now());
    Guarded([&] { m_engine.RxChar(static_cast<std::uint8_t>(ch)); },
            [this](const std::string& what) {
                QTimer::singleShot(0, &m_context, [this, what] {
                    if (m_onError)
                        m_onError(what);
                });
            });
}

void TPortLink::ReplyTimeout() {
    // A reply that reached the port before the deadline is no time-out,
    // however late this thread gets to the tick: what the receive side holds
    // goes to the engine first. A reply among it ends the request, and a run
    // may already have sent its next frame, whose timer then runs again.
    m_component.DeliverReceived();
    if (m_timer.Running())
        return;
    // A frame the port has not taken in all that time is not sent any more.
    m_port.DropWaiting();
    Guarded([&] { m_engine.RxTimerTimer(); },
            [this](const std::string& what) {
                if (m_onError)
                    m_onError(what);
            });
}

std::string OpenComPort(QORLNK::TLNKCOMPort& port) {
    std::string call;
    int error = 0;
    const QORLNK::TLNKReportEvent owners = port.OnReport;
    port.OnReport = [&](QORLNK::TLNKCOMPort* sender, QORLNK::TReportType type,
                        const std::string& func, const std::string& desc, const std::string& file,
                        int line, int apiErr) {
        // The first failure of the open sequence is the reason; what the
        // undoing of its steps reports afterwards is not.
        if (call.empty() && type == QORLNK::rtError && func == "OpenCOMPort") {
            call = desc;
            error = apiErr;
        }
        if (owners)
            owners(sender, type, func, desc, file, line, apiErr);
    };
    port.Open();
    port.OnReport = owners;
    if (port.GetOpened())
        return {};
    return platform::ExplainComError(port.Port(), static_cast<std::uint32_t>(error),
                                     call.empty() ? std::string("CreateFile") : call);
}

} // namespace pmv
