// The toolkit thread class the serial component derives its workers from.
//
// A TThread runs Execute() on its own thread. The worker reaches the
// user-interface thread (the thread of the QCoreApplication, or the process's
// main thread when there is none) only through Synchronize(), which runs a
// function there and blocks the worker until it has returned. The calls are
// kept in one process-wide queue that the user-interface thread drains from
// its Qt event loop, from CheckSynchronize() and from WaitFor(), so a worker
// blocked in Synchronize() can always finish while the user-interface thread
// waits for it. For the event loop to pick the calls up, the first TThread
// (or a CheckSynchronize() call) must be made on the user-interface thread
// while the QCoreApplication exists.
//
// Stopping is ordered: Terminate() (sets the flag, then runs the
// TerminatedSet() hook so a worker can wake its own events), then WaitFor().
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace pmv::platform {

/// Thread priorities (the subset the serial component uses and neighbours).
/// On Linux they are best effort: a priority the process has no right to
/// raise to is silently left as it is.
enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

class TThread {
public:
    /// C++ cannot run a derived Execute() from a base constructor, so the
    /// thread always starts at Start(), which the most-derived constructor
    /// calls last. CreateSuspended is kept for the familiar shape: with false
    /// the caller promises to call Start() before anything waits for the
    /// thread (WaitFor() on a thread never started returns at once).
    explicit TThread(bool CreateSuspended);
    /// Terminates and waits for a thread still running (derived classes
    /// should have stopped it in their own destructor already, since their
    /// members are gone by the time this runs).
    virtual ~TThread();

    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    /// Starts the thread; a second call does nothing.
    void Start();
    /// Sets the terminate flag, then calls TerminatedSet().
    void Terminate();
    bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
    /// True once Execute() has returned (or the thread never started and
    /// never will, after the destructor began).
    bool Finished() const { return FFinished.load(std::memory_order_acquire); }
    bool Started() const { return FStarted.load(std::memory_order_acquire); }

    /// Waits until Execute() has ended. Called on the user-interface thread it
    /// keeps running pending synchronized calls meanwhile. Must not be called
    /// by the thread itself.
    void WaitFor();

    /// Sets the priority; before Start() it is applied when the thread starts.
    void SetPriority(TThreadPriority p);
    TThreadPriority Priority() const { return FPriority.load(); }

    /// The exception that escaped Execute(), if any.
    std::exception_ptr FatalException() const;

    /// Runs method on the user-interface thread and returns when it has
    /// returned. An exception escaping method is re-thrown here. Called on
    /// the user-interface thread itself, method runs directly.
    static void Synchronize(const std::function<void()>& method);
    /// As Synchronize, for a call that may wait a little: the event loop
    /// does not run it. It runs when the user-interface thread asks for it
    /// (RunQueuedCall) or waits for workers (WaitFor, CheckSynchronize), and
    /// otherwise once maxDelay has passed, like any other call then. Saves a
    /// wake-up of the user-interface thread where the call is usually asked
    /// for soon anyway.
    static void SynchronizeWithin(const std::function<void()>& method,
                                  std::chrono::milliseconds maxDelay);

    /// Runs the pending synchronized calls; call only on the user-interface
    /// thread. With timeoutMs > 0 waits up to that long for a first call.
    /// Returns true if at least one call ran.
    static bool CheckSynchronize(int timeoutMs = 0);

    /// Runs this thread's synchronized call now, ahead of the calls of other
    /// threads, when it waits in the queue and has not begun (a call made
    /// with SynchronizeWithin included); true when it ran. For the
    /// user-interface thread, when what it is about to do depends on that
    /// call having run (the worker's own calls keep their order: it has one
    /// at a time).
    bool RunQueuedCall();
    /// As RunQueuedCall, but a worker asleep in that call is not woken yet:
    /// WakeHeld() wakes it. For the user-interface thread when it gives the
    /// worker its next piece of work right after the call: the worker then
    /// wakes once, for both, instead of waking to return from the call,
    /// sleeping again, and waking for the work. WaitFor() wakes a held worker
    /// as well, so a worker stopped meanwhile still ends.
    bool RunQueuedCallHeld();
    /// Wakes the worker that RunQueuedCallHeld() left asleep, if any.
    /// User-interface thread.
    void WakeHeld();

    /// Synchronized calls made by workers since the process started (calls
    /// made on the user-interface thread itself, which run directly, are not
    /// counted): each is one hand-over from a worker to the user-interface
    /// thread. For measurements.
    static unsigned long long SynchronizedCalls();

    /// True on the user-interface thread.
    static bool IsMainThread();

    /// Names the calling thread for debuggers and tools (top, gdb, perf).
    /// Linux keeps at most 15 characters of the name.
    static void NameThreadForDebugging(std::string_view name);

protected:
    /// The thread's work. Runs on the thread.
    virtual void Execute() = 0;
    /// Called by Terminate() after the flag is set, on the caller's thread;
    /// overrides wake whatever the worker waits for.
    virtual void TerminatedSet() {}

private:
    void Run();
    bool RunQueued(bool hold);

    std::thread FThread;
    std::atomic<std::thread::id> FThreadId{};
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FStarted{false};
    std::atomic<bool> FFinished{false};
    std::atomic<TThreadPriority> FPriority{tpNormal};
    std::atomic<long> FNativeId{0};
    mutable std::mutex FMutex;
    std::condition_variable FDone;
    std::exception_ptr FFatal;
    // The word of this worker's call that ran without waking it
    // (RunQueuedCallHeld); user-interface thread only.
    const std::atomic<std::uint32_t>* FHeldWord = nullptr;
};

} // namespace pmv::platform
