// Modem lines, breaks and receive errors: the event computation as a pure
// function, and the whole path through a scripted line source on a pty.
#include "PlatformTestSupport.h"
#include "platform/posix/LineSource.h"

#include <cstring>
#include <sys/ioctl.h>

using namespace pmvtest;
using pmv::platform::CommErrorsBetween;
using pmv::platform::CommEventsBetween;
using pmv::platform::LineState;
using pmv::platform::ScriptedLineSource;

namespace {

constexpr DWORD kComponentMask = 0x1F8; // CTS, DSR, RLSD, BREAK, ERR, RING

LineState Lines(DWORD modem) {
    LineState s;
    s.modem = modem;
    return s;
}

LineState With(LineState s, std::uint32_t LineState::*counter, std::uint32_t value) {
    s.*counter = value;
    return s;
}

struct EventRow {
    const char* name;
    LineState before, after;
    DWORD mask;
    bool parity;
    DWORD events;
    DWORD errors;
};

const EventRow kEventRows[] = {
    {"nothing changed", Lines(MS_CTS_ON), Lines(MS_CTS_ON), kComponentMask, false, 0, 0},
    {"CTS rises", Lines(0), Lines(MS_CTS_ON), kComponentMask, false, EV_CTS, 0},
    {"CTS falls", Lines(MS_CTS_ON), Lines(0), kComponentMask, false, EV_CTS, 0},
    {"DSR and carrier change", Lines(MS_DSR_ON), Lines(MS_RLSD_ON), kComponentMask, false,
     EV_DSR | EV_RLSD, 0},
    {"ring starts", Lines(0), Lines(MS_RING_ON), kComponentMask, false, EV_RING, 0},
    {"CTS pulse between samples (counter only)", Lines(0), With(Lines(0), &LineState::cts, 2),
     kComponentMask, false, EV_CTS, 0},
    {"ring pulse between samples", Lines(0), With(Lines(0), &LineState::ring, 1), kComponentMask,
     false, EV_RING, 0},
    {"masked out", Lines(0), Lines(MS_CTS_ON | MS_DSR_ON), EV_DSR, false, EV_DSR, 0},
    {"empty mask", Lines(0), Lines(MS_CTS_ON), 0, false, 0, 0},
    {"break", Lines(0), With(Lines(0), &LineState::brk, 1), kComponentMask, false, EV_BREAK,
     CE_BREAK},
    {"framing error", Lines(0), With(Lines(0), &LineState::frame, 3), kComponentMask, false, EV_ERR,
     CE_FRAME},
    {"overrun", Lines(0), With(Lines(0), &LineState::overrun, 1), kComponentMask, false, EV_ERR,
     CE_OVERRUN},
    {"parity error with checking off", Lines(0), With(Lines(0), &LineState::parity, 1),
     kComponentMask, false, 0, 0},
    {"parity error with checking on", Lines(0), With(Lines(0), &LineState::parity, 1),
     kComponentMask, true, EV_ERR, CE_RXPARITY},
    {"input queue overflow: an error, no event", Lines(0),
     With(Lines(0), &LineState::bufOverrun, 1), kComponentMask, false, 0, CE_RXOVER},
    {"break not in mask still sets the error", Lines(0), With(Lines(0), &LineState::brk, 1), EV_CTS,
     false, 0, CE_BREAK},
};

TEST(CommEvents, PureFunctionTable) {
    for (const EventRow& row : kEventRows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(CommEventsBetween(row.before, row.after, row.mask, row.parity), row.events);
        EXPECT_EQ(CommErrorsBetween(row.before, row.after, row.parity), row.errors);
    }
}

class CommLines : public OpenPortTest {
protected:
    void Attach() {
        lines = std::make_shared<ScriptedLineSource>();
        ASSERT_TRUE(pmv::platform::AttachLineSource(h, lines));
    }
    /// Waits for the next comm event as the status worker does.
    DWORD NextEvents() {
        OverlappedRecord rec;
        DWORD events = kSentinel;
        if (!WaitCommEvent(h, &events, &rec.ov)) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
            if (WaitForSingleObject(rec.ov.hEvent, kLongWaitMs) != WAIT_OBJECT_0) {
                SetCommMask(h, kComponentMask); // ends the wait before rec goes
                ADD_FAILURE() << "no comm event";
                return 0;
            }
            DWORD unused = 0;
            EXPECT_TRUE(GetOverlappedResult(h, &rec.ov, &unused, FALSE));
        }
        return events;
    }
    std::shared_ptr<ScriptedLineSource> lines;
};

