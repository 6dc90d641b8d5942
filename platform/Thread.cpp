// TThread on QThread, with a process-wide queue of synchronized calls.
//
// A worker's Synchronize() puts a request into the queue and, unless the
// user-interface thread is already draining it, posts one queued call to the
// QCoreApplication that drains it. The user-interface thread runs each
// request, stores an escaping exception in it and marks it done; the worker
// spins briefly before it sleeps, so a short call costs no sleep and wake-up
// on the way back. After draining, the user-interface thread also looks for
// new requests for a short while before it returns to its event loop, so a
// worker that synchronizes in a loop is not slowed down by a post per call.
#include "platform/Thread.h"
#include "platform/ThreadOs_p.h"

#include <QCoreApplication>
#include <QThread>

#include <cassert>
#include <chrono>
#include <deque>
#include <thread>

namespace pmv::platform {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kWorkerSpin = std::chrono::microseconds(100);
constexpr auto kDrainSpin = std::chrono::microseconds(50);

// Initialised during static initialisation, which runs on the main thread.
const std::thread::id gMainThreadId = std::this_thread::get_id();

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
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
    bool posted = false;       // a drain is queued in the event loop
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
            // event loop, new requests must be posted to reach it.
            q.draining = false;
            lock.unlock();
            RunRequest(*r);
            ran = true;
            lock.lock();
            continue;
        }
        if (!spin)
            break;
        spin = false; // one look-out per drain
        q.draining = true;
        lock.unlock();
        const auto until = Clock::now() + kDrainSpin;
        while (q.count.load(std::memory_order_acquire) == 0 && Clock::now() < until)
            CpuRelax();
        lock.lock();
        q.draining = false;
        if (!q.requests.empty())
            spin = true;
    }
    return ran;
}

void OnPostedDrain() {
    {
        std::lock_guard lock(Queue().mutex);
        Queue().posted = false;
    }
    RunPending(true);
}

} // namespace

class TThread::Runner final : public QThread {
public:
    explicit Runner(TThread* owner) : FOwner(owner) {}

protected:
    void run() override { FOwner->Run(); }

private:
    TThread* FOwner;
};

TThread::TThread(bool CreateSuspended) : FRunner(std::make_unique<Runner>(this)) {
    (void)CreateSuspended; // see the header: the thread starts at Start()
}

TThread::~TThread() {
    if (Started() && !Finished()) {
        Terminate();
        WaitFor();
    }
    if (FRunner)
        FRunner->wait();
}

void TThread::Start() {
    if (FStarted.exchange(true))
        return;
    FRunner->start();
}

void TThread::Terminate() {
    FTerminated.store(true, std::memory_order_release);
    TerminatedSet();
}

void TThread::Run() {
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
    assert(QThread::currentThread() != FRunner.get() && "a thread cannot wait for itself");
    if (QThread::currentThread() == FRunner.get())
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
    FRunner->wait();
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
    bool post = false;
    QCoreApplication* app = QCoreApplication::instance();
    {
        std::lock_guard lock(q.mutex);
        q.requests.push_back(r);
        q.count.fetch_add(1, std::memory_order_release);
        if (!q.draining && !q.posted && app != nullptr) {
            q.posted = true;
            post = true;
        }
    }
    q.cond.notify_all();
    if (post)
        QMetaObject::invokeMethod(app, &OnPostedDrain, Qt::QueuedConnection);

    const auto until = Clock::now() + kWorkerSpin;
    while (!r->done.load(std::memory_order_acquire) && Clock::now() < until)
        CpuRelax();
    if (!r->done.load(std::memory_order_acquire)) {
        std::unique_lock lock(r->mutex);
        r->cond.wait(lock, [&] { return r->done.load(std::memory_order_acquire); });
    }
    if (r->error)
        std::rethrow_exception(r->error);
}

bool TThread::CheckSynchronize(int timeoutMs) {
    assert(IsMainThread() && "CheckSynchronize runs on the user-interface thread");
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

void TThread::NameThreadForDebugging(std::string_view name) { detail::SetCurrentThreadName(name); }

} // namespace pmv::platform
