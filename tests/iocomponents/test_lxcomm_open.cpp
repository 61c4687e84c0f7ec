// Opening and closing the serial component on real pseudo-terminals, the receive path through the
// event and message threads on both sides of UseMainThread, the line settings as the terminal
// holds them, and the loss of the port when the other end hangs up.
#include "eventloop.h"
#include "lxsysutils.h"
#include "pty.h"
#include "recording_log.h"
#include "testcomm.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <atomic>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using lxtest::RunFor;
using lxtest::RunUntil;
using lxtest::ThreadCount;
using lxtest::TPortFolder;
using lxtest::TPtyPair;
using lxtest::TRecordingLog;
using lxtest::TTestComm;

constexpr int WaitMs = 5000;

// A byte pattern that shows any byte lost, doubled or out of order.
std::string Pattern(std::size_t Size) {
    std::string Bytes(Size, '\0');
    for (std::size_t i = 0; i < Size; ++i) {
        Bytes[i] = char((i * 7 + i / 251) & 0xFF);
    }
    return Bytes;
}

// What the component reported, and on which thread.
class TOpenWatcher : public QObject {
public:
    void Traced(QObject*, TTraceStates Event) {
        std::lock_guard Lock(fMutex);
        fTraces.push_back(Event.Bits());
    }
    void Notified(QObject*, int Code) {
        std::lock_guard Lock(fMutex);
        fNotified.push_back(Code);
    }
    void Closed(QObject*) {
        std::lock_guard Lock(fMutex);
        ++fClosed;
    }
    void Received(QObject*, const void* Buffer, quint32 Len) {
        std::lock_guard Lock(fMutex);
        fReceived.append(static_cast<const char*>(Buffer), Len);
        fLargestPiece = std::max(fLargestPiece, Len);
        fOnMainThread = QThread::currentThread() == QCoreApplication::instance()->thread();
        if (ThrowOnce.exchange(false)) {
            throw ElxError(QStringLiteral("The handler gave up"));
        }
    }
    void FatalError(QObject*, quint32 ErrorCode, quint32, const QString& ErrorMsg,
                    bool& RaiseException) {
        std::lock_guard Lock(fMutex);
        fFatal.push_back({ErrorCode, ErrorMsg});
        RaiseException = KeepRaising;
    }

    std::atomic<bool> ThrowOnce = false;
    bool KeepRaising = true;

    std::vector<std::uint32_t> Traces() const { return Locked(fTraces); }
    std::vector<int> Notifications() const { return Locked(fNotified); }
    int ClosedCount() const { return Locked(fClosed); }
    std::string ReceivedBytes() const { return Locked(fReceived); }
    quint32 LargestPiece() const { return Locked(fLargestPiece); }
    bool OnMainThread() const { return Locked(fOnMainThread); }
    std::vector<std::pair<quint32, QString>> Fatal() const { return Locked(fFatal); }

private:
    template <class T> T Locked(const T& Value) const {
        std::lock_guard Lock(fMutex);
        return Value;
    }

    mutable std::mutex fMutex;
    std::vector<std::uint32_t> fTraces;
    std::vector<int> fNotified;
    int fClosed = 0;
    std::string fReceived;
    quint32 fLargestPiece = 0;
    bool fOnMainThread = false;
    std::vector<std::pair<quint32, QString>> fFatal;
};

class CommOpen : public ::testing::Test {
protected:
    CommOpen() {
        Folder.Link("COM9", Pty.SlavePath());
        Comm = std::make_unique<TTestComm>(nullptr, QStringLiteral("COM9"));
        Comm->SetLog(&Log);
        Comm->SetOnTraceState(TOnTraceEvent::Bind<&TOpenWatcher::Traced>(&Watcher));
        Comm->SetOnClose(TNotifyEvent::Bind<&TOpenWatcher::Closed>(&Watcher));
        Comm->SetOnFatalError(TOnFatalErrorEvent::Bind<&TOpenWatcher::FatalError>(&Watcher));
        Comm->NotifyAdd(TlxNotifyEvent::Bind<&TOpenWatcher::Notified>(&Watcher));
    }
    ~CommOpen() override { Comm.reset(); }

    void BindReceiver() {
        Comm->SetOnAfterReceive(TOnReceived::Bind<&TOpenWatcher::Received>(&Watcher));
    }
    // Writes from another thread: the pseudo-terminal holds only a few kilobytes, and the
    // component may be reading on this thread.
    void PeerWrites(std::string Bytes) {
        fPeer = std::thread([this, Bytes = std::move(Bytes)] { Pty.Write(Bytes); });
    }
    void JoinPeer() {
        if (fPeer.joinable()) {
            fPeer.join();
        }
    }
    int LinesWith(const QString& Text) const { return int(Log.Texts().filter(Text).size()); }

    TPortFolder Folder;
    TPtyPair Pty;
    TRecordingLog Log;
    TOpenWatcher Watcher;
    std::unique_ptr<TTestComm> Comm;

private:
    std::thread fPeer;

protected:
    void TearDown() override { JoinPeer(); }
};

