// Event processing through the event and message threads for what a real device cannot produce
// on demand: line errors (all five bits of a vanished port, a parity error with bytes waiting),
// RING, each way WaitCommEvent can fail, the transmit-empty event of software RS-485, short and
// stuck reads, failing posts, and foreign messages on the message thread's queue. The fake OS
// plays the port; the threads are real.
#include "eventloop.h"
#include "fake_winapi.h"
#include "forwarding_api.h"
#include "recording_log.h"
#include "testcomm.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using lxtest::RunFor;
using lxtest::RunUntil;
using lxtest::TFakeApi;
using lxtest::TRecordingLog;
using lxtest::TTestComm;
using winapi::DWORD;

constexpr char16_t PortPath[] = u"\\\\?\\COM3";
constexpr int WaitMs = 3000;

// What the component reported, from whichever thread it reported it on.
class TEventsWatcher : public QObject {
public:
    void Traced(QObject*, TTraceStates Event) {
        std::lock_guard Lock(fMutex);
        fTraces.push_back(Event.Bits());
    }
    void CommError(QObject*, quint32 CommCode, quint32 SysError, TComStateFlags State,
                   bool& flFlashBuffers) {
        std::lock_guard Lock(fMutex);
        fErrors.push_back({CommCode, SysError, State.Bits(), flFlashBuffers});
    }
    void Received(QObject*, const void* Buffer, quint32 Len) {
        std::lock_guard Lock(fMutex);
        fReceived.append(static_cast<const char*>(Buffer), Len);
    }
    void Sent(QObject*) {
        std::lock_guard Lock(fMutex);
        ++fSent;
    }
    void Closed(QObject*) {
        std::lock_guard Lock(fMutex);
        ++fClosed;
        fThreads.push_back(QThread::currentThread());
    }
    void Notified(QObject*, int Code) {
        std::lock_guard Lock(fMutex);
        fNotified.push_back(Code);
        fThreads.push_back(QThread::currentThread());
    }

    struct TError {
        quint32 CommCode, SysError, State;
        bool FlashOnEntry;
    };
    std::vector<std::uint32_t> Traces() const { return Locked(fTraces); }
    std::vector<TError> Errors() const { return Locked(fErrors); }
    std::string ReceivedBytes() const { return Locked(fReceived); }
    int SentCount() const { return Locked(fSent); }
    int ClosedCount() const { return Locked(fClosed); }
    std::vector<int> Notifications() const { return Locked(fNotified); }
    // The threads OnClose and the notifications ran on, in order.
    std::vector<QThread*> CloseThreads() const { return Locked(fThreads); }

private:
    template <class T> T Locked(const T& Value) const {
        std::lock_guard Lock(fMutex);
        return Value;
    }

    mutable std::mutex fMutex;
    std::vector<std::uint32_t> fTraces;
    std::vector<TError> fErrors;
    std::string fReceived;
    int fSent = 0;
    int fClosed = 0;
    std::vector<int> fNotified;
    std::vector<QThread*> fThreads;
};

// Ends the test binary when a test has not reached its end in time: a deadlock would otherwise
// hold the whole suite until its time-out, with nothing said about where.
class TWatchdog {
public:
    TWatchdog(int Seconds, const char* What)
        : fThread([this, Seconds, What] {
              std::unique_lock Lock(fMutex);
              if (!fDone.wait_for(Lock, std::chrono::seconds(Seconds), [this] { return fEnded; })) {
                  std::fprintf(stderr, "Deadlock: %s\n", What);
                  std::abort();
              }
          }) {}
    ~TWatchdog() {
        {
            std::lock_guard Lock(fMutex);
            fEnded = true;
        }
        fDone.notify_all();
        fThread.join();
    }
    TWatchdog(const TWatchdog&) = delete;
    TWatchdog& operator=(const TWatchdog&) = delete;

private:
    std::mutex fMutex;
    std::condition_variable fDone;
    bool fEnded = false;
    std::thread fThread;
};

// A data processor that reports every send completion as handled.
class TEventsCompletingProcessor : public TlxCustomDataProcessor {
public:
    void DoAfterSendComplete(bool& flIgnore) override { flIgnore = true; }
};

