// TLNKCOMPort's lifetime against real pseudo-terminals: the port destroyed
// from inside each of its own handlers.
#include "PtyFixture.h"

#include "comport/Lnkcomthreads.h"
#include "comport/Lnkindicator.h"
#include "platform/posix/LineSource.h"

#include <functional>
#include <memory>

using namespace QORLNK;
using namespace comporttest;

namespace {

constexpr int kCom = 8;

// Which handler destroys the port, and what makes the port raise it.
struct TDestroyCase {
    const char* name;
    // Assigns the handler; destroy() deletes the port.
    std::function<void(TLNKCOMPort& port, const std::function<void()>& destroy)> assign;
    // Makes the open port raise the event.
    std::function<void(TLNKCOMPort& port, Pty& pty,
                       const std::shared_ptr<pmv::platform::ScriptedLineSource>& lines)>
        trigger;
    bool deviceVanishes = false;
};

void PrintTo(const TDestroyCase& c, std::ostream* os) {
    *os << c.name;
}

class DestroyInsideHandler : public ::testing::TestWithParam<TDestroyCase> {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_pty.Ok());
        m_env.Map(kCom, m_pty.SlavePath());
        m_port = std::make_unique<TLNKCOMPort>();
        m_port->SetPort1(kCom);
        // Every lamp is wired, so that a worker touching the destroyed port
        // through its indicator routine reads freed memory.
        for (int t = 0; t < IndicatorCount; ++t) {
            m_lamps.push_back(std::make_unique<TLNKCOMIndicator>());
            m_port->SetIndicator(static_cast<TIndicatorType>(t), m_lamps.back().get());
        }
    }

    DeviceMapEnv m_env;
    Pty m_pty;
    std::vector<std::unique_ptr<TLNKCOMIndicator>> m_lamps; // outlive the port
    std::unique_ptr<TLNKCOMPort> m_port;
};

TEST_P(DestroyInsideHandler, WorkersLeaveTheDestroyedPortAlone) {
    const TDestroyCase& c = GetParam();
    int calls = 0;
    c.assign(*m_port, [&] {
        // Reports raised while the port is being destroyed reach the handler
        // too; only the first call destroys.
        if (m_port == nullptr)
            return;
        ++calls;
        m_port.reset();
    });
    const bool opensItself = std::string(c.name) == "OnOpen";
    std::shared_ptr<pmv::platform::ScriptedLineSource> lines;
    if (!opensItself) {
        ASSERT_TRUE(m_port->Open());
        lines = std::make_shared<pmv::platform::ScriptedLineSource>();
        ASSERT_TRUE(pmv::platform::AttachLineSource(m_port->GetHandle(), lines));
    }
    TLNKCOMPort* raw = m_port.get();
    c.trigger(*raw, m_pty, lines);
    ASSERT_TRUE(WaitUntil([&] { return m_port == nullptr; }));
    RunEventsFor(100); // a second call or a late lamp would show now
    EXPECT_EQ(calls, 1);
    for (auto& lamp : m_lamps)
        EXPECT_FALSE(lamp->StateOn());
    if (!c.deviceVanishes) {
        // The released workers end and let the device go: another port
        // opens it.
        TLNKCOMPort again;
        again.SetPort1(kCom);
        EXPECT_TRUE(WaitUntil([&] { return again.Open(); }));
    }
}

const char kFrame[] = "QXPING\r";

// clang-format off
const TDestroyCase kDestroyCases[] = {
    {"OnRxChar",
     [](TLNKCOMPort& p, const std::function<void()>& d) { p.OnRxChar = [d](TLNKCOMRxThread*, char) { d(); }; },
     [](TLNKCOMPort&, Pty& pty, const auto&) { pty.Write("xyz"); }},
    {"OnTxData",
     [](TLNKCOMPort& p, const std::function<void()>& d) { p.OnTxData = [d](TLNKCOMTxThread*, int) { d(); }; },
     [](TLNKCOMPort& p, Pty&, const auto&) { p.TxData(kFrame, 7); }},
    {"OnCTS",
     [](TLNKCOMPort& p, const std::function<void()>& d) { p.OnCTS = [d](TLNKCOMStatusThread*, bool) { d(); }; },
     [](TLNKCOMPort&, Pty&, const auto& lines) { lines->SetModem(MS_CTS_ON | MS_DSR_ON); }},
    {"OnDSR",
     [](TLNKCOMPort& p, const std::function<void()>& d) { p.OnDSR = [d](TLNKCOMStatusThread*, bool) { d(); }; },
     [](TLNKCOMPort&, Pty&, const auto& lines) { lines->SetModem(MS_DSR_ON | MS_RING_ON); }},
    {"OnRI",
     [](TLNKCOMPort& p, const std::function<void()>& d) { p.OnRI = [d](TLNKCOMStatusThread*, bool) { d(); }; },
     [](TLNKCOMPort&, Pty&, const auto& lines) { lines->SetModem(MS_RING_ON | MS_RLSD_ON); }},
    {"OnCD",
     [](TLNKCOMPort& p, const std::function<void()>& d) { p.OnCD = [d](TLNKCOMStatusThread*, bool) { d(); }; },
     [](TLNKCOMPort&, Pty&, const auto& lines) { lines->SetModem(MS_RLSD_ON); }},
    {"OnRxBreak",
     [](TLNKCOMPort& p, const std::function<void()>& d) { p.OnRxBreak = [d](TLNKCOMStatusThread*) { d(); }; },
     [](TLNKCOMPort&, Pty&, const auto& lines) { lines->AddBreak(); }},
    {"OnRxError",
     [](TLNKCOMPort& p, const std::function<void()>& d) { p.OnRxError = [d](TLNKCOMStatusThread*) { d(); }; },
     [](TLNKCOMPort&, Pty&, const auto& lines) { lines->AddFrameError(); }},
    {"OnOpen",
     [](TLNKCOMPort& p, const std::function<void()>& d) { p.OnOpen = [d](TLNKCOMPort*) { d(); }; },
     [](TLNKCOMPort& p, Pty&, const auto&) { EXPECT_FALSE(p.Open()); }}, // not open afterwards
    {"OnClose",
     [](TLNKCOMPort& p, const std::function<void()>& d) { p.OnClose = [d](TLNKCOMPort*) { d(); }; },
     [](TLNKCOMPort& p, Pty&, const auto&) { EXPECT_TRUE(p.Close()); }},
    {"OnDeviceLost",
     [](TLNKCOMPort& p, const std::function<void()>& d) { p.OnDeviceLost = [d](TLNKCOMPort*) { d(); }; },
     [](TLNKCOMPort&, Pty& pty, const auto&) { pty.CloseMaster(); }, true},
    {"OnReport of a worker",
     [](TLNKCOMPort& p, const std::function<void()>& d) {
         p.OnReport = [d](TLNKCOMPort*, TReportType, const std::string&, const std::string&,
                          const std::string& file, int, int) { if (file != "TLNKCOMPort") d(); };
     },
     [](TLNKCOMPort&, Pty& pty, const auto&) { pty.CloseMaster(); }, true},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Port, DestroyInsideHandler, ::testing::ValuesIn(kDestroyCases),
                         [](const auto& info) {
                             std::string n;
                             for (const char* s = info.param.name; *s != '\0'; ++s)
                                 if (std::isalnum(static_cast<unsigned char>(*s)))
                                     n += *s;
                             return n;
                         });

} // namespace
