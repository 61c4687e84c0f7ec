// Time-outs, queue counts, purges, priority bytes, flushing and line control of the native
// backend on real pseudo-terminals.
#include "test_posix_serial.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

using namespace winapi;
using lxtest::MillisecondsSince;
using lxtest::Os;
using lxtest::TClock;

using SerialIo = lxtest::SerialPort;

// The machine may be loaded (sanitizers, other builds): waits are checked from below exactly and
// from above with room.
constexpr long long Slack = 2000;

TEST_F(SerialIo, AllZeroTimeoutsWaitForEveryByte) {
    SetTimeouts(0, 0, 0);
    const auto Start = TClock::now();
    std::thread Peer([this] {
        Pty.Write("01234");
        Os().Sleep(150);
        Pty.Write("5678");
    });
    EXPECT_EQ(ReadWaited(9), "012345678");
    EXPECT_GE(MillisecondsSince(Start), 150);
    Peer.join();
}

TEST_F(SerialIo, AnIntervalTimeoutEndsAReadAfterAPauseWithWhatArrived) {
    SetTimeouts(80, 0, 0);
    const auto Start = TClock::now();
    std::thread Peer([this] {
        Os().Sleep(200); // before the first byte the interval does not count
        for (const char* Piece : {"ab", "cd", "ef"}) {
            Pty.Write(Piece);
            Os().Sleep(20);
        }
    });
    EXPECT_EQ(ReadWaited(10), "abcdef");
    const long long Took = MillisecondsSince(Start);
    EXPECT_GE(Took, 200 + 40 + 80);
    EXPECT_LT(Took, 200 + 40 + 80 + Slack);
    Peer.join();
}

TEST_F(SerialIo, ATotalTimeoutEndsAReadWithWhatArrived) {
    SetTimeouts(0, 10, 100); // 10 ms a byte and 100 ms: 150 ms for 5 bytes
    Pty.Write("xy");
    const auto Start = TClock::now();
    EXPECT_EQ(ReadWaited(5), "xy");
    const long long Took = MillisecondsSince(Start);
    EXPECT_GE(Took, 150);
    EXPECT_LT(Took, 150 + Slack);
}

TEST_F(SerialIo, MaxdwordIntervalAloneReturnsAtOnceWithWhatIsThere) {
    SetTimeouts(MAXDWORD, 0, 0);
    const auto Start = TClock::now();
    EXPECT_EQ(ReadWaited(4), "");
    Pty.Write("abc");
    WaitForInput(3);
    EXPECT_EQ(ReadWaited(4), "abc");
    EXPECT_LT(MillisecondsSince(Start), Slack);
}

TEST_F(SerialIo, MaxdwordIntervalAndMultiplierWaitForTheFirstByteOnly) {
    SetTimeouts(MAXDWORD, MAXDWORD, 100);
    auto Start = TClock::now();
    EXPECT_EQ(ReadWaited(4), "") << "nothing came within the constant";
    EXPECT_GE(MillisecondsSince(Start), 100);

    std::thread Peer([this] {
        Os().Sleep(30);
        Pty.Write("q");
    });
    Start = TClock::now();
    EXPECT_EQ(ReadWaited(4), "q") << "the first byte ends the read";
    EXPECT_LT(MillisecondsSince(Start), 100 + Slack);
    Peer.join();
}

TEST_F(SerialIo, AWriteTotalTimeoutEndsAWriteThatCannotFinish) {
    SetTimeouts(0, 0, 0, 0, 100);
    const std::string Bytes(1 << 20, 'w'); // more than the terminal holds; nobody reads
    OVERLAPPED Overlapped{};
    DWORD Done = 0;
    const auto Start = TClock::now();
    if (Os().WriteFile(Port, Bytes.data(), DWORD(Bytes.size()), &Done, &Overlapped) == FALSE) {
        ASSERT_EQ(Os().GetLastError(), ERROR_IO_PENDING);
        EXPECT_EQ(Os().GetOverlappedResult(Port, &Overlapped, &Done, TRUE), TRUE)
            << "a time-out is a success with fewer bytes";
    }
    EXPECT_GE(MillisecondsSince(Start), 100);
    EXPECT_GT(Done, 0u);
    EXPECT_LT(Done, Bytes.size());
    EXPECT_EQ(Status().cbOutQue, 0u) << "the rest is dropped";
}

