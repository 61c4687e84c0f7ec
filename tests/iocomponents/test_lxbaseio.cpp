// The base I/O component on a small concrete component: device list, notify list, open/close
// template and Active, fatal errors, logging, device-change messages, the keep-connection timer,
// Loaded, and the receive dispatch of an I/O thread.
#include "eventloop.h"
#include "fake_winapi.h"
#include "lxui.h"
#include "qtprint.h"
#include "recording_log.h"
#include "testio.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using lxtest::RunFor;
using lxtest::RunUntil;
using lxtest::TRecordingLog;
using lxtest::TTestIO;

// Data of every listed device, in list order, and whether each Index equals its position.
std::vector<int> ListedData(const TTestIO& Io) {
    std::vector<int> Data;
    for (int Index = 0; Index < Io.DeviceCount(); ++Index) {
        EXPECT_EQ(Io.Device(Index)->Index(), Index);
        EXPECT_EQ(Io.Device(Index)->Parent(), &Io);
        Data.push_back(Io.Device(Index)->Data);
    }
    return Data;
}

TlxDevice* NewDevice(int Data) {
    auto* Device = new TlxDevice;
    Device->Data = Data;
    Device->NameFriendly = QStringLiteral("Port %1").arg(Data);
    return Device;
}

// ---------------------------------------------------------------------------------------------
// Device list

TEST(LxBaseIODevices, InsertKeepsAscendingDataWithoutDuplicates) {
    TTestIO Io;
    EXPECT_EQ(Io.InsertDevice(NewDevice(5)), 0);
    EXPECT_EQ(Io.InsertDevice(NewDevice(1)), 0);
    EXPECT_EQ(Io.InsertDevice(NewDevice(3)), 1);
    EXPECT_EQ(ListedData(Io), (std::vector<int>{1, 3, 5}));

    TlxDevice Duplicate;
    Duplicate.Data = 3;
    EXPECT_EQ(Io.InsertDevice(&Duplicate), -1);
    EXPECT_EQ(ListedData(Io), (std::vector<int>{1, 3, 5}));
    EXPECT_EQ(Duplicate.Parent(), nullptr);

    // At the front: every entry behind moves up by one.
    EXPECT_EQ(Io.InsertDevice(NewDevice(0)), 0);
    EXPECT_EQ(ListedData(Io), (std::vector<int>{0, 1, 3, 5}));
    EXPECT_EQ(Io.InsertDevice(NewDevice(9)), 4);
    EXPECT_EQ(Io.Device(1)->NameFriendly, "Port 1");
}

TEST(LxBaseIODevices, LookupsAndRange) {
    TTestIO Io;
    EXPECT_EQ(Io.GetDevice(0), nullptr);
    TlxDevice* Three = NewDevice(3);
    Io.AddDevice(NewDevice(1));
    EXPECT_EQ(Io.AddDevice(Three), 1);
    EXPECT_EQ(Io.GetDevice(-1), nullptr);
    EXPECT_EQ(Io.GetDevice(Io.DeviceCount()), nullptr);
    EXPECT_EQ(Io.GetDevice(1), Three);
    EXPECT_EQ(Io.IndexOfDevice(Three), 1);
    EXPECT_EQ(Io.IndexOfDeviceData(3), 1);
    EXPECT_EQ(Io.IndexOfDeviceData(2), -1);
    TlxDevice Stranger;
    EXPECT_EQ(Io.IndexOfDevice(&Stranger), -1);
}

TEST(LxBaseIODevices, GetDeviceListLoadsOnlyAnEmptyList) {
    TTestIO Io;
    Io.PortsToLoad = {4, 2};
    Io.GetDeviceList(nullptr);
    EXPECT_EQ(Io.LoadCount, 1);
    EXPECT_EQ(ListedData(Io), (std::vector<int>{2, 4}));

    TlxDeviceEntries List{{"stale", nullptr}};
    Io.GetDeviceList(&List);
    EXPECT_EQ(Io.LoadCount, 1);
    ASSERT_EQ(List.size(), 2u);
    EXPECT_EQ(List[0].Text, "COM2");
    EXPECT_EQ(List[0].Device, Io.Device(0));
    EXPECT_EQ(List[1].Text, "COM4");
}

