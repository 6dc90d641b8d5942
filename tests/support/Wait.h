// Waiting in tests, with one deadline rule.
//
// A test waits for a condition, never for a fixed time: WaitUntil polls the
// condition and, when there is a Qt application, runs its event loop
// meanwhile (the port's synchronized calls, timers and widget events run
// there). A wait that succeeds takes only as long as the condition does; the
// deadline matters only when the test fails, so every deadline is generous
// (kWaitMs, 10 s, by default: the tests run on busy 2-core machines).
//
// The rule: every time given to these helpers is multiplied by
// PMV_TEST_TIME_SCALE (a number of at least 1, default 1), for runs that are
// slower as a whole: sanitizers, the emulated machine of the UART test.
//
// RunEventsFor serves the other case, a test that checks that something does
// NOT happen: it runs the event loop for a while (scaled the same way), and
// the test then checks that nothing came. It is never a wait for something.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace pmvtest {

/// The deadline of a wait for something that should happen soon.
constexpr int kWaitMs = 10000;

/// PMV_TEST_TIME_SCALE, at least 1.
inline double TimeScale() {
    const char* value = std::getenv("PMV_TEST_TIME_SCALE");
    const double scale = value ? std::atof(value) : 1.0;
    return scale >= 1.0 ? scale : 1.0;
}

/// ms milliseconds under the deadline rule.
inline int Scaled(int ms) {
    return static_cast<int>(ms * TimeScale());
}

namespace detail {

// Looks at cond every millisecond until it holds or ms (scaled) passed. With
// events (on the application's thread), the thread sleeps in the event loop
// meanwhile: an event (a worker's synchronized call, a timer) runs at once,
// and a tick wakes the loop for conditions that change without one. The
// waiting test so leaves the processors to the threads and programs it waits
// for, which on a busy machine decides whether they answer in time.
template <class Cond> bool Poll(Cond& cond, int ms, bool events) {
    const int deadline = Scaled(ms);
    QElapsedTimer t;
    t.start();
    const QCoreApplication* app = QCoreApplication::instance();
    const bool loop = events && app && QThread::currentThread() == app->thread();
    QTimer tick;
    if (loop) {
        tick.setTimerType(Qt::PreciseTimer);
        tick.start(1);
    }
    while (!cond()) {
        if (t.elapsed() > deadline)
            return cond();
        if (loop)
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace detail

/// Runs the event loop until cond() holds; false when it still does not hold
/// after ms.
template <class Cond> bool WaitUntil(Cond cond, int ms = kWaitMs) {
    return detail::Poll(cond, ms, true);
}

/// The same without running the event loop, so that no synchronized call of
/// a worker and no timer runs meanwhile.
template <class Cond> bool WaitWithoutEvents(Cond cond, int ms = kWaitMs) {
    return detail::Poll(cond, ms, false);
}

/// Runs the event loop until cond() holds; gives up only when progress() has
/// not changed for ms, so that a transfer a loaded machine slows down is
/// waited for as long as it moves.
template <class Cond, class Progress>
bool WaitWhileMoving(Cond cond, Progress progress, int ms = kWaitMs) {
    auto last = progress();
    for (;;) {
        auto moved = [&] { return cond() || progress() != last; };
        if (!WaitUntil(moved, ms))
            return false;
        if (cond())
            return true;
        last = progress();
    }
}

/// Runs the event loop for ms, for a test that then checks that nothing
/// (more) happened.
inline void RunEventsFor(int ms) {
    auto never = [] { return false; };
    detail::Poll(never, ms, true);
}

} // namespace pmvtest
