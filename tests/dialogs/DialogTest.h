// Helpers for the dialog tests: showing a form as the active window and
// acting on a modal dialog once its event loop runs.
#pragma once

#include "tests/support/Wait.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <functional>

#include <gtest/gtest.h>

namespace pmv::test {

// Shows w and waits (generously) until it is the active window, so that
// focus changes and key presses reach it as they would for an operator.
inline bool ShowActive(QWidget& w) {
    w.show();
    w.activateWindow();
    return QTest::qWaitForWindowActive(&w, pmvtest::Scaled(pmvtest::kWaitMs));
}

// Runs act on the modal widget as soon as it is shown and has become the
// active window; call before exec(). Should it not become active within the
// deadline, act still runs (so that it can end the modal loop) and the test
// fails.
inline void WhenModal(std::function<void(QWidget*)> act) {
    auto* timer = new QTimer;
    const QDeadlineTimer deadline(pmvtest::Scaled(2 * pmvtest::kWaitMs));
    QObject::connect(timer, &QTimer::timeout, [timer, deadline, act]() {
        QWidget* w = QApplication::activeModalWidget();
        const bool ready = w && w->isVisible() && w->isActiveWindow();
        if (!ready && !deadline.hasExpired()) {
            if (w && w->isVisible())
                w->activateWindow();
            return;
        }
        timer->stop();
        timer->deleteLater();
        if (!ready)
            ADD_FAILURE() << "the modal dialog did not become active";
        if (w)
            act(w);
    });
    timer->start(10);
}

} // namespace pmv::test
