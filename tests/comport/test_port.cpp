// TLNKCOMPort end to end against real pseudo-terminals: settings, open and
// close, reports, reception, transmission, lines and a vanishing device.
#include "PtyFixture.h"

#include "comport/LnkText.h"
#include "comport/Lnkcomthreads.h"
#include "comport/Lnkindicator.h"
#include "platform/posix/LineSource.h"

#include <QPointer>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>

using namespace QORLNK;
using namespace comporttest;

namespace {

constexpr int kCom = 7;

class PortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Ok());
        env.Map(kCom, pty.SlavePath());
        port = std::make_unique<TLNKCOMPort>();
        log.Attach(*port);
        port->SetPort1(kCom);
        ASSERT_EQ(port->Port(), kCom);
    }
    void TearDown() override {
        // The handlers refer to the test body's locals, which are gone now.
        port->OnOpen = nullptr;
        port->OnClose = nullptr;
        port->OnRxChar = nullptr;
        port->OnTxData = nullptr;
        port->OnCTS = port->OnDSR = port->OnRI = port->OnCD = nullptr;
        port->OnRxBreak = port->OnRxError = nullptr;
        port->OnDeviceLost = nullptr;
        port.reset();
    }

    // Opens the port and checks that only the modem-line reads a
    // pseudo-terminal cannot do were reported.
    void OpenOk() {
        ASSERT_TRUE(port->Open()) << log.Dump();
        ASSERT_TRUE(port->GetOpened());
        EXPECT_TRUE(log.WithoutLineReads().empty()) << log.Dump();
        log.reps.clear();
    }

    // Gives the port a scripted line source (a pty has no modem lines).
    std::shared_ptr<pmv::platform::ScriptedLineSource> AttachLines() {
        auto lines = std::make_shared<pmv::platform::ScriptedLineSource>();
        EXPECT_TRUE(pmv::platform::AttachLineSource(port->GetHandle(), lines));
        return lines;
    }

    DeviceMapEnv env;
    Pty pty;
    ReportLog log;
    std::unique_ptr<TLNKCOMPort> port;
};

// ---------------------------------------------------------------------------
// Settings model

TEST(PortSettings, TextFormsOfEveryValue) {
    DeviceMapEnv env;
    TLNKCOMPort port;
    const char* bauds[] = {"110",  "300",   "600",   "1200",  "2400",  "4800",
                           "9600", "19200", "38400", "57600", "115200"};
    for (int b = br110; b <= br115200; ++b) {
        SCOPED_TRACE(b);
        port.SetBaudRate(static_cast<TBaudRate>(b));
        EXPECT_EQ(port.GetBaudRateStr(), bauds[b]);
    }
    const char* bits[] = {"5", "6", "7", "8"};
    for (int d = db5; d <= db8; ++d) {
        port.SetDataBits(static_cast<TDataBits>(d));
        EXPECT_EQ(port.GetDataBitsStr(), bits[d]);
    }
    const char* parities[] = {"none", "odd", "even", "mark", "space"};
    for (int p = paNone; p <= paSpace; ++p) {
        port.SetParity(static_cast<TParity>(p));
        EXPECT_EQ(port.GetParityStr(), parities[p]);
    }
    const char* stops[] = {"1", "1.5", "2"};
    for (int s = sb1; s <= sb2; ++s) {
        port.SetStopBits(static_cast<TStopBits>(s));
        EXPECT_EQ(port.GetStopBitsStr(), stops[s]);
    }
    EXPECT_EQ(ParityStr(static_cast<TParity>(5)), "<invalid parity>");
    // Out-of-range values given to the setters are ignored.
    port.SetParity(static_cast<TParity>(5));
    port.SetBaudRate(static_cast<TBaudRate>(11));
    port.SetDataBits(static_cast<TDataBits>(-1));
    port.SetStopBits(static_cast<TStopBits>(3));
    EXPECT_EQ(port.Parity(), paSpace);
    EXPECT_EQ(port.BaudRate(), br115200);
    EXPECT_EQ(port.DataBits(), db8);
    EXPECT_EQ(port.StopBits(), sb2);
    port.SetPort1(12);
    EXPECT_EQ(port.GetPortStr(), "12");
}

TEST(PortSettings, QueueSizeLimits) {
    DeviceMapEnv env;
    struct Row {
        int value;
        int expected;
    } rows[] = {{1023, 20480}, {1024, 1024}, {512000, 512000}, {512001, 512000}, {-5, 512000}};
    TLNKCOMPort port;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.value);
        port.SetRxQueueSize(r.value);
        port.SetTxQueueSize(r.value);
        EXPECT_EQ(port.GetRxQueueSize(), r.expected);
        EXPECT_EQ(port.GetTxQueueSize(), r.expected);
    }
}

TEST(PortSettings, RunModeStartsOnFirstPresentPortOrOne) {
    DeviceMapEnv env;
    {
        TLNKCOMPort port;
        EXPECT_EQ(port.Port(), 1); // nothing present
        EXPECT_EQ(port.FirstCOMPort(), 0);
    }
    env.Map(3, env.FakeDevice("three"));
    env.Map(5, env.FakeDevice("five"));
    TLNKCOMPort port;
    EXPECT_EQ(port.Port(), 3);
    EXPECT_EQ(port.FirstCOMPort(), 3);
    EXPECT_TRUE(port.IsPortPresent(5));
    EXPECT_FALSE(port.IsPortPresent(4));
    // Run mode: COMMax and EnumMode stay; Port takes 1..COMMax without a
    // presence check.
    port.SetCOMMax(64);
    EXPECT_EQ(port.COMMax(), 32);
    port.SetEnumMode(emAll);
    EXPECT_EQ(port.EnumMode(), emPresent);
    port.SetPort1(4);
    EXPECT_EQ(port.Port(), 4);
    port.SetPort1(0);
    port.SetPort1(33);
    EXPECT_EQ(port.Port(), 4);
}

TEST(PortSettings, DesignModeRules) {
    DeviceMapEnv env;
    env.Map(3, env.FakeDevice("three"));
    env.Map(5, env.FakeDevice("five"));
    TLNKCOMPort port(nullptr, true);
    EXPECT_TRUE(port.Designing());
    EXPECT_EQ(port.Port(), 3);
    struct Step {
        const char* what;
        std::function<void()> act;
        int port;
        int comMax;
        TEnumMode mode;
    } steps[] = {
        {"absent port refused with emPresent", [&] { port.SetPort1(4); }, 3, 32, emPresent},
        {"present port taken", [&] { port.SetPort1(5); }, 5, 32, emPresent},
        {"0 means no port", [&] { port.SetPort1(0); }, 0, 32, emPresent},
        {"COMMax with port 0 picks the first present", [&] { port.SetCOMMax(31); }, 3, 31,
         emPresent},
        {"negative refused", [&] { port.SetPort1(-1); }, 3, 31, emPresent},
        {"above COMMax refused", [&] { port.SetPort1(32); }, 3, 31, emPresent},
        {"COMMax below port: first present",
         [&] {
             port.SetPort1(5);
             port.SetCOMMax(4);
         },
         3, 4, emPresent},
        {"COMMax out of range", [&] { port.SetCOMMax(257); }, 3, 4, emPresent},
        {"emAll keeps port", [&] { port.SetEnumMode(emAll); }, 3, 4, emAll},
        {"emAll takes absent port", [&] { port.SetPort1(4); }, 4, 4, emAll},
        {"COMMax below port with emAll: 1", [&] { port.SetCOMMax(2); }, 1, 2, emAll},
        {"emAll port 0 becomes 1 on mode change", [&] { port.SetPort1(0); }, 0, 2, emAll},
        {"emPresent: first present within COMMax", [&] { port.SetEnumMode(emPresent); }, 0, 2,
         emPresent},
        {"COMMax 256 with port 0", [&] { port.SetCOMMax(256); }, 3, 256, emPresent},
        {"invalid mode", [&] { port.SetEnumMode(static_cast<TEnumMode>(2)); }, 3, 256, emPresent},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        s.act();
        EXPECT_EQ(port.Port(), s.port);
        EXPECT_EQ(port.COMMax(), s.comMax);
        EXPECT_EQ(port.EnumMode(), s.mode);
    }
}

