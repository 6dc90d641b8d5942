// pmv-link on many units at once: the real program against simulators on
// pseudo-terminals, published through a private device map.
#include "tools/link/Report.h"
#include "tools/link/Station.h"
#include "tools/sim/SimClient.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
const std::string kExample = PMV_SOURCE_DIR "/examples/qxm300-pump.ini";
constexpr int kDeadlineMs = 60000; // generous: the machine may be busy

struct TRun {
    int status = -1;
    std::string out, err;
};

// RFC 4180 records, CR LF or LF line ends.
std::vector<std::vector<std::string>> ReadCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"')
            rows.back().back() += text[++i];
        else if (c == '"')
            quoted = !quoted;
        else if (!quoted && c == ',')
            rows.back().emplace_back();
        else if (!quoted && c == '\n')
            rows.emplace_back(1);
        else if (quoted || c != '\r')
            rows.back().back() += c;
    }
    rows.pop_back(); // after the last line end
    return rows;
}

// The complete lines of text, each a JSON object.
std::vector<QJsonObject> JsonLines(const std::string& text) {
    std::vector<QJsonObject> rows;
    std::istringstream in(text.substr(0, text.rfind('\n') + 1));
    for (std::string line; std::getline(in, line);) {
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << line;
        rows.push_back(doc.object());
    }
    return rows;
}

std::string Str(const QJsonValue& v) {
    return v.toString().toStdString();
}

// The Set frames a simulator's log shows it received.
int SetFrames(const std::string& log) {
    int n = 0;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);)
        n += line.starts_with("rx ") && line.find(" = ") != std::string::npos;
    return n;
}

class StationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        ::setenv("PMV_COMMAP", Path("commap").c_str(), 1);
    }
    void TearDown() override {
        m_sims.clear();
        ::unsetenv("PMV_COMMAP");
        ::unsetenv("PMV_DEV_ROOT");
    }

    std::string Path(const std::string& name) const {
        return m_dir.filePath(name.c_str()).toStdString();
    }
    std::string SimLog(int com) const { return Read(Path("sim" + std::to_string(com) + ".log")); }
    static std::string Read(const std::string& path) {
        std::ifstream in(path);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    void StartSim(int com, std::vector<std::string> args) {
        args.insert(args.end(), {"--log", Path("sim" + std::to_string(com) + ".log")});
        auto& sim = m_sims[com] = std::make_unique<qxmsim::TSimProcess>();
        ASSERT_TRUE(sim->Start(QXM_SIM_PATH, Path("commap"), com, args)) << sim->Error();
    }

    void StartLink(QProcess& p, const std::vector<std::string>& args) {
        QStringList list;
        for (const std::string& a : args)
            list << QString::fromStdString(a);
        p.start(PMV_LINK_PATH, list);
        ASSERT_TRUE(p.waitForStarted(kDeadlineMs));
    }

    TRun Link(const std::vector<std::string>& args) {
        QProcess p;
        StartLink(p, args);
        TRun r;
        if (p.waitForFinished(kDeadlineMs) && p.exitStatus() == QProcess::NormalExit)
            r.status = p.exitCode();
        r.out = p.readAllStandardOutput().toStdString();
        r.err = p.readAllStandardError().toStdString();
        return r;
    }

    QTemporaryDir m_dir;
    std::map<int, std::unique_ptr<qxmsim::TSimProcess>> m_sims;
};

struct TSim {
    int com;
    std::vector<std::string> args;
    const char* byId = nullptr; // a /dev/serial/by-id name for it
};

struct TCase {
    const char* name;
    std::vector<TSim> sims;
    std::vector<std::string> args; // "@25": the device of COM25's simulator
    int status;
    std::map<int, const char*> results; // by port; the ports not named have no row
    std::vector<int> noSets;            // simulators that must receive no Set frame
    const char* differing = nullptr;    // in some row's CSV differing column
    int changed = 0;                    // this port's unit had SPD set to 1600 by hand
};

std::vector<TSim> Eight() {
    std::vector<TSim> sims;
    for (int com = 25; com <= 32; ++com)
        sims.push_back(
            {com, {"--sn", std::to_string(30020000 + com), "--ver", com == 30 ? "299" : "300"}});
    return sims;
}

