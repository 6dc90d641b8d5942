// Application start: the error guard, the display check and the messages.
#include "app/HostApplication.h"

#include "tests/app/BoxWatcher.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QTimer>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

constexpr QEvent::Type ThrowEvent = QEvent::User;
constexpr QEvent::Type MarkEvent = QEvent::Type(QEvent::User + 1);

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
        if (e->type() == ThrowEvent) {
            ++started;
            if (standard)
                throw std::runtime_error("'abc' is not a valid integer value");
            throw 42;
            ++finished; // never reached: the error ends the handler
        }
        if (e->type() == MarkEvent) {
            ++marks;
            return true;
        }
        return QObject::event(e);
    }
};

// Runs the event loop until cond holds or the deadline passes.
bool WaitFor(const std::function<bool()>& cond, int ms = 10000) {
    QElapsedTimer t;
    t.start();
    while (!cond() && t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return cond();
}

THostApplication* App() {
    return qobject_cast<THostApplication*>(QCoreApplication::instance());
}

} // namespace

TEST(HostApplication, TitleIsPmvHost) {
    ASSERT_TRUE(App());
    EXPECT_EQ(QApplication::applicationName(), "PMV-Host");
    EXPECT_EQ(QApplication::applicationDisplayName(), "PMV-Host");
    EXPECT_EQ(QApplication::font().pointSize(), 8);
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
        QCoreApplication::postEvent(&thrower, new QEvent(ThrowEvent));
        QCoreApplication::postEvent(&thrower, new QEvent(MarkEvent));
        ASSERT_TRUE(WaitFor([&] { return !watcher.seen.isEmpty() && thrower.marks == 1; }));
        EXPECT_EQ(thrower.started, 1);
        EXPECT_EQ(thrower.finished, 0);
        ASSERT_EQ(watcher.seen.size(), 1);
        EXPECT_EQ(watcher.seen[0].title, "PMV-Host");
        EXPECT_EQ(watcher.seen[0].text, row.message);
        EXPECT_EQ(watcher.seen[0].icon, QMessageBox::Critical);
        // The loop goes on: a later event is handled as usual.
        QCoreApplication::postEvent(&thrower, new QEvent(MarkEvent));
        EXPECT_TRUE(WaitFor([&] { return thrower.marks == 2; }));
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
        QCoreApplication::postEvent(&thrower, new QEvent(ThrowEvent));
        QCoreApplication::sendPostedEvents(&thrower);
    };
    QCoreApplication::postEvent(&thrower, new QEvent(ThrowEvent));
    ASSERT_TRUE(WaitFor([&] { return thrower.started == 2 && !App()->ErrorBoxOpen(); }));
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
    ASSERT_TRUE(WaitFor([&] { return !watcher.seen.isEmpty() && !App()->ErrorBoxOpen(); }));
    EXPECT_FALSE(after);
    EXPECT_EQ(watcher.seen[0].text, "Cannot open file x.ini");
}

TEST(HostApplication, ErrorEscapingTheRunIsShownAndGivesExitCode0) {
    TBoxWatcher watcher;
    int rc = -1;
    QTimer::singleShot(0,
                       [&] { rc = App()->Run([]() -> int { throw std::logic_error("lost"); }); });
    ASSERT_TRUE(WaitFor([&] { return rc != -1; }));
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

TEST(HostStart, WithoutADisplayTheHostSaysHowToRunIt) {
    QProcess host;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    host.setProcessEnvironment(env);
    host.start(QStringLiteral(PMV_HOST_EXE), {});
    ASSERT_TRUE(host.waitForFinished(30000));
    EXPECT_EQ(host.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(host.exitCode(), 1);
    const QString err = QString::fromLocal8Bit(host.readAllStandardError());
    EXPECT_TRUE(err.contains("no display found")) << err.toStdString();
    EXPECT_TRUE(err.contains("xvfb-run -a")) << err.toStdString();
}
