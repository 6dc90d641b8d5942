// TThread on std::thread, with a process-wide queue of synchronized calls.
//
// A worker's Synchronize() puts a request, which lives on its own stack, at
// the end of the queue (an intrusive list: nothing is allocated per call)
// and, unless the user-interface thread is already looking at the queue or
// has been woken, makes the wake descriptor readable; a QSocketNotifier on
// that descriptor, owned by the QCoreApplication, drains the queue from the
// event loop. The user-interface thread runs each request, stores an
// escaping exception in it and marks it done. SynchronizeWithin() puts its
// request on a second list, which the event loop leaves alone and WaitFor()
// and CheckSynchronize() run as well; RunQueuedCall() takes one thread's
// request off either list and runs it at once (RunQueuedCallHeld() leaves
// the worker asleep until WakeHeld(), so that a worker given new work right
// after its call wakes once for both). When its delay has passed the worker
// moves the request to the queue and wakes the event loop.
//
// Waiting costs a sleep and a wake-up, which on a busy machine may each wait
// for a processor. The worker watches its request for a short while
// (kWorkerSpin) before it sleeps on it, and after draining the
// user-interface thread watches the queue for as long (kDrainSpin), so a
// short call, or calls made in a loop, need no wake-up; the watching lasts
// about what a wake-up costs, so a wait that takes longer loses little. Both
// watch with the processor's pause hint, never a yield: under load a yield
// hands the core to another process for a whole time slice. Neither watches
// for a thread last seen on its own processor: there the watching only keeps
// the other from running, and on a loaded machine the scheduler often puts
// both on one processor. Neither spins unless a call was just made or run,
// so an idle process takes no processor time. The user-interface thread
// returns to its event loop after kDrainBudget even while calls keep coming
// (and wakes itself for the rest), so timers and painting keep their turn.
//
// Only std:: primitives carry data between the threads (the descriptor and
// the sleeping word only wake), which keeps ThreadSanitizer able to follow
// every hand-over.
#include "platform/Thread.h"
#include "platform/ThreadOs_p.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>

#include <cassert>
#include <chrono>
#include <cstdint>
#include <utility>

namespace pmv::platform {
namespace {

using Clock = std::chrono::steady_clock;
// About what a sleep and a wake-up of the other thread would cost.
constexpr auto kWorkerSpin = std::chrono::microseconds(5);
constexpr auto kDrainSpin = std::chrono::microseconds(5);
constexpr auto kDrainBudget = std::chrono::milliseconds(4);

// Initialised during static initialisation, which runs on the main thread.
const std::thread::id gMainThreadId = std::this_thread::get_id();

// States of a request's word.
constexpr std::uint32_t kQueued = 0;   // waiting to run, or running
constexpr std::uint32_t kSleeping = 1; // ... and the worker sleeps on the word
constexpr std::uint32_t kDone = 2;     // ran; the worker may return

struct SyncRequest {
    const std::function<void()>* method = nullptr;
    const TThread* caller = nullptr; // null for a thread that is no TThread
    std::exception_ptr error;
    SyncRequest* next = nullptr; // the list's link
    std::atomic<std::uint32_t> state{kQueued};
};

// An intrusive list of requests; under the queue's mutex.
struct SyncList {
    SyncRequest* head = nullptr;
    SyncRequest* tail = nullptr;

    bool Empty() const { return head == nullptr; }
    void Push(SyncRequest& r) {
        r.next = nullptr;
        if (tail != nullptr)
            tail->next = &r;
        else
            head = &r;
        tail = &r;
    }
    SyncRequest* Pop() {
        SyncRequest* r = head;
        head = r->next;
        if (head == nullptr)
            tail = nullptr;
        return r;
    }
    // Takes out the first request of caller (any request when caller is
    // null and r is given: exactly r); null when there is none.
    SyncRequest* Take(const TThread* caller, const SyncRequest* only = nullptr) {
        SyncRequest* before = nullptr;
        for (SyncRequest* r = head; r != nullptr; before = r, r = r->next) {
            if (only != nullptr ? r != only : r->caller != caller)
                continue;
            (before != nullptr ? before->next : head) = r->next;
            if (tail == r)
                tail = before;
            return r;
        }
        return nullptr;
    }
};

struct SyncQueue {
    std::mutex mutex;
    std::condition_variable cond; // a request arrived or a thread finished
    SyncList ready;               // requests the event loop runs
    SyncList waiting;             // requests that wait to be run along (SynchronizeWithin)
    std::atomic<int> count{0};    // requests in ready, for lock-free peeking
    bool draining = false;        // the UI thread is looking for requests right now
    bool woken = false;           // the wake descriptor is signalled
    bool notifierReady = false;
    int condWaiters = 0; // UI-thread waits on cond (WaitFor, CheckSynchronize)
    // The processors the UI thread and the last worker to call ran on when
    // last seen: a thread does not watch for one that would need its own
    // processor to make progress.
    std::atomic<int> uiCpu{-1};
    std::atomic<int> workerCpu{-1};
    std::atomic<unsigned long long> calls{0}; // for SynchronizedCalls()