const std::vector<std::string> kWide = {"--timeout", "2000"}; // a busy machine answers late

// clang-format off
const TCase kCases[] = {
    {"EightUnitsOneCommandWrongFirmwareGetsNothing", Eight(),
     {"--port", "COM25,COM26,COM27,COM28,COM29,COM30,COM31,COM32", "--identity", "SN,VER",
      "--expect", "VER=300", "program"}, 1,
     {{25, "pass"}, {26, "pass"}, {27, "pass"}, {28, "pass"}, {29, "pass"}, {30, "fail"},
      {31, "pass"}, {32, "pass"}}, {30}, "VER=299 (300 expected)"},
    {"SilentUnpluggedAndAbsentDelayNoOther",
     {{25, {}}, {26, {"--silent", "*"}}, {27, {"--exit-after", "20"}}},
     {"--port", "COM25,COM26,COM27,COM28", "--identity", "SN", "program"}, 3,
     {{25, "pass"}, {26, "timeout"}, {27, "lost"}, {28, "absent"}}, {26}, "SN (timeout)"},
    {"VerifyFindsADifferenceAndALateReply", {{25, {"--late", "ACC:3000"}}, {26, {}}},
     {"--port", "COM25", "--port", "COM26", "verify"}, 1,
     {{25, "timeout"}, {26, "fail"}}, {25}, "SPD=1600 (1500 expected)", 26},
    {"ShortTimeoutReachesEveryPort", {{25, {"--late", "SN:400"}}, {26, {"--late", "SN:400"}}},
     {"--port", "COM25,COM26", "--timeout", "100", "--identity", "SN", "set-all"}, 1,
     {{25, "timeout"}, {26, "timeout"}}, {25, 26}, "SN (timeout)"},
    {"LongTimeoutReachesEveryPort", {{25, {"--late", "SN:400"}}, {26, {"--late", "SN:400"}}},
     {"--port", "COM25,COM26", "--timeout", "3000", "--identity", "SN", "set-all"}, 0,
     {{25, "pass"}, {26, "pass"}}, {}},
    {"MatchByIdNames",
     {{25, {}, "usb-fixture-A"}, {26, {}, "usb-fixture-B"}, {27, {}, "usb-other"}},
     {"--match", "usb-fixture-*", "get-all"}, 0, {{25, "pass"}, {26, "pass"}}, {25, 26, 27}},
    {"DevicesRepeated", {{25, {}}, {26, {}}}, {"--device", "@25", "--device", "@26", "verify"}, 0,
     {{25, "pass"}, {26, "pass"}}, {25, 26}},
};
// clang-format on

