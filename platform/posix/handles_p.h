// Internal: the process-wide handle table shared by events, ports and
// registry keys, and the event object the I/O engine signals.
#pragma once

#include "platform/posix/wintypes.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace pmv::platform::detail {

enum class ObjectKind { Event, Port, Key };

class KernelObject {
public:
    explicit KernelObject(ObjectKind k) : kind(k) {}
    virtual ~KernelObject() = default;
    /// Called once by CloseHandle / RegCloseKey after the handle left the table.
    virtual void Close() {}
    const ObjectKind kind;
};

/// Handle values are never reused within a process, so a stale handle
/// cannot reach a newer object.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
/// The object for h if it is in the table and of kind k; else nullptr.
std::shared_ptr<KernelObject> FindHandle(HANDLE h, ObjectKind k);
/// Removes h (of kind k) from the table and returns its object.
std::shared_ptr<KernelObject> TakeHandle(HANDLE h, ObjectKind k);

class Event final : public KernelObject {
public:
    Event(bool manualReset, bool initialState)
        : KernelObject(ObjectKind::Event), FManual(manualReset), FSignalled(initialState) {}
    void Set();
    void Reset();
    /// True when the event was (or became) signalled before the deadline;
    /// an auto-reset event is consumed by a successful wait.
    bool Wait(DWORD milliseconds);

private:
    std::mutex FMutex;
    std::condition_variable FCond;
    const bool FManual;
    bool FSignalled;
};

/// Sets the last error and returns FALSE, for one-line failure exits.
inline BOOL Fail(DWORD err);

} // namespace pmv::platform::detail

extern "C" void WINAPI SetLastError(DWORD dwErrCode);

inline BOOL pmv::platform::detail::Fail(DWORD err) {
    SetLastError(err);
    return FALSE;
}
