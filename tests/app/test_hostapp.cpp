// Application start: the error guard, the display check and the messages.
#include "app/HostApplication.h"

#include "tests/app/BoxWatcher.h"
#include "tests/support/Wait.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QTimer>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using pmvtest::WaitUntil;

namespace {

constexpr QEvent::Type kThrowEvent = QEvent::User;
constexpr QEvent::Type kMarkEvent = QEvent::Type(QEvent::User + 1);

// Throws from its event handler: a standard exception with a message, or
// anything else.
class TThrower : public QObject {
public:
    bool standard = true;
    int started = 0;
    int finished = 0;
    int marks = 0;

protected:
    bool event(QEvent* e) override {
        if (e->type() == kThrowEvent) {
            ++started;
            if (standard)
                throw std::runtime_error("'abc' is not a valid integer value");
            throw 42;
            ++finished; // never reached: the error ends the handler
        }
        if (e->type() == kMarkEvent) {
            ++marks;
            return true;
        }
        return QObject::event(e);
    }
};

THostApplication* App() {
    return qobject_cast<THostApplication*>(QCoreApplication::instance());
}

} // namespace

TEST(HostApplication, TitleIsPmvHost) {
    ASSERT_TRUE(App());
    EXPECT_EQ(QApplication::applicationName(), "PMV-Host");
    EXPECT_EQ(QApplication::applicationDisplayName(), "PMV-Host");
    EXPECT_EQ(QGuiApplication::desktopFileName(), "org.pmvhost.PmvHost"); // data/*.desktop
    EXPECT_EQ(QApplication::font().pixelSize(), 11); // 8 points at 96 dots per inch
    EXPECT_FALSE(QApplication::windowIcon().isNull());
}

TEST(HostApplication, ErrorInAHandlerIsShownAndTheLoopGoesOn) {
    struct Row {
        bool standard;
        const char* message;
    } rows[] = {
        {true, "'abc' is not a valid integer value"},
        {false, ""}, // an error without a message of its own
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.standard);
        TThrower thrower;
        thrower.standard = row.standard;
        TBoxWatcher watcher;
        QCoreApplication::postEvent(&thrower, new QEvent(kThrowEvent));
        QCoreApplication::postEvent(&thrower, new QEvent(kMarkEvent));
        ASSERT_TRUE(WaitUntil([&] { return !watcher.seen.isEmpty() && thrower.marks == 1; }));
        EXPECT_EQ(thrower.started, 1);
        EXPECT_EQ(thrower.finished, 0);
        ASSERT_EQ(watcher.seen.size(), 1);
        EXPECT_EQ(watcher.seen[0].title, "PMV-Host");
        EXPECT_EQ(watcher.seen[0].text, row.message);
        EXPECT_EQ(watcher.seen[0].icon, QMessageBox::Critical);
        // The loop goes on: a later event is handled as usual.
        QCoreApplication::postEvent(&thrower, new QEvent(kMarkEvent));
        EXPECT_TRUE(WaitUntil([&] { return thrower.marks == 2; }));
        EXPECT_FALSE(App()->ErrorBoxOpen());
    }
}

