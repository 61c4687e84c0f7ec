// Line control and line events of the serial component. Through the fake OS what a
// pseudo-terminal has not got: modem lines, the escape codes of line control, RTS in software
// RS-485, queue counts chosen by the test. On a real pseudo-terminal the purges and the purge an
// OnCommError handler asks for.
#include "eventloop.h"
#include "fake_winapi.h"
#include "pty.h"
#include "recording_log.h"
#include "testcomm.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QThread>
#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using lxtest::RunUntil;
using lxtest::TFakeApi;
using lxtest::TPortFolder;
using lxtest::TPtyPair;
using lxtest::TRecordingLog;
using lxtest::TTestComm;
using winapi::DWORD;

constexpr char16_t LinePort[] = u"\\\\?\\COM4";
constexpr int WaitMs = 5000;

// What the component reported, and where.
class TLineWatcher : public QObject {
public:
    void Traced(QObject* Com, TTraceStates Event) {
        std::lock_guard Lock(fMutex);
        fTraces.push_back(Event.Bits());
        fSenders.push_back(Com);
        fOnMainThread = QThread::currentThread() == QCoreApplication::instance()->thread();
    }
    void CommError(QObject*, quint32 CommCode, quint32 SysError, TComStateFlags State,
                   bool& flFlashBuffers) {
        std::lock_guard Lock(fMutex);
        fErrors.push_back({CommCode, SysError, State.Bits(), flFlashBuffers});
        flFlashBuffers = FlashBuffers;
    }

    struct TError {
        quint32 CommCode, SysError, State;
        bool FlashOnEntry;
        friend bool operator==(const TError&, const TError&) = default;
    };
    bool FlashBuffers = false;
    std::vector<std::uint32_t> Traces() const { return Locked(fTraces); }
    std::vector<QObject*> Senders() const { return Locked(fSenders); }
    std::vector<TError> Errors() const { return Locked(fErrors); }
    bool OnMainThread() const { return Locked(fOnMainThread); }

private:
    template <class T> T Locked(const T& Value) const {
        std::lock_guard Lock(fMutex);
        return Value;
    }

    mutable std::mutex fMutex;
    std::vector<std::uint32_t> fTraces;
    std::vector<QObject*> fSenders;
    std::vector<TError> fErrors;
    bool fOnMainThread = false;
};

// ---------------------------------------------------------------------------------------------
// Through the fake OS

class CommLine : public ::testing::Test {
protected:
    CommLine() : fSaved(winapi::SetApi(&Fake)) { Fake.AddDevice(LinePort); }
    ~CommLine() override {
        Comm.reset();
        winapi::SetApi(fSaved);
    }

    // A legacy system cannot toggle RTS by itself: with RS485Mode the component does.
    TTestComm& Make(bool SoftwareRS485 = false) {
        if (SoftwareRS485) {
            Fake.SetPlatformId(winapi::VER_PLATFORM_WIN32_WINDOWS);
        }
        Comm = std::make_unique<TTestComm>(nullptr, QStringLiteral("COM4"));
        Comm->SetLog(&Log);
        Comm->SetRS485Mode(SoftwareRS485);
        Comm->SetOnTraceState(TOnTraceEvent::Bind<&TLineWatcher::Traced>(&Watcher));
        Comm->SetOnCommError(TOnCommErrorEvent::Bind<&TLineWatcher::CommError>(&Watcher));
        return *Comm;
    }
    void Open() {
        Comm->SetActive(true);
        ASSERT_TRUE(Comm->Active());
        Fake.ClearCalls();
        fTracesAtOpen = Watcher.Traces().size();
    }
    std::vector<std::uint32_t> TracesSinceOpen() const {
        const std::vector<std::uint32_t> All = Watcher.Traces();
        return {All.begin() + std::ptrdiff_t(fTracesAtOpen), All.end()};
    }
    std::vector<std::uintptr_t> ArgsOf(const char* Operation, std::size_t Index) const {
        std::vector<std::uintptr_t> Args;
        for (const lxtest::TFakeCall& Call : Fake.Calls(Operation)) {
            Args.push_back(Call.Args[Index]);
        }
        return Args;
    }

