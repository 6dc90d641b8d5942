#include "app/HostSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
int gPipe[2] = {-1, -1};

void OnSignal(int sig) {
    const int saved = errno;
    const char c = static_cast<char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(gPipe[1], &c, 1);
    errno = saved;
}

} // namespace

THostSignals::THostSignals(std::function<void(int)> onSignal) : m_onSignal(std::move(onSignal)) {
    if (::pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return; // the signals keep their default: the program ends at once
    m_notifier = std::make_unique<QSocketNotifier>(gPipe[0], QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] {
        char c = 0;
        while (::read(gPipe[0], &c, 1) == 1)
            if (!m_fired) {
                m_fired = true;
                m_onSignal(static_cast<unsigned char>(c));
            }
    });
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (const int sig : kSignals)
        ::sigaction(sig, &sa, nullptr);
}

THostSignals::~THostSignals() {
    for (const int sig : kSignals)
        std::signal(sig, SIG_DFL);
    m_notifier.reset();
    for (int& fd : gPipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}
