// The operator window on a real Qt event loop, against the bench simulator in-process on a real
// pseudo-terminal with frozen values: its buttons, timers, log and error paths.
#include "SimPeer.h"
#include "UnitMain.h"
#include "lxcommbox.h"
#include "eventloop.h"
#include "lxui.h"
#include "pty.h"

#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <thread>

namespace {

using namespace std::chrono_literals;
using lxtest::RunFor;
using lxtest::RunUntil;
using TClock = std::chrono::steady_clock;

const QString Start = QStringLiteral("开始  自动更新");
const QString Stop = QStringLiteral("停止  自动更新");
const QString Stopped = QStringLiteral("自动更新  停止");
const QString NotOpen = QStringLiteral("串口没打开！");

// The simulator as COM1 (frozen unless told otherwise) and a fresh window.
class Window : public ::testing::Test {
protected:
    void Open(sim::TFaultPlan Faults = {}) {
        sim::TBenchSettings Bench;
        Bench.Frozen = true;
        Simulator.emplace(Bench, simtest::FastLine(), std::move(Faults));
        Folder.Link("COM1", Simulator->Path());
        Form = std::make_unique<TFormMain>();
    }
    QString Text(const char* Label) const { return Form->ValueLabel(Label)->text(); }
    // Waits until the acquisition's thread is idle and the window has shown what it handed over.
    void Settle() {
        ASSERT_TRUE(RunUntil([&] { return !Form->Acquiring(); }, 20000));
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
    void Connect() {
        Form->btnOpenComPort->click();
        Settle();
    }
    void Refresh() {
        Form->btnRefresh->click();
        Settle();
    }
    // The buttons' and the monitor timer's state: connect, disconnect, monitor.
    std::tuple<bool, bool, bool> State() const {
        return {Form->btnOpenComPort->isEnabled(), Form->btnCloseComPort->isEnabled(),
                Form->TimerMonitor->isActive()};
    }
    void TearDown() override { Form.reset(); }

    lxtest::TPortFolder Folder;
    std::optional<simtest::TRunningSimulator> Simulator;
    std::unique_ptr<TFormMain> Form;
};

using TState = std::tuple<bool, bool, bool>;

TEST_F(Window, ConnectRefreshAndDisconnectFollowTheStateTable) {
    Open();
    EXPECT_EQ(State(), TState(true, true, false)) << "start";
    EXPECT_EQ(Form->btnAuotRefresh->text(), Start);
    EXPECT_EQ(Text("lbl_U_UAB"), "380.4") << "a sample text until the first refresh";
    EXPECT_EQ(Form->lxComm->ComPortNo(), 1);
    EXPECT_EQ(Form->lxComm->BaudRate(), 9600u);

    Connect();
    EXPECT_EQ(State(), TState(false, true, true)) << "port open";
    EXPECT_EQ(Form->Acquisition().FI3AC_CT, 10);
    Refresh();
    EXPECT_EQ(Text("lbl_U_UAB"), "381.4");
    EXPECT_EQ(Text("lbl_U_Ib"), "4.980");
    EXPECT_EQ(Text("lbl_I_Ia"), "10.00");
    EXPECT_EQ(Text("lbl_I_Sb"), "~2.196");
    EXPECT_EQ(Text("lbl_PF"), "0.950");
    EXPECT_EQ(Text("lbl_UDC"), "220.0");

    Form->btnCloseComPort->click();
    EXPECT_EQ(State(), TState(true, false, false)) << "closed after disconnect";
    Form->btnRefresh->click();
    EXPECT_EQ(Form->LogLines(),
              QStringList({"COM1 端口已打开", "三相调压变比已读", "三相调流变比已读",
                           "三相调压输出已更新", "三相调流输出已更新", "单相调压输出已更新",
                           "直流调压输出已更新", "COM1 端口已关闭", NotOpen}));
}

TEST_F(Window, DisconnectWithoutEverConnectingLogsTheClosedPort) {
    Open();
    Form->btnCloseComPort->click();
    EXPECT_EQ(State(), TState(true, false, false));
    EXPECT_EQ(Form->LogLines(), QStringList({"COM1 端口已关闭"}));
}

// Auto refresh needs no open port to start; its first tick finds the port closed and stops it,
// and the next press starts it again.
TEST_F(Window, AutoRefreshWithThePortClosedStopsAtItsFirstTick) {
    Open();
    Form->btnAuotRefresh->click();
    EXPECT_EQ(Form->btnAuotRefresh->text(), Stop);
    EXPECT_TRUE(Form->TimerAutoRefresh->isActive());
    EXPECT_EQ(Form->TimerAutoRefresh->interval(), 900);

    ASSERT_TRUE(RunUntil([&] { return !Form->IsAutoRefresh; }, 3000));
    EXPECT_EQ(Form->LogLines(), QStringList({Start, NotOpen, Stopped}));
    EXPECT_EQ(Form->btnAuotRefresh->text(), Start);
    EXPECT_FALSE(Form->TimerAutoRefresh->isActive());

    Form->btnAuotRefresh->click();
    EXPECT_TRUE(Form->IsAutoRefresh);
    EXPECT_EQ(Form->btnAuotRefresh->text(), Stop);
    Form->btnAuotRefresh->click();
    EXPECT_EQ(Form->LogLines(), QStringList({Start, NotOpen, Stopped, Start, Stopped}));
}

// The open error leaves the handler as an exception that the application object hands to the
// standard error box; apart from the stop of auto refresh nothing changes.
TEST_F(Window, AFailedOpenReachesTheErrorBoxAndChangesNothingElse) {
    Open();
    QStringList Shown;
    const TlxShowExceptionHook Saved =
        LxSetShowExceptionHook([&Shown](const QString& Message) { Shown.append(Message); });
    Form->lxComm->SetComPortNo(99);
    Form->btnAuotRefresh->click();
    QTimer::singleShot(0, Form->btnOpenComPort, &QPushButton::click);
    RunUntil([&] { return !Shown.isEmpty(); }, 2000);
    LxSetShowExceptionHook(Saved);

    ASSERT_EQ(Shown.size(), 1);
    EXPECT_TRUE(Shown[0].startsWith("Device \"COM99\" Open Error !!!")) << Shown[0].toStdString();
    EXPECT_FALSE(Form->lxComm->Active());
    EXPECT_EQ(State(), TState(true, true, false));
    EXPECT_EQ(Form->LogLines(), QStringList({Start, Stopped}));
    EXPECT_EQ(Form->btnAuotRefresh->text(), Start);
}

// The voltage source is silent: its reads give up after their bound, its labels keep their
// text, and meanwhile the window answers at once: a second refresh is refused while one runs,
// and a disconnect takes effect in the middle of the exchange.
TEST_F(Window, ASilentSourceLeavesItsLabelsAndTheWindowAnswersMeanwhile) {
    Open(simtest::PlanOf({"1:silent"}));
    Connect();
    Refresh();
    EXPECT_EQ(Text("lbl_U_UAB"), "380.4");
    EXPECT_EQ(Text("lbl_I_Ia"), "10.00");
    EXPECT_EQ(
        Form->LogLines(),
        QStringList({"COM1 端口已打开", "三相调压应答超时", "三相调流变比已读", "三相调压应答超时",
                     "三相调流输出已更新", "单相调压输出已更新", "直流调压输出已更新"}));

    const quint32 Sent = Form->lxComm->TotalSent();
    Form->btnRefresh->click();
    ASSERT_TRUE(Form->Acquiring());
    Form->btnRefresh->click();
    // The close must meet the exchange itself, not a worker that has yet to send.
    ASSERT_TRUE(RunUntil([&] { return Form->lxComm->TotalSent() - Sent >= RequestFrameLength; }, 5000));
    const auto Begin = TClock::now();
    Form->btnCloseComPort->click();
    EXPECT_LT(TClock::now() - Begin, TAcquisition::DefaultReplyTimeout / 2);
    EXPECT_EQ(State(), TState(true, false, false)) << "closed in the middle of the exchange";
    Settle();
    EXPECT_EQ(Form->lxComm->TotalSent() - Sent, RequestFrameLength)
        << "one request: the second press was refused, the close ended the refresh";
    EXPECT_EQ(Form->LogLines().mid(7), QStringList({"COM1 端口已关闭"}));
}

// Disconnecting while auto refresh runs leaves the timer on; its next tick finds the port
// closed, logs it and stops auto refresh.
TEST_F(Window, DisconnectDuringAutoRefreshStopsItAtTheNextTick) {
    Open();
    Connect();
    Form->btnAuotRefresh->click();
    ASSERT_TRUE(RunUntil([&] { return Form->Acquiring(); }, 5000));
    Form->btnCloseComPort->click();
    EXPECT_TRUE(Form->TimerAutoRefresh->isActive());
    ASSERT_TRUE(RunUntil([&] { return !Form->IsAutoRefresh; }, 5000));
    Settle();
    const QStringList Lines = Form->LogLines();
    EXPECT_EQ(Lines.mid(Lines.indexOf("COM1 端口已关闭")),
              QStringList({"COM1 端口已关闭", NotOpen, Stopped}));
    EXPECT_EQ(Form->btnAuotRefresh->text(), Start);
}

// A communication error raised on the component's message thread stops auto refresh on the
// window's thread.
TEST_F(Window, ACommunicationErrorStopsAutoRefresh) {
    Open();
    Connect();
    Form->btnAuotRefresh->click();
    std::thread MessageThread([this] {
        bool Flash = false;
        Form->lxComm->OnCommError()(Form->lxComm, winapi::CE_FRAME, 0, {}, Flash);
    });
    MessageThread.join();
    ASSERT_TRUE(RunUntil([&] { return !Form->IsAutoRefresh; }, 5000));
    Settle();
    EXPECT_EQ(Form->LogLines().count(Stopped), 1);
    EXPECT_FALSE(Form->TimerAutoRefresh->isActive());
}

TEST_F(Window, TheMemoIsClearedOnceItHoldsMoreThanAThousandLines) {
    Open();
    for (int Line = 0; Line < TFormMain::MaxLogLines; ++Line) {
        Form->Memo->appendPlainText(QString::number(Line));
    }
    Form->AddLogLine("a");
    EXPECT_EQ(Form->LogLines().size(), 1001);
    Form->AddLogLine("b");
    EXPECT_EQ(Form->LogLines(), QStringList({"b"}));
}

// A port that leaves the system stops auto refresh at the next monitor tick, once, however many
// ticks follow; the buttons keep the port-open state.
TEST_F(Window, APortLeavingTheSystemStopsAutoRefreshOnce) {
    lxtest::TPtyPair Other;
    Folder.Link("COM2", Other.SlavePath());
    Open();
    ASSERT_EQ(Form->FCOM_DeviceCount, 2);
    Connect();
    Form->btnAuotRefresh->click();
    Folder.Unlink("COM2");
    ASSERT_TRUE(RunUntil([&] { return !Form->IsAutoRefresh; }, 3000));
    RunFor(300);
    EXPECT_EQ(Form->LogLines().count(Stopped), 1);
    EXPECT_EQ(State(), TState(false, true, true));
}

winapi::MSG DevicesChanged() {
    return winapi::MSG{nullptr, winapi::WM_DEVICECHANGE, winapi::DBT_DEVNODES_CHANGED, 0, 0, {}};
}

// A port that joins in front of the open one leaves the window on the port it had, open, and
// auto refresh running.
TEST_F(Window, ADeviceChangeKeepsThePortTheOperatorChose) {
    lxtest::TPtyPair First;
    lxtest::TPtyPair Newcomer;
    Folder.Link("COM3", First.SlavePath());
    Open();
    Folder.Unlink("COM1");
    Folder.Link("COM4", Simulator->Path());
    Form->lxComm->Update();
    Form->lxComm->SetComPortNo(4);
    ASSERT_EQ(Form->lxComm->DeviceIndex(), 1);
    Connect();
    Form->btnAuotRefresh->click();

    Folder.Link("COM1", Newcomer.SlavePath());
    Form->FormDeviceChange(DevicesChanged());
    EXPECT_EQ(Form->lxComm->ComPortNo(), 4);
    EXPECT_EQ(Form->lxComm->DeviceIndex(), 2);
    EXPECT_TRUE(Form->lxComm->Active());
    EXPECT_EQ(Form->lxDeviceBox->currentText(), "COM4");
    EXPECT_EQ(Form->FCOM_DeviceCount, 3);
    EXPECT_TRUE(Form->IsAutoRefresh) << "a port more does not stop auto refresh";
    Refresh();
    EXPECT_EQ(Text("lbl_UDC"), "220.0");
}

// The open port leaves with another: the connection closes with a log line, and the count is
// taken, so later monitor ticks do not stop auto refresh again.
TEST_F(Window, ADeviceChangeThatTakesTheOpenPortClosesTheConnection) {
    lxtest::TPtyPair Other;
    Folder.Link("COM2", Other.SlavePath());
    Open();
    Connect();
    Folder.Unlink("COM1");
    Form->FormDeviceChange(DevicesChanged());
    EXPECT_FALSE(Form->lxComm->Active());
    EXPECT_EQ(State(), TState(true, false, false));
    EXPECT_EQ(Form->FCOM_DeviceCount, 1);
    EXPECT_EQ(Form->LogLines().last(), "COM1 端口已移除，端口已关闭");

    Form->btnAuotRefresh->click();
    Form->TimerMonitorTimer(Form->TimerMonitor);
    EXPECT_TRUE(Form->IsAutoRefresh) << "the count after the change is the one compared";
    Form->btnAuotRefresh->click();
}

// A pick in the port box whose port cannot be opened: the open error reaches the standard error
// box from the box's own handling, and the window goes on.
TEST_F(Window, APickWhosePortFailsToOpenShowsTheError) {
    lxtest::TPtyPair Other;
    Folder.Link("COM2", Other.SlavePath());
    Open();
    Connect();
    Form->btnAuotRefresh->click();
    Folder.Unlink("COM2");
    Folder.Link("COM2", "/nonexistent/tty");
    QStringList Shown;
    const TlxShowExceptionHook Saved =
        LxSetShowExceptionHook([&Shown](const QString& Message) { Shown.append(Message); });
    const int Index = Form->lxDeviceBox->findText("COM2");
    ASSERT_GE(Index, 0);
    Form->lxDeviceBox->setCurrentIndex(Index);
    emit Form->lxDeviceBox->activated(Index);
    LxSetShowExceptionHook(Saved);
    ASSERT_EQ(Shown.size(), 1);
    EXPECT_TRUE(Shown[0].contains("COM2")) << Shown[0].toStdString();
    EXPECT_FALSE(Form->IsAutoRefresh) << "the fatal error stops auto refresh";
}

// Every value label fits the widest text its format can give (16-bit registers times 16-bit
// ratios, 32-bit registers, a single's extremes): drawn smaller where needed, never cut.
TEST_F(Window, TheWidestValuesFitTheirLabels) {
    Open();
    Form->show();
    const QString Widest[][2] = {
        {"lbl_U_UAB", "429483622.5"},
        {"lbl_U_Ua", "429483622.5"},
        {"lbl_U_Ia", "4294836.225"},
        {"lbl_I_Ia", "4294836.23"},
        {"lbl_U_Pa", "~28146209200537.5"},
        {"lbl_I_Sc", "=28146209200.538"},
        {"lbl_U_PFa", "65.535"},
        {"lbl_U_Freq", "655.35"},
        {"lbl_U", "4294967.30"},
        {"lbl_I", "4294967.295"},
        {"lbl_P", "4294967.295"},
        {"lbl_Freq", "4294967.30"},
        {"lbl_UDC", "-340282346638528859811704183484516925440.0"},
    };
    for (const auto& [Name, Text] : Widest) {
        SCOPED_TRACE(Name.toStdString());
        QLabel* Label = Form->ValueLabel(Name);
        ASSERT_NE(Label, nullptr);
        const int Designed = Label->font().pixelSize();
        Form->ShowValueText(Name, Text);
        Label->ensurePolished();
        EXPECT_EQ(Label->text(), Text);
        EXPECT_LE(QFontMetrics(Label->font()).horizontalAdvance(Text),
                  Label->contentsRect().width());
        Form->ShowValueText(Name, "1.0");
        EXPECT_EQ(Label->font().pixelSize(), Designed) << "a short text in the designed size";
    }
}

// The record through the window: one row per refresh, the values as shown.
TEST_F(Window, EveryRefreshAddsARowToTheRecord) {
    Open();
    QTemporaryDir Dir;
    const QString Path = Dir.filePath("panel.csv");
    QString Error;
    ASSERT_TRUE(Form->SetRecordFile(Path, Error)) << Error.toStdString();
    Connect();
    Refresh();
    Refresh();
    QFile File(Path);
    ASSERT_TRUE(File.open(QIODevice::ReadOnly));
    const QStringList Lines = QString::fromUtf8(File.readAll()).trimmed().split('\n');
    ASSERT_EQ(Lines.size(), 3);
    EXPECT_EQ(Lines[0], RecordHeader());
    const QStringList Cells = Lines[1].split(',');
    EXPECT_EQ(Cells[RecordColumns().indexOf("U_UAB")], "381.4");
    EXPECT_EQ(Cells[RecordColumns().indexOf("I_Sb")], "2.196");
    EXPECT_EQ(Cells[RecordColumns().indexOf("I3AC_b")], "~");
    EXPECT_EQ(Cells[RecordColumns().indexOf("UDC_status")], "ok");
}

} // namespace
