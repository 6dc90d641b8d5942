#include "tools/link/Station.h"

#include "config/IntText.h"
#include "config/TextCodec.h"
#include "platform/DeviceMap.h"
#include "tools/link/LinkOutput.h"

#include <algorithm>

namespace pmv::linkcli {

const char* UnitResultText(TUnitResult result) {
    switch (result) {
    case TUnitResult::Pass:
        return "pass";
    case TUnitResult::Fail:
        return "fail";
    case TUnitResult::Timeout:
        return "timeout";
    case TUnitResult::Lost:
        return "lost";
    case TUnitResult::Absent:
        return "absent";
    }
    return "fail";
}

void TUnitRecord::Mark(TUnitResult r, const std::string& why) {
    if (r > result) {
        result = r;
        reason = why;
    } else if (r == result && r != TUnitResult::Pass) {
        reason += reason.empty() ? why : "; " + why;
    }
}

// ---- Steps --------------------------------------------------------------------------

namespace {

const std::string& Word(const TUnitContext& unit, int slot) {
    return unit.set.CmdTable[static_cast<std::size_t>(slot)].cmd_str;
}

const char* StatusWord(TResultStatus s, bool write) {
    switch (s) {
    case TResultStatus::Ok:
        return "ok";
    case TResultStatus::Timeout:
        return "timeout";
    case TResultStatus::Late:
        return "late";
    case TResultStatus::NotDone:
        return write ? "unsent" : "unread";
    }
    return "timeout";
}

// A result without a value in time, as a difference.
TUnitDifference Unanswered(const TUnitContext& unit, const TSlotResult& r,
                           std::optional<std::string> expected, bool write) {
    TUnitDifference d;
    d.slot = r.slot;
    d.word = Word(unit, r.slot);
    d.expected = std::move(expected);
    if (r.status == TResultStatus::Late)
        d.target = r.value;
    d.status = StatusWord(r.status, write);
    return d;
}

bool AnsweredAny(const std::vector<TSlotResult>& results) {
    return results.empty() || std::any_of(results.begin(), results.end(), [](const TSlotResult& r) {
               return r.status == TResultStatus::Ok;
           });
}

std::string CountOf(int n, int of, const char* what) {
    return std::to_string(n) + " of " + std::to_string(of) + " " + what;
}

class TIdentityStep : public TSessionStep {
public:
    TIdentityStep(std::vector<int> identity, std::vector<TExpectation> expectations)
        : m_identity(std::move(identity)), m_expectations(std::move(expectations)),
          m_slots(m_identity) {
        for (const TExpectation& e : m_expectations)
            if (std::find(m_slots.begin(), m_slots.end(), e.slot) == m_slots.end())
                m_slots.push_back(e.slot);
    }

    const char* Name() const override { return "identity"; }

    void Start(TUnitContext& unit) const override { unit.runner.Get(m_slots); }