TEST(PortSettings, ReadOnlyTextsIgnoreWrites) {
    DeviceMapEnv env;
    TLNKCOMPort port;
    const std::string copyright = port.Copyright();
    EXPECT_FALSE(copyright.empty());
    port.SetCopyright("x");
    port.SetVersion("9.99");
    EXPECT_EQ(port.Copyright(), copyright);
    EXPECT_EQ(port.Version(), "1.00");
    EXPECT_GE(port.GetCOMDlgWidth(), 209);
    EXPECT_GE(port.GetCOMDlgHeight(), 143);
}

// ---------------------------------------------------------------------------
// Reports of a closed port

TEST(ClosedPort, EveryCallReportsOnce) {
    DeviceMapEnv env;
    TLNKCOMPort port;
    ReportLog log;
    log.Attach(port);
    TLNKCOMIndicator rts;
    port.SetRTSIndicator(&rts);
    bool level = true;
    const char frame[] = "QXA\r";
    struct Row {
        const char* func;
        const char* desc;
        TReportType type;
        bool result;
        std::function<bool()> call;
    } rows[] = {
        {"SetRTS", "COM port not open", rtError, false, [&] { return port.SetRTS(true); }},
        {"SetDTR", "COM port not open", rtError, false, [&] { return port.SetDTR(true); }},
        {"SetTxBreak", "COM port not open", rtError, false, [&] { return port.SetTxBreak(true); }},
        {"GetCTS", "COM port not open", rtError, false, [&] { return port.GetCTS(level); }},
        {"GetDSR", "COM port not open", rtError, false, [&] { return port.GetDSR(level); }},
        {"GetRI", "COM port not open", rtError, false, [&] { return port.GetRI(level); }},
        {"GetCD", "COM port not open", rtError, false, [&] { return port.GetCD(level); }},
        {"TxData", "COM port not open", rtError, false, [&] { return port.TxData(frame, 4); }},
        {"TxChar", "COM port not open", rtError, false, [&] { return port.TxChar('Q'); }},
        {"TxAbort", "COM port not open", rtError, false, [&] { return port.TxAbort(); }},
        {"Close", "COM port already closed", rtWarning, true, [&] { return port.Close(); }},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.func);
        log.reps.clear();
        EXPECT_EQ(r.call(), r.result);
        ASSERT_EQ(log.reps.size(), 1u) << log.Dump();
        EXPECT_EQ(log.reps[0].type, r.type);
        EXPECT_EQ(log.reps[0].func, r.func);
        EXPECT_EQ(log.reps[0].desc, r.desc);
        EXPECT_EQ(log.reps[0].file, "TLNKCOMPort");
        EXPECT_EQ(log.reps[0].err, 0);
        EXPECT_GT(log.reps[0].line, 0);
    }
    EXPECT_TRUE(level); // never written
    EXPECT_FALSE(rts.StateOn());
}

TEST(ClosedPort, UnassignedReportIsSilent) {
    DeviceMapEnv env;
    TLNKCOMPort port;
    EXPECT_FALSE(port.TxChar('x'));
    EXPECT_TRUE(port.Close());
}

// ---------------------------------------------------------------------------
// Open and close

TEST(OpenFailure, MissingPortReportsCreateFileOnce) {
    DeviceMapEnv env;
    TLNKCOMPort port;
    ReportLog log;
    log.Attach(port);
    std::vector<std::unique_ptr<TLNKCOMIndicator>> lamps;
    for (int t = 0; t < IndicatorCount; ++t) {
        lamps.push_back(std::make_unique<TLNKCOMIndicator>());
        lamps.back()->SetStateOn(true);
        port.SetIndicator(static_cast<TIndicatorType>(t), lamps.back().get());
    }
    int opens = 0, closes = 0;
    port.OnOpen = [&](TLNKCOMPort*) { ++opens; };
    port.OnClose = [&](TLNKCOMPort*) { ++closes; };
    port.SetPort1(9);
    EXPECT_FALSE(port.Open());
    EXPECT_FALSE(port.GetOpened());
    ASSERT_EQ(log.reps.size(), 1u) << log.Dump();
    EXPECT_EQ(log.reps[0].type, rtError);
    EXPECT_EQ(log.reps[0].func, "OpenCOMPort");
    EXPECT_EQ(log.reps[0].desc, "CreateFile");
    EXPECT_EQ(log.reps[0].file, "TLNKCOMPort");
    EXPECT_EQ(log.reps[0].err, static_cast<int>(ERROR_FILE_NOT_FOUND));
    for (auto& lamp : lamps)
        EXPECT_FALSE(lamp->StateOn());
    EXPECT_EQ(opens, 0);
    EXPECT_EQ(closes, 0);
}

TEST_F(PortTest, PortHeldByAnotherOpenIsRefused) {
    OpenOk();
    TLNKCOMPort other;
    ReportLog otherLog;
    otherLog.Attach(other);
    other.SetPort1(kCom);
    EXPECT_FALSE(other.Open());
    ASSERT_EQ(otherLog.reps.size(), 1u) << otherLog.Dump();
    EXPECT_EQ(otherLog.reps[0].desc, "CreateFile");
    EXPECT_EQ(otherLog.reps[0].err, static_cast<int>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(port->GetOpened());
}

TEST_F(PortTest, OpenSetsIndicatorsAndRaisesEvents) {
    std::vector<std::unique_ptr<TLNKCOMIndicator>> lamps;
    for (int t = 0; t < IndicatorCount; ++t) {
        lamps.push_back(std::make_unique<TLNKCOMIndicator>());
        lamps.back()->SetStateOn(true);
        port->SetIndicator(static_cast<TIndicatorType>(t), lamps.back().get());
    }
    std::vector<std::string> events;
    port->OnOpen = [&](TLNKCOMPort* s) {
        EXPECT_EQ(s, port.get());
        EXPECT_TRUE(s->GetOpened());
        events.push_back("open");
    };
    port->OnClose = [&](TLNKCOMPort* s) {
        EXPECT_EQ(s, port.get());
        EXPECT_FALSE(s->GetOpened());
        events.push_back("close");
    };
    ASSERT_TRUE(port->Open()) << log.Dump();
    // A pty has no modem lines: the four reads are reported, the lamps are off.
    EXPECT_EQ(log.Count("GetCommModemStatus"), 4) << log.Dump();
    EXPECT_TRUE(log.WithoutLineReads().empty()) << log.Dump();
    for (auto& lamp : lamps)
        EXPECT_FALSE(lamp->StateOn());
    EXPECT_EQ(port->GetRxQueueSize(), 8192); // what the system has, not the 20480 asked for
    log.reps.clear();

    EXPECT_TRUE(port->Open());
    ASSERT_EQ(log.reps.size(), 1u);
    EXPECT_EQ(log.reps[0].type, rtWarning);
    EXPECT_EQ(log.reps[0].func, "Open");
    EXPECT_EQ(log.reps[0].desc, "COM port already open");
    EXPECT_EQ(log.reps[0].err, 0);
    log.reps.clear();

    lamps[itRX]->SetStateOn(true);
    EXPECT_TRUE(port->Close());
    EXPECT_TRUE(log.reps.empty()) << log.Dump();
    EXPECT_FALSE(lamps[itRX]->StateOn());
    EXPECT_EQ(events, (std::vector<std::string>{"open", "close"}));
    EXPECT_EQ(port->GetHandle(), nullptr);
}

TEST_F(PortTest, InitialLevelsReachTheDevice) {
    TLNKCOMIndicator dtr, rts;
    port->SetDTRIndicator(&dtr);
    port->SetRTSIndicator(&rts);
    port->SetDTRInitialLevel(true);
    port->SetRTSInitialLevel(false);
    OpenOk();
    EXPECT_TRUE(dtr.StateOn());
    EXPECT_FALSE(rts.StateOn());
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port->GetHandle(), &dcb));
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
}