    TFakeApi Fake;
    TRecordingLog Log;
    TLineWatcher Watcher;
    std::unique_ptr<TTestComm> Comm;

private:
    winapi::TWinApi* fSaved;
    std::size_t fTracesAtOpen = 0;
};

TEST_F(CommLine, TraceStatesBuildTheEventMask) {
    struct TCase {
        TTraceStates States;
        bool SoftwareRS485;
        DWORD Mask;
    };
    const TCase Cases[] = {
        {{}, false, 0x0001},
        {{tsRxChar}, false, 0x0001},
        {{tsRx80Full}, false, 0x0401},
        {{tsEvent2}, false, 0x1001},
        {{tsRxFlag, tsTxEmpty, tsRing}, false, 0x0107},
        {{tsRxChar, tsRxFlag, tsTxEmpty, tsCTS, tsDSR, tsRLSD, tsBreak, tsErr, tsRing, tsRx80Full,
          tsEvent1, tsEvent2},
         false,
         0x1DFF},
        {{}, true, 0x0005},
        {{tsCTS}, true, 0x000D},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(testing::Message() << "states " << Case.States.Bits() << " software RS-485 "
                                        << Case.SoftwareRS485);
        Fake.ClearCalls();
        Make(Case.SoftwareRS485).SetTraceStates(Case.States);
        EXPECT_EQ(Comm->EventMask(Case.States), Case.Mask);
        // Only stored while closed; the open applies it.
        EXPECT_EQ(Fake.CallCount("SetCommMask"), 0);
        Open();
        EXPECT_EQ(Fake.CommMask(LinePort), Case.Mask);
        EXPECT_EQ(Comm->TraceStates(), Case.States);
        Comm->SetTraceStates({});
        EXPECT_EQ(ArgsOf("SetCommMask", 1), (std::vector<std::uintptr_t>{Comm->EventMask({})}));
        Comm.reset();
    }
}

TEST_F(CommLine, LineControlSendsItsEscapeCodeAndTracesDtrAndRts) {
    Make();
    // A closed port: nothing reaches the system and nothing is traced.
    Comm->SetStateDTR(true);
    Comm->SetStateRTS(true);
    Comm->SetStateX(true);
    Comm->SetStateBreak(true);
    EXPECT_EQ(Fake.CallCount("EscapeCommFunction"), 0);
    const std::size_t TracesClosed = Watcher.Traces().size();
    Open();
    ASSERT_GT(Watcher.Traces().size(), TracesClosed); // the open's own [tsTxEmpty]

    Comm->SetStateDTR(true);
    Comm->SetStateDTR(false);
    Comm->SetStateRTS(true);
    Comm->SetStateRTS(false);
    Comm->SetStateX(true);
    Comm->SetStateX(false);
    Comm->SetStateBreak(true);
    Comm->SetStateBreak(false);
    EXPECT_EQ(ArgsOf("EscapeCommFunction", 1),
              (std::vector<std::uintptr_t>{winapi::SETDTR, winapi::CLRDTR, winapi::SETRTS,
                                           winapi::CLRRTS, winapi::SETXON, winapi::SETXOFF,
                                           winapi::SETBREAK, winapi::CLRBREAK}));
    const std::uint32_t Dsr = TTraceStates{tsDSR}.Bits();
    const std::uint32_t Cts = TTraceStates{tsCTS}.Bits();
    EXPECT_EQ(TracesSinceOpen(), (std::vector<std::uint32_t>{Dsr, Dsr, Cts, Cts}));
    EXPECT_EQ(Watcher.Senders().back(), Comm.get());
}

TEST_F(CommLine, ModemSignalsFollowTheModemStatusBits) {
    Make();
    EXPECT_TRUE(Comm->ModemSignals().Empty());
    EXPECT_EQ(Fake.CallCount("GetCommModemStatus"), 0);
    Open();
    struct TCase {
        DWORD Bits;
        TModemSignals Signals;
    };
    const TCase Cases[] = {
        {0, {}},
        {winapi::MS_CTS_ON, {msCTS}},
        {winapi::MS_DSR_ON, {msDSR}},
        {winapi::MS_RING_ON, {msRing}},
        {winapi::MS_RLSD_ON, {msRLSD}},
        {0xF0 | 0x0F, {msCTS, msDSR, msRing, msRLSD}},
    };
    for (const TCase& Case : Cases) {
        Fake.SetModemStatus(LinePort, Case.Bits);
        EXPECT_EQ(Comm->ModemSignals(), Case.Signals) << Case.Bits;
    }
    Fake.ScriptNext("GetCommModemStatus", lxtest::Fail(winapi::ERROR_GEN_FAILURE));
    EXPECT_TRUE(Comm->ModemSignals().Empty());
}

