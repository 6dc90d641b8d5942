// SIGTERM, SIGINT and SIGHUP (a logout, kill, Ctrl-C in the terminal that
// started the host) as events of the event loop: the handler only writes
// the signal's number to a pipe, and a socket notifier hands it to a
// function on the user-interface thread, also while a modal dialog runs.
#pragma once

#include <QObject>

#include <functional>
#include <memory>

class QSocketNotifier;

class THostSignals : public QObject {
public:
    // Catches the three signals until destroyed; onSignal gets the number of
    // the first (the program is ending: later ones change nothing).
    explicit THostSignals(std::function<void(int)> onSignal);
    ~THostSignals() override;
    THostSignals(const THostSignals&) = delete;
    THostSignals& operator=(const THostSignals&) = delete;

private:
    std::function<void(int)> m_onSignal;
    bool m_fired = false;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
