// Internal: the process-wide handle table shared by events, ports and
// registry keys, and the event object the I/O engine signals.
#pragma once

#include "platform/posix/wintypes.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

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

class Event;

/// A device that completes a pending read by setting the read's event, and
/// lets the thread that waits for that event take the device's input itself
/// instead of waiting for the device's engine to do it and wake it: one
/// thread fewer on the way from a received byte to its reader.
class EventReader {
public:
    virtual ~EventReader() = default;
    /// Waits up to milliseconds (INFINITE: without limit) for ev, taking the
    /// device's input meanwhile. True when ev was (or became) signalled, false
    /// on time-out; nullopt when this wait cannot be done so (the read is
    /// not pending on ev, someone else waits this way, the device is gone or
    /// closing): the caller then waits as usual.
    virtual std::optional<bool> WaitReading(Event& ev, DWORD milliseconds) = 0;
};

class Event final : public KernelObject {
public:
    Event(bool manualReset, bool initialState)
        : KernelObject(ObjectKind::Event), FManual(manualReset), FSignalled(initialState) {}
    ~Event() override;
    void Set();
    void Reset();
    /// True when the event was (or became) signalled before the deadline;
    /// an auto-reset event is consumed by a successful wait. A wait with a
    /// time limit other than 0 on the event of a pending read is done by the
    /// read's device (EventReader).
    bool Wait(DWORD milliseconds);

    /// The device whose pending read this event signals from now on.
    void SetReader(std::weak_ptr<EventReader> reader);
    /// True when signalled; an auto-reset event is consumed.
    bool TryConsume();
    /// For an EventReader's waiter: a descriptor that becomes readable when
    /// the event is set from now until EndReaderWait; -1 when none could be
    /// made. drain: the descriptor was seen readable.
    int BeginReaderWait();
    void EndReaderWait(bool drain);

private:
    std::mutex FMutex;
    std::condition_variable FCond;
    const bool FManual;
    bool FSignalled;
    std::weak_ptr<EventReader> FReader;
    int FNudgeFd = -1;    // made on the first reader wait
    int FReaderWaits = 0; // reader waits between Begin and End
};

/// Sets the last error and returns FALSE, for one-line failure exits.
inline BOOL Fail(DWORD err);

} // namespace pmv::platform::detail

extern "C" void WINAPI SetLastError(DWORD dwErrCode);

inline BOOL pmv::platform::detail::Fail(DWORD err) {
    SetLastError(err);
    return FALSE;
}