    bool Judge(TUnitContext& unit) const override {
        const std::vector<TSlotResult> results = unit.runner.AllResults();
        auto answer = [&](int slot) -> std::optional<std::string> {
            for (const TSlotResult& r : results)
                if (r.slot == slot && r.status == TResultStatus::Ok)
                    return r.value;
            return std::nullopt;
        };
        for (const int slot : m_identity)
            unit.record.identity.emplace_back(Word(unit, slot), answer(slot));
        bool silent = false;
        for (const TSlotResult& r : results) {
            if (r.status == TResultStatus::Ok)
                continue;
            unit.record.differing.push_back(Unanswered(unit, r, std::nullopt, false));
            silent = true;
        }
        if (silent) {
            unit.record.Mark(TUnitResult::Timeout, "no identity in time; nothing more was sent");
            return false;
        }
        bool expected = true;
        for (const TExpectation& e : m_expectations) {
            const std::string got = answer(e.slot).value_or("");
            if (got == e.value)
                continue;
            unit.record.differing.push_back({e.slot, e.word, e.value, got, "differs"});
            expected = false;
        }
        if (!expected)
            unit.record.Mark(TUnitResult::Fail, "firmware guard; nothing more was sent");
        return expected;
    }

private:
    std::vector<int> m_identity;
    std::vector<TExpectation> m_expectations;
    std::vector<int> m_slots; // identity, then the expected words not among them
};

class TGetAllStep : public TSessionStep {
public:
    const char* Name() const override { return "get-all"; }
    void Start(TUnitContext& unit) const override { unit.runner.GetAll(); }
    bool Judge(TUnitContext& unit) const override {
        const std::vector<TSlotResult> results = unit.runner.AllResults();
        int unanswered = 0;
        for (const TSlotResult& r : results) {
            if (r.status == TResultStatus::Ok) {
                unit.record.values.emplace_back(Word(unit, r.slot), r.value);
                continue;
            }
            unit.record.differing.push_back(Unanswered(unit, r, std::nullopt, false));
            ++unanswered;
        }
        if (unanswered > 0)
            unit.record.Mark(TUnitResult::Timeout,
                             CountOf(unanswered, static_cast<int>(results.size()),
                                     "reads had no answer in time"));
        return AnsweredAny(results);
    }
};

// The value a Set's reply echoes is the value sent: the same integer for
// the numeric kinds, the same text otherwise.
bool Echoes(const std::optional<std::string>& sent, const std::string& reply) {
    if (!sent)
        return true;
    const std::optional<std::int32_t> a = TryStrToInt(*sent), b = TryStrToInt(reply);
    return a && b ? *a == *b : *sent == reply;
}

class TSetAllStep : public TSessionStep {
public:
    const char* Name() const override { return "set-all"; }
    void Start(TUnitContext& unit) const override { unit.runner.SetAll(); }
    bool Judge(TUnitContext& unit) const override {
        const std::vector<TSlotResult> results = unit.runner.AllResults();
        int refused = 0, unanswered = 0;
        for (const TSlotResult& r : results) {
            if (r.status != TResultStatus::Ok) {
                unit.record.differing.push_back(Unanswered(unit, r, r.sent, true));
                ++unanswered;
            } else if (!Echoes(r.sent, r.value)) {
                unit.record.differing.push_back(
                    {r.slot, Word(unit, r.slot), r.sent, r.value, "differs"});
                ++refused;
            }
        }
        const int n = static_cast<int>(results.size());
        if (refused > 0)
            unit.record.Mark(TUnitResult::Fail,
                             CountOf(refused, n, "values sent were answered with another value"));
        if (unanswered > 0)
            unit.record.Mark(TUnitResult::Timeout,
                             CountOf(unanswered, n, "values sent had no answer in time"));
        return AnsweredAny(results);
    }
};

class TVerifyStep : public TSessionStep {
public:
    const char* Name() const override { return "verify"; }
    void Start(TUnitContext& unit) const override { unit.runner.GetAll(); }
    bool Judge(TUnitContext& unit) const override {
        const std::vector<TSlotResult> results = unit.runner.AllResults();
        const TComparison c = Compare(unit.set.CmdTable, results);
        int differs = 0, unanswered = 0;
        for (const TDifference& d : c.differences) {
            if (d.status == TCompareStatus::Same)
                continue;
            TSlotResult r;
            r.slot = d.slot;
            r.status = d.status == TCompareStatus::TimedOut  ? TResultStatus::Timeout
                       : d.status == TCompareStatus::Late    ? TResultStatus::Late
                       : d.status == TCompareStatus::NotRead ? TResultStatus::NotDone
                                                             : TResultStatus::Ok;
            r.value = d.target.value_or(std::string());
            std::optional<std::string> file =
                d.compared ? std::optional<std::string>(d.file) : std::nullopt;
            if (d.status == TCompareStatus::Differs) {
                unit.record.differing.push_back(
                    {d.slot, Word(unit, d.slot), std::move(file), d.target, "differs"});
                ++differs;
            } else {
                unit.record.differing.push_back(Unanswered(unit, r, std::move(file), false));
                ++unanswered;
            }
        }
        if (differs > 0)
            unit.record.Mark(TUnitResult::Fail,
                             CountOf(differs, c.compared, "parameters differ from the file"));
        if (unanswered > 0)
            unit.record.Mark(TUnitResult::Timeout,
                             CountOf(unanswered, c.read, "reads had no answer in time"));
        return AnsweredAny(results);
    }
};

} // namespace

std::unique_ptr<const TSessionStep> MakeIdentityStep(std::vector<int> identitySlots,
                                                     std::vector<TExpectation> expectations) {
    return std::make_unique<TIdentityStep>(std::move(identitySlots), std::move(expectations));
}

bool MakeCommandSteps(std::string_view command, TSteps& steps) {
    if (command == "get-all") {
        steps.push_back(std::make_unique<TGetAllStep>());
    } else if (command == "set-all") {
        steps.push_back(std::make_unique<TSetAllStep>());
    } else if (command == "verify") {
        steps.push_back(std::make_unique<TVerifyStep>());
    } else if (command == "program") {
        steps.push_back(std::make_unique<TSetAllStep>());
        steps.push_back(std::make_unique<TVerifyStep>());
    } else {
        return false;
    }
    return true;
}

// ---- Fixture ------------------------------------------------------------------------

namespace {

// The device a unit was on is still there. A pseudo-terminal named by a map
// line of the operator's (--device) has no publication to vouch for it: its
// node goes when its far end closes, which is all there is to go by.
bool SameDevice(const TPortDevice& d, const platform::ComPortIdentity& id) {
    if (d.isPty && d.publisherPid == 0)
        return id.present && id.node == d.node;
    return d.IsSame(id);
}

std::string IdentityText(const TUnitRecord& r) {
    std::string text;
    for (const auto& [word, value] : r.identity)
        text += (text.empty() ? "" : " ") + word + "=" + value.value_or("?");
    return EightBitToUtf8(text);
}

} // namespace

TFixture::TFixture(const TStationSetup& setup, int com)
    : m_setup(setup), m_com(com), m_view(setup.set->CmdTable),
      m_link(setup.set->CmdTable, m_port, m_replyTimer, m_view,
             [this](const std::string& what) { InternalError(what); }),
      m_runner(setup.set->CmdTable, m_link.Engine(), m_view) {
    const TConfigSet& set = *setup.set;
    m_port.SetPort1(com);
    m_port.SetBaudRate(setup.baud.value_or(set.BaudRate));
    m_port.SetDataBits(set.DataBits);
    m_port.SetParity(setup.parity.value_or(set.Parity));
    m_port.SetStopBits(set.StopBits);
    m_view.SetLog(setup.log, setup.transmissions);
    m_view.SetLogPrefix("COM" + std::to_string(com) + ": ");
    m_port.OnDeviceLost = [this](QORLNK::TLNKCOMPort*) { DeviceLost(); };
    m_runner.onFinished = [this] { RunnerFinished(); };
    m_poll.setInterval(TPortWatch::kPollMs);
    QObject::connect(&m_poll, &QTimer::timeout, [this] { Poll(); });
}

TFixture::~TFixture() {
    m_port.OnDeviceLost = nullptr;
    m_runner.onFinished = nullptr;
}

bool TFixture::OpenPort(std::string& why) {
    why = OpenComPort(m_port);
    if (!why.empty())
        return false;
    m_lost = false;
    return true;
}

// Closes once the current event is over: the end of a session comes from a
// received byte, inside the receive worker's synchronized call.
void TFixture::ClosePort() {
    QTimer::singleShot(0, &m_poll, [this] {
        if (m_port.GetOpened() && m_state != TState::Running && !m_checking)
            m_port.Close();
    });
}

void TFixture::Start() {
    if (m_state == TState::Running || m_stopping)
        return;
    m_state = TState::Running;
    m_poll.stop();
    m_record = TUnitRecord{};
    m_record.command = m_setup.command;
    m_record.com = m_com;
    m_startedAt = std::chrono::steady_clock::now();
    m_txAtStart = m_link.Engine().TxCount();
    m_step = 0;
    // Set All sends what the edits hold: the file's values, whatever the
    // last unit answered.
    m_view.LoadEdits(m_setup.set->CmdTable);

    const platform::ComPortIdentity id = platform::ReadComPortIdentity(m_com);
    m_record.device = id.node.empty() ? id.device : id.node;
    m_record.byId = id.byId;
    m_unitDevice = TPortDevice::Of(id);
    std::string why = id.present ? std::string() : "not present (" + id.absence + ")";
    if (why.empty() && !m_port.GetOpened())
        OpenPort(why);
    if (!why.empty()) {
        if (m_setup.repeat) { // an empty fixture: wait for its unit
            m_state = TState::AwaitNext;
            m_poll.start();
            return;
        }
        m_record.Mark(TUnitResult::Absent, why);
        EndUnit();
        return;
    }
    StartStep();
}

void TFixture::StartStep() {
    TUnitContext unit{*m_setup.set, m_setup.file, m_com, m_runner, m_record};
    m_setup.steps[m_step]->Start(unit);
}

void TFixture::RunnerFinished() {
    if (m_state == TState::Running) {
        StepFinished();
    } else if (m_checking) {
        m_checking = false;
        IdentityChecked();
    }
}

void TFixture::StepFinished() {
    const char* step = m_setup.steps[m_step]->Name();
    bool goOn = false;
    if (m_lost) {
        m_record.Mark(TUnitResult::Lost, std::string("the device went away during ") + step +
                                             " after " +
                                             CountOf(m_runner.Done(), m_runner.Total(),
                                                     "requests; nothing more was sent"));
    } else if (!m_internalError.empty()) {
        m_record.Mark(TUnitResult::Fail, "internal error: " + m_internalError);
        m_internalError.clear();
    } else if (m_stopping) {
        m_record.Mark(TUnitResult::Fail,
                      std::string("interrupted during ") + step + "; nothing more was sent");
    } else {
        TUnitContext unit{*m_setup.set, m_setup.file, m_com, m_runner, m_record};
        goOn = m_setup.steps[m_step]->Judge(unit);
        if (!m_runner.Error().empty()) {
            m_record.Mark(TUnitResult::Fail, "a request could not be sent: " + m_runner.Error());
            goOn = false;
        } else if (!goOn && m_record.result == TUnitResult::Pass) {
            m_record.Mark(TUnitResult::Timeout, "the unit does not answer");
        }
    }
    if (goOn && ++m_step < m_setup.steps.size()) {
        StartStep();
        return;
    }
    EndUnit();
}

void TFixture::EndUnit() {
    m_record.requests = m_link.Engine().TxCount() - m_txAtStart;
    m_record.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - m_startedAt);
    m_record.time = std::chrono::system_clock::now();
    ++m_units;
    m_passed += m_record.result == TUnitResult::Pass ? 1 : 0;
    const std::string identity = IdentityText(m_record);
    m_lastRow = (identity.empty() ? "" : identity + " ") + UnitResultText(m_record.result);
    m_unitIdentity.clear();
    for (const auto& entry : m_record.identity)
        m_unitIdentity.push_back(entry.second);
    // A new state before the row is told: the row's owner may stop the station.
    const TUnitResult result = m_record.result;
    if (m_stopping || !m_setup.repeat) {
        m_state = TState::Idle;
    } else if (result == TUnitResult::Absent || result == TUnitResult::Lost) {
        m_state = TState::AwaitNext;
    } else {
        m_state = TState::AwaitGone;
    }
    if (m_state != TState::AwaitGone || m_setup.identitySlots.empty())
        ClosePort();
    if (onRow)
        onRow(m_record);
    if (m_state == TState::Idle) {
        BecomeIdle();
        return;
    }
    if (!m_stopping)
        m_poll.start();
}

