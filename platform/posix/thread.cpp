// TThread's operating-system side on Linux: thread ids, niceness, names.
#include "platform/ThreadOs_p.h"

#include <cerrno>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace pmv::platform::detail {

long CurrentNativeThreadId() {
    return static_cast<long>(::syscall(SYS_gettid));
}

namespace {

// Linux schedules normal threads by niceness, which setpriority() sets per
// thread. Raising a thread above nice 0 needs CAP_SYS_NICE or an
// RLIMIT_NICE allowance; without them the call fails and the thread keeps
// its niceness. Real-time policies are not used: a runaway time-critical
// worker must not be able to freeze the desktop.
constexpr int kNice[] = {19, 10, 5, 0, -5, -10, -15};

bool NiceOf(TThreadPriority priority, int& nice) {
    const int index = static_cast<int>(priority);
    if (index < 0 || index >= static_cast<int>(std::size(kNice)))
        return false;
    nice = kNice[index];
    return true;
}

} // namespace

void ApplyThreadPriority(long nativeThreadId, TThreadPriority priority) {
    int nice = 0;
    if (NiceOf(priority, nice))
        (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(nativeThreadId), nice);
}

TCreationPriority::TCreationPriority(TThreadPriority priority) {
    int nice = 0;
    if (!NiceOf(priority, nice))
        return;
    m_thread = CurrentNativeThreadId();
    errno = 0;
    const int old = ::getpriority(PRIO_PROCESS, static_cast<id_t>(m_thread));
    if (errno != 0 || nice >= old)
        return;
    if (::setpriority(PRIO_PROCESS, static_cast<id_t>(m_thread), nice) == 0) {
        m_oldNice = old;
        m_raised = true;
    }
}

TCreationPriority::~TCreationPriority() {
    if (m_raised)
        (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(m_thread), m_oldNice);
}

void SetCurrentThreadName(std::string_view name) {
    // The kernel keeps at most 15 characters.
    const std::string shortName(name.substr(0, 15));
    (void)::pthread_setname_np(::pthread_self(), shortName.c_str());
}

} // namespace pmv::platform::detail

#include <cerrno>
#include <cstdint>
#include <linux/futex.h>
#include <mutex>
#include <sys/eventfd.h>

namespace pmv::platform::detail {

int SyncWakeDescriptor() {
    static const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return fd;
}

void SignalSyncWake() {
    const std::uint64_t one = 1;
    while (::write(SyncWakeDescriptor(), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void DrainSyncWake() {
    std::uint64_t value = 0;
    while (::read(SyncWakeDescriptor(), &value, sizeof value) < 0 && errno == EINTR) {
    }
}

int CurrentProcessor() {
    return ::sched_getcpu(); // from the restartable-sequence area: no system call
}

void WaitOnWord(std::atomic<std::uint32_t>& word, std::uint32_t value) {
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free);
    // Returns at once when the word no longer holds value; EINTR and
    // spurious wake-ups return too, and the caller looks again.
    (void)::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, value,
                    nullptr, nullptr, 0);
}

void WaitOnWordFor(std::atomic<std::uint32_t>& word, std::uint32_t value,
                   std::chrono::nanoseconds timeout) {
    if (timeout.count() <= 0)
        return;
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(timeout.count() / 1000000000);
    ts.tv_nsec = static_cast<long>(timeout.count() % 1000000000);
    // A relative time-out; EINTR, ETIMEDOUT and spurious wake-ups return.
    (void)::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, value,
                    &ts, nullptr, 0);
}

void WakeWordWaiter(const std::atomic<std::uint32_t>* word) {
    (void)::syscall(SYS_futex, reinterpret_cast<const std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, 1,
                    nullptr, nullptr, 0);
}

} // namespace pmv::platform::detail