TEST_F(CommOpen, AMissingPortRaisesTheOpenErrorAndStaysClosed) {
    Comm->PortName = QStringLiteral("COM77");
    try {
        Comm->SetActive(true);
        FAIL() << "no exception";
    } catch (const ElxError& Error) {
        const QString Prefix = QStringLiteral("Device \"COM77\" Open Error !!!\r");
        EXPECT_TRUE(Error.Message().startsWith(Prefix)) << Error.Message().toStdString();
        EXPECT_GT(Error.Message().size(), Prefix.size()) << "the system's reason follows";
    }
    EXPECT_FALSE(Comm->Active());
    EXPECT_EQ(Comm->TotalSent(), 0u);
    EXPECT_EQ(Comm->TotalReceived(), 0u);
    EXPECT_TRUE(Watcher.Notifications().empty());
    ASSERT_EQ(Watcher.Fatal().size(), 1u);
    EXPECT_EQ(Watcher.Fatal()[0].first, 1u);
    EXPECT_EQ(LinesWith(QStringLiteral("Fatal Error: 1, 0, Device \"COM77\" Open Error !!!")), 1);

    // A handler that clears RaiseException keeps the exception away.
    Watcher.KeepRaising = false;
    EXPECT_NO_THROW(Comm->SetActive(true));
    EXPECT_FALSE(Comm->Active());
}

TEST_F(CommOpen, OpenAndCloseAnnounceThemselves) {
    Comm->SetActive(true);
    ASSERT_TRUE(Comm->Active());
    const std::uint32_t TxEmpty = TTraceStates{tsTxEmpty}.Bits();
    EXPECT_EQ(Watcher.Traces(), (std::vector<std::uint32_t>{TxEmpty})) << "the open closes first";
    EXPECT_EQ(Watcher.Notifications(), (std::vector<int>{2}));
    EXPECT_EQ(Log.Texts(),
              QStringList{QStringLiteral("lxComm: The port COM9 is opened succesfully")});

    Comm->SetActive(true);
    EXPECT_EQ(Watcher.Notifications(), (std::vector<int>{2})) << "already open: nothing happens";

    Comm->DoOpen();
    EXPECT_TRUE(Comm->Active());
    EXPECT_EQ(Watcher.Notifications(), (std::vector<int>{2, 1, 2}));
    EXPECT_EQ(LinesWith(QStringLiteral("lxComm: The port is closed succesfully")), 1);
    EXPECT_EQ(LinesWith(QStringLiteral("lxComm: The port COM9 is opened succesfully")), 2);

    Comm->SetActive(false);
    EXPECT_FALSE(Comm->Active());
    EXPECT_EQ(Watcher.Notifications(), (std::vector<int>{2, 1, 2, 1}));
    EXPECT_EQ(Watcher.ClosedCount(), 2);
    EXPECT_EQ(Watcher.Traces().size(), 3u);

    // Closing a closed port only refreshes the monitors and traces.
    const QStringList LinesBefore = Log.Texts();
    Comm->DoClose();
    EXPECT_EQ(Watcher.Traces(), (std::vector<std::uint32_t>(4, TxEmpty)));
    EXPECT_EQ(Watcher.Notifications().size(), 4u);
    EXPECT_EQ(Log.Texts(), LinesBefore);
}