    // Under the mutex.
    void PushReady(SyncRequest& r) {
        ready.Push(r);
        count.fetch_add(1, std::memory_order_release);
    }
    SyncRequest* PopReady() {
        count.fetch_sub(1, std::memory_order_relaxed);
        return ready.Pop();
    }
    // The waiting requests join the ready ones, in their order.
    void AllReady() {
        while (!waiting.Empty())
            PushReady(*waiting.Pop());
    }
};

// The TThread whose Execute() runs on the calling thread, if any.
thread_local const TThread* tCurrentThread = nullptr;

// True while a thread on the caller's processor should go on watching for
// one last seen on other: not when both share a processor, where watching
// only keeps the other from running.
bool WorthWatching(const std::atomic<int>& other) {
    const int mine = detail::CurrentProcessor();
    return mine < 0 || other.load(std::memory_order_relaxed) != mine;
}

SyncQueue& Queue() {
    static SyncQueue* queue = new SyncQueue; // outlives static destructors
    return *queue;
}

// Under the queue's mutex. True when the caller must signal the descriptor
// (after unlocking) to wake the UI thread's event loop: not when it looks at
// the queue already or has been woken.
bool WakeNeededLocked(SyncQueue& q) {
    if (q.draining || q.woken || !q.notifierReady)
        return false;
    q.woken = true;
    return true;
}

// With held, a sleeping worker is not woken: the word to wake it on is
// stored there instead.
void RunRequest(SyncRequest& r, const std::atomic<std::uint32_t>** held = nullptr) {
    try {
        (*r.method)();
    } catch (...) {
        r.error = std::current_exception();
    }
    // After this exchange the request may be gone at any moment (its worker
    // returns, e.g. after a spurious wake-up); only the word's address is
    // used, to wake a sleeper, and a wake-up that finds no sleeper does no
    // harm.
    if (r.state.exchange(kDone, std::memory_order_acq_rel) != kSleeping)
        return;
    if (held != nullptr)
        *held = &r.state;
    else
        detail::WakeWordWaiter(&r.state);
}

// Runs queued requests on the UI thread. From the event loop (spin), runs
// the ready ones, keeps looking for new ones for kDrainSpin after they ran
// out, and returns after kDrainBudget at the latest, waking itself for what
// is left. Otherwise (a UI thread that waits for workers) runs the waiting
// ones as well.
bool RunPending(bool spin) {
    SyncQueue& q = Queue();
    bool ran = false;
    const auto budgetEnd = Clock::now() + kDrainBudget;
    q.uiCpu.store(detail::CurrentProcessor(), std::memory_order_relaxed);
    std::unique_lock lock(q.mutex);
    for (;;) {
        if (!spin)
            q.AllReady();
        if (!q.ready.Empty()) {
            if (spin && ran && Clock::now() >= budgetEnd) {
                if (q.notifierReady && !q.woken) {
                    q.woken = true;
                    lock.unlock();
                    detail::SignalSyncWake();
                }
                break;
            }
            SyncRequest* r = q.PopReady();
            // Not draining while the method runs: if it enters a nested
            // event loop, new requests must wake that loop.
            q.draining = false;
            lock.unlock();
            RunRequest(*r);
            ran = true;
            lock.lock();
            continue;
        }
        if (!spin)
            break;
        q.draining = true;
        lock.unlock();
        q.uiCpu.store(detail::CurrentProcessor(), std::memory_order_relaxed);
        const auto until = Clock::now() + kDrainSpin;
        while (q.count.load(std::memory_order_acquire) == 0 && Clock::now() < until &&
               WorthWatching(q.workerCpu))
            detail::CpuRelax();
        lock.lock();
        q.draining = false;
        if (q.ready.Empty())
            break;
    }
    return ran;
}

void OnWake() {
    detail::DrainSyncWake();
    {
        std::lock_guard lock(Queue().mutex);
        Queue().woken = false;
    }
    RunPending(true);
}

// The event loop's watcher of the wake descriptor. Touched only on the UI
// thread; owned by the application, so it goes with it.
QPointer<QSocketNotifier>& Notifier() {
    static QPointer<QSocketNotifier> notifier;
    return notifier;
}

// On the UI thread: makes sure the event loop watches for requests.
void EnsureNotifier() {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || !Notifier().isNull() || !TThread::IsMainThread())
        return;
    const int fd = detail::SyncWakeDescriptor();
    if (fd < 0)
        return; // calls then run only from WaitFor and CheckSynchronize
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] { OnWake(); });
    Notifier() = notifier;
    SyncQueue& q = Queue();
    std::lock_guard lock(q.mutex);
    q.notifierReady = true;
    // Requests may have come while nobody watched (e.g. a previous
    // application object is gone): wake the new watcher for them.
    q.woken = !q.ready.Empty();
    if (q.woken)
        detail::SignalSyncWake();
}

} // namespace

