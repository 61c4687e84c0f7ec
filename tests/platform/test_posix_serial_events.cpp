// SetCommMask and WaitCommEvent of the native backend on real pseudo-terminals: received data,
// drained output, mask changes, hang-ups, closes and cancels, and the event loop of a serial
// component around them.
#include "test_posix_serial.h"

#include <atomic>
#include <thread>

namespace {

using namespace winapi;
using lxtest::Os;
using lxtest::TOverlapped;

class SerialEvents : public lxtest::SerialPort {
protected:
    // Starts a wait that the test expects to stay pending.
    void StartWait(DWORD& Events, TOverlapped& Wait) {
        ASSERT_EQ(Os().WaitCommEvent(Port, &Events, &Wait.Record), FALSE);
        ASSERT_EQ(Os().GetLastError(), ERROR_IO_PENDING);
    }
    // A wait that ends at once or soon; the events, or ~0u when it failed.
    DWORD WaitEvents() {
        TOverlapped Wait;
        DWORD Events = 0;
        if (Os().WaitCommEvent(Port, &Events, &Wait.Record) == FALSE) {
            if (Os().GetLastError() != ERROR_IO_PENDING || !Wait.Signalled(5000)) {
                return ~0u;
            }
            DWORD Ignored = 0;
            if (Os().GetOverlappedResult(Port, &Wait.Record, &Ignored, FALSE) == FALSE) {
                return ~0u;
            }
        }
        return Events;
    }
};

TEST_F(SerialEvents, ArrivingBytesEndAWaitOnceAndBytesLeftWaitingDoNotRepeatIt) {
    ASSERT_EQ(Os().SetCommMask(Port, EV_RXCHAR | EV_TXEMPTY), TRUE);
    TOverlapped Wait;
    DWORD Events = 0;
    StartWait(Events, Wait);
    EXPECT_FALSE(Wait.Signalled(50));
    Pty.Write("ab");
    ASSERT_TRUE(Wait.Signalled(5000));
    EXPECT_EQ(Events, EV_RXCHAR);

    // The bytes stay unread: the next wait waits for more.
    StartWait(Events, Wait);
    EXPECT_FALSE(Wait.Signalled(100));
    Pty.Write("c");
    ASSERT_TRUE(Wait.Signalled(5000));
    EXPECT_EQ(Events, EV_RXCHAR);
    EXPECT_EQ(ReadWaited(3), "abc");

    // Bytes that came between two waits end the next one at once.
    Pty.Write("d");
    WaitForInput(1);
    Events = 0;
    EXPECT_EQ(Os().WaitCommEvent(Port, &Events, &Wait.Record), TRUE);
    EXPECT_EQ(Events, EV_RXCHAR);
    EXPECT_TRUE(Wait.Signalled()) << "an immediate result signals the event too";
}

TEST_F(SerialEvents, BytesThatCameBeforeTheMaskWasSetAreNoEvent) {
    Pty.Write("early");
    WaitForInput(5);
    ASSERT_EQ(Os().SetCommMask(Port, EV_RXCHAR), TRUE);
    TOverlapped Wait;
    DWORD Events = 0;
    StartWait(Events, Wait);
    EXPECT_FALSE(Wait.Signalled(100));
    ClosePort(); // ends the wait while its records still exist
}

TEST_F(SerialEvents, DrainedOutputIsATxEmptyEventAfterTheLastByteHasGone) {
    ASSERT_EQ(Os().SetCommMask(Port, EV_TXEMPTY), TRUE);
    const std::string Bytes(256 * 1024, 't');
    OVERLAPPED Write{};
    DWORD Done = 0;
    ASSERT_EQ(Os().WriteFile(Port, Bytes.data(), DWORD(Bytes.size()), &Done, &Write), FALSE);
    TOverlapped Wait;
    DWORD Events = 0;
    StartWait(Events, Wait);
    EXPECT_FALSE(Wait.Signalled(100)) << "the peer has not read yet";
    EXPECT_EQ(Pty.Read(Bytes.size(), std::chrono::seconds(20)).size(), Bytes.size());
    ASSERT_TRUE(Wait.Signalled(5000));
    EXPECT_EQ(Events, EV_TXEMPTY);
    EXPECT_EQ(Os().GetOverlappedResult(Port, &Write, &Done, FALSE), TRUE);

    // A short write that the terminal takes at once drains at once.
    ASSERT_EQ(Os().WriteFile(Port, "x", 1, &Done, &Write), TRUE);
    EXPECT_EQ(WaitEvents(), EV_TXEMPTY);
    // With nothing written since, there is no second one.
    StartWait(Events, Wait);
    EXPECT_FALSE(Wait.Signalled(100));
    ClosePort(); // ends the wait while its records still exist
}

TEST_F(SerialEvents, AWaitThatNoThreadWaitsForEndsWhileTheCallerOnlyLooksAtTheRecord) {
    ASSERT_EQ(Os().SetCommMask(Port, EV_RXCHAR), TRUE);
    TOverlapped Wait;
    DWORD Events = 0;
    StartWait(Events, Wait);
    Pty.Write("a");
    const auto Start = lxtest::TClock::now();
    DWORD Ignored = 0;
    while (Os().GetOverlappedResult(Port, &Wait.Record, &Ignored, FALSE) == FALSE &&
           lxtest::MillisecondsSince(Start) < 5000) {
        ASSERT_EQ(Os().GetLastError(), ERROR_IO_INCOMPLETE);
        Os().Sleep(1);
    }
    EXPECT_EQ(Os().GetOverlappedResult(Port, &Wait.Record, &Ignored, FALSE), TRUE);
    EXPECT_EQ(Events, EV_RXCHAR);

    // A caller that waits in GetOverlappedResult instead.
    StartWait(Events, Wait);
    Pty.Write("b");
    EXPECT_EQ(Os().GetOverlappedResult(Port, &Wait.Record, &Ignored, TRUE), TRUE);
    EXPECT_EQ(Events, EV_RXCHAR);
}

TEST_F(SerialEvents, AMaskChangeEndsAPendingWaitWithAnEmptyMask) {
    ASSERT_EQ(Os().SetCommMask(Port, EV_RXCHAR), TRUE);
    TOverlapped Wait;
    DWORD Events = 99;
    StartWait(Events, Wait);
    ASSERT_EQ(Os().SetCommMask(Port, EV_RXCHAR | EV_CTS), TRUE);
    ASSERT_TRUE(Wait.Signalled(5000));
    DWORD Ignored = 0;
    EXPECT_EQ(Os().GetOverlappedResult(Port, &Wait.Record, &Ignored, FALSE), TRUE);
    EXPECT_EQ(Events, 0u);
}

TEST_F(SerialEvents, AHangUpOfThePeerMakesPendingAndLaterWaitsFail) {
    ASSERT_EQ(Os().SetCommMask(Port, EV_RXCHAR), TRUE);
    TOverlapped Wait;
    DWORD Events = 0;
    StartWait(Events, Wait);
    Pty.CloseMaster();
    ASSERT_TRUE(Wait.Signalled(5000));
    DWORD Ignored = 0;
    EXPECT_EQ(Os().GetOverlappedResult(Port, &Wait.Record, &Ignored, FALSE), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Os().WaitCommEvent(Port, &Events, &Wait.Record), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(SerialEvents, ClosingTheHandleEndsAWaitOnAnotherThread) {
    ASSERT_EQ(Os().SetCommMask(Port, EV_RXCHAR), TRUE);
    TOverlapped Wait;
    DWORD Events = 0;
    StartWait(Events, Wait);
    std::thread Closer([this] { ClosePort(); });
    EXPECT_EQ(Os().WaitForSingleObject(Wait.Event.Get(), 5000), WAIT_OBJECT_0);
    Closer.join();
    EXPECT_EQ(NTSTATUS(std::uint32_t(Wait.Record.Internal)), STATUS_CANCELLED);
    EXPECT_EQ(Events, 0u);
}

TEST_F(SerialEvents, CancelIoEndsTheCallersWaitAndGetOverlappedResultWaitsForIt) {
    ASSERT_EQ(Os().SetCommMask(Port, EV_RXCHAR), TRUE);
    TOverlapped Wait;
    DWORD Events = 0;
    StartWait(Events, Wait);
    std::thread Other([this] { Os().CancelIo(Port); });
    Other.join();
    EXPECT_FALSE(Wait.Signalled(50)) << "another thread's CancelIo";

    std::thread Peer([this] {
        Os().Sleep(50);
        Pty.Write("z");
    });
    DWORD Ignored = 0;
    EXPECT_EQ(Os().GetOverlappedResult(Port, &Wait.Record, &Ignored, TRUE), TRUE);
    EXPECT_EQ(Events, EV_RXCHAR);
    Peer.join();

    StartWait(Events, Wait);
    EXPECT_EQ(Os().CancelIo(Port), TRUE);
    EXPECT_EQ(Os().GetOverlappedResult(Port, &Wait.Record, &Ignored, TRUE), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_OPERATION_ABORTED);
}

TEST_F(SerialEvents, WaitsThatCannotBeMadeAreRefused) {
    DWORD Events = 0;
    TOverlapped Wait;
    EXPECT_EQ(Os().WaitCommEvent(Port, &Events, &Wait.Record), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_INVALID_PARAMETER) << "no mask yet";
    EXPECT_EQ(Os().SetCommMask(Port, 0x2000), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_INVALID_PARAMETER);

    ASSERT_EQ(Os().SetCommMask(Port, EV_RXCHAR), TRUE);
    StartWait(Events, Wait);
    TOverlapped Second;
    DWORD More = 0;
    EXPECT_EQ(Os().WaitCommEvent(Port, &More, &Second.Record), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_INVALID_PARAMETER) << "one wait at a time";
    EXPECT_EQ(Os().WaitCommEvent(Port, nullptr, &Second.Record), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_INVALID_PARAMETER);

    const HANDLE Closed = Port;
    ClosePort();
    EXPECT_EQ(Os().WaitCommEvent(Closed, &More, &Second.Record), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Os().SetCommMask(Closed, EV_RXCHAR), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(SerialEvents, APortWithoutOverlappedIoWaitsInsideTheCall) {
    ClosePort();
    lxtest::TOwned Plain(Os().CreateFileW(u"COM9", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(Plain.IsValid());
    ASSERT_EQ(Os().SetCommMask(Plain.Get(), EV_RXCHAR), TRUE);
    std::thread Peer([this] {
        Os().Sleep(50);
        Pty.Write("s");
    });
    DWORD Events = 0;
    EXPECT_EQ(Os().WaitCommEvent(Plain.Get(), &Events, nullptr), TRUE);
    EXPECT_EQ(Events, EV_RXCHAR);
    Peer.join();
}

// The event thread of a serial component: wait, then take what came through ClearCommError's
// count; every byte arrives once and in order while the peer writes in pieces.
TEST_F(SerialEvents, AnEventLoopReceivesEveryByteInOrder) {
    ASSERT_EQ(Os().SetCommMask(Port, EV_RXCHAR), TRUE);
    std::string Sent;
    for (int Index = 0; Index < 2000; ++Index) {
        Sent.push_back(char('A' + Index % 53));
    }
    const HANDLE Handle = Port; // the loop's copy: a close ends it
    std::string Received;
    std::atomic<std::size_t> Count{0};
    std::thread Loop([&] {
        TOverlapped Wait;
        while (Count < Sent.size()) {
            DWORD Events = 0;
            if (Os().WaitCommEvent(Handle, &Events, &Wait.Record) == FALSE) {
                if (Os().GetLastError() != ERROR_IO_PENDING) {
                    return;
                }
                Os().WaitForSingleObject(Wait.Event.Get(), INFINITE);
            }
            COMSTAT Stat{};
            DWORD Errors = 0;
            if ((Events & EV_RXCHAR) == 0 || Os().ClearCommError(Handle, &Errors, &Stat) == FALSE ||
                Stat.cbInQue == 0) {
                continue;
            }
            std::string Piece(Stat.cbInQue, '\0');
            DWORD Done = 0;
            if (Os().ReadFile(Handle, Piece.data(), Stat.cbInQue, &Done, nullptr) == FALSE) {
                return;
            }
            Received.append(Piece, 0, Done);
            Count = Received.size();
        }
    });
    for (std::size_t At = 0; At < Sent.size(); At += 37) {
        Pty.Write(std::string_view(Sent).substr(At, 37));
        if (At % 370 == 0) {
            Os().Sleep(1);
        }
    }
    for (int Tries = 0; Tries < 1000 && Count < Sent.size(); ++Tries) {
        Os().Sleep(10);
    }
    if (Count < Sent.size()) {
        ClosePort(); // ends the loop's wait; the comparison below shows what was missing
    }
    Loop.join();
    EXPECT_EQ(Received, Sent);
}

} // namespace