TEST_F(StationTest, Cases) {
    for (const TCase& c : kCases) {
        SCOPED_TRACE(c.name);
        m_sims.clear();
        std::filesystem::remove_all(Path("dev"));
        for (const TSim& s : c.sims) {
            StartSim(s.com, s.args);
            if (s.byId != nullptr) {
                std::filesystem::create_directories(Path("dev/serial/by-id"));
                std::filesystem::create_symlink(m_sims[s.com]->Device(),
                                                Path("dev/serial/by-id/") + s.byId);
                ::setenv("PMV_DEV_ROOT", Path("dev").c_str(), 1);
            }
        }
        if (c.changed != 0) {
            const std::string port = "COM" + std::to_string(c.changed);
            ASSERT_EQ(
                Link({"--timeout", "2000", "--port", port, "set", kExample, "SPD=1600"}).status, 0);
        }
        const std::string report = Path(std::string(c.name) + ".csv");
        std::vector<std::string> args = kWide;
        for (const std::string& a : c.args)
            args.push_back(a[0] == '@' ? m_sims[std::stoi(a.substr(1))]->Device() : a);
        args.insert(args.end() - 1, {"--json", "--report", report, "--log", Path("log")});
        args.push_back(kExample);
        const TRun r = Link(args);
        ::unsetenv("PMV_DEV_ROOT");
        EXPECT_EQ(r.status, c.status) << r.err;

        // One complete row per unit in JSON, and the same rows read back from the CSV.
        const std::vector<QJsonObject> rows = JsonLines(r.out);
        const auto csv = ReadCsv(Read(report));
        ASSERT_EQ(rows.size(), c.results.size()) << r.out;
        ASSERT_EQ(csv.size(), rows.size() + 1);
        std::map<std::string, std::size_t> column;
        for (std::size_t i = 0; i < csv[0].size(); ++i)
            column[csv[0][i]] = i;
        bool differingShown = c.differing == nullptr;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const QJsonObject& row = rows[i];
            const int com = std::stoi(Str(row["port"]).substr(3));
            SCOPED_TRACE(Str(row["port"]));
            ASSERT_EQ(csv[i + 1].size(), csv[0].size());
            for (const char* key : {"time", "command", "port", "device", "result", "reason"})
                EXPECT_EQ(Str(row[key]), csv[i + 1][column[key]]) << key;
            ASSERT_TRUE(c.results.count(com));
            EXPECT_EQ(Str(row["result"]), c.results.at(com)) << Str(row["reason"]);
            EXPECT_EQ(row["reason"].toString().isEmpty(), Str(row["result"]) == "pass");
            EXPECT_EQ(Str(row["command"]), c.args.back());
            if (m_sims.count(com)) {
                EXPECT_EQ(Str(row["device"]), m_sims[com]->Device());
                const QJsonObject identity = row["identity"].toObject();
                if (identity.contains("SN") && Str(row["result"]) != "timeout") {
                    EXPECT_EQ(Str(identity["SN"]), csv[i + 1][column["SN"]]);
                }
            }
            differingShown = differingShown ||
                             csv[i + 1][column["differing"]].find(c.differing) != std::string::npos;
        }
        EXPECT_TRUE(differingShown) << c.differing;
        std::istringstream log(Read(Path("log"))); // one log, each line under its port
        for (std::string line; std::getline(log, line);)
            EXPECT_TRUE(line.starts_with("COM") && line.find(": ") == 5) << line;
        if (c.sims.size() == 8) { // each unit by its own serial number
            for (const QJsonObject& row : rows)
                EXPECT_EQ(Str(row["identity"].toObject()["SN"]),
                          std::to_string(30020000 + std::stoi(Str(row["port"]).substr(3))));
        }
        for (const int com : c.noSets)
            EXPECT_EQ(SetFrames(SimLog(com)), 0) << SimLog(com);
    }
}

TEST_F(StationTest, RepeatRunsTheNextUnitOnceTheLastHasGone) {
    StartSim(25, {"--sn", "A1"});
    QProcess link;
    StartLink(link, {"--repeat", "--identity", "SN", "--json", "--timeout", "2000", "--report",
                     Path("r.jsonl"), "program", kExample});
    std::string out;
    auto rowsAfter = [&](std::size_t n) {
        const Clock::time_point end = Clock::now() + std::chrono::milliseconds(kDeadlineMs);
        while (JsonLines(out).size() < n && Clock::now() < end) {
            link.waitForReadyRead(500);
            out += link.readAllStandardOutput().toStdString();
        }
        return JsonLines(out).size();
    };
    ASSERT_EQ(rowsAfter(1), 1u);
    // The same unit stays on the fixture: no second row for it, however long.
    EXPECT_FALSE(link.waitForReadyRead(2 * 500 * 3));
    m_sims[25]->Stop();
    StartSim(25, {"--sn", "B2"});
    ASSERT_EQ(rowsAfter(2), 2u);
    ::kill(static_cast<pid_t>(link.processId()), SIGINT);
    ASSERT_TRUE(link.waitForFinished(kDeadlineMs));
    EXPECT_EQ(link.exitCode(), 130);
    const std::vector<QJsonObject> rows = JsonLines(Read(Path("r.jsonl")));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(Str(rows[0]["identity"].toObject()["SN"]), "A1");
    EXPECT_EQ(Str(rows[1]["identity"].toObject()["SN"]), "B2");
    for (const QJsonObject& row : rows)
        EXPECT_EQ(Str(row["result"]), "pass") << Str(row["reason"]);
}

