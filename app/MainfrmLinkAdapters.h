// The request engine on the main window: the three adapters that connect
// TRequestEngine (app/link) to the window's serial port component, its reply
// timer and its widgets, and the holder that owns them with the engine.
//
// Data flow: a window handler calls the engine; the engine hands frames to
// TFormLinkPort (-> LNKCOMPort->TxData), starts and stops the reply timer
// through TFormLinkTimer (-> RxTimer) and shows its results through
// TFormLinkView (-> Memo, status panels 2/4/6, slot edits, error box).
// Received bytes come back from LNKCOMPort's OnRxChar, which the window
// handles in LNKCOMPortRxChar, straight into the engine's reply assembler.
// Everything here runs on the user-interface thread.
#pragma once

#include "app/link/RequestEngine.h"

#include <QMetaObject>
#include <QTimer>

#include <array>
#include <chrono>
#include <functional>
#include <string>

class TMainForm;

namespace QORLNK {
class TLNKCOMPort;
} // namespace QORLNK

// The serial port component as the engine's port.
//
// TLNKCOMPort::TxData keeps only a pointer to the caller's bytes and refuses a
// new block while one is in transit. The block stays "in transit" a little
// longer than the write itself: the transmit thread clears its busy state
// only after its completion call (OnTxData) has run on this thread, and a
// fast target's reply may be delivered before that. A run that sends its
// next frame from the reply would then be refused although the line is free.
// So the adapter copies each frame into a buffer of its own (never one that
// the component may still be writing) and, when the component refuses it
// while the previous block is still being finished, hands it over again as
// soon as the component takes it: after the previous block's OnTxData, or
// on the next turns of the event loop, for at most the reply time-out. A
// frame that is still refused then is dropped; the engine counts it and times
// out as for a lost frame. The buffers must outlive any write: the holder
// below closes the port before they go.
class TFormLinkPort : public pmv::TLinkPort {
public:
    using Clock = std::chrono::steady_clock;

    explicit TFormLinkPort(QORLNK::TLNKCOMPort& port);
    ~TFormLinkPort() override;

    bool IsOpen() const override;
    bool TxData(const std::uint8_t* data, int len) override;

    // Frames the component refused at first, and frames never sent (given up,
    // replaced by a newer frame, or the port closed while they waited).
    unsigned long Deferred() const { return FDeferred; }
    unsigned long Dropped() const { return FDropped; }
    bool Waiting() const { return FWaiting >= 0; }
    // Called each time the component has accepted a frame (for measurements).
    std::function<void()> OnHandOver;

private:
    bool HandOver(int buffer);
    void TxDone();
    void Retry();
    void Drop();

    QORLNK::TLNKCOMPort& FPort;
    std::array<std::string, 2> FBuffers;
    int FInTransit = -1;         // accepted by the component, OnTxData not yet seen
    int FWaiting = -1;           // refused while the previous block was finishing
    Clock::time_point FGiveUp{}; // the waiting frame is dropped after this
    int FAttempts = 0;
    QTimer FRetryTimer;
    unsigned long FDeferred = 0;
    unsigned long FDropped = 0;
};

// RxTimer as the engine's reply timer.
class TFormLinkTimer : public pmv::TLinkTimer {
public:
    explicit TFormLinkTimer(QTimer& timer);
    void Start() override;
    void Stop() override;

private:
    QTimer& FTimer;
};

// The window's log, status panels, Options check marks and slot edits.
class TFormLinkView : public pmv::TLinkView {
public:
    explicit TFormLinkView(TMainForm& form) : FForm(form) {}

    void AppendLog(std::string_view line) override;
    void ShowCount(pmv::TLinkCounter counter, int value) override;
    bool ShowTransmissions() const override;
    bool ShowUnframedReceptions() const override;
    bool ShowCommandDescription() const override;
    std::string EditText(int index) const override;
    void SetEditText(int index, std::string_view text) override;
    // Shown in the application's standard error box, queued: the error may
    // come up while a reply is processed inside the port's receive event,
    // where a modal box would hold the receive thread and the rest of the
    // reply path until it is closed.
    void ConvertError(const std::string& message) override;

private:
    TMainForm& FForm;
};

// Owns the adapters and the engine for the window's lifetime, and binds the
// port's receive event and the reply timer to the window's handlers.
class TMainFormLink {
public:
    explicit TMainFormLink(TMainForm& form);
    ~TMainFormLink(); // unbinds before the port component goes away
    TMainFormLink(const TMainFormLink&) = delete;
    TMainFormLink& operator=(const TMainFormLink&) = delete;

    TFormLinkPort Port;
    TFormLinkTimer Timer;
    TFormLinkView View;
    pmv::TRequestEngine Engine;

private:
    TMainForm& FForm;
    QMetaObject::Connection FTimerConnection;
};

// Virtual key code of a Qt key for the engine's CmdEditKey: Up, Down, and
// Return or Enter; 0 for any other key.
int VirtualKeyOf(int qtKey);