TEST(LxBaseIODevices, ClearDevicesWithoutFreeLeavesTheDevicesToTheCaller) {
    TTestIO Io;
    auto Kept = std::make_unique<TlxDevice>();
    Io.SetClearWithFree(false);
    Io.AddDevice(Kept.get());
    Io.ClearDevices();
    EXPECT_EQ(Io.DeviceCount(), 0);
    Kept->Data = 7; // still alive (and freed once, by its owner: ASan checks both)

    Io.SetClearWithFree(true);
    Io.AddDevice(NewDevice(1));
    Io.ClearDevices();
    EXPECT_EQ(Io.DeviceCount(), 0);
}

// ---------------------------------------------------------------------------------------------
// Notify list

struct TNotified {
    std::vector<std::pair<QObject*, int>> Calls;
    void OnNotify(QObject* Sender, int Code) { Calls.emplace_back(Sender, Code); }
    TlxNotifyEvent Handler() { return TlxNotifyEvent::Bind<&TNotified::OnNotify>(this); }
};

TEST(LxBaseIONotify, AMethodIsRegisteredOnceWhateverItsObject) {
    TTestIO Io;
    TNotified First;
    TNotified Second;
    Io.NotifyAdd(First.Handler());
    Io.NotifyAdd(First.Handler());
    Io.NotifyAdd(Second.Handler()); // the same method: taken as present already
    Io.Update();
    Io.SetDeviceIndex(5);
    Io.DoNotify(2);
    using TCalls = std::vector<std::pair<QObject*, int>>;
    EXPECT_EQ(First.Calls, (TCalls{{&Io, 3}, {&Io, 3}, {&Io, 2}}));
    EXPECT_TRUE(Second.Calls.empty());

    // Deleting by method removes the one registration, whichever object asks.
    Io.NotifyDelete(Second.Handler());
    Io.NotifyDelete(Second.Handler());
    Io.Update();
    EXPECT_EQ(First.Calls.size(), 3u);
}

// ---------------------------------------------------------------------------------------------
// Open, close and Active

class LxBaseIOOpen : public ::testing::Test {
protected:
    lxtest::TFakeApi Fake;
    lxtest::TFakeApiScope Scope{Fake};
    int Opened = 0;
    int Closed = 0;
    bool Raise = false;

    void OnOpen(QObject*) {
        ++Opened;
        if (Raise) {
            throw ElxError("open handler failed");
        }
    }
    void OnClose(QObject*) {
        ++Closed;
        if (Raise) {
            throw ElxError("close handler failed");
        }
    }
    void Bind(TTestIO& Io) {
        Io.SetOnOpen(TNotifyEvent::Bind<&LxBaseIOOpen::OnOpen>(this));
        Io.SetOnClose(TNotifyEvent::Bind<&LxBaseIOOpen::OnClose>(this));
    }
};

TEST_F(LxBaseIOOpen, CreatesItsTwoEventsAndClosesThemAtTheEnd) {
    {
        TTestIO Io;
        const auto Events = Fake.Calls("CreateEventW");
        ASSERT_EQ(Events.size(), 2u);
        for (const auto& Call : Events) {
            // No attributes, auto-reset, not signalled; the name is the call's text (none).
            EXPECT_EQ(Call.Args, (std::vector<std::uintptr_t>{0, 0, 0})) << Call.Operation;
            EXPECT_TRUE(Call.Text.empty());
        }
        EXPECT_EQ(Io.Handle(), winapi::INVALID_HANDLE_VALUE);
        Io.SetActive(true);
    }
    EXPECT_EQ(Fake.OpenHandles(), 0);
}