TEST_F(StationTest, RepeatWithMatchTakesAPortThatComesLater) {
    std::filesystem::create_directories(Path("dev/serial/by-id"));
    ::setenv("PMV_DEV_ROOT", Path("dev").c_str(), 1);
    QProcess link;
    StartLink(link, {"--match", "usb-fixture-*", "--repeat", "--identity", "SN", "--json",
                     "--timeout", "2000", "verify", kExample});
    ASSERT_FALSE(link.waitForFinished(2 * 500 * 2)); // nothing there: it waits
    StartSim(27, {"--sn", "C3"});
    std::filesystem::create_symlink(m_sims[27]->Device(), Path("dev/serial/by-id/usb-fixture-C"));
    std::string out;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(kDeadlineMs);
    while (JsonLines(out).empty() && Clock::now() < end) {
        link.waitForReadyRead(500);
        out += link.readAllStandardOutput().toStdString();
    }
    ::kill(static_cast<pid_t>(link.processId()), SIGINT);
    ASSERT_TRUE(link.waitForFinished(kDeadlineMs));
    EXPECT_EQ(link.exitCode(), 130);
    const std::vector<QJsonObject> rows = JsonLines(out);
    ASSERT_EQ(rows.size(), 1u) << out;
    EXPECT_EQ(Str(rows[0]["port"]), "COM27");
    EXPECT_EQ(Str(rows[0]["by_id"]), Path("dev/serial/by-id/usb-fixture-C"));
    EXPECT_EQ(Str(rows[0]["identity"].toObject()["SN"]), "C3");
    EXPECT_EQ(Str(rows[0]["result"]), "pass") << Str(rows[0]["reason"]);
}

TEST_F(StationTest, RefusedBeforeAnythingIsSent) {
    StartSim(25, {});
    std::ofstream(Path("other.csv")) << "time,port,result\r\n";
    // clang-format off
    const std::vector<std::vector<std::string>> refused = {
        {"--port", "COM25,COM26", "get", kExample, "SN"},
        {"--expect", "VER", "program", kExample},
        {"--identity", "NOSUCH", "program", kExample},
        {"--report", Path("other.csv"), "program", kExample},
    };
    // clang-format on
    for (const auto& args : refused) {
        SCOPED_TRACE(args[1]);
        const TRun r = Link(args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err, "");
    }
    EXPECT_EQ(SimLog(25).find("\nrx "), std::string::npos);
}

TEST_F(StationTest, PacedSimulatorTakesTheLineTime) {
    StartSim(25, {"--pace", "9600"});
    qxmsim::TPtyClient pty;
    ASSERT_TRUE(pty.Open(m_sims[25]->Device()));
    const Clock::time_point start = Clock::now();
    ASSERT_TRUE(pty.Write("QXSPD\r"));
    EXPECT_EQ(pty.ReadUntil('\r', std::chrono::milliseconds(kDeadlineMs)), "QXSPD = 1500\r");
    // 6 bytes there and 13 back, 10 bits a byte at 9600 baud: 19.8 ms at least.
    EXPECT_GE(Clock::now() - start, std::chrono::microseconds((6 + 13) * 10 * 1000000LL / 9600));
}

TEST_F(StationTest, InterruptedUnitsGetTheirRow) {
    const std::string report = Path("r.csv");
    StartSim(25, {"--delay", "50"});
    StartSim(26, {"--delay", "50"});
    const std::vector<std::string> args = {"--port", "COM25,COM26", "--timeout",
                                           "2000",   "--report",    report,
                                           "--json", "program",     kExample};
    const TRun first = Link(args);
    ASSERT_EQ(first.status, 0) << first.out << first.err;
    QProcess link;
    StartLink(link, args);
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(kDeadlineMs);
    while (SetFrames(SimLog(26)) < 20 && Clock::now() < end) // into the second run's Set All
        link.waitForFinished(20);
    ::kill(static_cast<pid_t>(link.processId()), SIGINT);
    ASSERT_TRUE(link.waitForFinished(kDeadlineMs));
    EXPECT_EQ(link.exitCode(), 130);
    const std::vector<QJsonObject> rows = JsonLines(link.readAllStandardOutput().toStdString());
    ASSERT_EQ(rows.size(), 2u);
    for (const QJsonObject& row : rows) {
        EXPECT_EQ(Str(row["result"]), "fail");
        EXPECT_NE(Str(row["reason"]).find("interrupted"), std::string::npos);
    }
    // Both runs in one report, under one header.
    const auto csv = ReadCsv(Read(report));
    ASSERT_EQ(csv.size(), 5u);
    EXPECT_EQ(csv[0][0], "time");
    EXPECT_EQ(csv[4][csv[0].size() - 6], "fail");
}