class CommEvents : public ::testing::Test {
protected:
    CommEvents() : fSaved(winapi::SetApi(&Fake)) { Fake.AddDevice(PortPath); }
    ~CommEvents() override {
        Comm.reset();
        winapi::SetApi(fSaved);
    }

    // A component on the fake COM3 that reports everything to Watcher and logs into Log.
    TTestComm& MakeComm() {
        Comm = std::make_unique<TTestComm>(nullptr, QStringLiteral("COM3"));
        Comm->SetLog(&Log);
        Comm->SetOnTraceState(TOnTraceEvent::Bind<&TEventsWatcher::Traced>(&Watcher));
        Comm->SetOnCommError(TOnCommErrorEvent::Bind<&TEventsWatcher::CommError>(&Watcher));
        Comm->SetOnAfterSend(TOnSent::Bind<&TEventsWatcher::Sent>(&Watcher));
        Comm->SetOnClose(TNotifyEvent::Bind<&TEventsWatcher::Closed>(&Watcher));
        Comm->NotifyAdd(TlxNotifyEvent::Bind<&TEventsWatcher::Notified>(&Watcher));
        return *Comm;
    }
    void Open() {
        Comm->SetActive(true);
        ASSERT_TRUE(Comm->Active());
        TracesAtOpen = Watcher.Traces().size();
    }
    void BindReceiver() {
        Comm->SetOnAfterReceive(TOnReceived::Bind<&TEventsWatcher::Received>(&Watcher));
    }
    std::vector<std::uint32_t> TracesSinceOpen() const {
        const std::vector<std::uint32_t> All = Watcher.Traces();
        return {All.begin() + std::ptrdiff_t(TracesAtOpen), All.end()};
    }
    int LinesWith(const QString& Text) const { return int(Log.Texts().filter(Text).size()); }

    TFakeApi Fake;
    TRecordingLog Log;
    TEventsWatcher Watcher;
    std::unique_ptr<TTestComm> Comm;
    std::size_t TracesAtOpen = 0;

private:
    winapi::TWinApi* fSaved;
};

TEST_F(CommEvents, AllFiveLineErrorsCloseThePortAsLostAndKeepConnectionTicksOnce) {
    TTestComm& C = MakeComm();
    C.SetKeepConnection(true);
    Open();
    Fake.ScriptNext("ClearCommError", lxtest::CommErrors(0x1F));
    Fake.QueueInput(PortPath, {1, 2, 3});
    ASSERT_TRUE(RunUntil([&] { return !C.Active(); }, WaitMs));
    QElapsedTimer SinceLoss;
    SinceLoss.start();

    EXPECT_TRUE(Watcher.Errors().empty()) << "a lost port is no communication error";
    EXPECT_EQ(Watcher.ClosedCount(), 1);
    EXPECT_EQ(Watcher.Notifications(), (std::vector<int>{2, 1}));
    EXPECT_EQ(Fake.CallCount("PurgeComm"), 0) << "nothing is purged on a lost port";
    EXPECT_EQ(Watcher.ReceivedBytes(), "");

    const QString KeepLine = QStringLiteral("lxComm: Try to keep connection ...");
    ASSERT_TRUE(RunUntil([&] { return LinesWith(KeepLine) > 0; }, 4000));
    EXPECT_GE(SinceLoss.elapsed(), 1800);
    EXPECT_LE(SinceLoss.elapsed(), 3500);
    RunFor(2500);
    EXPECT_EQ(LinesWith(KeepLine), 1) << Log.Texts().join('\n').toStdString();
}