TEST_F(LxBaseIOOpen, OpenAndCloseRunTheirHandlersOnce) {
    TTestIO Io;
    Bind(Io);
    Io.SetActive(true);
    Io.SetActive(true);
    EXPECT_EQ(Io.CreateCount, 1);
    EXPECT_EQ(Opened, 1);
    EXPECT_TRUE(Io.Active());
    EXPECT_NE(Io.Handle(), winapi::INVALID_HANDLE_VALUE);

    Io.SetActive(false);
    Io.SetActive(false);
    EXPECT_EQ(Io.ReleaseCount, 1);
    EXPECT_EQ(Closed, 1);
    EXPECT_FALSE(Io.Active());

    // Closing a closed component releases nothing and tells nobody.
    Io.DoClose();
    EXPECT_EQ(Io.ReleaseCount, 1);
    EXPECT_EQ(Closed, 1);
}

TEST_F(LxBaseIOOpen, AFailedOpenIsQuiet) {
    TTestIO Io;
    Bind(Io);
    Io.OpenSucceeds = false;
    Io.SetActive(true);
    EXPECT_EQ(Io.CreateCount, 1);
    EXPECT_EQ(Opened, 0);
    EXPECT_FALSE(Io.Active());
    EXPECT_EQ(Io.Handle(), winapi::INVALID_HANDLE_VALUE);
}

TEST_F(LxBaseIOOpen, RaisingHandlersStopNeitherOpenNorClose) {
    TTestIO Io;
    Bind(Io);
    Raise = true;
    EXPECT_NO_THROW(Io.SetActive(true));
    EXPECT_TRUE(Io.IsOpen());
    EXPECT_NO_THROW(Io.SetActive(false));
    EXPECT_EQ(Closed, 1);
    EXPECT_EQ(Io.ReleaseCount, 1);
    EXPECT_EQ(Io.Handle(), winapi::INVALID_HANDLE_VALUE);
}

TEST_F(LxBaseIOOpen, WhileLoadingActiveIsStoredUntilLoaded) {
    TTestIO Io;
    LoadComponents({&Io}, [&] {
        Io.SetActive(true);
        EXPECT_EQ(Io.CreateCount, 0);
        EXPECT_TRUE(Io.Active()); // the stored value
    });
    EXPECT_EQ(Io.CreateCount, 1);
    EXPECT_TRUE(Io.IsOpen());
}

TEST_F(LxBaseIOOpen, WhileDesigningAWriteTestsTheOpenAndClosesAgain) {
    for (const bool Succeeds : {true, false}) {
        TTestIO Io;
        Io.SetDesigning(true);
        Io.OpenSucceeds = Succeeds;
        Io.SetActive(true);
        EXPECT_EQ(Io.CreateCount, 1) << Succeeds;
        EXPECT_EQ(Io.ReleaseCount, Succeeds ? 1 : 0) << Succeeds;
        EXPECT_FALSE(Io.IsOpen()) << Succeeds;
        EXPECT_EQ(Io.Active(), Succeeds); // the test's result
        // Writing the same value again tests again.
        Io.SetActive(true);
        EXPECT_EQ(Io.CreateCount, 2) << Succeeds;
    }
}

TEST_F(LxBaseIOOpen, LoadedShowsTheErrorBoxWhenTheStoredOpenFails) {
    struct TBox {
        winapi::HWND Owner;
        QString Text;
        QString Caption;
        winapi::UINT Type;
    };
    std::vector<TBox> Boxes;
    const auto Previous = LxSetMessageBoxHook(
        [&](winapi::HWND Owner, const QString& Text, const QString& Caption, winapi::UINT Type) {
            Boxes.push_back({Owner, Text, Caption, Type});
            return 1;
        });
    const auto Window = reinterpret_cast<winapi::HWND>(0x4242);
    Fake.SetForegroundWindow(Window);
    TTestIO Io;
    Io.OpenSucceeds = false;
    Io.ReportOpenFailure = true;
    EXPECT_NO_THROW(LoadComponents({&Io}, [&] { Io.SetActive(true); }));
    LxSetMessageBoxHook(Previous);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Owner, Window);
    EXPECT_EQ(Boxes[0].Text, "error");
    EXPECT_EQ(Boxes[0].Caption, "Error");
    EXPECT_EQ(Boxes[0].Type, winapi::MB_ICONERROR);
    EXPECT_FALSE(Io.Active());
}

// ---------------------------------------------------------------------------------------------
// Fatal errors and logging