TEST_F(PortTest, RepeatedOpenAndCloseWithBytesInFlight) {
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop.load()) {
            pty.WriteSome("0123456789");
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    int received = 0;
    port->OnRxChar = [&](TLNKCOMRxThread*, char) { ++received; };
    int opens = 0, closes = 0;
    port->OnOpen = [&](TLNKCOMPort*) { ++opens; };
    port->OnClose = [&](TLNKCOMPort*) { ++closes; };
    std::string sink;
    for (int i = 0; i < 25; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(port->Open()) << log.Dump();
        const char frame[] = "QXPING\r";
        EXPECT_TRUE(port->TxData(frame, 7));
        RunEventsFor(i % 3 == 0 ? 20 : 2);
        pty.Drain(sink);
        EXPECT_TRUE(port->Close());
    }
    stop = true;
    writer.join();
    EXPECT_EQ(opens, 25);
    EXPECT_EQ(closes, 25);
    EXPECT_GT(received, 0);
    EXPECT_TRUE(log.WithoutLineReads().empty()) << log.Dump();
}

TEST(PortLifetime, DestroyedWhileOpenClosesAndRaisesOnClose) {
    DeviceMapEnv env;
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    env.Map(kCom, pty.SlavePath());
    int closes = 0;
    {
        TLNKCOMPort port;
        port.SetPort1(kCom);
        port.OnClose = [&](TLNKCOMPort*) { ++closes; };
        ASSERT_TRUE(port.Open());
    }
    EXPECT_EQ(closes, 1);
    // The device is free again.
    TLNKCOMPort again;
    again.SetPort1(kCom);
    EXPECT_TRUE(again.Open());
}

TEST(PortLifetime, IndicatorDestroyedClearsItsReferences) {
    DeviceMapEnv env;
    TLNKCOMPort port;
    auto lamp = std::make_unique<TLNKCOMIndicator>();
    port.SetRXIndicator(lamp.get());
    port.SetTXIndicator(lamp.get());
    TLNKCOMIndicator other;
    port.SetCDIndicator(&other);
    lamp.reset();
    EXPECT_EQ(port.RXIndicator(), nullptr);
    EXPECT_EQ(port.TXIndicator(), nullptr);
    EXPECT_EQ(port.CDIndicator(), &other);
    port.Indicator(itRX, true); // nothing left to switch
    port.Indicator(static_cast<TIndicatorType>(10), true);
    port.Indicator(itCD, true);
    EXPECT_TRUE(other.StateOn());
    // A replaced control no longer clears the property when it goes.
    auto first = std::make_unique<TLNKCOMIndicator>();
    port.SetCTSIndicator(first.get());
    port.SetCTSIndicator(&other);
    first.reset();
    EXPECT_EQ(port.CTSIndicator(), &other);
}

// ---------------------------------------------------------------------------
// Reception

TEST_F(PortTest, BytesArriveInOrderOneEventEach) {
    TLNKCOMIndicator rx;
    rx.SetOnTime(5000);
    port->SetRXIndicator(&rx);
    OpenOk();
    std::string got;
    bool inHandler = false;
    port->OnRxChar = [&](TLNKCOMRxThread* sender, char c) {
        EXPECT_FALSE(inHandler); // each after the previous handler returned
        inHandler = true;
        EXPECT_NE(sender, nullptr);
        EXPECT_EQ(sender->Owner(), port.get());
        EXPECT_TRUE(pmv::platform::TThread::IsMainThread());
        got.push_back(c);
        inHandler = false;
    };
    std::string sent = "AB\r";
    for (int i = 0; i < 256; ++i)
        sent.push_back(static_cast<char>(i)); // value 0 included
    sent += std::string(3000, '\0');
    const unsigned long long callsBefore = pmv::platform::TThread::SynchronizedCalls();
    ASSERT_TRUE(pty.Write(sent));
    // One synchronized call per byte: on a loaded machine this is slow, so
    // wait as long as bytes keep coming.
    ASSERT_TRUE(
        WaitWhileMoving([&] { return got.size() >= sent.size(); }, [&] { return got.size(); }))
        << got.size();
    EXPECT_EQ(got, sent);
    // Bytes that arrived together go over in one call, not one call each.
    EXPECT_LT(pmv::platform::TThread::SynchronizedCalls() - callsBefore, sent.size() / 10);
    EXPECT_TRUE(rx.StateOn()); // the flashes are stretched by the on-time
    EXPECT_TRUE(log.reps.empty()) << log.Dump();
}

// A handler in the middle of a burst that closes, purges, destroys or loses
// the port ends the delivery at once; a purge discards the rest, and bytes
// that come after it are delivered as usual.
TEST_F(PortTest, HandlerEndsTheBurstAtOnce) {
    struct TCase {
        const char* name;
        std::function<void(Pty&)> act; // from inside the handler of 'C'
        std::function<bool()> over;    // the act has taken effect
    };
    bool lost = false;
    // clang-format off
    const TCase cases[] = {
        {"close", [&](Pty&) { port->Close(); }, [&] { return !port->GetOpened(); }},
        {"purge", [&](Pty&) { EXPECT_TRUE(PurgeComm(port->GetHandle(), PURGE_RXCLEAR)); }, [] { return true; }},
        {"destroy", [&](Pty&) { port.reset(); }, [&] { return port == nullptr; }},
        {"device gone", [&](Pty& p) {
             const HANDLE h = port->GetHandle();
             p.CloseMaster(); // wait until the layer has seen the hang-up
             EXPECT_TRUE(WaitWithoutEvents([&] { return !ClearCommError(h, nullptr, nullptr); }));
         }, [&] { return lost; }},
    };
    // clang-format on
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        Pty fresh;
        ASSERT_TRUE(fresh.Ok());
        env.Map(kCom, fresh.SlavePath());
        if (!port) {
            port = std::make_unique<TLNKCOMPort>();
            log.Attach(*port);
            port->SetPort1(kCom);
        }
        log.reps.clear();
        OpenOk();
        lost = false;
        port->OnDeviceLost = [&](TLNKCOMPort*) { lost = true; };
        std::string got;
        port->OnRxChar = [&](TLNKCOMRxThread*, char ch) {
            got.push_back(ch);
            if (ch == 'C')
                c.act(fresh);
        };
        ASSERT_TRUE(fresh.Write("ABCDEFG")); // one write: the bytes arrive together
        ASSERT_TRUE(WaitUntil([&] { return got.size() >= 3 && c.over(); })) << got;
        if (std::string(c.name) == "purge") {
            ASSERT_TRUE(fresh.Write("HI"));
            ASSERT_TRUE(WaitUntil([&] { return got.size() >= 5; })) << got;
        }
        RunEventsFor(50);
        EXPECT_EQ(got, std::string(c.name) == "purge" ? "ABCHI" : "ABC");
        if (port) {
            port->OnRxChar = nullptr;
            port->OnDeviceLost = nullptr;
            if (port->GetOpened())
                port->Close();
        }
    }
    port = std::make_unique<TLNKCOMPort>(); // for TearDown
}

