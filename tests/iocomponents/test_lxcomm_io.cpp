// Transmit and read operations of the serial component. On real pseudo-terminals: what each send
// puts on the line, counts and logs; unwaited writes that outlive their caller's buffer; the
// synchronous reads; the waits; flushing; the port properties. Through the fake OS what a real
// port cannot do on demand: a write that fails, writes that stay pending, modem lines that are on.
#include "eventloop.h"
#include "fake_winapi.h"
#include "pty.h"
#include "recording_log.h"
#include "testcomm.h"

#include <QElapsedTimer>
#include <QTimer>
#include <atomic>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using lxtest::RunUntil;
using lxtest::TFakeApi;
using lxtest::TPortFolder;
using lxtest::TPtyPair;
using lxtest::TRecordingLog;
using lxtest::TTestComm;
using winapi::DWORD;

constexpr int WaitMs = 5000;

// A pattern that shows a byte lost, doubled, out of order or taken from the wrong block.
std::string IoPattern(std::size_t Size, unsigned Seed) {
    std::string Bytes(Size, '\0');
    for (std::size_t i = 0; i < Size; ++i) {
        Bytes[i] = char((i * 13 + i / 256 + Seed) & 0xFF);
    }
    return Bytes;
}

QStringList DebugLines(const TRecordingLog& Log) {
    QStringList Lines;
    for (const lxtest::TLogLine& Line : Log.Lines()) {
        if (Line.Level == dlDebug) {
            Lines << Line.Text;
        }
    }
    return Lines;
}

// The communication errors a component reported.
class TIoErrorWatcher : public QObject {
public:
    void CommError(QObject*, quint32 CommCode, quint32 SysError, TComStateFlags State, bool&) {
        std::lock_guard Lock(fMutex);
        fErrors.push_back({CommCode, SysError, State.Bits()});
    }
    struct TError {
        quint32 CommCode, SysError, State;
        friend bool operator==(const TError&, const TError&) = default;
    };
    std::vector<TError> Errors() const {
        std::lock_guard Lock(fMutex);
        return fErrors;
    }

private:
    mutable std::mutex fMutex;
    std::vector<TError> fErrors;
};

// ---------------------------------------------------------------------------------------------
// On a real pseudo-terminal

class CommIO : public ::testing::Test {
protected:
    CommIO() {
        Folder.Link("COM9", Pty.SlavePath());
        Comm = std::make_unique<TTestComm>(nullptr, QStringLiteral("COM9"));
        Comm->SetLog(&Log);
        Comm->SetOnCommError(TOnCommErrorEvent::Bind<&TIoErrorWatcher::CommError>(&Errors));
    }
    ~CommIO() override {
        Comm.reset();
        if (fPeer.joinable()) {
            fPeer.join();
        }
    }

    void Open() {
        Comm->SetActive(true);
        ASSERT_TRUE(Comm->Active());
    }
    // The peer writes from another thread, after a pause: the test's thread may be waiting.
    void PeerWritesLater(std::string Bytes, int AfterMs) {
        fPeer = std::thread([this, Bytes = std::move(Bytes), AfterMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(AfterMs));
            Pty.Write(Bytes);
        });
    }
    void WaitUntilWaiting(quint32 Count) {
        ASSERT_TRUE(RunUntil([&] { return Comm->ReadyForRead() >= Count; }, WaitMs));
    }

    TPortFolder Folder;
    TPtyPair Pty;
    TRecordingLog Log;
    TIoErrorWatcher Errors;
    std::unique_ptr<TTestComm> Comm;

private:
    std::thread fPeer;
};