TEST_F(CommEvents, LineErrorsAreReportedAndTheBytesWaitForTheNextEvent) {
    struct TCase {
        DWORD Errors;
        DWORD HoldBits;
        QString Line;
        std::uint32_t State;
    };
    const TCase Cases[] = {
        {winapi::CE_RXPARITY, 0, QStringLiteral("lxComm: Communication Error 4:0 0"), 0},
        {winapi::CE_FRAME | winapi::CE_OVERRUN,
         winapi::COMSTAT_fCtsHold | winapi::COMSTAT_fXoffHold,
         QStringLiteral("lxComm: Communication Error 10:0 9"), 0x09},
        {winapi::CE_BREAK, winapi::COMSTAT_fTxim,
         QStringLiteral("lxComm: Communication Error 16:0 40"), 0x40},
    };
    TTestComm& C = MakeComm();
    BindReceiver();
    Open();
    std::string Sent;
    for (const TCase& Case : Cases) {
        const std::size_t ErrorsBefore = Watcher.Errors().size();
        Fake.ScriptNext("ClearCommError", lxtest::CommErrors(Case.Errors, {Case.HoldBits, 3, 0}));
        Fake.ClearCalls();
        Fake.QueueInput(PortPath, {'a', 'b', 'c'});
        Sent += "abc";
        ASSERT_TRUE(RunUntil([&] { return Watcher.Errors().size() > ErrorsBefore; }, WaitMs));
        const auto Error = Watcher.Errors().back();
        EXPECT_EQ(Error.CommCode, Case.Errors);
        EXPECT_EQ(Error.SysError, 0u);
        EXPECT_EQ(Error.State, Case.State);
        EXPECT_FALSE(Error.FlashOnEntry);
        EXPECT_EQ(LinesWith(Case.Line), 1) << Log.Texts().join('\n').toStdString();
        EXPECT_EQ(Fake.CallCount("ReadFile"), 0) << "the bytes are not read in this pass";
        EXPECT_EQ(C.TotalReceived(), 0u);
    }
    EXPECT_TRUE(C.Active());

    // The next event without errors reads everything that waited.
    Fake.QueueInput(PortPath, {'!'});
    Sent += "!";
    ASSERT_TRUE(RunUntil([&] { return Watcher.ReceivedBytes().size() == Sent.size(); }, WaitMs));
    EXPECT_EQ(Watcher.ReceivedBytes(), Sent);
    EXPECT_EQ(C.TotalReceived(), Sent.size());
}

TEST_F(CommEvents, RingIsTracedAndTheRingMonitorStaysChecked) {
    TTestComm& C = MakeComm();
    QCheckBox Ring;
    C.SetMonitorRing(&Ring);
    C.SetTraceStates({tsRing, tsCTS});
    Open();
    Fake.RaiseCommEvent(PortPath, winapi::EV_RING);
    ASSERT_TRUE(RunUntil([&] { return TracesSinceOpen().size() == 1; }, WaitMs));
    EXPECT_EQ(TracesSinceOpen()[0], TTraceStates{tsRing}.Bits());
    EXPECT_TRUE(Ring.isChecked());

    // The ring line going off does not clear it: only the owner does.
    Fake.RaiseCommEvent(PortPath, winapi::EV_CTS);
    ASSERT_TRUE(RunUntil([&] { return TracesSinceOpen().size() == 2; }, WaitMs));
    EXPECT_EQ(TracesSinceOpen()[1], TTraceStates{tsCTS}.Bits());
    EXPECT_TRUE(Ring.isChecked());
    C.SetActive(false);
    EXPECT_TRUE(Ring.isChecked());
}

TEST_F(CommEvents, EveryEventBitReachesItsTraceState) {
    TTestComm& C = MakeComm();
    const TTraceStates All = {tsRxFlag, tsCTS,  tsDSR,      tsRLSD,   tsBreak,
                              tsErr,    tsRing, tsRx80Full, tsEvent1, tsEvent2};
    C.SetTraceStates(All);
    Open();
    // EV_PERR has no trace state; EV_RXCHAR and EV_TXEMPTY drive other paths.
    const DWORD Reported = 0x1DFA;
    Fake.RaiseCommEvent(PortPath, Reported);
    ASSERT_TRUE(RunUntil([&] { return !TracesSinceOpen().empty(); }, WaitMs));
    EXPECT_EQ(TracesSinceOpen()[0], All.Bits());
}

struct TWaitFailure {
    const char* Name;
    lxtest::TFakeResult Result;
    // The thread goes on waiting and a later event still arrives.
    bool GoesOn;
    // The port counts as lost.
    bool Lost;
};

void PrintTo(const TWaitFailure& Case, std::ostream* Out) {
    *Out << Case.Name;
}

class CommWaitFailures : public CommEvents, public ::testing::WithParamInterface<TWaitFailure> {};