// The bytes the receive side already holds are raised before DeliverReceived
// returns, in order, one event each; from inside an event, and on a closed
// port, it does nothing.
TEST_F(PortTest, DeliverReceivedRaisesTheBytesAlreadyHeld) {
    OpenOk();
    std::string got;
    std::size_t afterNested = 0;
    port->OnRxChar = [&](TLNKCOMRxThread*, char c) {
        got.push_back(c);
        if (got.size() == 1) {
            port->DeliverReceived();
            afterNested = got.size();
        }
    };
    const std::string sent = "QXSPD = 1500\r";
    ASSERT_TRUE(pty.Write(sent));
    // No events meanwhile: the receive thread waits in its call with the
    // first byte, the others are queued below it.
    COMSTAT stat{};
    DWORD errors = 0;
    ASSERT_TRUE(WaitWithoutEvents([&] {
        return ClearCommError(port->GetHandle(), &errors, &stat) && stat.cbInQue == sent.size() - 1;
    }));
    EXPECT_TRUE(got.empty());
    port->DeliverReceived();
    EXPECT_EQ(got, sent);
    EXPECT_EQ(afterNested, 1u);
    port->Close();
    port->DeliverReceived();
    EXPECT_EQ(got, sent);
    EXPECT_TRUE(log.reps.empty()) << log.Dump();
}

TEST_F(PortTest, UnassignedRxCharStillFlashesRx) {
    TLNKCOMIndicator rx;
    rx.SetOnTime(5000);
    port->SetRXIndicator(&rx);
    OpenOk();
    ASSERT_TRUE(pty.Write("xyz"));
    EXPECT_TRUE(WaitUntil([&] { return rx.StateOn(); }));
}

TEST_F(PortTest, CloseWithoutTrafficEndsPromptly) {
    OpenOk();
    int received = 0;
    port->OnRxChar = [&](TLNKCOMRxThread*, char) { ++received; };
    RunEventsFor(50);
    QElapsedTimer t;
    t.start();
    EXPECT_TRUE(port->Close());
    EXPECT_LT(t.elapsed(), 5000);
    EXPECT_EQ(received, 0);
}

TEST_F(PortTest, CloseRunsDeliveriesPendingBeforeIt) {
    // Close while the receive worker has bytes in hand: whatever is
    // delivered is in order, and the close never hangs.
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        Pty fresh; // nothing left over from the round before
        ASSERT_TRUE(fresh.Ok());
        env.Map(kCom, fresh.SlavePath());
        OpenOk();
        std::string got;
        bool closing = false;
        int duringClose = 0;
        port->OnRxChar = [&](TLNKCOMRxThread*, char c) {
            got.push_back(c);
            duringClose += closing ? 1 : 0;
        };
        const std::string sent = "0123456789";
        ASSERT_TRUE(fresh.Write(sent));
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 2 == 0 ? 20 : 0));
        closing = true;
        EXPECT_TRUE(port->Close());
        closing = false;
        EXPECT_EQ(sent.substr(0, got.size()), got);
        // Deliveries go on while the transmit worker is being stopped; the
        // receive worker stops at its next byte once it is told to.
        EXPECT_LE(duringClose, static_cast<int>(sent.size()));
    }
}

TEST_F(PortTest, CloseFromInsideRxCharHandler) {
    OpenOk();
    std::string got;
    int closes = 0;
    port->OnClose = [&](TLNKCOMPort*) { ++closes; };
    port->OnRxChar = [&](TLNKCOMRxThread*, char c) {
        got.push_back(c);
        if (c == 'C') {
            EXPECT_TRUE(port->Close());
        }
    };
    ASSERT_TRUE(pty.Write("ABCDEFG"));
    ASSERT_TRUE(WaitUntil([&] { return closes == 1; }));
    EXPECT_EQ(got, "ABC");
    EXPECT_FALSE(port->GetOpened());
    RunEventsFor(50);
    EXPECT_EQ(got, "ABC");
    // The port opens again, also from inside a handler's close.
    // The port opens again; bytes still queued in the device come first.
    port->OnRxChar = [&](TLNKCOMRxThread*, char c) { got.push_back(c); };
    ASSERT_TRUE(port->Open());
    ASSERT_TRUE(pty.Write("HI"));
    EXPECT_TRUE(WaitUntil([&] { return got.size() >= 5 && got.substr(got.size() - 2) == "HI"; }))
        << got;
    EXPECT_EQ(got.substr(0, 3), "ABC");
}

TEST_F(PortTest, RxHandlerExceptionStopsReceptionOnly) {
    OpenOk();
    std::string got;
    port->OnRxChar = [&](TLNKCOMRxThread*, char c) {
        got.push_back(c);
        if (c == '!')
            throw std::runtime_error("handler failed");
    };
    int txDone = 0;
    port->OnTxData = [&](TLNKCOMTxThread*, int) { ++txDone; };
    ASSERT_TRUE(pty.Write("a!b"));
    ASSERT_TRUE(WaitUntil([&] { return got.size() >= 2; }));
    RunEventsFor(100);
    EXPECT_EQ(got, "a!");
    EXPECT_TRUE(port->GetOpened());
    const char frame[] = "QX\r";
    EXPECT_TRUE(port->TxData(frame, 3)); // transmission goes on
    EXPECT_TRUE(WaitUntil([&] { return txDone == 1; }));
    EXPECT_TRUE(port->Close());
    EXPECT_TRUE(port->Open()); // and a reopen receives again
    ASSERT_TRUE(pty.Write("c"));
    EXPECT_TRUE(WaitUntil([&] { return !got.empty() && got.back() == 'c'; })) << got;
}

// ---------------------------------------------------------------------------
// Transmission

TEST_F(PortTest, TxDataWritesBlockAndRaisesOnTxData) {
    TLNKCOMIndicator tx;
    port->SetTXIndicator(&tx);
    OpenOk();
    std::vector<int> done;
    port->OnTxData = [&](TLNKCOMTxThread* sender, int len) {
        EXPECT_EQ(sender->Owner(), port.get());
        done.push_back(len);
    };
    const std::string frame = "QXSPEED = 120\r";
    ASSERT_TRUE(port->TxData(frame.data(), static_cast<int>(frame.size())));
    EXPECT_TRUE(tx.StateOn());
    ASSERT_TRUE(WaitUntil([&] { return !done.empty(); }));
    EXPECT_EQ(done, std::vector<int>{static_cast<int>(frame.size())});
    EXPECT_FALSE(tx.StateOn());
    std::string out;
    ASSERT_TRUE(WaitUntil([&] {
        pty.Drain(out);
        return out.size() >= frame.size();
    }));
    EXPECT_EQ(out, frame);
    EXPECT_TRUE(log.reps.empty()) << log.Dump();
}

