// A network port in the window: the serial server (Debian's ser2net in
// front of qxm-sim's pseudo-terminal) goes away and comes back, and the
// port follows as it does for an unplugged adapter.
#include "app/Mainfrm.h"
#include "app/link/PortWatch.h"
#include "tests/app/WindowProbe.h"
#include "tests/dialogs/DialogTest.h"
#include "tests/support/Ser2net.h"
#include "tools/sim/SimClient.h"

#include <QAction>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

using namespace pmv;
using pmvtest::RunEventsFor;
using pmvtest::WaitUntil;

namespace {

constexpr int kCom = 25;

class NetPortWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        const std::string map = m_dir.filePath("commap").toStdString();
        ::setenv("PMV_COMMAP", map.c_str(), 1);
        ASSERT_TRUE(m_sim.Start(QXM_SIM_PATH, m_dir.filePath("simmap").toStdString(), 31, {}))
            << m_sim.Error();
        server = std::make_unique<pmvtest::TSer2net>(m_dir.path().toStdString(), m_sim.Device());
        ASSERT_TRUE(server->Start());
        std::ofstream(map) << "COM" << kCom << "=" << server->Rfc2217() << "\n";
        form = std::make_unique<TMainForm>();
        ASSERT_TRUE(test::ShowActive(*form));
    }
    void TearDown() override {
        form.reset();
        server.reset();
        m_sim.Stop();
        ::unsetenv("PMV_COMMAP");
    }
    QString Line(const char* what) const {
        return QStringLiteral("COM25 (%1): %2")
            .arg(QString::fromStdString(server->Rfc2217()), QLatin1String(what));
    }
    testing::AssertionResult WaitLogLine(const QString& line) {
        if (WaitUntil([&] { return apptest::LogLines(*form).contains(line); }))
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << "no line \"" << line.toStdString() << "\" in:\n"
                                           << apptest::LogLines(*form).join('\n').toStdString();
    }

    std::unique_ptr<pmvtest::TSer2net> server;
    std::unique_ptr<TMainForm> form;

private:
    QTemporaryDir m_dir;
    qxmsim::TSimProcess m_sim;
};

TEST_F(NetPortWindowTest, ServerGoneIsALostDeviceBackOnceItAnswers) {
    apptest::ChoosePort(*form, kCom);
    apptest::Item(*form, "COMOpen")->trigger();
    ASSERT_EQ(apptest::StatusText(*form, 0), "COM25: 9600 8 none 1")
        << apptest::LogLines(*form).join('\n').toStdString();
    apptest::Memo(*form)->clear();

    server->Kill();
    ASSERT_TRUE(WaitLogLine(Line("device lost")));
    // While the server refuses, the watch waits and says nothing more.
    RunEventsFor(3 * TPortWatch::kPollMs);
    EXPECT_EQ(apptest::LogLines(*form), QStringList{Line("device lost")});

    ASSERT_TRUE(server->Start());
    ASSERT_TRUE(WaitLogLine(Line("device back, reopened")));
    EXPECT_EQ(apptest::StatusText(*form, 0), "COM25: 9600 8 none 1");
}

} // namespace