TEST(HostApplication, ErrorWhileAnErrorBoxIsOpenDoesNotStackBoxes) {
    TThrower thrower;
    TBoxWatcher watcher;
    bool posted = false;
    watcher.onBox = [&] {
        if (posted)
            return;
        posted = true;
        // Handled inside the open box's own loop.
        QCoreApplication::postEvent(&thrower, new QEvent(kThrowEvent));
        QCoreApplication::sendPostedEvents(&thrower);
    };
    QCoreApplication::postEvent(&thrower, new QEvent(kThrowEvent));
    ASSERT_TRUE(WaitUntil([&] { return thrower.started == 2 && !App()->ErrorBoxOpen(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(watcher.seen.size(), 1);
}

TEST(HostApplication, RunGuardedEndsTheHandlerAndShowsTheError) {
    TBoxWatcher watcher;
    bool after = false;
    QTimer::singleShot(0, [&] {
        pmv::RunGuarded([&] {
            throw std::runtime_error("Cannot open file x.ini");
            after = true;
        });
    });
    ASSERT_TRUE(WaitUntil([&] { return !watcher.seen.isEmpty() && !App()->ErrorBoxOpen(); }));
    EXPECT_FALSE(after);
    EXPECT_EQ(watcher.seen[0].text, "Cannot open file x.ini");
}

TEST(HostApplication, ErrorEscapingTheRunIsShownAndGivesExitCode0) {
    TBoxWatcher watcher;
    int rc = -1;
    QTimer::singleShot(0,
                       [&] { rc = App()->Run([]() -> int { throw std::logic_error("lost"); }); });
    ASSERT_TRUE(WaitUntil([&] { return rc != -1; }));
    EXPECT_EQ(rc, 0);
    ASSERT_EQ(watcher.seen.size(), 1);
    EXPECT_EQ(watcher.seen[0].text, "lost");
    EXPECT_EQ(App()->Run([] { return 3; }), 3);
}

TEST(HostApplication, ExceptionTextIsUtf8Or8Bit) {
    EXPECT_EQ(pmv::ExceptionText("plain"), "plain");
    EXPECT_EQ(pmv::ExceptionText("Gr\xC3\xB6\xC3\x9F"
                                 "e"),
              QString::fromUtf8("Größe"));
    EXPECT_EQ(pmv::ExceptionText("Gr\xF6\xDF"
                                 "e"),
              QString::fromUtf8("Größe"));
    EXPECT_EQ(pmv::ExceptionText(nullptr), "");
}

TEST(HostStart, DisplayCheck) {
    struct Row {
        const char* qpa;
        const char* display;
        const char* wayland;
        bool available;
    } rows[] = {
        {nullptr, nullptr, nullptr, false},    {"", "", "", false},
        {"offscreen", nullptr, nullptr, true}, {nullptr, ":0", nullptr, true},
        {nullptr, nullptr, "wayland-0", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.qpa ? row.qpa : "-") + (row.display ? row.display : "-") +
                     (row.wayland ? row.wayland : "-"));
        EXPECT_EQ(pmv::DisplayAvailable(row.qpa, row.display, row.wayland), row.available);
    }
}

TEST(HostStart, CommandLine) {
    const std::string tryHelp = "Try 'pmv-host --help' for more information.\n";
    const std::string usage = "Usage: pmv-host [options]\n";
    struct Row {
        QStringList args;
        bool done;
        int exitCode;
        std::string output; // the whole output, or with a * the start of it
        std::string error;
    };
    // clang-format off
    const Row rows[] = {
        {{},                          false, 0, "",                ""},
        {{"--version"},               true,  0, "pmv-host 1.8\n",  ""},
        {{"-v"},                      true,  0, "pmv-host 1.8\n",  ""},
        {{"--help"},                  true,  0, "*" + usage,       ""},
        {{"-h"},                      true,  0, "*" + usage,       ""},
        {{"-platform", "offscreen"},  true,  2, "",                "pmv-host: Unknown option 'platform'.\n" + tryHelp},
        {{"--help", "--frobnicate"},  true,  2, "",                "pmv-host: Unknown option 'frobnicate'.\n" + tryHelp},
        {{"config.ini"},              true,  2, "",                "pmv-host: unexpected argument 'config.ini' (the host takes no arguments)\n" + tryHelp},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args.join(' ').toStdString());
        const pmv::TCommandLineAnswer answer =
            pmv::AnswerCommandLine(QStringList{"/usr/bin/pmv-host"} + row.args);
        EXPECT_EQ(answer.done, row.done);
        EXPECT_EQ(answer.exitCode, row.exitCode);
        if (!row.output.empty() && row.output[0] == '*') {
            EXPECT_EQ(answer.output.substr(0, row.output.size() - 1), row.output.substr(1));
        } else {
            EXPECT_EQ(answer.output, row.output);
        }
        EXPECT_EQ(answer.error, row.error);
    }
    // The help lists every exit code.
    const std::string help = pmv::AnswerCommandLine({"pmv-host", "--help"}).output;
    EXPECT_NE(help.find("\nExit status:\n  0  the window was closed"), std::string::npos) << help;
    EXPECT_NE(help.find("\n  1  no display"), std::string::npos) << help;
    EXPECT_NE(help.find("\n  2  a bad command line\n"), std::string::npos) << help;
}

// The program itself without a display: help, version and a bad command line
// are answered (on the right stream), anything else says how to run it.
TEST(HostStart, WithoutADisplay) {
    struct Row {
        QStringList args;
        int exitCode;
        const char* output;
        const char* error;
    } rows[] = {
        {{}, pmv::kExitNoDisplay, "", "xvfb-run -a"},
        {{"--version"}, 0, "pmv-host 1.8\n", ""},
        {{"--help"}, 0, "Exit status:", ""},
        {{"--frobnicate"}, pmv::kExitUsage, "", "Unknown option 'frobnicate'"},
    };
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args.join(' ').toStdString());
        QProcess host;
        host.setProcessEnvironment(env);
        host.start(QStringLiteral(PMV_HOST_EXE), row.args);
        ASSERT_TRUE(host.waitForFinished(30000));
        EXPECT_EQ(host.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(host.exitCode(), row.exitCode);
        const QString out = QString::fromLocal8Bit(host.readAllStandardOutput());
        const QString err = QString::fromLocal8Bit(host.readAllStandardError());
        EXPECT_EQ(out.isEmpty(), !*row.output) << out.toStdString();
        EXPECT_TRUE(out.contains(QString::fromLatin1(row.output))) << out.toStdString();
        EXPECT_EQ(err.isEmpty(), !*row.error) << err.toStdString();
        EXPECT_TRUE(err.contains(QString::fromLatin1(row.error))) << err.toStdString();
    }
}