TEST_F(CommLine, QueueCountsComeFromClearCommError) {
    Make();
    EXPECT_EQ(Comm->ReadyForRead(), 0u);
    EXPECT_EQ(Comm->NotYetSend(), 0u);
    EXPECT_EQ(Fake.CallCount("ClearCommError"), 0);
    Open();
    Fake.ScriptNext("ClearCommError", lxtest::CommErrors(0, {0, 7, 3}), 2);
    EXPECT_EQ(Comm->ReadyForRead(), 7u);
    EXPECT_EQ(Comm->NotYetSend(), 3u);
    Fake.ScriptNext("ClearCommError", lxtest::Fail(winapi::ERROR_GEN_FAILURE), 2);
    EXPECT_EQ(Comm->ReadyForRead(), 0u);
    EXPECT_EQ(Comm->NotYetSend(), 0u);
}

// ClearCommError hands a line error to one caller only: a queue count that takes it reports it
// as the event processing would (a read that polls the queue would otherwise hide every error),
// and a lost port's five errors at once close the port.
TEST_F(CommLine, LineErrorsTakenByAQueueCountAreReported) {
    struct TCase {
        const char* Name;
        quint32 (TTestComm::*Count)() const;
    };
    const TCase Cases[] = {{"ReadyForRead", &TTestComm::ReadyForRead},
                           {"NotYetSend", &TTestComm::NotYetSend}};
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        Make();
        Open();
        const std::size_t Before = Watcher.Errors().size();
        Fake.ScriptNext("ClearCommError",
                        lxtest::CommErrors(winapi::CE_FRAME, {winapi::COMSTAT_fCtsHold, 7, 3}));
        EXPECT_GT(((*Comm).*Case.Count)(), 0u);
        const std::vector<TLineWatcher::TError> Errors = Watcher.Errors();
        ASSERT_EQ(Errors.size(), Before + 1);
        EXPECT_EQ(Errors.back(), (TLineWatcher::TError{winapi::CE_FRAME, 0, 0x01, false}));
        ((*Comm).*Case.Count)();
        EXPECT_EQ(Watcher.Errors().size(), Before + 1) << "a count without errors reports none";

        Fake.ScriptNext("ClearCommError",
                        lxtest::CommErrors(winapi::CE_RXOVER | winapi::CE_OVERRUN |
                                           winapi::CE_RXPARITY | winapi::CE_FRAME |
                                           winapi::CE_BREAK));
        ((*Comm).*Case.Count)();
        EXPECT_FALSE(Comm->Active()) << "a lost port is closed";
        EXPECT_EQ(Watcher.Errors().size(), Before + 1);
        Comm.reset();
    }
}

TEST_F(CommLine, PurgesDiscardTheirQueuesAndLowerRtsInSoftwareRS485) {
    struct TCase {
        const char* Name;
        void (TTestComm::*Purge)();
        DWORD Flags;
        bool Cancels;
        bool LowersRts;
    };
    const TCase Cases[] = {
        {"input", &TTestComm::ClearDeviceInput, 0x000A, false, false},
        {"output", &TTestComm::ClearDeviceOutput, 0x0005, false, true},
        {"both", &TTestComm::ClearDeviceBuffers, 0x000F, true, true},
    };
    for (const TCase& Case : Cases) {
        for (const bool SoftwareRS485 : {false, true}) {
            SCOPED_TRACE(testing::Message() << Case.Name << " software RS-485 " << SoftwareRS485);
            Fake.ClearCalls();
            Make(SoftwareRS485);
            ((*Comm).*Case.Purge)();
            EXPECT_EQ(Fake.CallCount("PurgeComm"), 0);
            Open();
            ((*Comm).*Case.Purge)();
            EXPECT_EQ(ArgsOf("PurgeComm", 1), (std::vector<std::uintptr_t>{Case.Flags}));
            EXPECT_EQ(Fake.CallCount("CancelIo"), Case.Cancels ? 1 : 0);
            const std::vector<std::uintptr_t> Rts =
                Case.LowersRts && SoftwareRS485 ? std::vector<std::uintptr_t>{winapi::CLRRTS}
                                                : std::vector<std::uintptr_t>{};
            EXPECT_EQ(ArgsOf("EscapeCommFunction", 1), Rts);
            Comm.reset();
        }
    }
}