// The second write reaches the head of its queue when the first times out, and its caller comes
// to wait for it at once: the caller starts its time-out rather than poll a held line for ever.
TEST_F(SerialIo, AWriteTimeoutStartsForEachOfTwoWaitedWrites) {
    SetTimeouts(0, 0, 0, 0, 100);
    ASSERT_EQ(Os().EscapeCommFunction(Port, SETXOFF), TRUE);
    std::atomic<bool> Finished = false;
    const auto Start = TClock::now();
    std::thread Writer([&] {
        OVERLAPPED First{}, Second{};
        DWORD Done = 0;
        Os().WriteFile(Port, "held", 4, &Done, &First);
        Os().WriteFile(Port, "back", 4, &Done, &Second);
        Os().GetOverlappedResult(Port, &First, &Done, TRUE);
        Os().GetOverlappedResult(Port, &Second, &Done, TRUE);
        Finished = true;
    });
    while (!Finished && MillisecondsSince(Start) < 200 + Slack) {
        Os().Sleep(5);
    }
    const bool InTime = Finished;
    const long long Elapsed = MillisecondsSince(Start);
    ClosePort(); // ends a write that is still stuck
    Writer.join();
    EXPECT_TRUE(InTime) << "the second write ignored its time-out";
    EXPECT_GE(Elapsed, 200) << "the two time-outs run one after the other";
}

TEST_F(SerialIo, ClearCommErrorCountsBothQueues) {
    EXPECT_EQ(Status().cbInQue, 0u);
    Pty.Write("12345");
    WaitForInput(5);
    EXPECT_EQ(Status().cbInQue, 5u);

    const std::string Bytes(1 << 20, 'o');
    OVERLAPPED Overlapped{};
    DWORD Done = 0;
    ASSERT_EQ(Os().WriteFile(Port, Bytes.data(), DWORD(Bytes.size()), &Done, &Overlapped), FALSE);
    const DWORD Queued = Status().cbOutQue;
    EXPECT_GT(Queued, 0u);
    EXPECT_LE(Queued, Bytes.size());
    EXPECT_EQ(Pty.Read(Bytes.size(), std::chrono::seconds(20)).size(), Bytes.size());
    ASSERT_EQ(Os().GetOverlappedResult(Port, &Overlapped, &Done, TRUE), TRUE);
    EXPECT_EQ(Status().cbOutQue, 0u);

    DWORD Errors = 0;
    EXPECT_EQ(Os().ClearCommError(Port, &Errors, nullptr), TRUE) << "either record may be left out";
    EXPECT_EQ(Os().ClearCommError(Port, nullptr, nullptr), TRUE);
}

TEST_F(SerialIo, AReadQueuedBehindOneACallerServedGoesOnWithoutTheCaller) {
    SetTimeouts(0, 0, 50);
    char First[4];
    OVERLAPPED FirstRecord{};
    DWORD Done = 0;
    ASSERT_EQ(Os().ReadFile(Port, First, sizeof(First), &Done, &FirstRecord), FALSE);
    SetTimeouts(0, 0, 0);
    char Second[2];
    lxtest::TOverlapped SecondRecord;
    ASSERT_EQ(Os().ReadFile(Port, Second, sizeof(Second), &Done, &SecondRecord.Record), FALSE);
    ASSERT_EQ(Os().GetLastError(), ERROR_IO_PENDING);
    // The caller moves the first read's bytes itself and sees it time out.
    EXPECT_EQ(Os().GetOverlappedResult(Port, &FirstRecord, &Done, TRUE), TRUE);
    EXPECT_EQ(Done, 0u);
    // Nobody waits in GetOverlappedResult for the second: it is the worker's again.
    Pty.Write("xy");
    ASSERT_TRUE(SecondRecord.Signalled(5000));
    EXPECT_EQ(Os().GetOverlappedResult(Port, &SecondRecord.Record, &Done, FALSE), TRUE);
    EXPECT_EQ(std::string(Second, Done), "xy");
}

