// The production station: one command on many ports at once, one report
// row per unit.
//
//   TStation station(setup);                   // the file, command, steps, options
//   station.AddFixture(25); station.AddFixture(26);
//   station.onRow = [](const TUnitRecord& r) { print it, append it to the report };
//   station.onFinished = [] { QCoreApplication::quit(); };
//   station.Start();                           // then run the event loop
//
// A fixture (TFixture) is one port with everything pmv-link's single run
// has for it: the serial component, its reply timer, a TCliView, a
// TPortLink (engine, reply assembler and matcher) and a TLinkRunner. All
// fixtures run on the program's one event loop; what a port receives, its
// time-outs and its loss reach only its own fixture, so a unit that is
// absent, silent or unplugged delays no other.
//
// A unit's session is a list of steps (TSessionStep) run one after the
// other on the fixture's runner. The identity step reads the --identity and
// --expect words first and applies the firmware guard; each command adds its
// steps (get-all, set-all, verify; program is set-all then verify). A step
// starts one operation of the runner and, once the runner has finished,
// judges the results into the unit's record, and may end the session. A
// command is thus one more step class and one line in MakeCommandSteps.
//
// --repeat: after a unit's row, the fixture waits for the unit to go (the
// port vanishes or another device takes its number; with --identity also
// when the identity no longer answers or changes) and for the next unit on
// it (the port is there, and with --identity the identity answers), then
// runs the session again, until Stop.
#pragma once

#include "app/link/PortLink.h"
#include "app/link/PortWatch.h"
#include "comport/Lnkcomport.h"
#include "config/ConfigFile.h"
#include "tools/link/LinkRun.h"

#include <QTimer>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pmv::linkcli {

// From best to worst; a unit's result is the worst any step found.
enum class TUnitResult { Pass, Fail, Timeout, Lost, Absent };

// "pass", "fail", "timeout", "lost", "absent".
const char* UnitResultText(TUnitResult result);

// A slot that is not as it should be. Texts are 8-bit.
struct TUnitDifference {
    int slot = 0;                        // 0-based
    std::string word;                    // its command word
    std::optional<std::string> expected; // the file's value, the value sent or expected
    std::optional<std::string> target;   // the unit's answer (none: none in time)
    std::string status;                  // differs, timeout, late, unread, unsent
};

// One report row. Texts are 8-bit (the file's and the target's), paths bytes.
struct TUnitRecord {
    std::string command;
    int com = 0;
    std::string device; // the node or path
    std::string byId;   // by-id link, or empty
    std::vector<std::pair<std::string, std::optional<std::string>>> identity; // word, value
    TUnitResult result = TUnitResult::Pass;
    std::string reason; // why it is not a pass, in words
    std::vector<TUnitDifference> differing;
    std::vector<std::pair<std::string, std::string>> values; // what get-all read: word, value
    int requests = 0;                                        // frames sent to the unit
    std::chrono::system_clock::time_point time{};            // when the row was made
    std::chrono::milliseconds elapsed{0};                    // the session's time

    // Records a finding: the result becomes the worse of the two, and the
    // reason is the worst finding's (findings as bad are joined with "; ").
    void Mark(TUnitResult r, const std::string& why);
};

// What a step works with: the configuration and its file, the unit's port
// and record so far, and the fixture's runner.
struct TUnitContext {
    const TConfigSet& set;
    const std::string& file; // the configuration file's path (bytes)
    int com;
    TLinkRunner& runner;
    TUnitRecord& record;
};

class TSessionStep {
public:
    virtual ~TSessionStep() = default;
    // For the progress line: "identity", "set-all", ...
    virtual const char* Name() const = 0;
    // Starts one operation of unit.runner (it may finish at once).
    virtual void Start(TUnitContext& unit) const = 0;
    // The runner has finished the operation (the unit was not lost, and no
    // Stop came): judges its results into unit.record. False ends the
    // session: nothing more is sent to the unit.
    virtual bool Judge(TUnitContext& unit) const = 0;
};

using TSteps = std::vector<std::unique_ptr<const TSessionStep>>;

// A word expected to read a value: --expect VER=300. 8-bit texts.
struct TExpectation {
    std::string word;
    int slot = 0;
    std::string value;
};