TEST_P(CommWaitFailures, EndTheThreadOrThePortAsTheirCodeSays) {
    const TWaitFailure& Case = GetParam();
    TTestComm& C = MakeComm();
    BindReceiver();
    // The first wait ends with an event; the second fails.
    Fake.ScriptNext("WaitCommEvent", lxtest::AsUsual());
    Fake.ScriptNext("WaitCommEvent", Case.Result);
    Open();
    Fake.QueueInput(PortPath, {'x', 'y'});
    if (Case.Lost) {
        ASSERT_TRUE(RunUntil([&] { return Watcher.Notifications().size() == 2; }, WaitMs));
        EXPECT_FALSE(C.Active());
        EXPECT_EQ(Watcher.ClosedCount(), 1);
        EXPECT_EQ(Watcher.Notifications(), (std::vector<int>{2, 1}));
        return;
    }
    ASSERT_TRUE(RunUntil([&] { return Watcher.ReceivedBytes() == "xy"; }, WaitMs));
    Fake.QueueInput(PortPath, {'z'});
    if (Case.GoesOn) {
        ASSERT_TRUE(RunUntil([&] { return Watcher.ReceivedBytes() == "xyz"; }, WaitMs));
    } else {
        RunFor(200);
        EXPECT_EQ(Watcher.ReceivedBytes(), "xy") << "the event thread has ended";
    }
    EXPECT_TRUE(C.Active());
    EXPECT_EQ(Watcher.ClosedCount(), 0);
    QElapsedTimer Closing;
    Closing.start();
    C.SetActive(false);
    EXPECT_LT(Closing.elapsed(), 1000);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, CommWaitFailures,
    ::testing::Values(
        TWaitFailure{"InvalidParameter", lxtest::Fail(winapi::ERROR_INVALID_PARAMETER), true,
                     false},
        TWaitFailure{"InvalidHandle", lxtest::Fail(winapi::ERROR_INVALID_HANDLE), false, false},
        TWaitFailure{"GeneralFailure", lxtest::Fail(winapi::ERROR_GEN_FAILURE), false, true},
        TWaitFailure{"DeviceNotConnected", lxtest::Fail(winapi::ERROR_DEVICE_NOT_CONNECTED), false,
                     true},
        TWaitFailure{"AccessDenied", lxtest::Fail(winapi::ERROR_ACCESS_DENIED), false, true}),
    [](const ::testing::TestParamInfo<TWaitFailure>& Info) { return Info.param.Name; });

TEST_F(CommEvents, TransmitEmptyLowersRtsInSoftwareRS485AndRaisesOnAfterSendOnlyWhenTraced) {
    struct TCase {
        bool Traced;
        bool ProcessorHandles;
        bool Raised;
    };
    const TCase Cases[] = {{false, false, false}, {true, false, true}, {true, true, false}};
    Fake.SetPlatformId(winapi::VER_PLATFORM_WIN32_WINDOWS);
    TTestComm& C = MakeComm();
    TEventsCompletingProcessor Processor;
    C.SetRS485Mode(true);
    Open();
    for (const TCase& Case : Cases) {
        C.SetTraceStates(Case.Traced ? TTraceStates{tsTxEmpty} : TTraceStates{});
        C.SetDataProcessor(Case.ProcessorHandles ? &Processor : nullptr);
        EXPECT_EQ(Fake.CommMask(PortPath) & winapi::EV_TXEMPTY, winapi::EV_TXEMPTY)
            << "software RS-485 always waits for the transmit queue to run empty";
        const int SentBefore = Watcher.SentCount();
        const std::size_t TracesBefore = TracesSinceOpen().size();
        Fake.ClearCalls();
        Fake.RaiseCommEvent(PortPath, winapi::EV_TXEMPTY);
        ASSERT_TRUE(RunUntil([&] { return TracesSinceOpen().size() > TracesBefore; }, WaitMs));
        const auto Escapes = Fake.Calls("EscapeCommFunction");
        ASSERT_EQ(Escapes.size(), 1u);
        EXPECT_EQ(Escapes[0].Args[1], winapi::CLRRTS);
        EXPECT_EQ(TracesSinceOpen().back(), TTraceStates{tsCTS}.Bits()) << "RTS changes are traced";
        EXPECT_EQ(Watcher.SentCount() - SentBefore, Case.Raised ? 1 : 0)
            << "traced " << Case.Traced << ", processor handles " << Case.ProcessorHandles;
    }
    C.SetDataProcessor(nullptr);
}