TEST_F(CommLines, PtyHasNoModemLines) {
    DWORD status = kSentinel;
    SetLastError(kSentinel);
    EXPECT_FALSE(GetCommModemStatus(h, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(status, kSentinel);
    for (DWORD f : {SETRTS, CLRRTS, SETDTR, CLRDTR, SETBREAK, CLRBREAK}) {
        SCOPED_TRACE(f);
        SetLastError(kSentinel);
        EXPECT_FALSE(EscapeCommFunction(h, f));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    }
    // The settings still apply: DTR/RTS control on a device without lines is
    // not an error there.
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    EXPECT_TRUE(SetCommState(h, &dcb));
    DWORD errors = kSentinel;
    EXPECT_TRUE(ClearCommError(h, &errors, nullptr));
    EXPECT_EQ(errors, 0u);
}

TEST_F(CommLines, OutputLinesAndStatus) {
    Attach();
    struct Row {
        DWORD func;
        int outputs;
        bool brk;
    };
    const Row rows[] = {
        {SETRTS, TIOCM_RTS, false}, {SETDTR, TIOCM_RTS | TIOCM_DTR, false},
        {CLRRTS, TIOCM_DTR, false}, {SETBREAK, TIOCM_DTR, true},
        {CLRDTR, 0, true},          {CLRBREAK, 0, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.func);
        SetLastError(kSentinel);
        ASSERT_TRUE(EscapeCommFunction(h, row.func));
        EXPECT_EQ(GetLastError(), kSentinel);
        EXPECT_EQ(lines->Outputs(), row.outputs);
        EXPECT_EQ(lines->BreakOn(), row.brk);
    }
    for (DWORD ms : {0u, MS_CTS_ON, MS_DSR_ON | MS_RING_ON, MS_RLSD_ON,
                     MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON}) {
        SCOPED_TRACE(ms);
        lines->SetModem(ms);
        DWORD status = kSentinel;
        ASSERT_TRUE(GetCommModemStatus(h, &status));
        EXPECT_EQ(status, ms);
    }
    // DTR and RTS follow the control setting of every applied block.
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(h, &dcb));
    EXPECT_EQ(lines->Outputs(), TIOCM_DTR);
    dcb.BaudRate = 19200; // a line setting change keeps the levels
    ASSERT_TRUE(SetCommState(h, &dcb));
    EXPECT_EQ(lines->Outputs(), TIOCM_DTR);
}

TEST_F(CommLines, LineChangesWakeAPendingWait) {
    Attach();
    ASSERT_TRUE(SetCommMask(h, kComponentMask));
    const struct {
        const char* name;
        std::function<void()> act;
        DWORD events;
    } rows[] = {
        {"CTS on", [&] { lines->SetModem(MS_CTS_ON); }, EV_CTS},
        {"DSR on", [&] { lines->SetModem(MS_CTS_ON | MS_DSR_ON); }, EV_DSR},
        {"ring", [&] { lines->SetModem(MS_CTS_ON | MS_DSR_ON | MS_RING_ON); }, EV_RING},
        {"carrier", [&] { lines->SetModem(MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON); },
         EV_RLSD},
        {"all off", [&] { lines->SetModem(0); }, EV_CTS | EV_DSR | EV_RING | EV_RLSD},
        {"break", [&] { lines->AddBreak(); }, EV_BREAK},
        {"framing error", [&] { lines->AddFrameError(); }, EV_ERR},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        OverlappedRecord rec;
        DWORD events = kSentinel;
        ASSERT_FALSE(WaitCommEvent(h, &events, &rec.ov));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        row.act();
        ASSERT_EQ(WaitForSingleObject(rec.ov.hEvent, kLongWaitMs), WAIT_OBJECT_0);
        DWORD unused = 0;
        EXPECT_TRUE(GetOverlappedResult(h, &rec.ov, &unused, FALSE));
        EXPECT_EQ(events, row.events);
    }
}

TEST_F(CommLines, EventsWithoutAWaitAreKeptForTheNext) {
    Attach();
    ASSERT_TRUE(SetCommMask(h, EV_CTS | EV_BREAK));
    lines->SetModem(MS_CTS_ON);
    lines->AddBreak();
    lines->SetModem(MS_CTS_ON | MS_DSR_ON);                     // DSR is not in the mask
    std::this_thread::sleep_for(std::chrono::milliseconds(40)); // let the watcher see them
    OverlappedRecord rec;
    DWORD events = kSentinel;
    ASSERT_TRUE(WaitCommEvent(h, &events, &rec.ov)) << "kept events complete the wait at once";
    EXPECT_EQ(events, EV_CTS | EV_BREAK);
    EXPECT_EQ(WaitForSingleObject(rec.ov.hEvent, 0), WAIT_OBJECT_0);

    // A new mask starts afresh: what happened before it is not reported.
    lines->SetModem(MS_DSR_ON);
    ASSERT_TRUE(SetCommMask(h, EV_DSR | EV_CTS));
    DWORD again = kSentinel;
    SetLastError(kSentinel);
    EXPECT_FALSE(WaitCommEvent(h, &again, &rec.ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(SetCommMask(h, EV_DSR));
    ASSERT_EQ(WaitForSingleObject(rec.ov.hEvent, kLongWaitMs), WAIT_OBJECT_0);
    EXPECT_EQ(again, 0u);
}

TEST_F(CommLines, ClearCommErrorIsSticky) {
    Attach();
    ASSERT_TRUE(SetCommMask(h, kComponentMask));
    lines->AddFrameError();
    lines->AddOverrun();
    lines->AddBreak();
    lines->AddParityError(); // parity checking is off: not reported
    EXPECT_EQ(NextEvents(), static_cast<DWORD>(EV_BREAK | EV_ERR));
    for (int fill : {0x00, 0xFF}) {
        SCOPED_TRACE(fill);
        COMSTAT st;
        std::memset(&st, fill, sizeof st);
        DWORD errors = kSentinel;
        ASSERT_TRUE(ClearCommError(h, &errors, &st));
        EXPECT_EQ(errors, fill == 0x00 ? static_cast<DWORD>(CE_FRAME | CE_OVERRUN | CE_BREAK) : 0u)
            << "the error word is returned once, then cleared";
        EXPECT_EQ(st.cbInQue, 0u);
        EXPECT_EQ(st.cbOutQue, 0u);
        EXPECT_EQ(st.fCtsHold | st.fDsrHold | st.fRlsdHold | st.fXoffHold | st.fXoffSent | st.fEof |
                      st.fTxim | st.fReserved,
                  0u);
    }
    // With parity checking on, parity errors count.
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.Parity = EVENPARITY;
    dcb.fParity = 1;
    ASSERT_TRUE(SetCommState(h, &dcb));
    lines->AddParityError();
    EXPECT_EQ(NextEvents(), static_cast<DWORD>(EV_ERR));
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(h, &errors, nullptr));
    EXPECT_EQ(errors, static_cast<DWORD>(CE_RXPARITY));
}

TEST_F(CommLines, FailingLineSourceIsReported) {
    Attach();
    lines->SetReadError(ENOTTY);
    DWORD status = kSentinel;
    SetLastError(kSentinel);
    EXPECT_FALSE(GetCommModemStatus(h, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    // A device that vanished under the line source fails the port.
    ASSERT_TRUE(SetCommMask(h, kComponentMask));
    OverlappedRecord rec;
    DWORD events = 0;
    ASSERT_FALSE(WaitCommEvent(h, &events, &rec.ov));
    lines->SetReadError(EIO);
    ASSERT_EQ(WaitForSingleObject(rec.ov.hEvent, kLongWaitMs), WAIT_OBJECT_0);
    DWORD unused = 0;
    SetLastError(kSentinel);
    EXPECT_FALSE(GetOverlappedResult(h, &rec.ov, &unused, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_COMMAND));
}

TEST_F(CommLines, AttachArgumentChecks) {
    SetLastError(kSentinel);
    EXPECT_FALSE(pmv::platform::AttachLineSource(h, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(kSentinel);
    EXPECT_FALSE(pmv::platform::AttachLineSource(nullptr, std::make_shared<ScriptedLineSource>()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

} // namespace
