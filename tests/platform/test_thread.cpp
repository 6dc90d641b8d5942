// TThread: synchronized calls onto the user-interface thread, waiting for
// the end while running them, exceptions handed back, termination.
#include "platform/Thread.h"
#include "tests/support/Wait.h"

#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <stdexcept>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

using pmv::platform::TThread;

namespace {

/// A worker whose Execute runs the given function.
class Worker final : public TThread {
public:
    explicit Worker(std::function<void(Worker&)> body) : TThread(true), m_body(std::move(body)) {}
    ~Worker() override {
        Terminate();
        WaitFor();
    }
    using TThread::Synchronize;
    std::function<void()> onTerminate;

protected:
    void Execute() override { m_body(*this); }
    void TerminatedSet() override {
        if (onTerminate)
            onTerminate();
    }

private:
    std::function<void(Worker&)> m_body;
};

bool OnUiThread() {
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

TEST(Thread, SynchronizeRunsOnTheUiThreadAndBlocksTheWorker) {
    std::vector<int> order;
    std::atomic<bool> done{false};
    bool ranOnUi = false;
    Worker w([&](Worker&) {
        for (int i = 0; i < 3; ++i) {
            int seen = -1;
            TThread::Synchronize([&] {
                ranOnUi = OnUiThread();
                order.push_back(i); // UI-thread data, no lock: the worker waits
                seen = i;
            });
            EXPECT_EQ(seen, i) << "Synchronize returns after the method has run";
        }
        done = true;
    });
    EXPECT_FALSE(w.Started());
    w.Start();
    ASSERT_TRUE(pmvtest::WaitUntil([&] { return done.load(); }))
        << "calls are run from the normal event loop";
    w.WaitFor();
    EXPECT_TRUE(ranOnUi);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(w.Finished());
}

TEST(Thread, WaitForRunsPendingCallsOfABlockedWorker) {
    // No event loop here: the worker's call can only run inside WaitFor.
    int calls = 0;
    Worker w([&](Worker&) {
        for (int i = 0; i < 5; ++i)
            TThread::Synchronize([&] { ++calls; });
    });
    w.Start();
    w.WaitFor();
    EXPECT_EQ(calls, 5);
    EXPECT_TRUE(w.Finished());
    w.WaitFor(); // again: returns at once
}

TEST(Thread, ExceptionInASynchronizedCallIsRethrownInTheWorker) {
    std::string caught;
    bool after = false;
    Worker w([&](Worker&) {
        try {
            TThread::Synchronize([] { throw std::runtime_error("handler failed"); });
            after = true;
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
    });
    w.Start();
    w.WaitFor();
    EXPECT_EQ(caught, "handler failed");
    EXPECT_FALSE(after);
    EXPECT_FALSE(w.FatalException());
}

TEST(Thread, ExceptionEscapingExecuteEndsTheThreadAndIsKept) {
    Worker w([](Worker&) { TThread::Synchronize([] { throw std::logic_error("escaped"); }); });
    w.Start();
    w.WaitFor();
    ASSERT_TRUE(w.FatalException());
    EXPECT_THROW(std::rethrow_exception(w.FatalException()), std::logic_error);
}

TEST(Thread, SynchronizeOnTheUiThreadRunsDirectly) {
    bool ran = false;
    TThread::Synchronize([&] { ran = OnUiThread(); });
    EXPECT_TRUE(ran);
    EXPECT_THROW(TThread::Synchronize([] { throw std::runtime_error("x"); }), std::runtime_error);
    EXPECT_TRUE(TThread::IsMainThread());
}

TEST(Thread, TerminateSetsTheFlagAndCallsTheHook) {
    std::mutex m;
    std::condition_variable cv;
    bool wake = false;
    Worker w([&](Worker& self) {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return wake; });
        EXPECT_TRUE(self.Terminated());
    });
    w.onTerminate = [&] {
        {
            std::lock_guard lock(m);
            wake = true;
        }
        cv.notify_all();
    };
    w.Start();
    EXPECT_FALSE(w.Terminated());
    w.Terminate();
    EXPECT_TRUE(w.Terminated());
    w.WaitFor();
    EXPECT_TRUE(w.Finished());
}

TEST(Thread, TerminatedBeforeItRunsDoesNothing) {
    bool ran = false;
    Worker w([&](Worker&) { ran = true; });
    w.Terminate();
    w.Start();
    w.WaitFor();
    EXPECT_FALSE(ran);
    EXPECT_TRUE(w.Finished());
}

TEST(Thread, NeverStartedIsDestroyedQuietly) {
    bool ran = false;
    {
        Worker w([&](Worker&) { ran = true; });
        w.WaitFor();
    }
    EXPECT_FALSE(ran);
}

TEST(Thread, ManyWorkersKeepTheirOwnOrder) {
    constexpr int kWorkers = 3;
    constexpr int kCalls = 200;
    std::vector<std::vector<int>> seen(kWorkers);
    std::vector<std::unique_ptr<Worker>> workers;
    for (int k = 0; k < kWorkers; ++k)
        workers.push_back(std::make_unique<Worker>([&, k](Worker&) {
            for (int i = 0; i < kCalls; ++i)
                TThread::Synchronize([&, i] { seen[k].push_back(i); });
        }));
    for (auto& w : workers) {
        w->SetPriority(pmv::platform::tpTimeCritical); // best effort, never fails
        w->Start();
    }
    for (auto& w : workers)
        w->WaitFor();
    for (int k = 0; k < kWorkers; ++k) {
        ASSERT_EQ(seen[k].size(), static_cast<std::size_t>(kCalls));
        for (int i = 0; i < kCalls; ++i)
            EXPECT_EQ(seen[k][i], i);
    }
}

TEST(Thread, PriorityAndName) {
    std::string name;
    Worker w([&](Worker&) {
        TThread::NameThreadForDebugging("COM3 Status Thread");
        const long tid = static_cast<long>(::syscall(SYS_gettid));
        // Read on the UI thread while this worker waits in the call.
        TThread::Synchronize([&] {
            std::ifstream comm("/proc/self/task/" + std::to_string(tid) + "/comm");
            std::getline(comm, name);
        });
    });
    w.SetPriority(pmv::platform::tpHighest);
    EXPECT_EQ(w.Priority(), pmv::platform::tpHighest);
    w.Start();
    w.SetPriority(pmv::platform::tpTimeCritical); // while running: best effort, never fails
    w.WaitFor();
    EXPECT_EQ(name, "COM3 Status Thr") << "the kernel keeps 15 characters";
}

TEST(Thread, CheckSynchronizeWaitsForACall) {
    std::atomic<bool> ran{false};
    Worker w([&](Worker&) { TThread::Synchronize([&] { ran = true; }); });
    w.Start();
    bool any = false;
    for (int i = 0; i < 500 && !any; ++i)
        any = TThread::CheckSynchronize(10);
    EXPECT_TRUE(any);
    EXPECT_TRUE(ran);
    w.WaitFor();
}

// The user-interface thread runs one worker's waiting call ahead of the
// queue, without an event loop; another worker's call stays where it is.
TEST(Thread, RunQueuedCallRunsOnlyThatWorkersCall) {
    bool ranA = false;
    bool ranB = false;
    Worker a([&](Worker&) { TThread::Synchronize([&] { ranA = true; }); });
    Worker b([&](Worker&) { TThread::Synchronize([&] { ranB = true; }); });
    EXPECT_FALSE(a.RunQueuedCall()); // nothing queued
    const unsigned long long before = TThread::SynchronizedCalls();
    b.Start();
    a.Start();
    bool ran = false;
    for (int i = 0; i < 5000 && !ran; ++i) {
        ran = a.RunQueuedCall();
        if (!ran)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(ran);
    EXPECT_TRUE(ranA);
    EXPECT_FALSE(ranB);
    a.WaitFor();
    b.WaitFor(); // runs b's call
    EXPECT_TRUE(ranB);
    EXPECT_EQ(TThread::SynchronizedCalls() - before, 2u);
}

// A call that may wait is left alone by the event loop: it runs when the
// user-interface thread waits for workers, or on its own once its delay is
// over.
TEST(Thread, AWaitingCallRunsWhenAskedForOrAfterItsDelay) {
    QCoreApplication::processEvents(); // a wake-up left by an earlier test
    std::vector<std::string> ran;
    const unsigned long long before = TThread::SynchronizedCalls();
    Worker a([&](Worker&) {
        TThread::SynchronizeWithin([&] { ran.push_back("a"); }, std::chrono::minutes(1));
    });
    a.Start();
    for (int i = 0; i < 5000 && TThread::SynchronizedCalls() == before; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(TThread::SynchronizedCalls() - before, 1u); // queued
    Worker b([&](Worker&) { TThread::Synchronize([&] { ran.push_back("b"); }); });
    b.Start();
    ASSERT_TRUE(pmvtest::WaitUntil([&] { return !ran.empty(); }));
    EXPECT_EQ(ran, std::vector<std::string>{"b"});
    EXPECT_TRUE(TThread::CheckSynchronize());
    EXPECT_EQ(ran, (std::vector<std::string>{"b", "a"}));
    Worker c([&](Worker&) {
        TThread::SynchronizeWithin([&] { ran.push_back("c"); }, std::chrono::milliseconds(1));
    });
    c.Start();
    EXPECT_TRUE(pmvtest::WaitUntil([&] { return ran.size() == 3; }));
}

// A call run with RunQueuedCallHeld leaves its worker asleep until WakeHeld,
// or until the user-interface thread waits for the worker (which would
// otherwise never end).
TEST(Thread, AHeldWorkerSleepsUntilWokenOrWaitedFor) {
    for (const bool byWaitFor : {false, true}) {
        SCOPED_TRACE(byWaitFor ? "WaitFor" : "WakeHeld");
        std::atomic<long> tid{0};
        std::atomic<bool> returned{false};
        bool ran = false;
        // A call that may wait a minute: only the user-interface thread ends it.
        Worker w([&](Worker&) {
            tid = static_cast<long>(::syscall(SYS_gettid));
            TThread::SynchronizeWithin([&] { ran = true; }, std::chrono::minutes(1));
            returned = true;
        });
        w.Start();
        const auto asleep = [&] {
            if (tid.load() == 0)
                return false;
            std::ifstream stat("/proc/self/task/" + std::to_string(tid.load()) + "/stat");
            std::string line;
            std::getline(stat, line);
            const auto paren = line.rfind(')');
            return paren != std::string::npos && line.compare(paren, 3, ") S") == 0;
        };
        ASSERT_TRUE(pmvtest::WaitUntil(asleep));
        ASSERT_TRUE(w.RunQueuedCallHeld());
        EXPECT_TRUE(ran);
        pmvtest::RunEventsFor(100);
        EXPECT_FALSE(returned.load()) << "the held worker was woken";
        if (byWaitFor) {
            w.Terminate();
            w.WaitFor(); // hangs if the held worker is not woken
        } else {
            w.WakeHeld();
        }
        EXPECT_TRUE(pmvtest::WaitUntil([&] { return returned.load(); }));
    }
}

} // namespace