// A pseudo-terminal hands every written byte to the other side at once, so only the fake can
// hold bytes in an output queue.
TEST_F(CommEvents, ClosingDiscardsTheUnsentBytesBeforeReleasingThePort) {
    struct TCase {
        DWORD OutQueue;
        bool Purged;
    };
    for (const TCase Case : {TCase{0, false}, TCase{120, true}}) {
        TTestComm& C = MakeComm();
        Open();
        Fake.ClearCalls();
        // NotYetSend asks first.
        Fake.ScriptNext("ClearCommError", lxtest::CommErrors(0, {0, 0, Case.OutQueue}));
        C.SetActive(false);
        std::vector<std::string> Order;
        for (const lxtest::TFakeCall& Call : Fake.Calls()) {
            if (Call.Operation == "PurgeComm") {
                Order.push_back("PurgeComm " + std::to_string(Call.Args[1]));
            } else if (Call.Operation == "CloseHandle") {
                Order.push_back("CloseHandle");
            }
        }
        // The port's handle is the first one closed; the event thread's wait event follows.
        const std::vector<std::string> Expected =
            Case.Purged ? std::vector<std::string>{"PurgeComm 15", "CloseHandle"}
                        : std::vector<std::string>{"CloseHandle"};
        Order.resize(std::min(Order.size(), Expected.size()));
        EXPECT_EQ(Order, Expected) << "unsent bytes: " << Case.OutQueue;
    }
}

TEST_F(CommEvents, ForeignMessagesAreDispatchedNotProcessed) {
    MakeComm();
    BindReceiver();
    Open();
    Fake.QueueInput(PortPath, {'1'});
    ASSERT_TRUE(RunUntil([&] { return Watcher.ReceivedBytes() == "1"; }, WaitMs));
    const auto Posts = Fake.Calls("PostThreadMessageW");
    ASSERT_FALSE(Posts.empty());
    const DWORD MsgThread = DWORD(Posts.back().Args[0]);
    EXPECT_EQ(Posts.back().Args[1], CommMsgComEvent());

    // Another number of the registered range.
    const winapi::UINT Foreign = std::max(CommMsgComEvent(), CommMsgQuitComEvent()) + 1;
    Fake.ClearCalls();
    ASSERT_TRUE(winapi::Api().PostThreadMessageW(MsgThread, Foreign, winapi::EV_RXCHAR, 0));
    ASSERT_TRUE(RunUntil([&] { return Fake.CallCount("DispatchMessageW") == 1; }, WaitMs));
    EXPECT_EQ(Fake.Calls("DispatchMessageW")[0].Args[1], Foreign);
    EXPECT_EQ(Fake.CallCount("ClearCommError"), 0);

    // The thread goes on with the next event.
    Fake.QueueInput(PortPath, {'2'});
    ASSERT_TRUE(RunUntil([&] { return Watcher.ReceivedBytes() == "12"; }, WaitMs));
}

// UseMainThread false: the monitor is set in a step on the GUI thread that the message thread
// waits for, and the control's handler closes the port from inside that step.
TEST_F(CommEvents, AMonitorHandlerThatClosesThePortDoesNotWaitForTheStepItRunsIn) {
    TTestComm& C = MakeComm();
    C.SetUseMainThread(false);
    QCheckBox Ring;
    C.SetMonitorRing(&Ring);
    C.SetTraceStates({tsRing});
    QObject::connect(&Ring, &QCheckBox::toggled, &Ring, [&C] { C.SetActive(false); });
    Open();
    const TWatchdog Watchdog(30, "a close from a monitor's handler waits for its own step");
    Fake.RaiseCommEvent(PortPath, winapi::EV_RING);
    ASSERT_TRUE(RunUntil([&] { return !C.Active(); }, WaitMs));
    EXPECT_TRUE(Ring.isChecked());
    // The message thread ends by itself once the step has returned; reopening waits for it.
    C.SetActive(true);
    EXPECT_TRUE(C.Active());
    C.SetActive(false);
}

