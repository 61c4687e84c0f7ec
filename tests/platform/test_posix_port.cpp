// COM ports of the native backend on real pseudo-terminals: opening through the port folder,
// exclusive use, and overlapped reads and writes that complete, wait, cancel and end on close.
#include "posix/posixapi.h"
#include "pty.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace winapi;

TWinApi& Os() {
    return NativeApi();
}

std::string TextOf(DWORD Code) {
    LPWSTR Buffer = nullptr;
    const DWORD Length = Os().FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, Code, 0, reinterpret_cast<LPWSTR>(&Buffer), 0, nullptr);
    std::string Text;
    for (DWORD Index = 0; Index < Length; ++Index) {
        Text.push_back(Buffer[Index] < 0x80 ? char(Buffer[Index]) : '?');
    }
    Os().LocalFree(Buffer);
    return Text;
}

// A handle that is closed whatever the test's outcome.
class TOwned {
public:
    explicit TOwned(HANDLE Handle = INVALID_HANDLE_VALUE) : fHandle(Handle) {}
    ~TOwned() { Close(); }
    TOwned(const TOwned&) = delete;
    TOwned& operator=(const TOwned&) = delete;
    HANDLE Get() const { return fHandle; }
    bool IsValid() const { return fHandle != INVALID_HANDLE_VALUE && fHandle != nullptr; }
    BOOL Close() {
        const BOOL Closed = IsValid() ? Os().CloseHandle(fHandle) : TRUE;
        fHandle = INVALID_HANDLE_VALUE;
        return Closed;
    }

private:
    HANDLE fHandle;
};

HANDLE OpenPort(const char16_t* Path, DWORD Flags = FILE_FLAG_OVERLAPPED) {
    return Os().CreateFileW(Path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, Flags,
                            nullptr);
}