TEST_F(CommOpen, TheTerminalHoldsTheLineSettings) {
    Comm->SetBaudRate(9600);
    Comm->SetStopBits(sbTwo);
    Comm->SetStreamProtocol(spXonXoff);
    Comm->SetActive(true);
    ASSERT_TRUE(Comm->Active());
    const int Fd = ::open(Pty.SlavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (Fd < 0) {
        GTEST_SKIP() << "the port is exclusive to the component for this user";
    }
    const auto Line = [Fd] {
        termios Settings{};
        EXPECT_EQ(::tcgetattr(Fd, &Settings), 0);
        return Settings;
    };
    termios Settings = Line();
    EXPECT_EQ(::cfgetospeed(&Settings), speed_t(B9600));
    EXPECT_NE(Settings.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(Settings.c_cflag & CRTSCTS, 0u);
    EXPECT_NE(Settings.c_iflag & IXON, 0u);
    EXPECT_NE(Settings.c_iflag & IXOFF, 0u);

    // Changes reach the open port at once.
    Comm->SetBaudRate(115200);
    Comm->SetStopBits(sbOne);
    Comm->SetStreamProtocol(spHardware);
    Settings = Line();
    EXPECT_EQ(::cfgetospeed(&Settings), speed_t(B115200));
    EXPECT_EQ(Settings.c_cflag & CSTOPB, 0u);
    EXPECT_NE(Settings.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(Settings.c_iflag & (IXON | IXOFF), 0u);
    ::close(Fd);
}

class CommReceive : public CommOpen, public ::testing::WithParamInterface<bool> {};

TEST_P(CommReceive, EveryByteArrivesInOrderInPiecesOfTheBufferAtMost) {
    const bool MainThread = GetParam();
    Comm->SetUseMainThread(MainThread);
    BindReceiver();
    Comm->SetActive(true);
    ASSERT_TRUE(Comm->Active());
    const std::string Sent = Pattern(50000);
    PeerWrites(Sent);
    ASSERT_TRUE(RunUntil([&] { return Watcher.ReceivedBytes().size() >= Sent.size(); }, WaitMs))
        << Watcher.ReceivedBytes().size();
    JoinPeer();
    RunFor(50);
    EXPECT_TRUE(Watcher.ReceivedBytes() == Sent);
    EXPECT_LE(Watcher.LargestPiece(), Comm->ReceiveBufferSize());
    EXPECT_EQ(Watcher.OnMainThread(), MainThread);
    EXPECT_EQ(Comm->ReadyForRead(), 0u);
    EXPECT_EQ(Comm->TotalReceived(), Sent.size());
}

TEST_P(CommReceive, AnExceptionInTheHandlerIsShownAndTheThreadGoesOn) {
    Comm->SetUseMainThread(GetParam());
    BindReceiver();
    Watcher.ThrowOnce = true;
    // Shown, not raised: the handler below clears RaiseException so no box opens.
    Watcher.KeepRaising = false;
    Comm->SetActive(true);
    ASSERT_TRUE(Comm->Active());
    Pty.Write("first");
    ASSERT_TRUE(RunUntil([&] { return !Watcher.Fatal().empty(); }, WaitMs));
    EXPECT_EQ(Watcher.Fatal()[0].first, 1u);
    EXPECT_EQ(Watcher.Fatal()[0].second, QStringLiteral("The handler gave up"));
    Pty.Write("second");
    ASSERT_TRUE(RunUntil([&] { return Watcher.ReceivedBytes() == "firstsecond"; }, WaitMs))
        << Watcher.ReceivedBytes();
    EXPECT_TRUE(Comm->Active());
}

INSTANTIATE_TEST_SUITE_P(UseMainThread, CommReceive, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& Info) {
                             return Info.param ? "MainThread" : "MessageThread";
                         });

TEST_F(CommOpen, WithoutAReceiverTheBytesAreCountedAndLeftForRead) {
    Comm->SetActive(true);
    ASSERT_TRUE(Comm->Active());
    const std::size_t TracesAtOpen = Watcher.Traces().size();
    Pty.Write("123456789");
    ASSERT_TRUE(RunUntil([&] { return Comm->TotalReceived() == 9; }, WaitMs));
    RunFor(50);
    EXPECT_EQ(Comm->ReadyForRead(), 9u);
    char Buffer[9] = {};
    Comm->Read(Buffer, sizeof(Buffer));
    EXPECT_EQ(std::string(Buffer, sizeof(Buffer)), "123456789");
    EXPECT_EQ(Watcher.Traces().size(), TracesAtOpen) << "received bytes are not traced";
    EXPECT_EQ(Comm->TotalReceived(), 9u);
}

TEST_F(CommOpen, StoppingTheThreadsDoesNotWaitForALineEvent) {
    Comm->SetActive(true);
    ASSERT_TRUE(Comm->Active());
    RunFor(20);
    QElapsedTimer Stopping;
    Stopping.start();
    Comm->StopThreadIO();
    EXPECT_LT(Stopping.elapsed(), 500);
    EXPECT_TRUE(Comm->Active());
    Comm->SetActive(false);
}

TEST_F(CommOpen, AHangUpDuringAReadClosesThePortAndKeepConnectionTicksOnce) {
    // Whatever the system starts once for the first port stays out of the count.
    Comm->SetActive(true);
    Comm->SetActive(false);
    const int ThreadsBefore = ThreadCount();
    Comm->SetKeepConnection(true);
    Comm->SetActive(true);
    ASSERT_TRUE(Comm->Active());
    Pty.Write("12345");
    std::thread Peer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        Pty.CloseMaster();
    });
    char Buffer[59] = {};
    QElapsedTimer Reading;
    Reading.start();
    Comm->Read(Buffer, sizeof(Buffer));
    Peer.join();
    EXPECT_LT(Reading.elapsed(), 2000) << "the read ends with the line";
    EXPECT_EQ(std::string(Buffer, 5), "12345");
    // The event thread finds the loss and closes the port on its own.
    ASSERT_TRUE(RunUntil([&] { return Watcher.Notifications().size() == 4; }, WaitMs));
    QElapsedTimer SinceLoss;
    SinceLoss.start();
    EXPECT_FALSE(Comm->Active());
    EXPECT_EQ(Watcher.ClosedCount(), 2);
    EXPECT_EQ(Watcher.Notifications(), (std::vector<int>{2, 1, 2, 1}));

    const QString KeepLine = QStringLiteral("lxComm: Try to keep connection ...");
    ASSERT_TRUE(RunUntil([&] { return LinesWith(KeepLine) > 0; }, 4000));
    EXPECT_GE(SinceLoss.elapsed(), 1500);
    RunFor(2500);
    EXPECT_EQ(LinesWith(KeepLine), 1);

    Comm.reset();
    EXPECT_EQ(ThreadCount(), ThreadsBefore) << "no thread is left behind";
}

} // namespace