// A transmit-empty event processed after the next send has raised RTS again belongs to the frame
// before: RTS stays up until the output has really left.
TEST_F(CommEvents, SoftwareRS485LowersRtsOnlyWhenNothingIsLeftToSend) {
    struct TCase {
        DWORD OutQueue;
        bool Lowered;
    };
    const TCase Cases[] = {{8, false}, {0, true}};
    Fake.SetPlatformId(winapi::VER_PLATFORM_WIN32_WINDOWS);
    TTestComm& C = MakeComm();
    C.SetRS485Mode(true);
    C.SetTraceStates({tsTxEmpty});
    Open();
    for (const TCase& Case : Cases) {
        const int SentBefore = Watcher.SentCount();
        Fake.ClearCalls();
        // Every look at the line in this pass finds the output queue as the case says.
        Fake.ScriptNext("ClearCommError", lxtest::CommErrors(0, {0, 0, Case.OutQueue}), 2);
        Fake.RaiseCommEvent(PortPath, winapi::EV_TXEMPTY);
        ASSERT_TRUE(RunUntil([&] { return Watcher.SentCount() > SentBefore; }, WaitMs));
        const auto Escapes = Fake.Calls("EscapeCommFunction");
        ASSERT_EQ(Escapes.size(), Case.Lowered ? 1u : 0u) << "bytes queued: " << Case.OutQueue;
        if (Case.Lowered) {
            EXPECT_EQ(Escapes[0].Args[1], winapi::CLRRTS);
        }
    }
}

// The bytes an event found waiting may be fewer when the read comes (a read time-out, a purge in
// between): only what the read took is handed on, never what the buffer held from before.
TEST_F(CommEvents, TheReceivePathHandsOnOnlyWhatItsReadTook) {
    struct TCase {
        const char* Name;
        std::vector<winapi::BYTE> Input; // what the port holds when the event comes
        bool ReadStaysPending;           // the bytes went before the read began
        std::string Received;
    };
    const TCase Cases[] = {
        {"cut short", {'a', 'b'}, false, "ab"},
        {"purged before the read", {}, true, ""},
    };
    TTestComm& C = MakeComm();
    BindReceiver();
    Open();
    Fake.QueueInput(PortPath, {'1', '2', '3', '4', '5', '6'});
    ASSERT_TRUE(RunUntil([&] { return Watcher.ReceivedBytes() == "123456"; }, WaitMs));
    std::string Expected = "123456";
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        // The look at the line counts six bytes waiting.
        Fake.ScriptNext("ClearCommError", lxtest::CommErrors(0, {0, 6, 0}));
        if (Case.ReadStaysPending) {
            Fake.ScriptNext("ReadFile", lxtest::Pending());
        }
        if (Case.Input.empty()) {
            Fake.RaiseCommEvent(PortPath, winapi::EV_RXCHAR);
        } else {
            Fake.QueueInput(PortPath, Case.Input);
        }
        // A byte after the case's pass (a stuck read gives up after a while) shows that the
        // pass has ended.
        ASSERT_TRUE(RunUntil([&] { return Fake.ScriptsLeft() == 0; }, WaitMs));
        RunFor(300);
        Fake.QueueInput(PortPath, {'z'});
        Expected += Case.Received + "z";
        ASSERT_TRUE(RunUntil([&] { return Watcher.ReceivedBytes().size() >= Expected.size(); },
                             WaitMs));
        RunFor(50);
        EXPECT_EQ(Watcher.ReceivedBytes(), Expected);
    }
    EXPECT_TRUE(C.Active());
}