HANDLE NewEvent() {
    return Os().CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

class PosixPort : public ::testing::Test {
protected:
    void SetUp() override { Folder.Link("COM9", Pty.SlavePath()); }

    // A read of Count bytes that the test expects to stay pending.
    void StartPendingRead(HANDLE Port, char* Buffer, DWORD Count, OVERLAPPED& Overlapped) {
        DWORD Read = 0;
        ASSERT_EQ(Os().ReadFile(Port, Buffer, Count, &Read, &Overlapped), FALSE);
        ASSERT_EQ(Os().GetLastError(), ERROR_IO_PENDING);
    }

    lxtest::TPortFolder Folder;
    lxtest::TPtyPair Pty;
};

TEST_F(PosixPort, OpensThroughThePortFolderUnderEveryFormOfItsName) {
    for (const char16_t* Path : {u"\\\\?\\COM9", u"\\\\?\\com9", u"\\\\.\\COM9", u"CoM9"}) {
        TOwned Port(OpenPort(Path));
        EXPECT_TRUE(Port.IsValid()) << TextOf(Os().GetLastError());
        EXPECT_EQ(Port.Close(), TRUE);
    }
}

TEST_F(PosixPort, EveryByteValueTravelsUnchangedBothWays) {
    TOwned Port(OpenPort(u"\\\\?\\COM9"));
    ASSERT_TRUE(Port.IsValid());
    std::string All;
    for (int Byte = 0; Byte < 256; ++Byte) {
        All.push_back(char(Byte));
    }
    TOwned Event(NewEvent());
    OVERLAPPED Overlapped{};
    Overlapped.hEvent = Event.Get();
    DWORD Count = 0;
    if (Os().WriteFile(Port.Get(), All.data(), DWORD(All.size()), &Count, &Overlapped) == FALSE) {
        ASSERT_EQ(Os().GetLastError(), ERROR_IO_PENDING);
        ASSERT_EQ(Os().GetOverlappedResult(Port.Get(), &Overlapped, &Count, TRUE), TRUE);
    }
    EXPECT_EQ(Count, All.size());
    EXPECT_EQ(Os().WaitForSingleObject(Event.Get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(Pty.Read(All.size()), All);

    Pty.Write(All);
    std::string Got(All.size(), '\0');
    Overlapped = OVERLAPPED{};
    if (Os().ReadFile(Port.Get(), Got.data(), DWORD(Got.size()), &Count, &Overlapped) == FALSE) {
        ASSERT_EQ(Os().GetLastError(), ERROR_IO_PENDING);
        ASSERT_EQ(Os().GetOverlappedResult(Port.Get(), &Overlapped, &Count, TRUE), TRUE);
    }
    EXPECT_EQ(Count, All.size());
    EXPECT_EQ(Got, All);
}

TEST_F(PosixPort, ASecondOpenIsRefusedAndSaysWhyUntilTheFirstIsClosed) {
    TOwned First(OpenPort(u"\\\\?\\COM9"));
    ASSERT_TRUE(First.IsValid());
    TOwned Second(OpenPort(u"\\\\?\\COM9"));
    EXPECT_FALSE(Second.IsValid());
    EXPECT_EQ(Os().GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(TextOf(ERROR_ACCESS_DENIED),
              "Access is denied. The port is already open in another program or handle.\r\n");
    ASSERT_EQ(First.Close(), TRUE);
    TOwned Again(OpenPort(u"\\\\?\\COM9"));
    EXPECT_TRUE(Again.IsValid()) << TextOf(Os().GetLastError());
}

TEST_F(PosixPort, PortsThatCannotBeOpenedSayWhyInWords) {
    Folder.Link("COM5", "/dev/pts/no-such-terminal");
    Folder.Link("COM6", "/dev/null");
    const struct {
        const char16_t* Path;
        DWORD Error;
        std::string Cause;
    } Cases[] = {
        {u"\\\\?\\COM7", ERROR_FILE_NOT_FOUND, "There is no port COM7 in the port folder "},
        {u"\\\\?\\COM5", ERROR_FILE_NOT_FOUND,
         "COM5 links to /dev/pts/no-such-terminal, which does not exist"},
        {u"\\\\?\\COM6", ERROR_NOT_SUPPORTED, "COM6 links to /dev/null, which is not a serial"},
        {u"\\\\?\\", ERROR_FILE_NOT_FOUND, "There is no port  in the port folder"},
    };
    for (const auto& Case : Cases) {
        TOwned Port(OpenPort(Case.Path));
        EXPECT_FALSE(Port.IsValid());
        EXPECT_EQ(Os().GetLastError(), Case.Error);
        EXPECT_NE(TextOf(Case.Error).find(Case.Cause), std::string::npos) << TextOf(Case.Error);
    }
}

TEST_F(PosixPort, APendingReadCompletesInTheBackgroundAndSignalsItsEvent) {
    TOwned Port(OpenPort(u"\\\\?\\COM9"));
    TOwned Event(NewEvent());
    OVERLAPPED Overlapped{};
    Overlapped.hEvent = Event.Get();
    char Buffer[10] = {};
    StartPendingRead(Port.Get(), Buffer, sizeof(Buffer), Overlapped);
    DWORD Count = 0;
    EXPECT_EQ(Os().GetOverlappedResult(Port.Get(), &Overlapped, &Count, FALSE), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_IO_INCOMPLETE);

    Pty.Write("0123");
    EXPECT_EQ(Os().WaitForSingleObject(Event.Get(), 100), WAIT_TIMEOUT)
        << "a read of 10 bytes waits for all 10";
    Pty.Write("456789");
    ASSERT_EQ(Os().WaitForSingleObject(Event.Get(), 5000), WAIT_OBJECT_0);
    ASSERT_EQ(Os().GetOverlappedResult(Port.Get(), &Overlapped, &Count, FALSE), TRUE);
    EXPECT_EQ(Count, 10u);
    EXPECT_EQ(std::string(Buffer, sizeof(Buffer)), "0123456789");
}

TEST_F(PosixPort, BytesAlreadyWaitingCompleteTheReadAtOnce) {
    TOwned Port(OpenPort(u"\\\\?\\COM9"));
    TOwned Event(NewEvent());
    OVERLAPPED Overlapped{};
    Overlapped.hEvent = Event.Get();
    char Empty = 0;
    DWORD Count = 99;
    EXPECT_EQ(Os().ReadFile(Port.Get(), &Empty, 0, &Count, &Overlapped), TRUE);
    EXPECT_EQ(Count, 0u);

    Pty.Write("abc");
    Os().Sleep(100); // the terminal hands bytes over in the background
    char Buffer[3] = {};
    ASSERT_EQ(Os().ReadFile(Port.Get(), Buffer, 3, &Count, &Overlapped), TRUE);
    EXPECT_EQ(Count, 3u);
    EXPECT_EQ(std::string(Buffer, 3), "abc");
    EXPECT_EQ(Os().WaitForSingleObject(Event.Get(), 0), WAIT_OBJECT_0)
        << "an immediate completion signals the event too";
}

TEST_F(PosixPort, QueuedReadsCompleteInTheOrderTheyWereMade) {
    TOwned Port(OpenPort(u"\\\\?\\COM9"));
    OVERLAPPED First{};
    OVERLAPPED Second{};
    char A[3] = {};
    char B[3] = {};
    StartPendingRead(Port.Get(), A, 3, First);
    StartPendingRead(Port.Get(), B, 3, Second);
    Pty.Write("abcdef");
    DWORD Count = 0;
    ASSERT_EQ(Os().GetOverlappedResult(Port.Get(), &Second, &Count, TRUE), TRUE);
    ASSERT_EQ(Os().GetOverlappedResult(Port.Get(), &First, &Count, TRUE), TRUE);
    EXPECT_EQ(std::string(A, 3), "abc");
    EXPECT_EQ(std::string(B, 3), "def");
}

TEST_F(PosixPort, CancelIoEndsTheCallersReadsOnly) {
    TOwned Port(OpenPort(u"\\\\?\\COM9"));
    TOwned Event(NewEvent());
    OVERLAPPED Overlapped{};
    Overlapped.hEvent = Event.Get();
    char Buffer[4] = {};
    StartPendingRead(Port.Get(), Buffer, sizeof(Buffer), Overlapped);

    // Bound at run time as on Windows; the detour through void(*)() says the cast is meant.
    const auto CancelIo = reinterpret_cast<PFN_CancelIo>(reinterpret_cast<void (*)()>(
        Os().GetProcAddress(Os().GetModuleHandleW(u"kernel32.dll"), "CancelIo")));
    ASSERT_NE(CancelIo, nullptr);
    std::thread Other([&] { EXPECT_EQ(CancelIo(Port.Get()), TRUE); });
    Other.join();
    DWORD Count = 0;
    EXPECT_EQ(Os().GetOverlappedResult(Port.Get(), &Overlapped, &Count, FALSE), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_IO_INCOMPLETE) << "another thread's CancelIo";

    EXPECT_EQ(CancelIo(Port.Get()), TRUE);
    EXPECT_EQ(Os().WaitForSingleObject(Event.Get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(Os().GetOverlappedResult(Port.Get(), &Overlapped, &Count, TRUE), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_OPERATION_ABORTED);

    // The port goes on working after a cancel.
    Pty.Write("wxyz");
    Overlapped = OVERLAPPED{};
    if (Os().ReadFile(Port.Get(), Buffer, sizeof(Buffer), &Count, &Overlapped) == FALSE) {
        ASSERT_EQ(Os().GetOverlappedResult(Port.Get(), &Overlapped, &Count, TRUE), TRUE);
    }
    EXPECT_EQ(std::string(Buffer, 4), "wxyz");
}

TEST_F(PosixPort, ClosingEndsWaitsOnOtherThreadsAndSignalsPendingEvents) {
    TOwned Port(OpenPort(u"\\\\?\\COM9"));
    TOwned Event(Os().CreateEventW(nullptr, FALSE, FALSE, nullptr));
    OVERLAPPED Watched{};
    Watched.hEvent = Event.Get();
    char Buffer[8];
    StartPendingRead(Port.Get(), Buffer, sizeof(Buffer), Watched);

    DWORD EventWait = WAIT_FAILED;
    std::thread EventWaiter([&] { EventWait = Os().WaitForSingleObject(Event.Get(), INFINITE); });
    BOOL Result = TRUE;
    DWORD Error = 0;
    std::thread Reader([&] {
        OVERLAPPED Own{};
        char Other[8];
        DWORD Count = 0;
        if (Os().ReadFile(Port.Get(), Other, sizeof(Other), &Count, &Own) == FALSE &&
            Os().GetLastError() == ERROR_IO_PENDING) {
            Result = Os().GetOverlappedResult(Port.Get(), &Own, &Count, TRUE);
            Error = Os().GetLastError();
        }
    });
    Os().Sleep(50);
    EXPECT_EQ(Port.Close(), TRUE);
    Reader.join();
    EventWaiter.join();
    EXPECT_EQ(Result, FALSE);
    EXPECT_EQ(Error, ERROR_OPERATION_ABORTED);
    EXPECT_EQ(EventWait, WAIT_OBJECT_0);
}

TEST_F(PosixPort, ClosingWhileBothDirectionsAreBusyEndsEveryTransfer) {
    TOwned Port(OpenPort(u"\\\\?\\COM9"));
    std::atomic<bool> Stop{false};
    std::thread Echo([&] {
        // The far end sends back whatever comes, for as long as the test runs.
        char Buffer[256];
        while (!Stop) {
            pollfd Ready{Pty.MasterFd(), POLLIN, 0};
            if (::poll(&Ready, 1, 10) > 0) {
                const ssize_t Got = ::read(Pty.MasterFd(), Buffer, sizeof(Buffer));
                if (Got > 0) {
                    [[maybe_unused]] const ssize_t Put = ::write(Pty.MasterFd(), Buffer, Got);
                }
            }
        }
    });
    const HANDLE Handle = Port.Get(); // Port itself changes on close
    std::atomic<int> Rounds{0};
    const auto Transfer = [&](bool Writing) {
        char Buffer[16] = "0123456789abcde";
        DWORD Count = 0;
        for (;;) {
            OVERLAPPED Overlapped{};
            BOOL Done = Writing ? Os().WriteFile(Handle, Buffer, 16, &Count, &Overlapped)
                                : Os().ReadFile(Handle, Buffer, 16, &Count, &Overlapped);
            if (Done == FALSE && Os().GetLastError() == ERROR_IO_PENDING) {
                Done = Os().GetOverlappedResult(Handle, &Overlapped, &Count, TRUE);
            }
            if (Done == FALSE) {
                return;
            }
            ++Rounds;
        }
    };
    std::thread Writer(Transfer, true);
    std::thread Reader(Transfer, false);
    while (Rounds < 50) {
        Os().Sleep(5);
    }
    EXPECT_EQ(Port.Close(), TRUE);
    Writer.join();
    Reader.join();
    Stop = true;
    Echo.join();
}

TEST_F(PosixPort, AWriteTheDriverCannotTakeYetFinishesInTheBackground) {
    TOwned Port(OpenPort(u"\\\\?\\COM9"));
    std::string Bytes(1 << 20, '\0');
    for (std::size_t Index = 0; Index < Bytes.size(); ++Index) {
        Bytes[Index] = char((Index * 7919) >> 3);
    }
    OVERLAPPED Overlapped{};
    DWORD Count = 0;
    const auto Start = std::chrono::steady_clock::now();
    ASSERT_EQ(Os().WriteFile(Port.Get(), Bytes.data(), DWORD(Bytes.size()), &Count, &Overlapped),
              FALSE);
    ASSERT_EQ(Os().GetLastError(), ERROR_IO_PENDING);
    EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(500));

    EXPECT_EQ(Pty.Read(Bytes.size(), std::chrono::seconds(20)), Bytes);
    ASSERT_EQ(Os().GetOverlappedResult(Port.Get(), &Overlapped, &Count, TRUE), TRUE);
    EXPECT_EQ(Count, Bytes.size());
}

TEST_F(PosixPort, AHungUpLineEndsPendingAndLaterReadsWithAnError) {
    TOwned Port(OpenPort(u"\\\\?\\COM9"));
    OVERLAPPED Overlapped{};
    char Buffer[4];
    StartPendingRead(Port.Get(), Buffer, sizeof(Buffer), Overlapped);
    Pty.CloseMaster();
    DWORD Count = 0;
    EXPECT_EQ(Os().GetOverlappedResult(Port.Get(), &Overlapped, &Count, TRUE), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_DEVICE_NOT_CONNECTED);

    Overlapped = OVERLAPPED{};
    if (Os().ReadFile(Port.Get(), Buffer, sizeof(Buffer), &Count, &Overlapped) == FALSE &&
        Os().GetLastError() == ERROR_IO_PENDING) {
        EXPECT_EQ(Os().GetOverlappedResult(Port.Get(), &Overlapped, &Count, TRUE), FALSE);
    }
    EXPECT_EQ(Os().GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(PosixPort, APortOpenedWithoutOverlappedIoWaitsInsideTheCall) {
    TOwned Port(OpenPort(u"\\\\?\\COM9", 0));
    ASSERT_TRUE(Port.IsValid());
    std::thread Peer([this] {
        Os().Sleep(50);
        Pty.Write("xyz");
    });
    char Buffer[3] = {};
    DWORD Count = 0;
    EXPECT_EQ(Os().ReadFile(Port.Get(), Buffer, 3, &Count, nullptr), TRUE);
    Peer.join();
    EXPECT_EQ(Count, 3u);
    EXPECT_EQ(std::string(Buffer, 3), "xyz");
    EXPECT_EQ(Os().WriteFile(Port.Get(), "ok", 2, &Count, nullptr), TRUE);
    EXPECT_EQ(Count, 2u);
    EXPECT_EQ(Pty.Read(2), "ok");
}

TEST_F(PosixPort, TransfersOnWhatIsNotAnOpenPortFail) {
    TOwned Event(NewEvent());
    TOwned Port(OpenPort(u"\\\\?\\COM9"));
    const HANDLE Closed = Port.Get();
    char Buffer[4];
    DWORD Count = 0;
    OVERLAPPED WithBadEvent{};
    WithBadEvent.hEvent = Port.Get(); // a port is not an event
    EXPECT_EQ(Os().ReadFile(Port.Get(), Buffer, 4, &Count, &WithBadEvent), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_INVALID_HANDLE);
    Port.Close();

    OVERLAPPED Overlapped{};
    for (HANDLE Handle : {Event.Get(), Closed}) {
        EXPECT_EQ(Os().ReadFile(Handle, Buffer, 4, &Count, &Overlapped), FALSE);
        EXPECT_EQ(Os().GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(Os().WriteFile(Handle, Buffer, 4, &Count, &Overlapped), FALSE);
        EXPECT_EQ(Os().GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(Os().GetOverlappedResult(Handle, &Overlapped, &Count, FALSE), FALSE);
        EXPECT_EQ(Os().GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(Os().CancelIo(Handle), FALSE);
        EXPECT_EQ(Os().GetLastError(), ERROR_INVALID_HANDLE);
    }
}

TEST_F(PosixPort, TheSpoolerListsThePresentPorts) {
    Folder.Link("COM5", "/dev/pts/no-such-terminal");
    DWORD Needed = 0;
    DWORD Returned = 7;
    EXPECT_EQ(Os().EnumPortsW(nullptr, 1, nullptr, 0, &Needed, &Returned), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(Returned, 0u);
    std::vector<std::uint64_t> Buffer((Needed + 7) / 8);
    auto* Bytes = reinterpret_cast<BYTE*>(Buffer.data());
    ASSERT_EQ(Os().EnumPortsW(nullptr, 1, Bytes, Needed, &Needed, &Returned), TRUE);
    ASSERT_EQ(Returned, 1u);
    EXPECT_EQ(std::u16string(reinterpret_cast<PORT_INFO_1W*>(Bytes)[0].pName), u"COM9:");
}

} // namespace