struct TVeto {
    bool Veto = false;
    std::vector<QString> Seen;
    QObject* Sender = nullptr;
    bool RaiseOnArrival = false;
    void OnFatalError(QObject* aSender, quint32, quint32, const QString& Message, bool& Raise) {
        Sender = aSender;
        RaiseOnArrival = Raise;
        Seen.push_back(Message);
        if (Veto) {
            Raise = false;
        }
    }
    TOnFatalErrorEvent Handler() { return TOnFatalErrorEvent::Bind<&TVeto::OnFatalError>(this); }
};

// Records the standard error box while the fixture lives.
class LxBaseIOFatal : public ::testing::Test {
protected:
    std::mutex Mutex;
    std::vector<std::pair<QString, bool>> Shown; // message, on the GUI thread
    TlxShowExceptionHook Previous;

    void SetUp() override {
        Previous = LxSetShowExceptionHook([this](const QString& Message) {
            std::lock_guard Lock(Mutex);
            Shown.emplace_back(Message,
                               QThread::currentThread() == QCoreApplication::instance()->thread());
        });
    }
    void TearDown() override { LxSetShowExceptionHook(Previous); }
    std::size_t ShownCount() {
        std::lock_guard Lock(Mutex);
        return Shown.size();
    }
};

TEST_F(LxBaseIOFatal, AVetoingHandlerStillGetsTheLogLine) {
    TTestIO Io;
    TRecordingLog Log;
    TVeto Handler;
    Handler.Veto = true;
    Io.SetLog(&Log);
    Io.SetOnFatalError(Handler.Handler());
    EXPECT_NO_THROW(Io.DoFatalError(1, 0, "The port cannot be opened", false));
    EXPECT_EQ(Handler.Sender, &Io);
    EXPECT_TRUE(Handler.RaiseOnArrival);
    const auto Lines = Log.Lines();
    ASSERT_EQ(Lines.size(), 1u);
    EXPECT_EQ(Lines[0].Operation, "AddLogFmt");
    EXPECT_EQ(Lines[0].Level, dlSimple);
    EXPECT_EQ(Lines[0].Text, "Fatal Error: 1, 0, The port cannot be opened"); // no prefix
    EXPECT_EQ(ShownCount(), 0u);
}

TEST_F(LxBaseIOFatal, WithoutHandlerItRaisesTheMessage) {
    TTestIO Io;
    try {
        Io.DoFatalError(1, 0, "The port cannot be opened", false);
        ADD_FAILURE() << "nothing raised";
    } catch (const ElxError& Error) {
        EXPECT_EQ(Error.Message(), "The port cannot be opened");
    }
}

TEST_F(LxBaseIOFatal, WhileLoadingNothingIsRaisedOrShown) {
    TTestIO Io;
    TRecordingLog Log;
    Io.SetLog(&Log);
    LoadComponents({&Io}, [&] {
        EXPECT_NO_THROW(Io.DoFatalError(1, 0, "raised", false));
        EXPECT_NO_THROW(Io.DoFatalError(1, 0, "shown", true));
    });
    RunFor(20);
    EXPECT_EQ(ShownCount(), 0u);
    EXPECT_EQ(Log.Lines().size(), 2u);
}

TEST_F(LxBaseIOFatal, ShowOnlyReachesTheErrorBoxOnTheGuiThread) {
    TTestIO Io;
    EXPECT_NO_THROW(Io.DoFatalError(1, 31, "shown here", true));
    ASSERT_EQ(ShownCount(), 1u);
    EXPECT_EQ(Shown[0], std::make_pair(QString("shown here"), true));

    // From a worker: queued to the GUI thread, and the worker goes on without waiting.
    std::thread Worker([&] { Io.DoFatalError(1, 995, "shown from a worker", true); });
    Worker.join();
    ASSERT_TRUE(RunUntil([&] { return ShownCount() == 2; }, 5000));
    EXPECT_EQ(Shown[1], std::make_pair(QString("shown from a worker"), true));
}