void TFixture::DeviceLost() {
    m_lost = true;
    const bool busy = m_state == TState::Running || m_checking;
    if (busy)
        m_runner.Abort(); // the session or the check ends now, as lost
    // The request in flight ends as a time-out, so that the engine is free
    // for the next unit.
    if (m_link.Engine().ComBusy())
        m_link.Engine().RxTimerTimer();
    if (m_port.GetOpened())
        m_port.Close();
    if (m_state == TState::AwaitGone)
        Gone();
}

void TFixture::Gone() {
    m_state = TState::AwaitNext;
    ClosePort();
}

void TFixture::Poll() {
    if (m_checking || m_stopping)
        return;
    const platform::ComPortIdentity id = platform::ReadComPortIdentity(m_com);
    if (m_state == TState::AwaitGone) {
        if (!SameDevice(m_unitDevice, id)) {
            Gone();
        } else if (!m_setup.identitySlots.empty() && m_port.GetOpened()) {
            m_checking = true;
            m_runner.Get(m_setup.identitySlots);
        }
        return;
    }
    if (m_state != TState::AwaitNext || !id.present)
        return;
    std::string why;
    if (!m_port.GetOpened() && !OpenPort(why))
        return; // not yet usable (another program has it): the next poll tries again
    if (m_setup.identitySlots.empty()) {
        Start();
        return;
    }
    m_checking = true;
    m_runner.Get(m_setup.identitySlots);
}

