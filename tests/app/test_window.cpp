// The operator window on a real Qt event loop, against the bench simulator in-process on a real
// pseudo-terminal with frozen values: its buttons, timers, log and error paths.
#include "SimPeer.h"
#include "UnitMain.h"
#include "eventloop.h"
#include "lxui.h"
#include "pty.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>
#include <memory>
#include <optional>

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

    Form->btnOpenComPort->click();
    EXPECT_EQ(State(), TState(false, true, true)) << "port open";
    EXPECT_EQ(Form->Acquisition().FI3AC_CT, 10);
    Form->btnRefresh->click();
    EXPECT_EQ(Text("lbl_U_UAB"), "381.1");
    EXPECT_EQ(Text("lbl_U_Ia"), "5.000");
    EXPECT_EQ(Text("lbl_I_Ia"), "10.00");
    EXPECT_EQ(Text("lbl_I_Sb"), "~2.200");
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
// text, and the window goes on answering the operator.
TEST_F(Window, ASilentSourceLeavesItsLabelsAndTheWindowUsable) {
    Open(simtest::PlanOf({"1:silent"}));
    Form->btnOpenComPort->click();
    const auto Begin = TClock::now();
    Form->btnRefresh->click();
    EXPECT_LT(TClock::now() - Begin, TAcquisition::DefaultReplyTimeout + 3s);
    EXPECT_EQ(Text("lbl_U_UAB"), "380.4");
    EXPECT_EQ(Text("lbl_I_Ia"), "10.00");
    Form->btnCloseComPort->click();
    EXPECT_EQ(Form->LogLines(),
              QStringList({"COM1 端口已打开", "三相调压应答超时", "三相调流变比已读",
                           "三相调压应答超时", "三相调流输出已更新", "单相调压输出已更新",
                           "直流调压输出已更新", "COM1 端口已关闭"}));
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
    Form->btnOpenComPort->click();
    Form->btnAuotRefresh->click();
    Folder.Unlink("COM2");
    ASSERT_TRUE(RunUntil([&] { return !Form->IsAutoRefresh; }, 3000));
    RunFor(300);
    EXPECT_EQ(Form->LogLines().count(Stopped), 1);
    EXPECT_EQ(State(), TState(false, true, true));
}

// A device-change message keeps the selection at its position in the rebuilt list: a port that
// joins in front of the open one makes the window reopen on the newcomer.
TEST_F(Window, ADeviceChangeReopensAtTheRememberedPosition) {
    lxtest::TPtyPair First;
    lxtest::TPtyPair Newcomer;
    Folder.Link("COM3", First.SlavePath());
    Open();
    Folder.Unlink("COM1");
    Folder.Link("COM4", Simulator->Path());
    Form->lxComm->Update();
    Form->lxComm->SetComPortNo(4);
    ASSERT_EQ(Form->lxComm->DeviceIndex(), 1);
    Form->btnOpenComPort->click();
    Form->btnAuotRefresh->click();

    Folder.Link("COM1", Newcomer.SlavePath());
    Form->FormDeviceChange(
        winapi::MSG{nullptr, winapi::WM_DEVICECHANGE, winapi::DBT_DEVNODES_CHANGED, 0, 0, {}});
    EXPECT_EQ(Form->lxComm->ComPortNo(), 3);
    EXPECT_TRUE(Form->lxComm->Active());
    EXPECT_EQ(Form->FCOM_DeviceCount, 3);
    EXPECT_TRUE(Form->IsAutoRefresh) << "a port more does not stop auto refresh";
}

} // namespace