TEST(LxBaseIOLog, LinesCarryThePrefixAndAnEmptyTextAsksForSystemInformation) {
    TTestIO Io;
    Io.LogMessage(dlSimple, "dropped without a log");
    TRecordingLog Log;
    Io.SetLog(&Log);
    Io.LogMessage(dlDetail, "Opened");
    Io.LogMessage(dlDebug, "");
    Io.LogFormat(dlDebug, ": %u bytes", {5u});
    Io.SetLogPrefix("lxComm: ");
    Io.LogMessage(dlSimple, "Closed");
    const auto Lines = Log.Lines();
    ASSERT_EQ(Lines.size(), 4u);
    EXPECT_EQ(Lines[0].Operation, "AddLog");
    EXPECT_EQ(Lines[0].Level, dlDetail);
    EXPECT_EQ(Lines[0].Text, "TTestIOOpened"); // the class name, nothing between
    EXPECT_EQ(Lines[1].Operation, "AddSysInfo");
    EXPECT_EQ(Lines[2].Format, "TTestIO: %u bytes");
    EXPECT_EQ(Lines[2].Text, "TTestIO: 5 bytes");
    EXPECT_EQ(Lines[3].Text, "lxComm: Closed");
}

TEST(LxBaseIOLog, ALogThatGoesAwayIsForgotten) {
    TTestIO Io;
    auto Log = std::make_unique<TRecordingLog>();
    Io.SetLog(Log.get());
    Log.reset();
    EXPECT_EQ(Io.Log(), nullptr);
    Io.LogMessage(dlSimple, "nobody listens");
}

// ---------------------------------------------------------------------------------------------
// WM_DEVICECHANGE

TEST(LxBaseIODeviceChange, UpdatesOnNodeChangesAndPortArrivalsAndRemovals) {
    winapi::DEV_BROADCAST_HDR Port{sizeof(winapi::DEV_BROADCAST_HDR), winapi::DBT_DEVTYP_PORT, 0};
    winapi::DEV_BROADCAST_HDR Volume{sizeof(winapi::DEV_BROADCAST_HDR), 2, 0};
    const auto Header = [](winapi::DEV_BROADCAST_HDR& Record) {
        return reinterpret_cast<winapi::LPARAM>(&Record);
    };
    struct TCase {
        const char* Name;
        winapi::UINT Message;
        winapi::WPARAM Event;
        winapi::LPARAM Record;
        bool Result;
    };
    const TCase Cases[] = {
        // The node change carries no record: an address nobody may read proves it is not read.
        {"nodes changed", winapi::WM_DEVICECHANGE, winapi::DBT_DEVNODES_CHANGED, 1, true},
        {"port arrival", winapi::WM_DEVICECHANGE, winapi::DBT_DEVICEARRIVAL, Header(Port), true},
        {"port removal", winapi::WM_DEVICECHANGE, winapi::DBT_DEVICEREMOVECOMPLETE, Header(Port),
         true},
        {"volume arrival", winapi::WM_DEVICECHANGE, winapi::DBT_DEVICEARRIVAL, Header(Volume),
         false},
        {"arrival without record", winapi::WM_DEVICECHANGE, winapi::DBT_DEVICEARRIVAL, 0, false},
        {"query remove", winapi::WM_DEVICECHANGE, 0x8001, Header(Port), false},
        {"other message", winapi::WM_TIMER, winapi::DBT_DEVNODES_CHANGED, 0, false},
    };
    for (const TCase& Case : Cases) {
        TTestIO Io;
        TNotified Listener;
        Io.NotifyAdd(Listener.Handler());
        winapi::MSG Msg{};
        Msg.message = Case.Message;
        Msg.wParam = Case.Event;
        Msg.lParam = Case.Record;
        EXPECT_EQ(Io.WMDeviceChange(Msg), Case.Result) << Case.Name;
        EXPECT_EQ(Io.UpdateCount, Case.Result ? 1 : 0) << Case.Name;
        EXPECT_EQ(Listener.Calls.size(), Case.Result ? 1u : 0u) << Case.Name;
    }
}

// ---------------------------------------------------------------------------------------------
// Keep-connection timer