TEST_F(CommIO, EachSendPutsItsBytesOnTheLineCountsAndLogsThem) {
    Open();
    Comm->SendChar(char16_t(0x010A));
    Comm->SendAheadChar(char16_t(0x0142));
    Comm->SendString(QByteArrayLiteral("hello"));
    Comm->SendString(QByteArray());
    const char Data[] = {'x', 'y', 'z'};
    Comm->SendData(Data, 3);
    Comm->SendData(nullptr, 0);

    EXPECT_EQ(Pty.Read(10), std::string("\x0A"
                                        "Bhelloxyz"));
    EXPECT_EQ(Comm->TotalSent(), 10u);
    EXPECT_EQ(DebugLines(Log), QStringList({
                                   "lxComm: Try to send char  Ah ...",
                                   "lxComm: Try to send string hello ...",
                                   "lxComm: Try to send the data with 3 length ...",
                                   "lxComm: ... the data transmittion is OK!",
                                   "lxComm: Try to send the data with 0 length ...",
                                   "lxComm: ... the data transmittion is OK!",
                               }));
    EXPECT_TRUE(Errors.Errors().empty());
}

TEST_F(CommIO, OnAClosedPortSendsDoNothingAndQueriesGiveNothing) {
    Open();
    Comm->SendData("abc", 3);
    EXPECT_EQ(Pty.Read(3), "abc");
    Pty.Write("waiting");
    WaitUntilWaiting(7);
    Comm->SetActive(false);
    const int LinesBefore = int(Log.Lines().size());

    Comm->SendChar(u'a');
    Comm->SendAheadChar(u'b');
    Comm->SendString(QByteArrayLiteral("cd"));
    Comm->SendData("ef", 2);
    EXPECT_EQ(Pty.Read(1, std::chrono::milliseconds(100)), "");
    EXPECT_EQ(Comm->TotalSent(), 3u);
    EXPECT_EQ(int(Log.Lines().size()), LinesBefore);
    EXPECT_TRUE(Errors.Errors().empty());

    char Buffer[16] = {};
    Comm->Read(Buffer, sizeof(Buffer));
    EXPECT_EQ(Comm->ReadMax(Buffer, 16), 0);
    EXPECT_TRUE(Comm->ReadString().isEmpty());
    EXPECT_EQ(Comm->ReadyForRead(), 0u);
    EXPECT_EQ(Comm->NotYetSend(), 0u);
    EXPECT_TRUE(Comm->ModemSignals().Empty());
    QElapsedTimer Clock;
    Clock.start();
    EXPECT_FALSE(Comm->WaitForBytes(0, 1000));
    EXPECT_FALSE(Comm->WaitForSignal(msCTS, 1000));
    EXPECT_LT(Clock.elapsed(), 500);
    Comm->FlushOutputBuffer();
}

TEST_F(CommIO, UnwaitedWritesOwnTheirBytesWhileTheLineIsFull) {
    // More than the terminal holds, so that the writes are still pending when SendData returns
    // and the caller's buffers are gone.
    constexpr std::size_t Block = 256 * 1024;
    const std::string First = IoPattern(Block, 1);
    const std::string Second = IoPattern(Block, 2);
    Open();
    {
        auto Buffer = std::make_unique<std::vector<char>>(First.begin(), First.end());
        Comm->SendData(Buffer->data(), quint32(Block));
        std::fill(Buffer->begin(), Buffer->end(), '\xEE');
        Buffer = std::make_unique<std::vector<char>>(Second.begin(), Second.end());
        Comm->SendData(Buffer->data(), quint32(Block));
    }
    EXPECT_GT(Comm->NotYetSend(), 0u);
    EXPECT_EQ(Comm->TotalSent(), 2 * Block);

    const std::string Received = Pty.Read(2 * Block);
    ASSERT_EQ(Received.size(), 2 * Block);
    EXPECT_TRUE(Received == First + Second);
}

TEST_F(CommIO, ClosingAndDestroyingWithWritesPendingEndsThemPromptly) {
    Open();
    const std::string Bytes = IoPattern(512 * 1024, 3);
    Comm->SendData(Bytes.data(), quint32(Bytes.size()));
    Comm->SendData(Bytes.data(), quint32(Bytes.size()));
    ASSERT_GT(Comm->NotYetSend(), 0u);
    QElapsedTimer Clock;
    Clock.start();
    Comm->SetActive(false);
    EXPECT_FALSE(Comm->Active());
    Comm->SetActive(true);
    Comm->SendData(Bytes.data(), quint32(Bytes.size()));
    Comm.reset();
    EXPECT_LT(Clock.elapsed(), 2000);
}