TEST(StationRecord, TheWorstFindingIsTheResult) {
    using pmv::linkcli::TUnitResult;
    // clang-format off
    const struct { std::vector<std::pair<TUnitResult, const char*>> marks; TUnitResult result; const char* reason; } rows[] = {
        {{}, TUnitResult::Pass, ""},
        {{{TUnitResult::Fail, "a"}, {TUnitResult::Timeout, "b"}, {TUnitResult::Fail, "c"}}, TUnitResult::Timeout, "b"},
        {{{TUnitResult::Fail, "a"}, {TUnitResult::Fail, "c"}}, TUnitResult::Fail, "a; c"},
        {{{TUnitResult::Lost, "a"}, {TUnitResult::Timeout, "b"}}, TUnitResult::Lost, "a"},
    };
    // clang-format on
    for (const auto& row : rows) {
        pmv::linkcli::TUnitRecord r;
        for (const auto& [result, why] : row.marks)
            r.Mark(result, why);
        EXPECT_EQ(r.result, row.result);
        EXPECT_EQ(r.reason, row.reason);
    }
}

TEST(StationReport, EveryFormatHoldsTheRowAsUtf8) {
    pmv::linkcli::TUnitRecord r;
    r.command = "verify";
    r.com = 7;
    r.device = "/dev/ttyUSB0";
    r.byId = "/dev/serial/by-id/usb-FTDI_A1-if00-port0";
    r.identity = {{"SN", "caf\xE9"}, {"VER", std::nullopt}};
    r.result = pmv::linkcli::TUnitResult::Fail;
    r.reason = "1 of 16 parameters differ, \"as read\"";
    r.differing = {{4, "SPD", "1500", "1600", "differs"},
                   {8, "ACC", std::nullopt, std::nullopt, "timeout"}};
    r.requests = 32;
    r.elapsed = std::chrono::milliseconds(1234);
    const pmv::linkcli::TRowFormat format({"SN", "VER"}, 10);

    const auto csv = ReadCsv(format.Header(pmv::linkcli::TFormat::Csv) +
                             format.Row(r, pmv::linkcli::TFormat::Csv));
    ASSERT_EQ(csv.size(), 2u);
    ASSERT_EQ(csv[1].size(), csv[0].size());
    const std::vector<std::string> expected = {
        "verify", "COM7", "/dev/ttyUSB0", "/dev/serial/by-id/usb-FTDI_A1-if00-port0", "caf\xC3\xA9",
        "",       "fail", r.reason,       "SPD=1600 (1500 expected); ACC (timeout)",  "",
        "32",     "1234"};
    EXPECT_EQ(std::vector<std::string>(csv[1].begin() + 1, csv[1].end()), expected);

    const std::vector<QJsonObject> json = JsonLines(format.Row(r, pmv::linkcli::TFormat::Json));
    ASSERT_EQ(json.size(), 1u);
    EXPECT_EQ(Str(json[0]["time"]), csv[1][0]);
    EXPECT_EQ(Str(json[0]["identity"].toObject()["SN"]), "caf\xC3\xA9");
    EXPECT_TRUE(json[0]["identity"].toObject()["VER"].isNull());
    EXPECT_EQ(json[0]["differing"].toArray()[0].toObject()["slot"].toInt(), 5);
    EXPECT_EQ(json[0]["elapsed_ms"].toInt(), 1234);

    const std::string table = format.Row(r, pmv::linkcli::TFormat::Table);
    EXPECT_NE(table.find("usb-FTDI_A1-if00-port0  caf\xC3\xA9"), std::string::npos) << table;
    EXPECT_NE(table.find("fail     1 of 16"), std::string::npos) << table;
}

} // namespace