TThread::TThread(bool CreateSuspended) {
    (void)CreateSuspended; // see the header: the thread starts at Start()
    EnsureNotifier();
}

TThread::~TThread() {
    if (Started() && !Finished()) {
        Terminate();
        WaitFor();
    }
    if (FThread.joinable())
        FThread.join();
}

void TThread::Start() {
    if (FStarted.exchange(true))
        return;
    EnsureNotifier();
    const detail::TCreationPriority creation(FPriority.load());
    FThread = std::thread([this] { Run(); });
}

void TThread::Terminate() {
    FTerminated.store(true, std::memory_order_release);
    TerminatedSet();
}

void TThread::Run() {
    tCurrentThread = this;
    FThreadId.store(std::this_thread::get_id());
    FNativeId.store(detail::CurrentNativeThreadId());
    if (const TThreadPriority p = FPriority.load(); p != tpNormal)
        detail::ApplyThreadPriority(FNativeId.load(), p);
    try {
        if (!Terminated()) // a thread asked to stop before it ran does nothing
            Execute();
    } catch (...) {
        std::lock_guard lock(FMutex);
        FFatal = std::current_exception();
    }
    {
        std::lock_guard lock(FMutex);
        FFinished.store(true, std::memory_order_release);
    }
    FDone.notify_all();
    // A UI thread in WaitFor() checks Finished() under the queue's mutex.
    { std::lock_guard lock(Queue().mutex); }
    Queue().cond.notify_all();
}

void TThread::WaitFor() {
    if (!Started())
        return;
    assert(std::this_thread::get_id() != FThreadId.load() && "a thread cannot wait for itself");
    if (std::this_thread::get_id() == FThreadId.load())
        return;
    if (IsMainThread()) {
        WakeHeld();
        SyncQueue& q = Queue();
        for (;;) {
            RunPending(false);
            std::unique_lock lock(q.mutex);
            if (Finished())
                break;
            ++q.condWaiters;
            q.cond.wait(lock, [&] { return !q.ready.Empty() || !q.waiting.Empty() || Finished(); });
            --q.condWaiters;
        }
    } else {
        std::unique_lock lock(FMutex);
        FDone.wait(lock, [&] { return Finished(); });
    }
    if (FThread.joinable())
        FThread.join();
}

void TThread::SetPriority(TThreadPriority p) {
    FPriority.store(p);
    if (const long id = FNativeId.load(); id != 0 && !Finished())
        detail::ApplyThreadPriority(id, p);
}

std::exception_ptr TThread::FatalException() const {
    std::lock_guard lock(FMutex);
    return FFatal;
}

void TThread::Synchronize(const std::function<void()>& method) {
    SynchronizeWithin(method, std::chrono::milliseconds(0));
}