TEST_F(PortTest, SecondTxDataWhileBusyIsRefused) {
    OpenOk();
    std::vector<int> done;
    port->OnTxData = [&](TLNKCOMTxThread*, int len) { done.push_back(len); };
    std::string block(200000, 'x');
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>('a' + i % 26);
    const std::string second = "second";
    ASSERT_TRUE(port->TxData(block.data(), static_cast<int>(block.size())));
    EXPECT_FALSE(port->TxData(second.data(), static_cast<int>(second.size())));
    ASSERT_EQ(log.reps.size(), 2u) << log.Dump();
    EXPECT_EQ(log.reps[0].func, "TLNKCOMTxThread");
    EXPECT_EQ(log.reps[0].desc, "Tx is busy");
    EXPECT_EQ(log.reps[0].file, "TLNKCOMTxThread");
    EXPECT_EQ(log.reps[1].func, "TxData");
    EXPECT_EQ(log.reps[1].desc, "Tx error");
    EXPECT_EQ(log.reps[1].file, "TLNKCOMPort");
    std::string out;
    ASSERT_TRUE(WaitUntil([&] {
        pty.Drain(out);
        return !done.empty() && out.size() >= block.size();
    }));
    EXPECT_EQ(done, std::vector<int>{static_cast<int>(block.size())});
    EXPECT_EQ(out, block);
}

TEST_F(PortTest, TxDataFromInsideOnTxDataIsRefused) {
    OpenOk();
    int done = 0;
    bool refused = false;
    const char frame[] = "QXA\r";
    port->OnTxData = [&](TLNKCOMTxThread*, int) {
        ++done;
        refused = !port->TxData(frame, 4);
    };
    ASSERT_TRUE(port->TxData(frame, 4));
    ASSERT_TRUE(WaitUntil([&] { return done == 1; }));
    EXPECT_TRUE(refused);
    EXPECT_EQ(log.Count("Tx is busy"), 1);
}

// A block handed over once the one before it has been written is taken at
// once, without the event loop: the earlier block's completion runs first,
// inside the hand-over. Its handler may close or destroy the port; the
// hand-over then fails.
TEST_F(PortTest, ACompletionStillDueRunsAheadOfTheNextHandOver) {
    struct TCase {
        const char* name;
        std::function<void()> inHandler;
        bool taken;
    };
    const TCase cases[] = {
        {"next block taken", [] {}, true},
        {"handler closes the port", [&] { port->Close(); }, false},
        {"handler destroys the port", [&] { port.reset(); }, false},
    };
    const std::string first = "QXSPD\r";
    const std::string second = "QXACC\r";
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        Pty fresh;
        ASSERT_TRUE(fresh.Ok());
        env.Map(kCom, fresh.SlavePath());
        if (!port) {
            port = std::make_unique<TLNKCOMPort>();
            log.Attach(*port);
            port->SetPort1(kCom);
        }
        log.reps.clear();
        OpenOk();
        int completions = 0;
        port->OnTxData = [&](TLNKCOMTxThread*, int len) {
            EXPECT_EQ(len, 6);
            if (++completions == 1)
                c.inHandler();
        };
        ASSERT_TRUE(port->TxData(first.data(), 6));
        // No events from here on: the first completion can only run inside
        // a hand-over.
        ASSERT_TRUE(WaitWithoutEvents([&] { return fresh.Pending() >= 6; }));
        bool taken = false;
        ASSERT_TRUE(WaitWithoutEvents([&] {
            taken = port->TxData(second.data(), 6);
            return taken || completions > 0;
        }));
        EXPECT_EQ(completions, 1);
        EXPECT_EQ(taken, c.taken);
        if (c.taken) {
            std::string out;
            ASSERT_TRUE(WaitUntil([&] {
                fresh.Drain(out);
                return completions == 2 && out.size() >= 12;
            }));
            EXPECT_EQ(out, first + second);
        } else if (port) {
            EXPECT_FALSE(port->GetOpened());
            ASSERT_FALSE(log.reps.empty());
            EXPECT_EQ(log.reps.back().func, "TxData");
            EXPECT_EQ(log.reps.back().desc, "COM port not open");
        }
        if (port) {
            port->OnTxData = nullptr;
            if (port->GetOpened())
                port->Close();
        }
    }
    port = std::make_unique<TLNKCOMPort>(); // for TearDown
}

TEST_F(PortTest, TxDataOfLengthZeroIsRefused) {
    OpenOk();
    int done = 0;
    port->OnTxData = [&](TLNKCOMTxThread*, int) { ++done; };
    const char frame[] = "QX";
    for (int len : {0, -3}) {
        SCOPED_TRACE(len);
        log.reps.clear();
        EXPECT_FALSE(port->TxData(frame, len));
        ASSERT_EQ(log.reps.size(), 1u);
        EXPECT_EQ(log.reps[0].func, "TxData");
        EXPECT_EQ(log.reps[0].desc, "aLen less than or equal to zero");
        EXPECT_EQ(log.reps[0].err, 0);
    }
    // The port is not left busy: a real block goes out.
    EXPECT_TRUE(port->TxData(frame, 2));
    EXPECT_TRUE(WaitUntil([&] { return done == 1; }));
    std::string out;
    pty.Drain(out);
    EXPECT_EQ(out, "QX");
}

TEST_F(PortTest, TxCharSendsFromItsOwnBuffer) {
    OpenOk();
    std::vector<int> done;
    port->OnTxData = [&](TLNKCOMTxThread*, int len) { done.push_back(len); };
    EXPECT_TRUE(port->TxChar('A'));
    // Refused while 'A' is still being written, and then 'A' is sent as it
    // was; taken once 'A' is out (its completion runs first).
    const bool second = port->TxChar('B');
    if (!second) {
        ASSERT_EQ(log.reps.size(), 2u) << log.Dump();
        EXPECT_EQ(log.reps[0].desc, "Tx is busy");
        EXPECT_EQ(log.reps[1].func, "TxChar");
        EXPECT_EQ(log.reps[1].desc, "Tx error");
    }
    const std::string expected = second ? "ABC" : "AC";
    std::string out;
    ASSERT_TRUE(WaitUntil([&] {
        pty.Drain(out);
        return done.size() == expected.size() - 1;
    }));
    EXPECT_TRUE(WaitUntil([&] { return port->TxChar('C'); }));
    ASSERT_TRUE(WaitUntil([&] {
        pty.Drain(out);
        return done.size() == expected.size() && out.size() >= expected.size();
    }));
    EXPECT_EQ(done, std::vector<int>(expected.size(), 1));
    EXPECT_EQ(out, expected);
}

TEST_F(PortTest, TxAbortWithNothingInTransit) {
    OpenOk();
    EXPECT_FALSE(port->TxAbort());
    ASSERT_EQ(log.reps.size(), 2u) << log.Dump();
    EXPECT_EQ(log.reps[0].type, rtWarning);
    EXPECT_EQ(log.reps[0].func, "TLNKCOMTxThread");
    EXPECT_EQ(log.reps[0].desc, "Tx not in progress");
    EXPECT_EQ(log.reps[1].type, rtError);
    EXPECT_EQ(log.reps[1].func, "TxAbort");
    EXPECT_EQ(log.reps[1].desc, "Abort error");
}