TEST_F(CommIO, ReadsTakeWhatIsWaitingUpToTheirLimit) {
    Open();
    Pty.Write("1234567");
    WaitUntilWaiting(7);
    char Buffer[100] = {};
    EXPECT_EQ(Comm->ReadMax(Buffer, 100), 7);
    EXPECT_EQ(std::string(Buffer, 7), "1234567");

    Pty.Write("abcdefg");
    WaitUntilWaiting(7);
    EXPECT_EQ(Comm->ReadMax(Buffer, 0), 0);
    EXPECT_EQ(Comm->ReadMax(Buffer, -1), 0);
    EXPECT_EQ(Comm->ReadMax(Buffer, 3), 3);
    EXPECT_EQ(std::string(Buffer, 3), "abc");
    EXPECT_EQ(Comm->ReadyForRead(), 4u);
    EXPECT_EQ(Comm->ReadString(), QByteArrayLiteral("defg"));
    EXPECT_TRUE(Comm->ReadString().isEmpty());

    Pty.Write("xyz");
    WaitUntilWaiting(3);
    char All[3] = {};
    Comm->ReadAll(All);
    EXPECT_EQ(std::string(All, 3), "xyz");
    EXPECT_EQ(Comm->ReadyForRead(), 0u);
}

TEST_F(CommIO, AReadTimeOutEndsAReadAfterAPause) {
    Comm->SetTimeoutRead(50);
    Open();
    Pty.Write("abc");
    WaitUntilWaiting(3);
    char Buffer[9] = {};
    QElapsedTimer Clock;
    Clock.start();
    Comm->Read(Buffer, 9);
    EXPECT_LT(Clock.elapsed(), 1000);
    EXPECT_EQ(std::string(Buffer, 3), "abc");
}

TEST_F(CommIO, WaitForBytesReturnsOnceEnoughHaveComeAndKeepsThemForRead) {
    // With tsRxChar traced and no receiver, the receive path would take the bytes the wait counts.
    const TTraceStates Traced{tsRxChar, tsCTS};
    Comm->SetTraceStates(Traced);
    Open();
    TTraceStates DuringWait;
    QTimer::singleShot(10, [&] { DuringWait = Comm->TraceStates(); });
    PeerWritesLater("wxyz", 50);
    QElapsedTimer Clock;
    Clock.start();
    EXPECT_TRUE(Comm->WaitForBytes(4, WaitMs));
    EXPECT_LT(Clock.elapsed(), WaitMs / 2);
    EXPECT_EQ(DuringWait, TTraceStates{tsCTS});
    EXPECT_EQ(Comm->TraceStates(), Traced);
    EXPECT_EQ(Comm->ReadString(), QByteArrayLiteral("wxyz"));
}

TEST_F(CommIO, WaitForBytesGivesUpWhenTimeRunsOutOrThePortCloses) {
    Open();
    QElapsedTimer Clock;
    Clock.start();
    EXPECT_TRUE(Comm->WaitForBytes(0, 1000));
    EXPECT_LT(Clock.elapsed(), 100);

    Pty.Write("ab");
    WaitUntilWaiting(2);
    Clock.restart();
    EXPECT_FALSE(Comm->WaitForBytes(3, 60));
    EXPECT_GE(Clock.elapsed(), 55);
    EXPECT_LT(Clock.elapsed(), 1000);

    QTimer::singleShot(30, [&] { Comm->SetActive(false); });
    Clock.restart();
    EXPECT_FALSE(Comm->WaitForBytes(3, WaitMs));
    EXPECT_LT(Clock.elapsed(), WaitMs / 2);
    EXPECT_TRUE(Comm->TraceStates().Empty());
}

TEST_F(CommIO, FlushReturnsWhenTheQueuedOutputHasGone) {
    const std::string Bytes = IoPattern(256 * 1024, 4);
    Open();
    Comm->SendData(Bytes.data(), quint32(Bytes.size()));
    ASSERT_GT(Comm->NotYetSend(), 0u);
    std::string Received;
    std::thread Reader([&] { Received = Pty.Read(Bytes.size()); });
    Comm->FlushOutputBuffer();
    EXPECT_EQ(Comm->NotYetSend(), 0u);
    Reader.join();
    EXPECT_TRUE(Received == Bytes);
}