// A poll's identity read has ended.
void TFixture::IdentityChecked() {
    if (m_stopping) {
        BecomeIdle();
        return;
    }
    bool answered = !m_lost;
    std::vector<std::optional<std::string>> identity;
    for (const TSlotResult& r : m_runner.AllResults()) {
        answered = answered && r.status == TResultStatus::Ok;
        identity.push_back(r.value);
    }
    if (m_state == TState::AwaitGone) {
        if (!answered)
            Gone(); // taken off a fixture whose adapter stays
        else if (identity != m_unitIdentity)
            Start(); // already the next unit
        return;
    }
    if (m_state == TState::AwaitNext && answered)
        Start();
}

void TFixture::Stop() {
    if (m_state == TState::Idle || m_stopping)
        return;
    m_stopping = true;
    m_poll.stop();
    if (m_state == TState::Running || m_checking) {
        m_runner.Stop(); // its end makes the fixture idle
        return;
    }
    BecomeIdle();
}

void TFixture::BecomeIdle() {
    m_poll.stop();
    m_state = TState::Idle;
    ClosePort();
    if (onIdle)
        onIdle();
}

void TFixture::InternalError(const std::string& what) {
    m_internalError = what.empty() ? std::string("unknown error") : what;
    if (m_state == TState::Running || m_checking)
        m_runner.Abort();
}

