// Overlapped I/O on real pseudo-terminals: reads, writes, event waits,
// purges, closing with operations pending, and a peer that hangs up.
#include "PlatformTestSupport.h"

#include <atomic>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <sys/ioctl.h>

using namespace pmvtest;

namespace {

class CommIo : public OpenPortTest {
protected:
    /// Reads n bytes one overlapped read at a time, as the receive worker does.
    std::string ReadBytes(std::size_t n) {
        std::string out;
        OverlappedRecord rec;
        while (out.size() < n) {
            char c = 0;
            DWORD got = kSentinel;
            SetLastError(kSentinel);
            if (!ReadFile(h, &c, 1, &got, &rec.ov)) {
                EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
                if (WaitForSingleObject(rec.ov.hEvent, kLongWaitMs) != WAIT_OBJECT_0) {
                    ADD_FAILURE() << "read did not complete";
                    PurgeComm(h, PURGE_RXABORT);
                    return out;
                }
                EXPECT_TRUE(GetOverlappedResult(h, &rec.ov, &got, FALSE));
            }
            EXPECT_EQ(got, 1u);
            out.push_back(c);
        }
        return out;
    }
    /// Starts an overlapped write of a block larger than the pty buffer, so
    /// that it stays pending while nobody reads the master.
    void StartLongWrite(OverlappedRecord& rec, std::vector<char>& block) {
        block.assign(1 << 20, 'w');
        DWORD written = kSentinel;
        SetLastError(kSentinel);
        ASSERT_FALSE(
            WriteFile(h, block.data(), static_cast<DWORD>(block.size()), &written, &rec.ov));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        EXPECT_EQ(written, 0u);
    }
};

TEST_F(CommIo, BytesBothWaysThroughOneByteReads) {
    const std::string toPort("AB\r\0\xff", 5); // a zero byte and 0xFF pass like any other
    pty.Write(toPort);
    EXPECT_EQ(ReadBytes(toPort.size()), toPort);

    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pty.Write("xyz");
    });
    EXPECT_EQ(ReadBytes(3), "xyz"); // this time the reads go pending first
    later.join();

    OverlappedRecord rec;
    const char frame[] = "QXspeed = 5\r";
    DWORD written = kSentinel;
    if (!WriteFile(h, frame, 12, &written, &rec.ov)) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        ASSERT_TRUE(GetOverlappedResult(h, &rec.ov, &written, TRUE));
    }
    EXPECT_EQ(written, 12u);
    EXPECT_EQ(WaitForSingleObject(rec.ov.hEvent, 0), WAIT_OBJECT_0) << "done: event set";
    EXPECT_EQ(pty.Read(12), std::string(frame, 12));
}

TEST_F(CommIo, PendingReadLifecycle) {
    OverlappedRecord rec;
    SetEvent(rec.ov.hEvent); // a start resets the event
    std::memset(&rec.ov, 0xFF, offsetof(OVERLAPPED, hEvent));
    char buf[4] = {};
    DWORD got = kSentinel;
    SetLastError(kSentinel);
    ASSERT_FALSE(ReadFile(h, buf, 4, &got, &rec.ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(got, 0u);
    EXPECT_FALSE(HasOverlappedIoCompleted(&rec.ov));
    EXPECT_EQ(WaitForSingleObject(rec.ov.hEvent, 0), WAIT_TIMEOUT);

    SetLastError(kSentinel);
    EXPECT_FALSE(GetOverlappedResult(h, &rec.ov, &got, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    // A read completes only when all its bytes are there (time-outs all zero).
    pty.Write("12");
    EXPECT_EQ(WaitForSingleObject(rec.ov.hEvent, 50), WAIT_TIMEOUT);
    pty.Write("34");
    ASSERT_EQ(WaitForSingleObject(rec.ov.hEvent, kLongWaitMs), WAIT_OBJECT_0);
    got = kSentinel;
    SetLastError(kSentinel);
    ASSERT_TRUE(GetOverlappedResult(h, &rec.ov, &got, FALSE));
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::string(buf, 4), "1234");
    EXPECT_TRUE(HasOverlappedIoCompleted(&rec.ov));
}

TEST_F(CommIo, GetOverlappedResultWaits) {
    OverlappedRecord rec;
    char c = 0;
    DWORD got = 0;
    ASSERT_FALSE(ReadFile(h, &c, 1, &got, &rec.ov));
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pty.Write("!");
    });
    EXPECT_TRUE(GetOverlappedResult(h, &rec.ov, &got, TRUE));
    later.join();
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(c, '!');
}

TEST_F(CommIo, ZeroLengthAndReturnAtOnceReads) {
    OverlappedRecord rec;
    DWORD got = kSentinel;
    EXPECT_TRUE(ReadFile(h, nullptr, 0, &got, &rec.ov));
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(WriteFile(h, nullptr, 0, &got, &rec.ov));

    COMMTIMEOUTS atOnce{MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &atOnce));
    char buf[8];
    got = kSentinel;
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &got, &rec.ov));
    EXPECT_EQ(got, 0u);
    pty.Write("ab");
    ASSERT_TRUE(WaitUntil([&] {
        COMSTAT st{};
        return ClearCommError(h, nullptr, &st) && st.cbInQue == 2;
    }));
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &got, &rec.ov));
    EXPECT_EQ(got, 2u);
}