TEST_F(CommIO, CommPropReadsThePortWhileOpenAndKeepsTheLastValues) {
    const winapi::COMMPROP* Before = Comm->CommProp();
    EXPECT_EQ(Before->dwCurrentRxQueue, 0u);
    EXPECT_EQ(Before->dwServiceMask, 0u);
    Comm->SetBufferInSize(4000);
    Comm->SetBufferOutSize(3000);
    Open();
    const winapi::COMMPROP* Open = Comm->CommProp();
    EXPECT_EQ(Open, Before);
    EXPECT_EQ(Open->dwCurrentRxQueue, 4000u);
    EXPECT_EQ(Open->dwCurrentTxQueue, 3000u);
    EXPECT_EQ(Open->dwServiceMask, winapi::SP_SERIALCOMM);
    Comm->SetActive(false);
    Comm->SetBufferInSize(5000);
    EXPECT_EQ(Comm->CommProp()->dwCurrentRxQueue, 4000u);
}

// ---------------------------------------------------------------------------------------------
// Through the fake OS

constexpr char16_t FakePort[] = u"\\\\?\\COM3";

class CommIOFake : public ::testing::Test {
protected:
    CommIOFake() : fSaved(winapi::SetApi(&Fake)) { Fake.AddDevice(FakePort); }
    ~CommIOFake() override {
        Comm.reset();
        winapi::SetApi(fSaved);
    }

    // A legacy system cannot toggle RTS by itself: with RS485Mode the component does.
    void Make(bool SoftwareRS485 = false) {
        if (SoftwareRS485) {
            Fake.SetPlatformId(winapi::VER_PLATFORM_WIN32_WINDOWS);
        }
        Comm = std::make_unique<TTestComm>(nullptr, QStringLiteral("COM3"));
        Comm->SetLog(&Log);
        Comm->SetOnCommError(TOnCommErrorEvent::Bind<&TIoErrorWatcher::CommError>(&Errors));
        Comm->SetRS485Mode(SoftwareRS485);
        Comm->SetActive(true);
        ASSERT_TRUE(Comm->Active());
        ASSERT_EQ(Comm->IsSoftwareRS485(), SoftwareRS485);
        Fake.ClearCalls();
    }
    std::vector<std::uintptr_t> EscapeCodes() const {
        std::vector<std::uintptr_t> Codes;
        for (const lxtest::TFakeCall& Call : Fake.Calls("EscapeCommFunction")) {
            Codes.push_back(Call.Args[1]);
        }
        return Codes;
    }
    int SleepsOf(std::uintptr_t Ms) const {
        int Count = 0;
        for (const lxtest::TFakeCall& Call : Fake.Calls("Sleep")) {
            Count += Call.Args[0] == Ms;
        }
        return Count;
    }

    TFakeApi Fake;
    TRecordingLog Log;
    TIoErrorWatcher Errors;
    std::unique_ptr<TTestComm> Comm;

private:
    winapi::TWinApi* fSaved;
};

struct TFailedSend {
    const char* Name;
    const char* Operation;
    std::function<void(TTestComm&)> Send;
};

class CommFailedSends : public CommIOFake,
                        public ::testing::WithParamInterface<std::tuple<TFailedSend, bool>> {};

TEST_P(CommFailedSends, AreReportedAsCommunicationErrorsAndNotCounted) {
    const auto& [Send, SoftwareRS485] = GetParam();
    Make(SoftwareRS485);
    Fake.ScriptNext(Send.Operation, lxtest::Fail(winapi::ERROR_GEN_FAILURE));
    Send.Send(*Comm);

    EXPECT_EQ(Comm->TotalSent(), 0u);
    const std::vector<TIoErrorWatcher::TError> Reported = Errors.Errors();
    ASSERT_EQ(Reported.size(), 1u);
    EXPECT_EQ(Reported[0], (TIoErrorWatcher::TError{0, winapi::ERROR_GEN_FAILURE, 0}));
    EXPECT_EQ(Log.Texts().filter("lxComm: Communication Error 0:31 0").size(), 1);
    EXPECT_TRUE(Log.Texts().filter("transmittion is OK").isEmpty());
    // In software RS-485 RTS goes up for the send and down again with the error.
    const std::vector<std::uintptr_t> Expected =
        SoftwareRS485 ? std::vector<std::uintptr_t>{winapi::SETRTS, winapi::CLRRTS}
                      : std::vector<std::uintptr_t>{};
    EXPECT_EQ(EscapeCodes(), Expected);
}