// A loss found on another thread closes the port there; the owner hears of it on its own thread,
// where a handler may touch its widgets.
TEST_F(CommEvents, ALossIsAnnouncedOnTheComponentsThread) {
    struct TCase {
        const char* Name;
        bool UseMainThread;
        const char* Operation;
        lxtest::TFakeResult Result;
        // The event thread's waits are scripted before it starts; the look at the line after
        // the open's own looks.
        bool BeforeOpen;
    };
    const TCase Cases[] = {
        {"found by the event thread", true, "WaitCommEvent",
         lxtest::Fail(winapi::ERROR_DEVICE_NOT_CONNECTED), true},
        {"found by the message thread", false, "ClearCommError", lxtest::CommErrors(0x1F), false},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TTestComm& C = MakeComm();
        C.SetUseMainThread(Case.UseMainThread);
        if (Case.BeforeOpen) {
            // The first wait ends with the bytes' event; the next one finds the port gone.
            Fake.ScriptNext(Case.Operation, lxtest::AsUsual());
            Fake.ScriptNext(Case.Operation, Case.Result);
        }
        Open();
        if (!Case.BeforeOpen) {
            Fake.ScriptNext(Case.Operation, Case.Result);
        }
        const std::size_t Before = Watcher.CloseThreads().size();
        Fake.QueueInput(PortPath, {'x'});
        ASSERT_TRUE(RunUntil([&] { return Watcher.CloseThreads().size() == Before + 2; }, WaitMs));
        EXPECT_FALSE(C.Active());
        const std::vector<QThread*> Threads = Watcher.CloseThreads();
        EXPECT_EQ(Threads[Before], C.thread()) << "OnClose";
        EXPECT_EQ(Threads[Before + 1], C.thread()) << "notification code 1";
        EXPECT_EQ(Watcher.Notifications().back(), 1);
        Comm.reset();
    }
}

// A message thread whose queue refuses the post (full, or the thread gone) must not make the
// event thread spin a core: the post is given up after a bounded number of tries.
TEST_F(CommEvents, APostThatKeepsFailingIsGivenUp) {
    MakeComm();
    BindReceiver();
    Open();
    constexpr int Refusals = 2000;
    Fake.ScriptNext("PostThreadMessageW", lxtest::Fail(winapi::ERROR_NOT_ENOUGH_QUOTA), Refusals);
    Fake.ClearCalls();
    Fake.QueueInput(PortPath, {'1'});
    RunFor(300);
    EXPECT_LE(Fake.CallCount("PostThreadMessageW"), 200);
    EXPECT_EQ(Watcher.ReceivedBytes(), "") << "the event was dropped";
}

// Stands in for the OS and holds the message thread's first look at the line until the main
// thread has read what that look counted: a read between the count and its bookkeeping.
class TCountRaceApi : public lxtest::TForwardingApi {
public:
    explicit TCountRaceApi(winapi::TWinApi& Target)
        : TForwardingApi(Target), fMain(std::this_thread::get_id()) {}

    winapi::BOOL ClearCommError(winapi::HANDLE hFile, DWORD* lpErrors,
                                winapi::COMSTAT* lpStat) override {
        const winapi::BOOL Result = fTarget.ClearCommError(hFile, lpErrors, lpStat);
        std::unique_lock Lock(fMutex);
        if (std::this_thread::get_id() != fMain && !fCounted) {
            fCounted = true;
            fChanged.notify_all();
            // Bounded, in case the read waits for this look to end.
            fChanged.wait_for(Lock, std::chrono::milliseconds(300), [this] { return fRead; });
        }
        return Result;
    }
    void WaitUntilCounted() {
        std::unique_lock Lock(fMutex);
        fChanged.wait_for(Lock, std::chrono::seconds(5), [this] { return fCounted; });
    }
    void ReadDone() {
        std::lock_guard Lock(fMutex);
        fRead = true;
        fChanged.notify_all();
    }

private:
    const std::thread::id fMain;
    std::mutex fMutex;
    std::condition_variable fChanged;
    bool fCounted = false;
    bool fRead = false;
};

TEST_F(CommEvents, ABytesCountedWhileAReadTakesItIsCountedOnce) {
    TCountRaceApi Racing(Fake);
    winapi::TWinApi* const Saved = winapi::SetApi(&Racing);
    TTestComm& C = MakeComm();
    C.SetUseMainThread(false);
    Open();
    Fake.QueueInput(PortPath, {'1', '2', '3', '4', '5'});
    Racing.WaitUntilCounted();
    char Reply[5] = {};
    C.Read(Reply, sizeof(Reply));
    Racing.ReadDone();
    EXPECT_EQ(std::string(Reply, sizeof(Reply)), "12345");
    RunFor(50);
    EXPECT_EQ(C.TotalReceived(), 5u);
    Comm.reset();
    winapi::SetApi(Saved);
}

} // namespace