std::string TFixture::Progress() const {
    std::string line = "COM" + std::to_string(m_com) + "  ";
    switch (m_state) {
    case TState::Running: {
        const std::string identity = IdentityText(m_record);
        line += (identity.empty() ? "" : identity + "  ") + m_setup.steps[m_step]->Name() + " " +
                std::to_string(m_runner.Done()) + "/" + std::to_string(m_runner.Total());
        break;
    }
    case TState::AwaitGone:
        line += m_lastRow + "; waiting for the unit to be taken off";
        break;
    case TState::AwaitNext:
        line += "waiting for the next unit";
        break;
    case TState::Idle:
        line += m_units > 0 ? m_lastRow : "stopped";
        break;
    }
    if (m_setup.repeat)
        line += "  (" + std::to_string(m_units) + " done, " + std::to_string(m_passed) + " pass)";
    return line;
}

// ---- Station ------------------------------------------------------------------------

bool TStation::AddFixture(int com) {
    for (const auto& f : m_fixtures)
        if (f->Com() == com)
            return false;
    m_fixtures.push_back(std::make_unique<TFixture>(m_setup, com));
    TFixture& fixture = *m_fixtures.back();
    fixture.onRow = [this](const TUnitRecord& r) {
        if (onRow)
            onRow(r);
    };
    fixture.onIdle = [this] { CheckFinished(); };
    if (m_started && !m_stopping)
        fixture.Start();
    return true;
}

void TStation::Discover(std::function<std::vector<int>()> discover) {
    m_discover = std::move(discover);
    m_discoverTimer.setInterval(TPortWatch::kPollMs);
    QObject::connect(&m_discoverTimer, &QTimer::timeout, [this] {
        for (const int com : m_discover())
            AddFixture(com);
    });
}

void TStation::Start() {
    m_started = true;
    m_starting = true;
    // Started one after the other; AddFixture may add to the list meanwhile.
    for (std::size_t i = 0; i < m_fixtures.size(); ++i)
        m_fixtures[i]->Start();
    m_starting = false;
    if (m_discover && !m_stopping)
        m_discoverTimer.start();
    CheckFinished();
}

void TStation::Stop() {
    m_stopping = true;
    m_discoverTimer.stop();
    for (std::size_t i = 0; i < m_fixtures.size(); ++i)
        m_fixtures[i]->Stop();
    CheckFinished();
}

bool TStation::Finished() const {
    if (!m_started || m_starting || (m_discover && !m_stopping))
        return false;
    return std::all_of(m_fixtures.begin(), m_fixtures.end(),
                       [](const auto& f) { return f->Idle(); });
}

void TStation::CheckFinished() {
    if (m_told || !Finished())
        return;
    m_told = true;
    if (onFinished)
        onFinished();
}

std::vector<std::string> TStation::ProgressLines() const {
    std::vector<std::string> lines;
    for (const auto& f : m_fixtures)
        lines.push_back(f->Progress());
    return lines;
}

} // namespace pmv::linkcli
