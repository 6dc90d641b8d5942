// Internal: the operating-system side of TThread (one source per OS).
#pragma once

#include "platform/Thread.h"

namespace pmv::platform::detail {

/// Kernel id of the calling thread (never 0).
long CurrentNativeThreadId();
/// Best effort: a priority the process may not raise to is left alone.
void ApplyThreadPriority(long nativeThreadId, TThreadPriority priority);
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

} // namespace pmv::platform::detail
