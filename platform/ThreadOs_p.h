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