TEST_F(CommLine, CommErrorsAreLoggedReportedAndMayPurgeBothQueues) {
    for (const bool Flash : {false, true}) {
        for (const bool SoftwareRS485 : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << "flash " << Flash << " software RS-485 " << SoftwareRS485);
            Watcher.FlashBuffers = Flash;
            Make(SoftwareRS485);
            Open();
            const std::size_t Before = Watcher.Errors().size();
            Comm->DoCommError(4, 0, TComStateFlags{fCtlHold, fRlsHold});
            const std::vector<TLineWatcher::TError> Errors = Watcher.Errors();
            ASSERT_EQ(Errors.size(), Before + 1);
            EXPECT_EQ(Errors.back(), (TLineWatcher::TError{4, 0, 0x05, false}));
            EXPECT_EQ(Log.Texts().filter("lxComm: Communication Error 4:0 5").size(), 1);
            EXPECT_EQ(ArgsOf("PurgeComm", 1),
                      Flash ? std::vector<std::uintptr_t>{0x000F} : std::vector<std::uintptr_t>{});
            // RTS goes low first for the error, and again after the purge.
            std::vector<std::uintptr_t> Rts;
            if (SoftwareRS485) {
                Rts.push_back(winapi::CLRRTS);
                if (Flash) {
                    Rts.push_back(winapi::CLRRTS);
                }
            }
            EXPECT_EQ(ArgsOf("EscapeCommFunction", 1), Rts);
            Comm.reset();
            Log.Clear();
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Monitor controls

class CommMonitors : public CommLine {
protected:
    CommMonitors() {
        Make();
        Comm->SetMonitorCTS(&Cts);
        Comm->SetMonitorDSR(&Dsr);
        Comm->SetMonitorRLSD(&Rlsd);
        Comm->SetMonitorRing(&Ring);
    }

    QCheckBox Cts;
    QCheckBox Dsr;
    QCheckBox Rlsd;
    QCheckBox Ring;
};

TEST_F(CommMonitors, FollowTheModemLinesAndTheRingMonitorOnlyGoesOn) {
    Open();
    Fake.SetModemStatus(LinePort, winapi::MS_CTS_ON | winapi::MS_RLSD_ON | winapi::MS_RING_ON);
    Comm->DoTraceState(Comm.get(), {tsRing});
    EXPECT_TRUE(Cts.isChecked());
    EXPECT_FALSE(Dsr.isChecked());
    EXPECT_TRUE(Rlsd.isChecked());
    EXPECT_TRUE(Ring.isChecked());
    EXPECT_EQ(Watcher.Traces().back(), TTraceStates{tsRing}.Bits());

    Fake.SetModemStatus(LinePort, winapi::MS_DSR_ON);
    Comm->DoTraceState(Comm.get(), {tsCTS, tsDSR});
    EXPECT_FALSE(Cts.isChecked());
    EXPECT_TRUE(Dsr.isChecked());
    EXPECT_FALSE(Rlsd.isChecked());
    EXPECT_TRUE(Ring.isChecked());

    // A closed port shows no line on, and the ring stays.
    Comm->SetActive(false);
    Comm->DoTraceState(Comm.get(), {tsCTS});
    EXPECT_FALSE(Dsr.isChecked());
    EXPECT_TRUE(Ring.isChecked());
}

TEST_F(CommMonitors, AreSetOnTheGuiThreadWhenTheEventComesFromAnother) {
    Open();
    Fake.SetModemStatus(LinePort, winapi::MS_CTS_ON);
    std::atomic<bool> Done = false;
    std::thread Events([&] {
        Comm->DoTraceState(Comm.get(), {tsRing});
        Done = true;
    });
    // The event's thread waits until the GUI thread has set the controls.
    EXPECT_TRUE(RunUntil([&] { return Done.load(); }, WaitMs));
    Events.join();
    EXPECT_TRUE(Cts.isChecked());
    EXPECT_TRUE(Ring.isChecked());
    EXPECT_FALSE(Watcher.OnMainThread());
}

TEST_F(CommLine, WithoutMonitorsAnEventFromAnotherThreadNeverWaitsForTheGuiThread) {
    Make();
    Open();
    // The GUI thread runs no loop meanwhile.
    auto Events = std::async(std::launch::async, [&] { Comm->DoTraceState(Comm.get(), {tsCTS}); });
    EXPECT_EQ(Events.wait_for(std::chrono::milliseconds(WaitMs)), std::future_status::ready);
    EXPECT_EQ(Watcher.Traces().back(), TTraceStates{tsCTS}.Bits());
}

TEST_F(CommMonitors, AControlWithoutCheckedIsLeftAlone) {
    QLabel Label;
    Comm->SetMonitorCTS(&Label);
    Open();
    Fake.SetModemStatus(LinePort, winapi::MS_CTS_ON);
    Comm->DoTraceState(Comm.get(), {tsCTS});
    EXPECT_TRUE(Label.dynamicPropertyNames().isEmpty());
    EXPECT_FALSE(Label.property("checked").isValid());
}

TEST_F(CommMonitors, AControlThatGoesIsForgottenEverywhereItWasBound) {
    auto Shared = std::make_unique<QCheckBox>();
    Comm->SetMonitorDSR(Shared.get());
    Comm->SetMonitorRing(Shared.get());
    Shared.reset();
    EXPECT_EQ(Comm->MonitorCTS(), &Cts);
    EXPECT_EQ(Comm->MonitorDSR(), nullptr);
    EXPECT_EQ(Comm->MonitorRLSD(), &Rlsd);
    EXPECT_EQ(Comm->MonitorRing(), nullptr);
    Open();
    Fake.SetModemStatus(LinePort, winapi::MS_DSR_ON | winapi::MS_RING_ON);
    Comm->DoTraceState(Comm.get(), {tsRing, tsDSR});
    EXPECT_FALSE(Cts.isChecked());
}

// ---------------------------------------------------------------------------------------------
// On a real pseudo-terminal

class CommLinePty : public ::testing::Test {
protected:
    CommLinePty() {
        Folder.Link("COM9", Pty.SlavePath());
        Comm = std::make_unique<TTestComm>(nullptr, QStringLiteral("COM9"));
        Comm->SetOnCommError(TOnCommErrorEvent::Bind<&TLineWatcher::CommError>(&Watcher));
        Comm->SetActive(true);
    }
    ~CommLinePty() override { Comm.reset(); }

    void QueueInput(const std::string& Bytes) {
        Pty.Write(Bytes);
        ASSERT_TRUE(RunUntil([&] { return Comm->ReadyForRead() == Bytes.size(); }, WaitMs));
    }

    TPortFolder Folder;
    TPtyPair Pty;
    TLineWatcher Watcher;
    std::unique_ptr<TTestComm> Comm;
};

TEST_F(CommLinePty, PurgingTheInputDiscardsTheBytesWaiting) {
    ASSERT_TRUE(Comm->Active());
    QueueInput("stale");
    Comm->ClearDeviceInput();
    EXPECT_EQ(Comm->ReadyForRead(), 0u);
    QueueInput("fresh");
    EXPECT_EQ(Comm->ReadString(), QByteArrayLiteral("fresh"));
}

TEST_F(CommLinePty, AHandlerThatAsksForItHasBothQueuesDiscarded) {
    ASSERT_TRUE(Comm->Active());
    QueueInput("left over");
    Comm->DoCommError(2, 0, {});
    EXPECT_EQ(Comm->ReadyForRead(), 9u);
    Watcher.FlashBuffers = true;
    Comm->DoCommError(2, 0, {});
    EXPECT_EQ(Comm->ReadyForRead(), 0u);
    EXPECT_EQ(Watcher.Errors().size(), 2u);
}

} // namespace