TEST_F(PortTest, TxAbortInTransitDropsTheBlock) {
    TLNKCOMIndicator tx;
    port->SetTXIndicator(&tx);
    OpenOk();
    std::vector<int> done;
    port->OnTxData = [&](TLNKCOMTxThread*, int len) { done.push_back(len); };
    const std::string big(4 * 1024 * 1024, 'b'); // far more than the pty holds
    ASSERT_TRUE(port->TxData(big.data(), static_cast<int>(big.size())));
    // Nobody reads the master: once bytes show there the write is under way
    // and cannot finish.
    ASSERT_TRUE(WaitUntil([&] { return pty.Pending() > 0; }));
    RunEventsFor(20);
    EXPECT_TRUE(port->TxAbort());
    EXPECT_FALSE(tx.StateOn());
    EXPECT_TRUE(log.reps.empty()) << log.Dump();

    // Once the worker has dropped the block the next one is accepted.
    const std::string next = "NEXT";
    ASSERT_TRUE(WaitUntil([&] {
        std::string sink;
        pty.Drain(sink);
        return port->TxData(next.data(), static_cast<int>(next.size()));
    }));
    for (const Rep& r : log.reps)
        EXPECT_TRUE(r.desc == "Tx is busy" || r.desc == "Tx error") << ToString(r);
    std::string out;
    ASSERT_TRUE(WaitUntil([&] {
        pty.Drain(out);
        return !done.empty() && out.size() >= next.size() &&
               out.compare(out.size() - next.size(), next.size(), next) == 0;
    }));
    EXPECT_EQ(done, std::vector<int>{4});
    EXPECT_LT(out.size(), big.size());
}

TEST_F(PortTest, AbortAfterCompletionDoesNotSwallowTheNextBlock) {
    TLNKCOMIndicator tx;
    port->SetTXIndicator(&tx);
    OpenOk();
    std::vector<int> done;
    port->OnTxData = [&](TLNKCOMTxThread*, int len) { done.push_back(len); };
    const std::string small = "small";
    ASSERT_TRUE(port->TxData(small.data(), static_cast<int>(small.size())));
    // The write is done (its bytes are at the master) but its OnTxData has
    // not run yet: the event loop has not been entered.
    ASSERT_TRUE(WaitWithoutEvents([&] { return pty.Pending() >= static_cast<int>(small.size()); }));
    EXPECT_TRUE(port->TxAbort());
    ASSERT_TRUE(WaitUntil([&] { return done.size() == 1; }));
    EXPECT_EQ(done[0], 5);
    // A block that has to wait for the reader completes normally. The worker
    // frees itself only after the completion call has returned, so the
    // hand-over may be refused ("Tx is busy") for a moment.
    const std::string big(300000, 'z');
    ASSERT_TRUE(WaitUntil([&] { return port->TxData(big.data(), static_cast<int>(big.size())); }));
    std::string out;
    ASSERT_TRUE(WaitUntil([&] {
        pty.Drain(out);
        return done.size() == 2;
    })) << log.Dump();
    EXPECT_EQ(done[1], static_cast<int>(big.size()));
    EXPECT_FALSE(tx.StateOn());
}

TEST_F(PortTest, CloseDuringLongWriteEndsIt) {
    OpenOk();
    int done = 0;
    port->OnTxData = [&](TLNKCOMTxThread*, int) { ++done; };
    const std::string big(4 * 1024 * 1024, 'c');
    ASSERT_TRUE(port->TxData(big.data(), static_cast<int>(big.size())));
    ASSERT_TRUE(WaitUntil([&] { return pty.Pending() > 0; }));
    QElapsedTimer t;
    t.start();
    EXPECT_TRUE(port->Close());
    EXPECT_LT(t.elapsed(), 5000);
    RunEventsFor(50);
    EXPECT_EQ(done, 0);
    EXPECT_TRUE(log.reps.empty()) << log.Dump();
    std::string sink;
    pty.Drain(sink);
    OpenOk();
}

TEST_F(PortTest, CloseRunsACompletionThatIsAlreadyDue) {
    // The block is written at once; its worker is then committed to the
    // OnTxData call, which Close must run instead of waiting for ever.
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        OpenOk();
        bool closing = false;
        int duringClose = 0;
        port->OnTxData = [&](TLNKCOMTxThread*, int) { duringClose += closing ? 1 : 0; };
        const std::string frame = "QXSTATUS\r";
        ASSERT_TRUE(port->TxData(frame.data(), static_cast<int>(frame.size())));
        ASSERT_TRUE(
            WaitWithoutEvents([&] { return pty.Pending() >= static_cast<int>(frame.size()); }));
        closing = true;
        EXPECT_TRUE(port->Close());
        closing = false;
        EXPECT_EQ(duringClose, 1);
        std::string sink;
        pty.Drain(sink);
    }
}

// ---------------------------------------------------------------------------
// Lines