TEST_F(CommIo, PurgeEndsPendingReadAndWrite) {
    OverlappedRecord readRec;
    char c = 0;
    DWORD got = 0;
    ASSERT_FALSE(ReadFile(h, &c, 1, &got, &readRec.ov));
    OverlappedRecord writeRec;
    std::vector<char> block;
    StartLongWrite(writeRec, block);

    const auto start = std::chrono::steady_clock::now();
    SetLastError(kSentinel);
    ASSERT_TRUE(PurgeComm(h, PURGE_RXABORT));
    EXPECT_EQ(GetLastError(), kSentinel);
    ASSERT_EQ(WaitForSingleObject(readRec.ov.hEvent, kLongWaitMs), WAIT_OBJECT_0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    SetLastError(kSentinel);
    EXPECT_FALSE(GetOverlappedResult(h, &readRec.ov, &got, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(WaitForSingleObject(writeRec.ov.hEvent, 0), WAIT_TIMEOUT) << "write untouched";

    ASSERT_TRUE(PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR));
    ASSERT_EQ(WaitForSingleObject(writeRec.ov.hEvent, kLongWaitMs), WAIT_OBJECT_0);
    DWORD written = 0;
    SetLastError(kSentinel);
    EXPECT_FALSE(GetOverlappedResult(h, &writeRec.ov, &written, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_LT(written, block.size());

    // Purging with nothing pending is fine, and the port carries on.
    EXPECT_TRUE(PurgeComm(h, PURGE_RXABORT | PURGE_TXABORT));
    ::tcflush(pty.Master(), TCIOFLUSH);
    pty.Write("k");
    EXPECT_EQ(ReadBytes(1), "k");
}

TEST_F(CommIo, PendingWriteCompletesWhenTheFarEndReads) {
    OverlappedRecord rec;
    std::vector<char> block;
    StartLongWrite(rec, block);
    COMSTAT st{};
    ASSERT_TRUE(ClearCommError(h, nullptr, &st));
    EXPECT_GT(st.cbOutQue, 0u) << "the rest of the block counts as queued";
    EXPECT_EQ(pty.Read(block.size(), 20000).size(), block.size());
    ASSERT_EQ(WaitForSingleObject(rec.ov.hEvent, kLongWaitMs), WAIT_OBJECT_0);
    DWORD written = 0;
    ASSERT_TRUE(GetOverlappedResult(h, &rec.ov, &written, FALSE));
    EXPECT_EQ(written, block.size());
}

TEST_F(CommIo, PurgeClearsTheInputQueue) {
    pty.Write("stale");
    ASSERT_TRUE(WaitUntil([&] {
        COMSTAT st{};
        return ClearCommError(h, nullptr, &st) && st.cbInQue == 5;
    }));
    ASSERT_TRUE(PurgeComm(h, PURGE_RXCLEAR));
    COMSTAT st;
    std::memset(&st, 0xFF, sizeof st);
    DWORD errors = kSentinel;
    ASSERT_TRUE(ClearCommError(h, &errors, &st));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(st.cbInQue, 0u);
    EXPECT_EQ(st.fCtsHold, 0u);
    EXPECT_EQ(st.fReserved, 0u);
    pty.Write("f");
    EXPECT_EQ(ReadBytes(1), "f");
}

DWORD InQueue(HANDLE h) {
    COMSTAT st{};
    return ClearCommError(h, nullptr, &st) ? st.cbInQue : kSentinel;
}

// A one-byte read takes what the tty has in one go; the rest waits in the
// port's own buffer, which is part of the receive queue.
TEST_F(CommIo, BytesTakenAheadCountAsQueuedAndArePurged) {
    pty.Write("queued");
    ASSERT_TRUE(WaitUntil([&] { return InQueue(h) == 6; }));
    EXPECT_EQ(ReadBytes(1), "q");
    EXPECT_EQ(InQueue(h), 5u);
    pty.Write("+2");
    ASSERT_TRUE(WaitUntil([&] { return InQueue(h) == 7; })) << InQueue(h);
    EXPECT_EQ(ReadBytes(3), "ueu");
    EXPECT_EQ(InQueue(h), 4u);
    ASSERT_TRUE(PurgeComm(h, PURGE_RXCLEAR));
    EXPECT_EQ(InQueue(h), 0u);
    pty.Write("f");
    EXPECT_EQ(ReadBytes(1), "f") << "nothing stale is left";
}

// The caller's own reads empty the queue between the engine's wake-ups; a
// read left pending after that must still complete when the next bytes come.
TEST_F(CommIo, OneByteReadsNeverMissABurst) {
    std::mt19937 random(11);
    std::string data(20000, '\0');
    for (char& ch : data)
        ch = static_cast<char>(random());
    std::thread feeder([&] {
        std::mt19937 pace(5);
        for (std::size_t pos = 0; pos < data.size();) {
            const std::size_t n = std::min<std::size_t>(1 + pace() % 700, data.size() - pos);
            pty.Write(data.substr(pos, n));
            pos += n;
            if (pace() % 3 == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(pace() % 2000));
        }
    });
    const std::string got = ReadBytes(data.size()); // each read waits at most kLongWaitMs
    feeder.join();
    EXPECT_TRUE(got == data) << got.size();
}

// Bytes the port had taken off the tty are dropped with the device, as a
// Windows driver drops its queue on a surprise removal.
TEST_F(CommIo, HangUpDropsBytesTakenAhead) {
    pty.Write("abc");
    EXPECT_EQ(ReadBytes(1), "a");
    pty.CloseMaster();
    ASSERT_TRUE(WaitUntil([&] { return InQueue(h) == kSentinel; }));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_COMMAND));
    OverlappedRecord rec;
    char c = 0;
    DWORD got = 0;
    SetLastError(kSentinel);
    EXPECT_FALSE(ReadFile(h, &c, 1, &got, &rec.ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_COMMAND));
}

TEST_F(CommIo, SetCommMaskEndsAPendingWait) {
    ASSERT_TRUE(SetCommMask(h, EV_CTS | EV_DSR));
    OverlappedRecord rec;
    DWORD events = kSentinel;
    SetLastError(kSentinel);
    ASSERT_FALSE(WaitCommEvent(h, &events, &rec.ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    // One wait at a time.
    OverlappedRecord second;
    DWORD events2 = 0;
    SetLastError(kSentinel);
    EXPECT_FALSE(WaitCommEvent(h, &events2, &second.ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    ASSERT_TRUE(SetCommMask(h, EV_RLSD));
    ASSERT_EQ(WaitForSingleObject(rec.ov.hEvent, kLongWaitMs), WAIT_OBJECT_0);
    DWORD got = kSentinel;
    EXPECT_TRUE(GetOverlappedResult(h, &rec.ov, &got, FALSE));
    EXPECT_EQ(events, 0u) << "ended with an empty mask";

    // With no mask there is nothing to wait for.
    ASSERT_TRUE(SetCommMask(h, 0));
    SetLastError(kSentinel);
    EXPECT_FALSE(WaitCommEvent(h, &events, &rec.ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(CommIo, OneReadAndOneWriteAtATime) {
    OverlappedRecord first, second;
    char a = 0, b = 0;
    DWORD got = 0;
    ASSERT_FALSE(ReadFile(h, &a, 1, &got, &first.ov));
    SetLastError(kSentinel);
    EXPECT_FALSE(ReadFile(h, &b, 1, &got, &second.ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    OverlappedRecord w1, w2;
    std::vector<char> block;
    StartLongWrite(w1, block);
    SetLastError(kSentinel);
    EXPECT_FALSE(WriteFile(h, "x", 1, &got, &w2.ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // The records and the block must outlive the operations.
    EXPECT_TRUE(PurgeComm(h, PURGE_RXABORT | PURGE_TXABORT));
}

TEST_F(CommIo, ArgumentChecks) {
    char c = 0;
    DWORD got = 0;
    OVERLAPPED badEvent{};
    badEvent.hEvent = reinterpret_cast<HANDLE>(0x4444);
    OverlappedRecord rec;
    const FailingCall rows[] = {
        {"ReadFile without OVERLAPPED on an overlapped port",
         [&] { return ReadFile(h, &c, 1, &got, nullptr); }, ERROR_INVALID_PARAMETER},
        {"ReadFile NULL buffer", [&] { return ReadFile(h, nullptr, 1, &got, &rec.ov); },
         ERROR_INVALID_PARAMETER},
        {"ReadFile with a bad event", [&] { return ReadFile(h, &c, 1, &got, &badEvent); },
         ERROR_INVALID_HANDLE},
        {"ReadFile on a bad handle", [&] { return ReadFile(nullptr, &c, 1, &got, &rec.ov); },
         ERROR_INVALID_HANDLE},
        {"WriteFile without OVERLAPPED", [&] { return WriteFile(h, &c, 1, &got, nullptr); },
         ERROR_INVALID_PARAMETER},
        {"WriteFile NULL buffer", [&] { return WriteFile(h, nullptr, 1, &got, &rec.ov); },
         ERROR_INVALID_PARAMETER},
        {"WaitCommEvent NULL mask", [&] { return WaitCommEvent(h, nullptr, &rec.ov); },
         ERROR_INVALID_PARAMETER},
        {"WaitCommEvent without OVERLAPPED", [&] { return WaitCommEvent(h, &got, nullptr); },
         ERROR_INVALID_PARAMETER},
        {"GetOverlappedResult NULL record",
         [&] { return GetOverlappedResult(h, nullptr, &got, FALSE); }, ERROR_INVALID_PARAMETER},
        {"GetOverlappedResult NULL count",
         [&] { return GetOverlappedResult(h, &rec.ov, nullptr, FALSE); }, ERROR_INVALID_PARAMETER},
        {"GetOverlappedResult on an event handle",
         [&] { return GetOverlappedResult(rec.ov.hEvent, &rec.ov, &got, FALSE); },
         ERROR_INVALID_HANDLE},
    };
    ExpectEachFails(rows);
    SetLastError(kSentinel);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED) << "ports are not waitable here";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(CommIo, LargeBlocksKeepEveryByte) {
    std::mt19937 random(7);
    std::string data(64 * 1024, '\0');
    for (char& ch : data)
        ch = static_cast<char>(random());
    std::thread feeder([&] {
        for (std::size_t pos = 0; pos < data.size(); pos += 1000)
            pty.Write(data.substr(pos, 1000));
    });
    std::string got;
    OverlappedRecord rec;
    std::vector<char> buf(4096);
    while (got.size() < data.size()) {
        const DWORD want = static_cast<DWORD>(
            std::min<std::size_t>(1 + random() % buf.size(), data.size() - got.size()));
        DWORD n = 0;
        if (!ReadFile(h, buf.data(), want, &n, &rec.ov)) {
            ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
            ASSERT_TRUE(GetOverlappedResult(h, &rec.ov, &n, TRUE));
        }
        ASSERT_EQ(n, want);
        got.append(buf.data(), n);
    }
    feeder.join();
    EXPECT_TRUE(got == data);
}

TEST_F(CommIo, CloseHandleEndsEverythingPending) {
    ASSERT_TRUE(SetCommMask(h, EV_CTS));
    // Heap records, freed right after the close: any later write to them by
    // the port would show up under AddressSanitizer.
    auto readRec = std::make_unique<OverlappedRecord>();
    auto writeRec = std::make_unique<OverlappedRecord>();
    auto waitRec = std::make_unique<OverlappedRecord>();
    auto buf = std::make_unique<char[]>(16);
    auto mask = std::make_unique<DWORD>(kSentinel);
    DWORD got = 0;
    ASSERT_FALSE(ReadFile(h, buf.get(), 16, &got, &readRec->ov));
    std::vector<char> block;
    StartLongWrite(*writeRec, block);
    ASSERT_FALSE(WaitCommEvent(h, mask.get(), &waitRec->ov));

    ASSERT_TRUE(CloseHandle(h));
    const HANDLE closed = h;
    h = INVALID_HANDLE_VALUE;
    for (OverlappedRecord* rec : {readRec.get(), writeRec.get(), waitRec.get()}) {
        EXPECT_EQ(WaitForSingleObject(rec->ov.hEvent, 0), WAIT_OBJECT_0);
        EXPECT_TRUE(HasOverlappedIoCompleted(&rec->ov));
        EXPECT_NE(rec->ov.Internal, 0u) << "completed as failed (aborted)";
    }
    readRec.reset();
    writeRec.reset();
    waitRec.reset();
    buf.reset();
    mask.reset();
    pty.Write("late bytes");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));

    SetLastError(kSentinel);
    EXPECT_FALSE(PurgeComm(closed, PURGE_RXABORT));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// The thread that waits for a pending read's event takes the bytes itself;
// whatever else ends the read (a purge, a close, SetEvent, the far end gone)
// must still end that wait, and a wait that timed out must leave the bytes
// to the port again.
TEST_F(ComMapTest, WaitForAPendingReadEndsHoweverTheReadEnds) {
    const auto waitUntil = [](const std::function<bool()>& done) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kLongWaitMs);
        while (!done() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return done();
    };
    // TimedOut: the wait gives up first; the port completes the read when
    // the byte comes with nobody waiting.
    enum End { Bytes, Purge, Signal, FarEndGone, Close, TimedOut };
    for (const End end : {Bytes, Purge, Signal, FarEndGone, Close, TimedOut}) {
        SCOPED_TRACE(end);
        Pty pty;
        HANDLE h = OpenPty(pty, 26);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        OverlappedRecord rec;
        char c = 0;
        DWORD got = 0;
        ASSERT_FALSE(ReadFile(h, &c, 1, &got, &rec.ov));
        std::atomic<DWORD> waited{kSentinel};
        std::thread waiter(
            [&] { waited = WaitForSingleObject(rec.ov.hEvent, end == TimedOut ? 30 : INFINITE); });
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // most often inside its wait
        switch (end) {
        case Bytes:
            pty.Write("b");
            break;
        case Purge:
            PurgeComm(h, PURGE_RXABORT);
            break;
        case Signal:
            SetEvent(rec.ov.hEvent);
            break;
        case FarEndGone:
            pty.CloseMaster();
            break;
        case Close:
            CloseHandle(h);
            break;
        case TimedOut:
            break;
        }
        EXPECT_TRUE(waitUntil([&] { return waited != kSentinel; })) << "the wait did not end";
        if (waited == kSentinel && end != FarEndGone)
            pty.Write("u"); // ends a wait that missed its end, so that the test goes on
        waiter.join();
        EXPECT_EQ(waited, end == TimedOut ? WAIT_TIMEOUT : WAIT_OBJECT_0);
        if (end == TimedOut) {
            pty.Write("b");
            EXPECT_TRUE(
                waitUntil([&] { return WaitForSingleObject(rec.ov.hEvent, 0) == WAIT_OBJECT_0; }));
        }
        if (end == Bytes || end == TimedOut) {
            EXPECT_TRUE(GetOverlappedResult(h, &rec.ov, &got, FALSE));
            EXPECT_EQ(c, 'b');
        }
        if (end == Signal) { // the wait ended, the read itself is still on
            EXPECT_FALSE(GetOverlappedResult(h, &rec.ov, &got, FALSE));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
        }
        if (end != Close) {
            EXPECT_TRUE(CloseHandle(h));
        }
    }
}

// Two threads wait for the same pending read: one takes the bytes itself,
// the other waits as usual while the port keeps watching the device. One
// byte ends both waits, and reads after it go on alike.
TEST_F(CommIo, TwoThreadsWaitForOnePendingRead) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        OverlappedRecord rec;
        char c = 0;
        DWORD got = 0;
        ASSERT_FALSE(ReadFile(h, &c, 1, &got, &rec.ov));
        std::atomic<int> ended{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 2; ++i)
            waiters.emplace_back([&] {
                if (WaitForSingleObject(rec.ov.hEvent, kLongWaitMs) == WAIT_OBJECT_0)
                    ++ended;
            });
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // most often both wait
        pty.Write(std::string(1, static_cast<char>('0' + round)));
        for (std::thread& t : waiters)
            t.join();
        EXPECT_EQ(ended, 2);
        EXPECT_TRUE(GetOverlappedResult(h, &rec.ov, &got, FALSE));
        EXPECT_EQ(c, '0' + round);
    }
}

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

TEST_F(CommIo, PeerHangUpFailsEverythingWithOneError) {
    ASSERT_TRUE(SetCommMask(h, EV_CTS | EV_ERR));
    OverlappedRecord readRec, waitRec;
    char c = 0;
    DWORD got = 0, events = 0;
    ASSERT_FALSE(ReadFile(h, &c, 1, &got, &readRec.ov));
    ASSERT_FALSE(WaitCommEvent(h, &events, &waitRec.ov));

    pty.CloseMaster();
    for (OverlappedRecord* rec : {&readRec, &waitRec}) {
        ASSERT_EQ(WaitForSingleObject(rec->ov.hEvent, kLongWaitMs), WAIT_OBJECT_0);
        SetLastError(kSentinel);
        EXPECT_FALSE(GetOverlappedResult(h, &rec->ov, &got, FALSE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_COMMAND));
    }

    // No busy loop after the hang-up.
    const double cpuBefore = ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(ProcessCpuSeconds() - cpuBefore, 0.15);

    DCB dcb{};
    COMSTAT st{};
    DWORD value = 0;
    const struct {
        const char* name;
        std::function<BOOL()> call;
    } later[] = {
        {"ReadFile", [&] { return ReadFile(h, &c, 1, &got, &readRec.ov); }},
        {"WriteFile", [&] { return WriteFile(h, "x", 1, &got, &readRec.ov); }},
        {"WaitCommEvent", [&] { return WaitCommEvent(h, &events, &waitRec.ov); }},
        {"GetCommState", [&] { return GetCommState(h, &dcb); }},
        {"ClearCommError", [&] { return ClearCommError(h, &value, &st); }},
        {"PurgeComm", [&] { return PurgeComm(h, PURGE_RXCLEAR); }},
        {"SetCommMask", [&] { return SetCommMask(h, EV_DSR); }},
    };
    for (const auto& row : later) {
        SCOPED_TRACE(row.name);
        SetLastError(kSentinel);
        EXPECT_FALSE(row.call());
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_COMMAND));
    }
}

TEST_F(ComMapTest, SynchronousPort) {
    Pty pty;
    HANDLE h = OpenPty(pty, 28, 0); // no FILE_FLAG_OVERLAPPED: calls block
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pty.Write("sync");
    });
    char buf[4];
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(h, buf, 4, &got, nullptr));
    later.join();
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::string(buf, 4), "sync");
    ASSERT_TRUE(WriteFile(h, "back", 4, &got, nullptr));
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(pty.Read(4), "back");
    SetLastError(kSentinel);
    EXPECT_FALSE(ReadFile(h, buf, 1, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(ComMapTest, ReadOnlyPortRefusesWrites) {
    Pty pty;
    Publish(29, pty.Slave());
    HANDLE h = CreateFileA("\\\\.\\COM29", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    OverlappedRecord rec;
    DWORD got = 0;
    SetLastError(kSentinel);
    EXPECT_FALSE(WriteFile(h, "x", 1, &got, &rec.ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CloseHandle(h));
}

// A port opens with empty queues: a reply an earlier program left waiting in
// the device is not read as the answer to this program's first request.
TEST_F(ComMapTest, OpenDiscardsWhatAnEarlierProgramLeft) {
    Pty pty;
    pty.Write("QXSN = 30012345\r");
    HANDLE h = OpenPty(pty, 27, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    pty.Write("AB");
    char buf[2];
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(h, buf, 2, &got, nullptr));
    EXPECT_EQ(std::string(buf, got), "AB");
    EXPECT_TRUE(CloseHandle(h));
}

} // namespace