// The identity read and the firmware guard: the --identity slots, then the
// slots of the --expect words not among them, each as its Get button. A
// unit that leaves one unanswered in time, or whose answer differs from
// the expected value, receives nothing more.
std::unique_ptr<const TSessionStep> MakeIdentityStep(std::vector<int> identitySlots,
                                                     std::vector<TExpectation> expectations);

// The steps of a command word ("get-all", "set-all", "verify", "program"),
// appended to steps; false for a word that has none.
bool MakeCommandSteps(std::string_view command, TSteps& steps);

// What every fixture shares; it must outlive the station.
struct TStationSetup {
    const TConfigSet* set = nullptr;
    std::string file; // where set was loaded from
    std::string command;
    TSteps steps;                   // identity step first when there is one
    std::vector<int> identitySlots; // what tells one unit from the next
    std::optional<QORLNK::TBaudRate> baud;
    std::optional<QORLNK::TParity> parity;
    bool repeat = false;
    std::FILE* log = nullptr; // the window's log lines, prefixed with the port
    bool transmissions = false;
};

class TFixture {
public:
    TFixture(const TStationSetup& setup, int com);
    ~TFixture();
    TFixture(const TFixture&) = delete;
    TFixture& operator=(const TFixture&) = delete;

    int Com() const { return m_com; }
    // Runs a session on the unit there now.
    void Start();
    // Ends the session after the request in flight, and every wait; the
    // interrupted unit gets its row. Idle once that is done.
    void Stop();
    // Nothing runs and nothing is waited for.
    bool Idle() const { return m_state == TState::Idle; }
    // What the fixture is doing, for a progress line.
    std::string Progress() const;
    int Units() const { return m_units; }
    int Passed() const { return m_passed; }
    const TRequestEngine& Engine() const { return m_link.Engine(); }
    int LogError() const { return m_view.LogError(); }

    std::function<void(const TUnitRecord&)> onRow;
    std::function<void()> onIdle;

private:
    enum class TState { Idle, Running, AwaitGone, AwaitNext };

    bool OpenPort(std::string& why);
    void ClosePort();
    void StartStep();
    void RunnerFinished();
    void StepFinished();
    void EndUnit();
    void DeviceLost();
    void Poll();
    void IdentityChecked();
    void Gone();
    void BecomeIdle();
    void InternalError(const std::string& what);

    const TStationSetup& m_setup;
    const int m_com;
    QORLNK::TLNKCOMPort m_port;
    QTimer m_replyTimer;
    TCliView m_view;
    TPortLink m_link;
    TLinkRunner m_runner;
    QTimer m_poll;

    TState m_state = TState::Idle;
    bool m_stopping = false;
    bool m_lost = false;
    bool m_checking = false; // a poll's identity read runs
    std::string m_internalError;
    TUnitRecord m_record;
    std::size_t m_step = 0;
    int m_txAtStart = 0;
    std::chrono::steady_clock::time_point m_startedAt{};
    TPortDevice m_unitDevice;                               // where the last unit was
    std::vector<std::optional<std::string>> m_unitIdentity; // what it answered
    int m_units = 0, m_passed = 0;
    std::string m_lastRow; // "SN=30012345 pass", for the progress line
};

class TStation {
public:
    explicit TStation(const TStationSetup& setup) : m_setup(setup) {}
    TStation(const TStation&) = delete;
    TStation& operator=(const TStation&) = delete;

    // A fixture for COMn; false when there is one already.
    bool AddFixture(int com);
    // With --repeat: ports that come later and that discover() names join
    // as fixtures (--match); it is asked every TPortWatch::kPollMs.
    void Discover(std::function<std::vector<int>()> discover);
    // Runs a session on every fixture.
    void Start();
    // Ctrl-C: every fixture stops (see TFixture::Stop).
    void Stop();
    bool Finished() const;

    const std::vector<std::unique_ptr<TFixture>>& Fixtures() const { return m_fixtures; }
    std::vector<std::string> ProgressLines() const;

    std::function<void(const TUnitRecord&)> onRow;
    // Called once every fixture is idle (never while Discover waits).
    std::function<void()> onFinished;

private:
    void CheckFinished();

    const TStationSetup& m_setup;
    std::vector<std::unique_ptr<TFixture>> m_fixtures;
    std::function<std::vector<int>()> m_discover;
    QTimer m_discoverTimer;
    bool m_started = false;
    bool m_starting = false;
    bool m_stopping = false;
    bool m_told = false;
};

} // namespace pmv::linkcli
