// TThread on std::thread, with a process-wide queue of synchronized calls.
//
// A worker's Synchronize() puts a request into the queue and, unless the
// user-interface thread is already looking at the queue or has been woken,
// makes the wake descriptor readable; a QSocketNotifier on that descriptor,
// owned by the QCoreApplication, drains the queue from the event loop. The
// user-interface thread runs each request, stores an escaping exception in
// it and marks it done. The worker spins briefly before it sleeps, so a
// short call costs no sleep and wake-up on the way back; after draining, the
// user-interface thread also looks for new requests for a short while, so a
// worker that synchronizes in a loop does not need a wake-up per call.
//
// Only std:: primitives carry data between the threads (the descriptor only
// wakes), which keeps ThreadSanitizer able to follow every hand-over.
#include "platform/Thread.h"
#include "platform/ThreadOs_p.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>

#include <cassert>
#include <chrono>
#include <deque>

namespace pmv::platform {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kWorkerSpin = std::chrono::microseconds(100);
constexpr auto kDrainSpin = std::chrono::microseconds(50);

// Initialised during static initialisation, which runs on the main thread.
const std::thread::id gMainThreadId = std::this_thread::get_id();

// Looking out for the other side yields the processor instead of holding
// it: on a busy machine the thread we wait for may need this very core.
inline void LookOut() {
    std::this_thread::yield();
}

struct SyncRequest {
    const std::function<void()>* method = nullptr;
    std::exception_ptr error;
    std::atomic<bool> done{false};
    std::mutex mutex;
    std::condition_variable cond;
};

struct SyncQueue {
    std::mutex mutex;
    std::condition_variable cond; // a request arrived or a thread finished
    std::deque<std::shared_ptr<SyncRequest>> requests;
    std::atomic<int> count{0}; // requests.size(), for lock-free peeking
    bool draining = false;     // the UI thread is looking for requests right now
    bool woken = false;        // the wake descriptor is signalled
    bool notifierReady = false;
};

SyncQueue& Queue() {
    static SyncQueue* queue = new SyncQueue; // outlives static destructors
    return *queue;
}

void RunRequest(SyncRequest& r) {
    try {
        (*r.method)();
    } catch (...) {
        r.error = std::current_exception();
    }
    {
        std::lock_guard lock(r.mutex);
        r.done.store(true, std::memory_order_release);
    }
    r.cond.notify_one();
}

// Runs queued requests on the UI thread. With spin, keeps looking for new
// ones for kDrainSpin after the queue ran empty.
bool RunPending(bool spin) {
    SyncQueue& q = Queue();
    bool ran = false;
    std::unique_lock lock(q.mutex);
    for (;;) {
        if (!q.requests.empty()) {
            std::shared_ptr<SyncRequest> r = std::move(q.requests.front());
            q.requests.pop_front();
            q.count.fetch_sub(1, std::memory_order_relaxed);
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
        spin = false;
        q.draining = true;
        lock.unlock();
        const auto until = Clock::now() + kDrainSpin;
        while (q.count.load(std::memory_order_acquire) == 0 && Clock::now() < until)
            LookOut();
        lock.lock();
        q.draining = false;
        if (!q.requests.empty())
            spin = true; // found more: run them and look out once again
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
    q.woken = !q.requests.empty();
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
    FThread = std::thread([this] { Run(); });
}

void TThread::Terminate() {
    FTerminated.store(true, std::memory_order_release);
    TerminatedSet();
}

void TThread::Run() {
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
        SyncQueue& q = Queue();
        for (;;) {
            RunPending(false);
            std::unique_lock lock(q.mutex);
            if (Finished())
                break;
            q.cond.wait(lock, [&] { return !q.requests.empty() || Finished(); });
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
    if (IsMainThread()) {
        method();
        return;
    }
    auto r = std::make_shared<SyncRequest>();
    r->method = &method;
    SyncQueue& q = Queue();
    bool wake = false;
    {
        std::lock_guard lock(q.mutex);
        q.requests.push_back(r);
        q.count.fetch_add(1, std::memory_order_release);
        if (!q.draining && !q.woken && q.notifierReady) {
            q.woken = true;
            wake = true;
        }
    }
    q.cond.notify_all();
    if (wake)
        detail::SignalSyncWake();

    const auto until = Clock::now() + kWorkerSpin;
    while (!r->done.load(std::memory_order_acquire) && Clock::now() < until)
        LookOut();
    if (!r->done.load(std::memory_order_acquire)) {
        std::unique_lock lock(r->mutex);
        r->cond.wait(lock, [&] { return r->done.load(std::memory_order_acquire); });
    }
    if (r->error)
        std::rethrow_exception(r->error);
}

bool TThread::CheckSynchronize(int timeoutMs) {
    assert(IsMainThread() && "CheckSynchronize runs on the user-interface thread");
    EnsureNotifier();
    if (timeoutMs > 0) {
        SyncQueue& q = Queue();
        std::unique_lock lock(q.mutex);
        q.cond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [&] { return !q.requests.empty(); });
    }
    return RunPending(false);
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
