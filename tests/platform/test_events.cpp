// Events and waits: reset modes, initial state, time-outs, handle checks.
#include "PlatformTestSupport.h"

#include <atomic>
#include <chrono>
#include <thread>

using namespace pmvtest;

namespace {

using Clock = std::chrono::steady_clock;

struct EventRow {
    const char* name;
    BOOL manual;
    BOOL initial;
    DWORD firstWait;  // WaitForSingleObject(h, 0) right after creation
    DWORD secondWait; // and again
};

const EventRow kEventRows[] = {
    {"auto reset, not signalled", FALSE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
    {"auto reset, signalled: one wait consumes it", FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT},
    {"manual reset, not signalled", TRUE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
    {"manual reset, signalled: stays signalled", TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0},
};

TEST(Events, InitialStateAndResetMode) {
    for (const EventRow& row : kEventRows) {
        SCOPED_TRACE(row.name);
        SetLastError(kSentinel);
        HANDLE h = CreateEventA(nullptr, row.manual, row.initial, nullptr);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(WaitForSingleObject(h, 0), row.firstWait);
        EXPECT_EQ(WaitForSingleObject(h, 0), row.secondWait);
        EXPECT_TRUE(SetEvent(h));
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(h, 0), row.manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
        EXPECT_TRUE(ResetEvent(h));
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
        EXPECT_TRUE(CloseHandle(h));
    }
}

TEST(Events, TimeoutWaitsAtLeastTheTime) {
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(h, 50), WAIT_TIMEOUT);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));
    CloseHandle(h);
}

TEST(Events, InfiniteWaitEndsWhenAnotherThreadSets) {
    for (BOOL manual : {FALSE, TRUE}) {
        SCOPED_TRACE(manual ? "manual" : "auto");
        HANDLE h = CreateEventA(nullptr, manual, FALSE, nullptr);
        std::atomic<bool> woke{false};
        std::thread waiter([&] {
            EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
            woke = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_TRUE(SetEvent(h));
        waiter.join();
        EXPECT_TRUE(woke);
        EXPECT_EQ(WaitForSingleObject(h, 0), manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
        CloseHandle(h);
    }
}

TEST(Events, AutoResetReleasesOneWaiterPerSet) {
    HANDLE h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> woken{0};
    std::thread a([&] { woken += WaitForSingleObject(h, kLongWaitMs) == WAIT_OBJECT_0; });
    std::thread b([&] { woken += WaitForSingleObject(h, kLongWaitMs) == WAIT_OBJECT_0; });
    SetEvent(h);
    EXPECT_TRUE(WaitUntil([&] { return woken.load() == 1; }));
    SetEvent(h);
    a.join();
    b.join();
    EXPECT_EQ(woken.load(), 2);
    CloseHandle(h);
}

struct BadCallRow {
    const char* name;
    std::function<BOOL()> call;
    DWORD error;
};

TEST(Events, BadHandlesAndArguments) {
    HANDLE closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    const HANDLE bogus = reinterpret_cast<HANDLE>(0x7);
    const BadCallRow rows[] = {
        {"SetEvent on a closed handle", [&] { return SetEvent(closed); }, ERROR_INVALID_HANDLE},
        {"ResetEvent on a closed handle", [&] { return ResetEvent(closed); }, ERROR_INVALID_HANDLE},
        {"CloseHandle twice", [&] { return CloseHandle(closed); }, ERROR_INVALID_HANDLE},
        {"CloseHandle on NULL", [] { return CloseHandle(nullptr); }, ERROR_INVALID_HANDLE},
        {"SetEvent on a made-up value", [&] { return SetEvent(bogus); }, ERROR_INVALID_HANDLE},
        {"SetEvent on INVALID_HANDLE_VALUE", [] { return SetEvent(INVALID_HANDLE_VALUE); },
         ERROR_INVALID_HANDLE},
    };
    for (const BadCallRow& row : rows) {
        SCOPED_TRACE(row.name);
        SetLastError(kSentinel);
        EXPECT_FALSE(row.call());
        EXPECT_EQ(GetLastError(), row.error);
    }
    SetLastError(kSentinel);
    EXPECT_EQ(WaitForSingleObject(closed, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(kSentinel);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "named"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Events, ClosingTheHandleWhileAnotherThreadWaitsIsSafe) {
    // As on Windows, a wait holds the object, not the handle: a wait that
    // began runs to its time-out; one that begins after the close fails with
    // ERROR_INVALID_HANDLE. Which of the two happens is up to the scheduler;
    // neither may crash or touch freed memory.
    for (int round = 0; round < 20; ++round) {
        HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD result = 0;
        std::thread waiter([&] { result = WaitForSingleObject(h, 20); });
        EXPECT_TRUE(CloseHandle(h));
        waiter.join();
        EXPECT_TRUE(result == WAIT_TIMEOUT || result == WAIT_FAILED) << result;
        SetLastError(kSentinel);
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
}

} // namespace