TEST_F(SerialIo, PurgingTheInputDropsWhatWaitsAndKeepsWhatComesAfter) {
    Pty.Write("old");
    WaitForInput(3);
    ASSERT_EQ(Os().PurgeComm(Port, PURGE_RXCLEAR), TRUE);
    EXPECT_EQ(Status().cbInQue, 0u);
    Pty.Write("new");
    EXPECT_EQ(ReadWaited(3), "new");
}

TEST_F(SerialIo, AbortsEndPendingTransfersOfEveryThread) {
    std::atomic<bool> Queued{false};
    std::atomic<DWORD> ReadError{0};
    std::thread Reader([&] {
        char Buffer[8];
        OVERLAPPED Overlapped{};
        DWORD Done = 0;
        if (Os().ReadFile(Port, Buffer, sizeof(Buffer), &Done, &Overlapped) == FALSE) {
            Queued = true;
            if (Os().GetOverlappedResult(Port, &Overlapped, &Done, TRUE) == FALSE) {
                ReadError = Os().GetLastError();
            }
        }
    });
    const std::string Bytes(1 << 20, 'a');
    OVERLAPPED Write{};
    DWORD Done = 0;
    ASSERT_EQ(Os().WriteFile(Port, Bytes.data(), DWORD(Bytes.size()), &Done, &Write), FALSE);
    while (!Queued) {
        Os().Sleep(1);
    }

    ASSERT_EQ(Os().PurgeComm(Port, PURGE_RXABORT), TRUE);
    Reader.join();
    EXPECT_EQ(ReadError, ERROR_OPERATION_ABORTED);
    EXPECT_EQ(Os().GetOverlappedResult(Port, &Write, &Done, FALSE), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_IO_INCOMPLETE) << "the write goes on";

    ASSERT_EQ(Os().PurgeComm(Port, PURGE_TXABORT | PURGE_TXCLEAR), TRUE);
    EXPECT_EQ(Os().GetOverlappedResult(Port, &Write, &Done, TRUE), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(Status().cbOutQue, 0u);

    EXPECT_EQ(Os().PurgeComm(Port, 0x10), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(SerialIo, APriorityByteOvertakesTheQueuedOutput) {
    std::string Bytes(256 * 1024, '\0');
    for (std::size_t Index = 0; Index < Bytes.size(); ++Index) {
        Bytes[Index] = char('a' + Index % 26);
    }
    // Output held: everything stays queued until XON.
    ASSERT_EQ(Os().EscapeCommFunction(Port, SETXOFF), TRUE);
    OVERLAPPED Overlapped{};
    DWORD Done = 0;
    ASSERT_EQ(Os().WriteFile(Port, Bytes.data(), DWORD(Bytes.size()), &Done, &Overlapped), FALSE);
    ASSERT_EQ(Os().TransmitCommChar(Port, '!'), TRUE);
    const COMSTAT Stat = Status();
    EXPECT_NE(Stat.Flags & COMSTAT_fTxim, 0u);
    EXPECT_EQ(Stat.cbOutQue, Bytes.size() + 1);

    ASSERT_EQ(Os().EscapeCommFunction(Port, SETXON), TRUE);
    EXPECT_EQ(Pty.Read(Bytes.size() + 1, std::chrono::seconds(20)), "!" + Bytes);
    ASSERT_EQ(Os().GetOverlappedResult(Port, &Overlapped, &Done, TRUE), TRUE);
    EXPECT_EQ(Status().Flags & COMSTAT_fTxim, 0u);
}

TEST_F(SerialIo, FlushFileBuffersReturnsWhenTheOutputHasLeft) {
    const std::string Bytes(256 * 1024, 'f');
    OVERLAPPED Overlapped{};
    DWORD Done = 0;
    ASSERT_EQ(Os().WriteFile(Port, Bytes.data(), DWORD(Bytes.size()), &Done, &Overlapped), FALSE);
    std::string Seen;
    const auto Start = TClock::now();
    std::thread Peer([&] {
        Os().Sleep(100);
        Seen = Pty.Read(Bytes.size(), std::chrono::seconds(20));
    });
    EXPECT_EQ(Os().FlushFileBuffers(Port), TRUE);
    EXPECT_GE(MillisecondsSince(Start), 100);
    EXPECT_EQ(Os().GetOverlappedResult(Port, &Overlapped, &Done, FALSE), TRUE);
    EXPECT_EQ(Status().cbOutQue, 0u);
    Peer.join();
    EXPECT_EQ(Seen.size(), Bytes.size());
}

TEST_F(SerialIo, XoffHoldsTheOutputUntilXon) {
    ASSERT_EQ(Os().EscapeCommFunction(Port, SETXOFF), TRUE);
    EXPECT_NE(Status().Flags & COMSTAT_fXoffHold, 0u);
    OVERLAPPED Overlapped{};
    DWORD Done = 0;
    if (Os().WriteFile(Port, "held", 4, &Done, &Overlapped) == FALSE) {
        ASSERT_EQ(Os().GetLastError(), ERROR_IO_PENDING);
    }
    EXPECT_EQ(Pty.Read(4, std::chrono::milliseconds(100)), "");
    ASSERT_EQ(Os().EscapeCommFunction(Port, SETXON), TRUE);
    EXPECT_EQ(Status().Flags & COMSTAT_fXoffHold, 0u);
    EXPECT_EQ(Pty.Read(4), "held");
    EXPECT_EQ(Os().GetOverlappedResult(Port, &Overlapped, &Done, TRUE), TRUE);
}

TEST_F(SerialIo, APseudoTerminalHasNoModemLinesButTakesBreaks) {
    for (const DWORD Function : {SETRTS, CLRRTS, SETDTR, CLRDTR}) {
        EXPECT_EQ(Os().EscapeCommFunction(Port, Function), FALSE) << Function;
        EXPECT_EQ(Os().GetLastError(), ERROR_NOT_SUPPORTED);
    }
    DWORD Lines = 0;
    EXPECT_EQ(Os().GetCommModemStatus(Port, &Lines), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(Os().EscapeCommFunction(Port, SETBREAK), TRUE);
    EXPECT_EQ(Os().EscapeCommFunction(Port, CLRBREAK), TRUE);
    for (const DWORD Unknown : {DWORD(0), RESETDEV, DWORD(10)}) {
        EXPECT_EQ(Os().EscapeCommFunction(Port, Unknown), FALSE);
        EXPECT_EQ(Os().GetLastError(), ERROR_INVALID_PARAMETER);
    }
}

TEST_F(SerialIo, LineCallsOnWhatIsNotAnOpenPortFail) {
    const HANDLE Closed = Port;
    ClosePort();
    COMSTAT Stat{};
    DWORD Value = 0;
    EXPECT_EQ(Os().ClearCommError(Closed, &Value, &Stat), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Os().PurgeComm(Closed, PURGE_RXCLEAR), FALSE);
    EXPECT_EQ(Os().EscapeCommFunction(Closed, SETBREAK), FALSE);
    EXPECT_EQ(Os().GetCommModemStatus(Closed, &Value), FALSE);
    EXPECT_EQ(Os().TransmitCommChar(Closed, 'x'), FALSE);
    EXPECT_EQ(Os().FlushFileBuffers(Closed), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_INVALID_HANDLE);
}

} // namespace
