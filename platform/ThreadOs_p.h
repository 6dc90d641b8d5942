// Internal: the operating-system side of TThread (one source per OS).
#pragma once

#include "platform/Thread.h"

#include <atomic>
#include <chrono>
#include <cstdint>

namespace pmv::platform::detail {

/// Kernel id of the calling thread (never 0).
long CurrentNativeThreadId();
/// Best effort: a priority the process may not raise to is left alone.
void ApplyThreadPriority(long nativeThreadId, TThreadPriority priority);
/// For its lifetime, raises the calling thread to priority when that is
/// higher than its own (best effort), so that a thread it creates meanwhile,
/// which starts with its creator's priority, gets its first turn as soon as
/// a thread of that priority would, not after the busy processes around.
class TCreationPriority {
public:
    explicit TCreationPriority(TThreadPriority priority);
    ~TCreationPriority();
    TCreationPriority(const TCreationPriority&) = delete;
    TCreationPriority& operator=(const TCreationPriority&) = delete;

private:
    long m_thread = 0;
    int m_oldNice = 0;
    bool m_raised = false;
};
/// Names the calling thread for debuggers and process tools.
void SetCurrentThreadName(std::string_view name);

} // namespace pmv::platform::detail

namespace pmv::platform::detail {

/// A descriptor the user-interface thread's event loop watches for pending
/// synchronized calls: created once per process, never closed.
int SyncWakeDescriptor();
/// Makes SyncWakeDescriptor() readable.
void SignalSyncWake();
/// Makes it unreadable again.
void DrainSyncWake();

/// Sleeps while word holds value; may also return without a change.
void WaitOnWord(std::atomic<std::uint32_t>& word, std::uint32_t value);
/// As WaitOnWord, for at most timeout.
void WaitOnWordFor(std::atomic<std::uint32_t>& word, std::uint32_t value,
                   std::chrono::nanoseconds timeout);
/// Wakes a thread sleeping in WaitOnWord on word. The word may be gone by
/// now (its owner saw the change and returned): only its address is used,
/// and waking an address nobody sleeps on does nothing.
void WakeWordWaiter(const std::atomic<std::uint32_t>* word);
/// The processor the calling thread runs on now (-1 when unknown); cheap
/// enough to ask in a busy-wait.
int CurrentProcessor();
/// Tells the processor that the caller is busy-waiting (one short pause).
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

} // namespace pmv::platform::detail