TEST(LxBaseIOKeepConnection, OneTimerEvery2000MsThatResumesAfterAStop) {
    TTestIO Io;
    TRecordingLog Log;
    Io.SetLog(&Log);
    QElapsedTimer Clock;
    std::vector<qint64> Ticks;
    Io.OnKeepConnection = [&] { Ticks.push_back(Clock.elapsed()); };
    Io.StopKeepConnection(); // no timer yet: nothing to stop
    Clock.start();
    Io.StartKeepConnection();
    Io.StartKeepConnection();
    ASSERT_TRUE(RunUntil([&] { return !Ticks.empty(); }, 3500));
    RunFor(300); // a second timer would have ticked by now as well
    ASSERT_EQ(Ticks.size(), 1u);
    EXPECT_GE(Ticks[0], 1990);
    EXPECT_LE(Ticks[0], 2600);
    // The base step stopped the timer and logged the attempt.
    EXPECT_EQ(Log.Texts(), QStringList{"TTestIOTry to connect ..."});
    EXPECT_EQ(Log.Lines()[0].Level, dlDetail);

    // Started again, it ticks 2000 ms later (the timer's own tests show the period goes on).
    Io.KeepConnectionBase = false;
    Clock.restart();
    Io.StartKeepConnection();
    ASSERT_TRUE(RunUntil([&] { return Ticks.size() == 2; }, 3500));
    EXPECT_GE(Ticks[1], 1990);
    EXPECT_LE(Ticks[1], 2600);
}

// ---------------------------------------------------------------------------------------------
// Receive dispatch from a TlxThreadIO

struct TReceived {
    std::atomic<int> Count = 0;
    std::vector<std::thread::id> Threads;
    std::mutex Mutex;
    void OnReceived(QObject*, const void* Buffer, quint32 Len) {
        EXPECT_EQ(QByteArray(static_cast<const char*>(Buffer), Len), "abc");
        std::lock_guard Lock(Mutex);
        Threads.push_back(std::this_thread::get_id());
        ++Count;
    }
    TOnReceived Handler() { return TOnReceived::Bind<&TReceived::OnReceived>(this); }
};

TEST(LxBaseIOThread, WithUseMainThreadTheDispatchRunsOnTheMainThread) {
    const std::thread::id Main = std::this_thread::get_id();
    for (const bool UseMainThread : {true, false}) {
        TTestIO Io;
        TReceived Received;
        TRecordingLog Log;
        Io.SetLog(&Log);
        Io.SetThreaded(true);
        Io.SetUseMainThread(UseMainThread);
        Io.SetOnAfterReceive(Received.Handler());
        Io.Body = [](TTestIO& Self, TlxThreadIO& Thread) {
            while (!Thread.Terminated()) {
                Self.DoReceived("abc", 3);
                QThread::msleep(1);
            }
        };
        Io.SetActive(true);
        ASSERT_TRUE(RunUntil([&] { return Received.Count >= 3; }, 5000)) << UseMainThread;
        // Closed without an event loop: the wait serves the body's hand-overs.
        Io.SetActive(false);
        for (const std::thread::id Thread : Received.Threads) {
            EXPECT_EQ(Thread == Main, UseMainThread);
        }
        EXPECT_EQ(Log.Lines().front().Text, "TTestIOInput data length: 3");
    }
}

TEST(LxBaseIOThread, TheBodyMayCloseTheComponentItself) {
    TTestIO Io;
    std::atomic<bool> Closed = false;
    Io.SetThreaded(true);
    Io.Body = [&](TTestIO& Self, TlxThreadIO& Thread) {
        Self.DoClose(); // a connection loss found on the I/O thread
        EXPECT_TRUE(Thread.Terminated());
        Closed = true;
    };
    Io.SetActive(true);
    ASSERT_TRUE(RunUntil([&] { return Closed.load(); }, 5000));
    EXPECT_EQ(Io.ReleaseCount, 1);
    EXPECT_FALSE(Io.IsOpen());
    // Opening again starts a new thread; the component's end waits for nothing left over.
    Io.Body = nullptr;
    Io.SetActive(true);
    EXPECT_TRUE(Io.IsOpen());
}

} // namespace
