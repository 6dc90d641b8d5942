// The request engine on the serial port component: the adapters that connect
// TRequestEngine to a TLNKCOMPort and a QTimer, and TPortLink, which owns them
// with the engine and binds the port's receive event and the timer's tick to
// it. Needs the engine, the component and Qt Core only: the owner supplies the
// command table and the view (the main window its widgets, a command-line
// program its own output).
//
// Use:
//
//   QORLNK::TLNKCOMPort port;                  // settings as the owner likes
//   QTimer replyTimer;
//   TMyView view;                              // a pmv::TLinkView
//   pmv::TPortLink link(table, port, replyTimer, view,
//                       [](const std::string& what) { report what });
//   port.Open();
//   link.Engine().GetAllParameters();          // then run the event loop
//
// Everything here runs on the thread that runs the event loop (the
// component's events are synchronized calls onto it). The port, the timer,
// the table and the view must outlive the link; the link closes the port when
// it goes, since the port may be writing from the adapter's buffers.
//
// Frame lifetime, the one rule: the engine builds every frame into one reused
// buffer and TLinkPort::TxData promises the bytes only for the call.
// TLNKCOMPort::TxData keeps a pointer to the bytes until the transmit thread
// has raised OnTxData, and it takes a new block only once that completion call
// has run. TComPortAdapter therefore copies each frame into a buffer of
// its own that the component is not writing from, and keeps it unchanged until
// the component has written it.
#pragma once

#include "app/link/RequestEngine.h"
#include "app/link/Traffic.h"

#include <QMetaObject>
#include <QObject>
#include <QTimer>

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace QORLNK {
class TLNKCOMPort;
} // namespace QORLNK

namespace pmv {

// The serial port component as the engine's port.
//
// The component takes a block as soon as the previous one has been written
// (it raises the previous block's OnTxData first when that is still due).
// It refuses one only while the previous block is really still being
// written, or while its completion has not yet reached this thread. Such a
// frame is kept and handed over as soon as the component takes it: after the
// previous block's OnTxData, or on the next turns of the event loop. It is
// never dropped because the host was slow; it is not sent when the engine
// has moved on: a newer frame replaces it, the reply time-out ends it
// (DropWaiting), or the port is closed meanwhile. A frame handed over late
// calls the late hand-over hook, with which TPortLink starts the reply timer
// again: the time-out covers the line and the target, not this queue.
class TComPortAdapter : public TLinkPort {
public:
    explicit TComPortAdapter(QORLNK::TLNKCOMPort& port);
    ~TComPortAdapter() override;
    TComPortAdapter(const TComPortAdapter&) = delete;
    TComPortAdapter& operator=(const TComPortAdapter&) = delete;

    bool IsOpen() const override;
    bool TxData(const std::uint8_t* data, int len) override;
    // The engine gave the request up: a frame still waiting is not sent.
    void DropWaiting();

    // Frames the component refused at first, and frames never sent (replaced
    // by a newer frame, timed out, or the port closed while they waited).
    unsigned long Deferred() const { return m_deferred; }
    unsigned long Dropped() const { return m_dropped; }
    bool Waiting() const { return m_waiting >= 0; }
    // Called each time the component has accepted a frame (for measurements).
    void SetHandOverHook(std::function<void()> hook) { m_onHandOver = std::move(hook); }
    // Called when a frame the component first refused has been accepted.
    void SetLateHandOverHook(std::function<void()> hook) { m_onLateHandOver = std::move(hook); }
    // Every frame the component accepts goes to traffic too (none: nullptr).
    void SetTraffic(TTrafficLog* traffic) { m_traffic = traffic; }

private:
    bool HandOver(int buffer);
    void TxDone();
    void Retry();
    void Drop();

    QORLNK::TLNKCOMPort& m_port;
    std::array<std::string, 2> m_buffers;
    int m_inTransit = -1; // accepted by the component, OnTxData not yet seen
    int m_waiting = -1;   // refused at first, waiting to be taken
    int m_attempts = 0;
    QTimer m_retryTimer;
    unsigned long m_deferred = 0;
    unsigned long m_dropped = 0;
    std::function<void()> m_onHandOver;
    std::function<void()> m_onLateHandOver;
    TTrafficLog* m_traffic = nullptr;
};

// A QTimer as the engine's reply timer: single shot, ReplyTimeoutMs() as it
// stands when the timer is made.
class TReplyTimer : public TLinkTimer {
public:
    explicit TReplyTimer(QTimer& timer);
    void Start() override;
    void Stop() override;
    // True while a tick is due: the timer was started again after it fired.
    bool Running() const;

private:
    QTimer& m_timer;
};

// Owns the two adapters and the engine, and binds the port's OnRxChar and the
// timer's tick to the engine.
class TPortLink {
public:
    // Told the message of an exception that escaped the engine in a received
    // byte's or a time-out's processing (empty when it carried none).
    using TErrorHandler = std::function<void(const std::string& what)>;

    TPortLink(const TCmdTable& table, QORLNK::TLNKCOMPort& port, QTimer& replyTimer,
              TLinkView& view, TErrorHandler onError);
    ~TPortLink(); // unbinds and closes the port (see above)
    TPortLink(const TPortLink&) = delete;
    TPortLink& operator=(const TPortLink&) = delete;

    TRequestEngine& Engine() { return m_engine; }
    const TRequestEngine& Engine() const { return m_engine; }
    TComPortAdapter& Port() { return m_port; }

    // One received byte into the engine, as the port's OnRxChar delivers it.
    // It runs inside the receive thread's synchronized call, which waits for
    // it: an exception is caught here and reported once the call is over, so
    // that nothing reaches the worker and nothing here waits for an operator.
    void RxChar(char ch);

    // Records every byte sent and received in traffic from now on; nullptr
    // stops it. Without a log the bytes take their usual path with one test
    // of a pointer more. The log must outlive its attachment.
    void SetTraffic(TTrafficLog* traffic);

private:
    void ReplyTimeout();

    QORLNK::TLNKCOMPort& m_component;
    TComPortAdapter m_port;
    TReplyTimer m_timer;
    TRequestEngine m_engine;
    TErrorHandler m_onError;
    TTrafficLog* m_traffic = nullptr;
    QObject m_context; // queued error reports end with the link
    QMetaObject::Connection m_timeout;
};

// Opens port and, when it does not open, says why in one line for the
// operator: the component's report of the open step that failed (its system
// call and error code) is caught while Open runs and explained by the
// platform layer ("COM7 (/dev/ttyUSB0): in use by minicom (pid 4242)").
// An OnReport the owner assigned still gets every report. Empty when the
// port is open afterwards.
std::string OpenComPort(QORLNK::TLNKCOMPort& port);

} // namespace pmv