void TThread::SynchronizeWithin(const std::function<void()>& method,
                                std::chrono::milliseconds maxDelay) {
    if (IsMainThread()) {
        method();
        return;
    }
    SyncRequest r;
    r.method = &method;
    r.caller = tCurrentThread;
    SyncQueue& q = Queue();
    const bool urgent = maxDelay.count() <= 0;
    bool wake = false;
    bool notify = false;
    {
        std::lock_guard lock(q.mutex);
        if (urgent) {
            q.PushReady(r);
            wake = WakeNeededLocked(q);
        } else {
            q.waiting.Push(r);
        }
        q.calls.fetch_add(1, std::memory_order_relaxed); // counted once queued
        notify = q.condWaiters > 0;                      // a WaitFor or CheckSynchronize waits now
    }
    if (notify)
        q.cond.notify_all();
    if (wake)
        detail::SignalSyncWake();

    q.workerCpu.store(detail::CurrentProcessor(), std::memory_order_relaxed);
    if (urgent) {
        const auto until = Clock::now() + kWorkerSpin;
        while (r.state.load(std::memory_order_acquire) != kDone && Clock::now() < until &&
               WorthWatching(q.uiCpu))
            detail::CpuRelax();
    }
    std::uint32_t state = kQueued;
    if (r.state.compare_exchange_strong(state, kSleeping, std::memory_order_acq_rel)) {
        if (!urgent) {
            // Run with the next call the UI thread is woken for, or woken
            // for this one once maxDelay has passed.
            const auto deadline = Clock::now() + maxDelay;
            for (auto now = Clock::now();
                 now < deadline && r.state.load(std::memory_order_acquire) != kDone;
                 now = Clock::now())
                detail::WaitOnWordFor(r.state, kSleeping, deadline - now);
            if (r.state.load(std::memory_order_acquire) != kDone) {
                {
                    std::lock_guard lock(q.mutex);
                    // Unless it has been taken to run meanwhile.
                    if (q.waiting.Take(nullptr, &r) != nullptr) {
                        q.PushReady(r);
                        wake = WakeNeededLocked(q);
                    }
                }
                if (wake)
                    detail::SignalSyncWake();
            }
        }
        while (r.state.load(std::memory_order_acquire) != kDone)
            detail::WaitOnWord(r.state, kSleeping);
    }
    if (r.error)
        std::rethrow_exception(r.error);
}

bool TThread::CheckSynchronize(int timeoutMs) {
    assert(IsMainThread() && "CheckSynchronize runs on the user-interface thread");
    EnsureNotifier();
    if (timeoutMs > 0) {
        SyncQueue& q = Queue();
        std::unique_lock lock(q.mutex);
        ++q.condWaiters;
        q.cond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [&] { return !q.ready.Empty() || !q.waiting.Empty(); });
        --q.condWaiters;
    }
    return RunPending(false);
}

bool TThread::RunQueuedCall() {
    return RunQueued(false);
}

bool TThread::RunQueuedCallHeld() {
    return RunQueued(true);
}

void TThread::WakeHeld() {
    if (const auto* word = std::exchange(FHeldWord, nullptr))
        detail::WakeWordWaiter(word);
}

bool TThread::RunQueued(bool hold) {
    assert(IsMainThread() && "RunQueuedCall runs on the user-interface thread");
    WakeHeld(); // one held worker at a time
    SyncQueue& q = Queue();
    SyncRequest* found = nullptr;
    {
        std::lock_guard lock(q.mutex);
        found = q.ready.Take(this);
        if (found != nullptr)
            q.count.fetch_sub(1, std::memory_order_relaxed);
        else
            found = q.waiting.Take(this);
    }
    if (found == nullptr)
        return false;
    RunRequest(*found, hold ? &FHeldWord : nullptr);
    return true;
}

unsigned long long TThread::SynchronizedCalls() {
    return Queue().calls.load(std::memory_order_relaxed);
}

bool TThread::IsMainThread() {
    if (QCoreApplication* app = QCoreApplication::instance())
        return QThread::currentThread() == app->thread();
    return std::this_thread::get_id() == gMainThreadId;
}

void TThread::NameThreadForDebugging(std::string_view name) {
    detail::SetCurrentThreadName(name);
}

} // namespace pmv::platform