TEST_F(PortTest, LineSettingChangeOnOpenPortKeepsOutputs) {
    OpenOk();
    auto lines = AttachLines();
    ASSERT_TRUE(port->SetDTR(true));
    EXPECT_EQ(lines->Outputs(), TIOCM_DTR);
    port->SetBaudRate(br19200);
    port->SetParity(paEven);
    EXPECT_TRUE(log.reps.empty()) << log.Dump();
    EXPECT_EQ(lines->Outputs(), TIOCM_DTR);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port->GetHandle(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(dcb.fParity, 1u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(port->BaudRate(), br19200);
    EXPECT_EQ(port->Parity(), paEven);
}

TEST_F(PortTest, RefusedSetCommStateKeepsOldValues) {
    OpenOk();
    auto lines = AttachLines();
    lines->SetReadError(EPERM); // the device now refuses to set its lines
    struct Row {
        const char* func;
        std::function<void()> set;
    } rows[] = {
        {"SetBaudRate", [&] { port->SetBaudRate(br57600); }},
        {"SetDataBits", [&] { port->SetDataBits(db7); }},
        {"SetBaudParity", [&] { port->SetParity(paOdd); }},
        {"SetStopBits", [&] { port->SetStopBits(sb2); }},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.func);
        log.reps.clear();
        r.set();
        ASSERT_EQ(log.reps.size(), 1u) << log.Dump();
        EXPECT_EQ(log.reps[0].func, r.func);
        EXPECT_EQ(log.reps[0].desc, "SetCommState");
        EXPECT_NE(log.reps[0].err, 0);
    }
    EXPECT_EQ(port->BaudRate(), br9600);
    EXPECT_EQ(port->DataBits(), db8);
    EXPECT_EQ(port->Parity(), paNone);
    EXPECT_EQ(port->StopBits(), sb1);
    // The same value again does nothing at all (no SetCommState to fail).
    log.reps.clear();
    port->SetBaudRate(br9600);
    EXPECT_TRUE(log.reps.empty());
    // A later change applies only its own field, not the refused ones.
    lines->SetReadError(0);
    port->SetStopBits(sb2);
    EXPECT_TRUE(log.reps.empty()) << log.Dump();
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port->GetHandle(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
}

TEST_F(PortTest, OutputLinesAndBreak) {
    TLNKCOMIndicator rts, dtr, brk;
    port->SetRTSIndicator(&rts);
    port->SetDTRIndicator(&dtr);
    port->SetBRKIndicator(&brk);
    OpenOk();
    // Without a line source a pty refuses: reported, level unchanged.
    EXPECT_FALSE(port->SetRTS(true));
    ASSERT_EQ(log.reps.size(), 1u);
    EXPECT_EQ(log.reps[0].func, "SetRTS");
    EXPECT_EQ(log.reps[0].desc, "EscapeCommFunction");
    EXPECT_NE(log.reps[0].err, 0);
    EXPECT_FALSE(rts.StateOn());
    log.reps.clear();

    auto lines = AttachLines();
    EXPECT_TRUE(port->SetRTS(true));
    EXPECT_TRUE(rts.StateOn());
    EXPECT_TRUE(port->SetDTR(true));
    EXPECT_TRUE(dtr.StateOn());
    EXPECT_EQ(lines->Outputs(), TIOCM_RTS | TIOCM_DTR);
    EXPECT_TRUE(port->SetDTR(false));
    EXPECT_FALSE(dtr.StateOn());
    EXPECT_EQ(lines->Outputs(), TIOCM_RTS);
    EXPECT_TRUE(port->SetTxBreak(true));
    EXPECT_TRUE(lines->BreakOn());
    EXPECT_FALSE(brk.StateOn()); // shows received breaks only
    EXPECT_TRUE(port->SetTxBreak(false));
    EXPECT_FALSE(lines->BreakOn());
    port->SetBaudRate(br38400);
    EXPECT_EQ(lines->Outputs(), TIOCM_RTS); // RTS kept, DTR kept off
    EXPECT_TRUE(log.reps.empty()) << log.Dump();
}

TEST_F(PortTest, LineEventsInOrder) {
    std::vector<std::unique_ptr<TLNKCOMIndicator>> lamps;
    for (int t = 0; t < IndicatorCount; ++t) {
        lamps.push_back(std::make_unique<TLNKCOMIndicator>());
        port->SetIndicator(static_cast<TIndicatorType>(t), lamps.back().get());
    }
    lamps[itBRK]->SetOnTime(5000);
    lamps[itERR]->SetOnTime(5000);
    OpenOk();
    auto lines = AttachLines();
    std::vector<std::string> events;
    auto line = [&](const char* name) {
        return [&events, name](TLNKCOMStatusThread* s, bool level) {
            EXPECT_NE(s, nullptr);
            events.push_back(std::string(name) + (level ? "1" : "0"));
        };
    };
    port->OnCTS = line("CTS");
    port->OnDSR = line("DSR");
    port->OnRI = line("RI");
    port->OnCD = line("CD");
    port->OnRxBreak = [&](TLNKCOMStatusThread*) { events.push_back("BRK"); };
    port->OnRxError = [&](TLNKCOMStatusThread*) { events.push_back("ERR"); };

    lines->SetModem(MS_CTS_ON);
    ASSERT_TRUE(WaitUntil([&] { return events.size() == 1; }));
    EXPECT_EQ(events[0], "CTS1");
    EXPECT_TRUE(lamps[itCTS]->StateOn());
    bool level = false;
    EXPECT_TRUE(port->GetCTS(level));
    EXPECT_TRUE(level);

    events.clear();
    lines->SetModem(MS_DSR_ON | MS_RING_ON | MS_RLSD_ON); // CTS off, three on
    ASSERT_TRUE(WaitUntil([&] { return events.size() >= 4; }));
    EXPECT_EQ(events, (std::vector<std::string>{"CTS0", "DSR1", "RI1", "CD1"}));
    EXPECT_FALSE(lamps[itCTS]->StateOn());
    EXPECT_TRUE(lamps[itDSR]->StateOn());
    EXPECT_TRUE(lamps[itRI]->StateOn());
    EXPECT_TRUE(lamps[itCD]->StateOn());

    events.clear();
    lines->AddBreak();
    ASSERT_TRUE(WaitUntil([&] { return events.size() == 1; }));
    EXPECT_EQ(events[0], "BRK");
    EXPECT_TRUE(lamps[itBRK]->StateOn()); // a pulse stretched by the on-time

    events.clear();
    lines->AddFrameError();
    ASSERT_TRUE(WaitUntil([&] { return events.size() == 1; }));
    EXPECT_EQ(events[0], "ERR");
    EXPECT_TRUE(lamps[itERR]->StateOn());

    events.clear();
    lines->AddOverrun();
    ASSERT_TRUE(WaitUntil([&] { return events.size() == 1; }));
    EXPECT_EQ(events[0], "ERR");
    EXPECT_TRUE(log.reps.empty()) << log.Dump();

    // Closing switches every lamp off (the on-time ones when it runs out).
    EXPECT_TRUE(port->Close());
    EXPECT_FALSE(lamps[itDSR]->StateOn());
    EXPECT_FALSE(lamps[itCD]->StateOn());
}

TEST_F(PortTest, CloseFromInsideLineEvent) {
    OpenOk();
    auto lines = AttachLines();
    int cts = 0, dsr = 0;
    port->OnCTS = [&](TLNKCOMStatusThread*, bool) {
        ++cts;
        port->Close();
    };
    port->OnDSR = [&](TLNKCOMStatusThread*, bool) { ++dsr; };
    lines->SetModem(MS_CTS_ON | MS_DSR_ON);
    ASSERT_TRUE(WaitUntil([&] { return !port->GetOpened(); }));
    RunEventsFor(50);
    EXPECT_EQ(cts, 1);
    EXPECT_EQ(dsr, 0); // the rest of that event set is not raised on a closed port
    OpenOk();
}

// ---------------------------------------------------------------------------
// A vanishing device

TEST_F(PortTest, DeviceVanishingIsReportedOnceAndPortRecovers) {
    OpenOk();
    std::string got;
    port->OnRxChar = [&](TLNKCOMRxThread*, char c) { got.push_back(c); };
    ASSERT_TRUE(pty.Write("ok"));
    ASSERT_TRUE(WaitUntil([&] { return got == "ok"; }));

    pty.CloseMaster();
    auto rxReports = [&] {
        int n = 0;
        for (const Rep& r : log.reps)
            n += r.file == "TLNKCOMRxThread" ? 1 : 0;
        return n;
    };
    ASSERT_TRUE(WaitUntil([&] { return rxReports() == 1; })) << log.Dump();
    RunEventsFor(200); // no more reports follow
    EXPECT_EQ(rxReports(), 1) << log.Dump();
    for (const Rep& r : log.reps) {
        EXPECT_EQ(r.type, rtError);
        EXPECT_EQ(r.err, static_cast<int>(ERROR_BAD_COMMAND)) << ToString(r);
    }
    EXPECT_TRUE(port->GetOpened());
    const char frame[] = "QX\r";
    port->TxData(frame, 3); // fails in the worker, is reported, does not hang
    EXPECT_TRUE(WaitUntil([&] {
        return std::any_of(log.reps.begin(), log.reps.end(),
                           [](const Rep& r) { return r.file == "TLNKCOMTxThread"; });
    })) << log.Dump();
    EXPECT_TRUE(port->Close());
    EXPECT_FALSE(port->GetOpened());

    Pty fresh;
    ASSERT_TRUE(fresh.Ok());
    env.Map(kCom, fresh.SlavePath());
    log.reps.clear();
    OpenOk();
    ASSERT_TRUE(fresh.Write("again"));
    EXPECT_TRUE(WaitUntil([&] { return got == "okagain"; }));
}

// Bytes of the port's output not yet taken by the peer, counting the rest
// of a write still pending in the device layer.
long OutputQueued(HANDLE h) {
    COMSTAT stat{};
    DWORD errors = 0;
    return ClearCommError(h, &errors, &stat) ? static_cast<long>(stat.cbOutQue) : -1;
}

TEST_F(PortTest, DeviceVanishingDuringWriteFreesTheTransmitter) {
    TLNKCOMIndicator tx;
    port->SetTXIndicator(&tx);
    OpenOk();
    int done = 0;
    port->OnTxData = [&](TLNKCOMTxThread*, int) { ++done; };
    const std::string big(4 * 1024 * 1024, 'v');
    ASSERT_TRUE(port->TxData(big.data(), static_cast<int>(big.size())));
    // The layer holds the port from the start of WriteFile until it returns
    // pending, so most of the block waiting there means the write is pending.
    ASSERT_TRUE(WaitUntil(
        [&] { return OutputQueued(port->GetHandle()) > static_cast<long>(big.size()) / 2; }));
    pty.CloseMaster();
    auto txReports = [&](const char* desc) {
        std::vector<Rep> out;
        for (const Rep& r : log.reps)
            if (r.file == "TLNKCOMTxThread" && r.desc == desc)
                out.push_back(r);
        return out;
    };
    ASSERT_TRUE(WaitUntil([&] { return !txReports("GetOverlappedResult").empty(); })) << log.Dump();
    EXPECT_EQ(txReports("GetOverlappedResult")[0].func, "Execute");
    EXPECT_EQ(txReports("GetOverlappedResult")[0].err, static_cast<int>(ERROR_BAD_COMMAND));
    EXPECT_TRUE(txReports("WriteFile").empty()) << log.Dump();
    // The block is over: the lamp is off and no completion is raised.
    EXPECT_TRUE(WaitUntil([&] { return !tx.StateOn(); }));
    // The transmitter is free: the next block is taken, and its write fails
    // in the worker.
    const char frame[] = "QX\r";
    ASSERT_TRUE(WaitUntil([&] { return port->TxData(frame, 3); })) << log.Dump();
    ASSERT_TRUE(WaitUntil([&] { return txReports("WriteFile").size() == 1; })) << log.Dump();
    EXPECT_EQ(txReports("WriteFile")[0].err, static_cast<int>(ERROR_BAD_COMMAND));
    EXPECT_TRUE(WaitUntil([&] { return !tx.StateOn(); }));
    RunEventsFor(50);
    EXPECT_EQ(done, 0);
    EXPECT_TRUE(port->Close());
}

TEST_F(PortTest, DeviceVanishedBeforeTheWriteFreesTheTransmitter) {
    TLNKCOMIndicator tx;
    port->SetTXIndicator(&tx);
    OpenOk();
    int done = 0;
    port->OnTxData = [&](TLNKCOMTxThread*, int) { ++done; };
    pty.CloseMaster();
    // Once the receive worker has reported, the layer knows the device is
    // gone, and WriteFile itself fails.
    ASSERT_TRUE(WaitUntil([&] {
        return std::any_of(log.reps.begin(), log.reps.end(),
                           [](const Rep& r) { return r.file == "TLNKCOMRxThread"; });
    })) << log.Dump();
    const char frame[] = "QXA\r";
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        log.reps.clear();
        // Each block is taken (the previous failure freed the transmitter)...
        ASSERT_TRUE(WaitUntil([&] { return port->TxData(frame, 4); })) << log.Dump();
        // ...and fails in the worker with one report.
        auto writeReports = [&] {
            std::vector<Rep> out;
            for (const Rep& r : log.reps)
                if (r.desc == "WriteFile")
                    out.push_back(r);
            return out;
        };
        ASSERT_TRUE(WaitUntil([&] { return writeReports().size() == 1; })) << log.Dump();
        const Rep r = writeReports()[0];
        EXPECT_EQ(r.type, rtError);
        EXPECT_EQ(r.func, "Execute");
        EXPECT_EQ(r.file, "TLNKCOMTxThread");
        EXPECT_EQ(r.err, static_cast<int>(ERROR_BAD_COMMAND));
        EXPECT_TRUE(WaitUntil([&] { return !tx.StateOn(); }));
    }
    EXPECT_EQ(done, 0);
    EXPECT_TRUE(port->Close());
}

// ---------------------------------------------------------------------------
// OnDeviceLost

TEST_F(PortTest, PeerClosedMidTransferRaisesDeviceLostOnceAndPortReopens) {
    OpenOk();
    std::string got;
    port->OnRxChar = [&](TLNKCOMRxThread*, char c) { got.push_back(c); };
    int closes = 0;
    port->OnClose = [&](TLNKCOMPort*) { ++closes; };
    Pty fresh;
    ASSERT_TRUE(fresh.Ok());
    int lost = 0;
    bool closedInHandler = false;
    bool reopened = false;
    port->OnDeviceLost = [&](TLNKCOMPort* sender) {
        ++lost;
        EXPECT_EQ(sender, port.get());
        EXPECT_TRUE(pmv::platform::TThread::IsMainThread());
        EXPECT_TRUE(sender->GetOpened()); // nothing closes the port by itself
        closedInHandler = sender->Close();
        EXPECT_FALSE(sender->GetOpened());
        if (lost == 1) {
            // The device comes back under the same number; the port is
            // opened again from a timer, as a window would.
            QTimer::singleShot(20, [&] {
                env.Map(kCom, fresh.SlavePath());
                reopened = port->Open();
            });
        }
    };
    // Traffic both ways when the peer goes: a block far larger than the pty
    // holds is being written, and bytes are arriving.
    const std::string big(4 * 1024 * 1024, 't');
    ASSERT_TRUE(port->TxData(big.data(), static_cast<int>(big.size())));
    ASSERT_TRUE(pty.Write("abc"));
    ASSERT_TRUE(WaitUntil([&] { return got == "abc" && pty.Pending() > 0; }));
    pty.CloseMaster();

    ASSERT_TRUE(WaitUntil([&] { return reopened; })) << log.Dump();
    EXPECT_EQ(lost, 1);
    EXPECT_TRUE(closedInHandler);
    // Restoring the settings of a vanished device fails (reported), and a
    // close with failed undo steps raises no OnClose.
    EXPECT_EQ(closes, 0);
    // The workers' reports are as before; every one of them names the loss.
    EXPECT_FALSE(log.WithoutLineReads().empty());
    for (const Rep& r : log.WithoutLineReads())
        EXPECT_EQ(r.err, static_cast<int>(ERROR_BAD_COMMAND)) << ToString(r);

    ASSERT_TRUE(fresh.Write("again"));
    ASSERT_TRUE(WaitUntil([&] { return got == "abcagain"; })) << got;
    RunEventsFor(100);
    EXPECT_EQ(lost, 1);

    // Once per open: the new open has its own.
    fresh.CloseMaster();
    ASSERT_TRUE(WaitUntil([&] { return lost == 2; }));
    EXPECT_FALSE(port->GetOpened());
    RunEventsFor(100);
    EXPECT_EQ(lost, 2);
    EXPECT_EQ(closes, 0);
}

TEST_F(PortTest, DeviceLostIsRaisedOnlyForTheOpenStillInForce) {
    // clang-format off
    struct TRow { const char* name; bool close; bool reopen; int lost; } rows[] = {
        {"left open",               false, false, 1},
        {"closed",                  true,  false, 0},
        {"closed and opened again", true,  true,  0},
    };
    // clang-format on
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.name);
        Pty peer;
        ASSERT_TRUE(peer.Ok());
        env.Map(kCom, peer.SlavePath());
        log.reps.clear();
        OpenOk();
        int lost = 0;
        port->OnDeviceLost = [&](TLNKCOMPort*) { ++lost; };
        peer.CloseMaster();
        // A worker's report runs (synchronized calls only), so the port has
        // noted the loss, but its queued call has not run yet.
        ASSERT_TRUE(WaitWithoutEvents([&] {
            pmv::platform::TThread::CheckSynchronize(5);
            return !log.reps.empty();
        })) << log.Dump();
        if (row.close) {
            EXPECT_TRUE(port->Close());
        }
        Pty next;
        if (row.reopen) {
            ASSERT_TRUE(next.Ok());
            env.Map(kCom, next.SlavePath());
            log.reps.clear();
            OpenOk();
        }
        RunEventsFor(100);
        EXPECT_EQ(lost, row.lost);
        if (!row.close || row.reopen) {
            EXPECT_TRUE(port->Close());
        }
    }
}

} // namespace