INSTANTIATE_TEST_SUITE_P(
    EachSend, CommFailedSends,
    ::testing::Combine(::testing::Values(TFailedSend{"SendChar", "WriteFile",
                                                     [](TTestComm& C) { C.SendChar(u'a'); }},
                                         TFailedSend{"SendAheadChar", "TransmitCommChar",
                                                     [](TTestComm& C) { C.SendAheadChar(u'a'); }},
                                         TFailedSend{"SendString", "WriteFile",
                                                     [](TTestComm& C) {
                                                         C.SendString(QByteArrayLiteral("ab"));
                                                     }},
                                         TFailedSend{"SendData", "WriteFile",
                                                     [](TTestComm& C) { C.SendData("ab", 2); }}),
                       ::testing::Bool()),
    [](const auto& Info) {
        return std::string(std::get<0>(Info.param).Name) +
               (std::get<1>(Info.param) ? "SoftwareRS485" : "");
    });

TEST_F(CommIOFake, EveryPendingWriteHasItsOwnRecordUntilItFinishes) {
    Make();
    // Two writes that stay pending: each with its own record and event.
    Fake.ScriptNext("WriteFile", lxtest::Pending(), 2);
    Fake.ScriptNext("GetOverlappedResult", lxtest::Fail(winapi::ERROR_IO_INCOMPLETE), 2);
    Comm->SendData("one", 3);
    Comm->SendData("two", 3);
    std::vector<lxtest::TFakeCall> Writes = Fake.Calls("WriteFile");
    ASSERT_EQ(Writes.size(), 2u);
    const std::uintptr_t FirstRecord = Writes[0].Args[2];
    ASSERT_NE(FirstRecord, Writes[1].Args[2]);
    const winapi::HANDLE FirstEvent = Writes[0].Overlapped->hEvent;
    const winapi::HANDLE SecondEvent = Writes[1].Overlapped->hEvent;
    ASSERT_NE(FirstEvent, nullptr);
    ASSERT_NE(FirstEvent, SecondEvent);
    EXPECT_EQ(Comm->TotalSent(), 6u);

    // The system reports the first one finished: the next write may take its record, not the
    // second's, which is still pending.
    Fake.SetEvent(FirstEvent);
    Comm->SendData("three", 5);
    Writes = Fake.Calls("WriteFile");
    ASSERT_EQ(Writes.size(), 3u);
    EXPECT_EQ(Writes[2].Args[2], FirstRecord);
    EXPECT_EQ(Fake.Output(FakePort), std::vector<winapi::BYTE>({'t', 'h', 'r', 'e', 'e'}));

    // The port's close ends the last pending write; the component's end waits for that.
    Fake.SetEvent(SecondEvent);
    Comm.reset();
    EXPECT_EQ(Fake.OpenHandles(), 0);
}

TEST_F(CommIOFake, WaitForSignalPollsTheModemLines) {
    Make();
    Fake.SetModemStatus(FakePort, winapi::MS_DSR_ON);
    EXPECT_TRUE(Comm->WaitForSignal(msDSR, 1000));
    EXPECT_EQ(SleepsOf(5), 0);

    Fake.ScriptNext("GetCommModemStatus", lxtest::ModemStatus(0), 2);
    Fake.ScriptNext("GetCommModemStatus", lxtest::ModemStatus(winapi::MS_CTS_ON));
    EXPECT_TRUE(Comm->WaitForSignal(msCTS, 1000));
    EXPECT_EQ(SleepsOf(5), 2);

    Fake.ClearCalls();
    EXPECT_FALSE(Comm->WaitForSignal(msRing, 20));
    EXPECT_GE(SleepsOf(5), 4);
    EXPECT_LE(SleepsOf(5), 6);
}

} // namespace
