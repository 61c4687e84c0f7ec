#include "UnitMain.h"

#include "UnitApplication.h"
#include "lxcommbox.h"
#include "lxcomponent.h"
#include "lxdevicechange.h"
#include "ui_UnitMain.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTextBlock>
#include <QThread>
#include <QTimer>

namespace {

const QString CaptionStartAutoRefresh = QStringLiteral("开始  自动更新");
const QString CaptionStopAutoRefresh = QStringLiteral("停止  自动更新");
const QString LogAutoRefreshStopped = QStringLiteral("自动更新  停止");

} // namespace

TFormMain::TFormMain(QWidget* Parent) : QWidget(Parent), ui(std::make_unique<Ui::FormMain>()) {
    ui->setupUi(this);
    btnOpenComPort = ui->btnOpenComPort;
    btnCloseComPort = ui->btnCloseComPort;
    btnRefresh = ui->btnRefresh;
    btnAuotRefresh = ui->btnAuotRefresh;
    btnComPortOption = ui->btnComPortOption;
    lxDeviceBox = ui->lxDeviceBox;
    Memo = ui->Memo;
    for (QLabel* Label : findChildren<QLabel*>()) {
        if (Label->objectName().startsWith(QLatin1String("lbl_"))) {
            fValueLabels.insert(Label->objectName(), Label);
        }
    }

    lxComm = new TlxComm(this);
    lxCommMonitor = new TlxComm(this);
    TimerAutoRefresh = new QTimer(this);
    TimerAutoRefresh->setObjectName(QStringLiteral("TimerAutoRefresh"));
    TimerMonitor = new QTimer(this);
    TimerMonitor->setObjectName(QStringLiteral("TimerMonitor"));
    LoadComponents();
    fAcquisition = std::make_unique<TAcquisition>(*lxComm, static_cast<TAcquisitionView&>(*this));
    ConnectHandlers();

    fDeviceChanges = new TlxDeviceChangeNotifier(this);
    // Reselecting the port after a device change can fail to reopen it.
    fDeviceChanges->AddReceiver(this, [this](const winapi::MSG& Message) {
        RunHandler([this, &Message] { FormDeviceChange(Message); });
    });
    // Without a device monitor the panel still works; it only misses unplugged ports.
    fDeviceChanges->Start();

    CenterOnDesktop();
    FormCreate(this);
}

TFormMain::~TFormMain() {
    delete fDeviceChanges;
    delete lxComm;
    delete lxCommMonitor;
}

void TFormMain::LoadComponents() {
    ::LoadComponents({lxComm, lxCommMonitor}, [this] {
        lxComm->SetName(QStringLiteral("lxComm"));
        lxComm->SetOnFatalError(TOnFatalErrorEvent::Bind<&TFormMain::lxCommFatalError>(this));
        lxCommMonitor->SetName(QStringLiteral("lxCommMonitor"));
        for (TlxComm* Comm : {lxComm, lxCommMonitor}) {
            const bool Bench = Comm == lxComm;
            Comm->SetActive(false);
            Comm->SetBaudRate(9600);
            Comm->SetParity(pNone);
            Comm->SetStopBits(sbOne);
            Comm->SetByteSize(8);
            Comm->SetComPortNo(1);
            Comm->SetComPort(cpCOM1);
            Comm->SetTraceStates({});
            Comm->SetEventChar(0);
            Comm->SetStreamProtocol(spHardware);
            Comm->SetBufferInSize(Bench ? 1024 : 8192);
            Comm->SetBufferOutSize(Bench ? 1024 : 8192);
            Comm->SetTimeoutRead(0);
            Comm->SetTimeoutWrite(0);
            Comm->SetRS485Mode(Bench);
            Comm->SetEnumPorts(epQuickAll);
            Comm->SetUseMainThread(!Bench);
            Comm->SetKeepConnection(false);
            Comm->SetTerminalUsage(tuNone);
            Comm->SetTerminalEcho(false);
        }
        lxComm->SetOnCommError(TOnCommErrorEvent::Bind<&TFormMain::lxCommCommError>(this));
        lxDeviceBox->SetlxComm(lxComm);
        lxDeviceBox->SetResetOnChanged(false);
        TimerAutoRefresh->setInterval(900);
        TimerMonitor->setInterval(100);
    });
}

void TFormMain::ConnectHandlers() {
    const auto Click = [this](QPushButton* Button, void (TFormMain::*Handler)(QObject*)) {
        connect(Button, &QPushButton::clicked, this, [this, Button, Handler] {
            RunHandler([this, Button, Handler] { (this->*Handler)(Button); });
        });
    };
    Click(btnOpenComPort, &TFormMain::btnOpenComPortClick);
    Click(btnCloseComPort, &TFormMain::btnCloseComPortClick);
    Click(btnRefresh, &TFormMain::btnRefreshClick);
    Click(btnAuotRefresh, &TFormMain::btnAuotRefreshClick);
    Click(btnComPortOption, &TFormMain::btnComPortOptionClick);
    connect(TimerAutoRefresh, &QTimer::timeout, this,
            [this] { RunHandler([this] { TimerAutoRefreshTimer(TimerAutoRefresh); }); });
    connect(TimerMonitor, &QTimer::timeout, this,
            [this] { RunHandler([this] { TimerMonitorTimer(TimerMonitor); }); });
}

void TFormMain::CenterOnDesktop() {
    if (const QScreen* Screen = QGuiApplication::primaryScreen()) {
        QRect Frame = geometry();
        Frame.moveCenter(Screen->availableGeometry().center());
        move(Frame.topLeft());
    }
}

// ---------------------------------------------------------------------------------------------
// Reading methods

void TFormMain::SendRequest(std::uint8_t Slave, std::uint8_t FunctionCode,
                            std::uint16_t StartRegister, std::uint16_t RegisterCount) {
    fAcquisition->SendRequest(Slave, FunctionCode, StartRegister, RegisterCount);
}

void TFormMain::ReadU3AC_PTCT() {
    fAcquisition->ReadU3AC_PTCT();
}

void TFormMain::ReadI3AC_PTCT() {
    fAcquisition->ReadI3AC_PTCT();
}

void TFormMain::ReadU3AC() {
    fAcquisition->ReadU3AC();
}

void TFormMain::ReadI3AC() {
    fAcquisition->ReadI3AC();
}

void TFormMain::Read1AC() {
    fAcquisition->Read1AC();
}

void TFormMain::ReadUDC() {
    fAcquisition->ReadUDC();
}

void TFormMain::AddLogLine(const QString& Text) {
    fAcquisition->AddLogLine(Text);
}

// ---------------------------------------------------------------------------------------------
// Handlers

void TFormMain::FormCreate(QObject*) {
    IsAutoRefresh = false;
    lxComm->SetBaudRate(9600);
    lxComm->Update();
    lxCommMonitor->Update();
    FCOM_DeviceCount = lxCommMonitor->DeviceCount();
}

void TFormMain::StopAutoRefresh() {
    if (!TimerAutoRefresh->isActive()) {
        return;
    }
    TimerAutoRefresh->stop();
    IsAutoRefresh = false;
    AppendLogLine(LogAutoRefreshStopped);
    btnAuotRefresh->setText(CaptionStartAutoRefresh);
}

void TFormMain::btnOpenComPortClick(QObject*) {
    if (!lxComm->Active()) {
        lxComm->SetActive(true);
    }
    if (!lxComm->Active()) {
        return;
    }
    lxCommMonitor->Update();
    FCOM_DeviceCount = lxCommMonitor->DeviceCount();
    btnOpenComPort->setEnabled(false);
    btnCloseComPort->setEnabled(true);
    TimerMonitor->start();
    AppendLogLine(QStringLiteral("%1 端口已打开").arg(lxComm->GetComName()));
    fAcquisition->ReadRatios();
}

void TFormMain::btnCloseComPortClick(QObject*) {
    if (lxComm->Active()) {
        lxComm->SetActive(false);
    }
    if (lxComm->Active()) {
        return;
    }
    TimerMonitor->stop();
    btnOpenComPort->setEnabled(true);
    btnCloseComPort->setEnabled(false);
    AppendLogLine(QStringLiteral("%1 端口已关闭").arg(lxComm->GetComName()));
}

void TFormMain::btnRefreshClick(QObject*) {
    if (lxComm->Active()) {
        fAcquisition->ReadAll();
        return;
    }
    AppendLogLine(QStringLiteral("串口没打开！"));
    StopAutoRefresh();
}

void TFormMain::btnAuotRefreshClick(QObject*) {
    IsAutoRefresh = !IsAutoRefresh;
    if (IsAutoRefresh) {
        AppendLogLine(CaptionStartAutoRefresh);
        btnAuotRefresh->setText(CaptionStopAutoRefresh);
        TimerAutoRefresh->start();
    } else {
        TimerAutoRefresh->stop();
        AppendLogLine(LogAutoRefreshStopped);
        btnAuotRefresh->setText(CaptionStartAutoRefresh);
    }
}

void TFormMain::TimerAutoRefreshTimer(QObject* Sender) {
    btnRefreshClick(Sender);
}

void TFormMain::btnComPortOptionClick(QObject*) {
    lxComm->ConfigDialog();
}

void TFormMain::TimerMonitorTimer(QObject*) {
    lxCommMonitor->Update();
    if (lxCommMonitor->DeviceCount() < FCOM_DeviceCount) {
        StopAutoRefresh();
    }
}

void TFormMain::FormDeviceChange(const winapi::MSG& Message) {
    lxCommMonitor->Update();
    if (lxCommMonitor->DeviceCount() < FCOM_DeviceCount) {
        StopAutoRefresh();
    }
    const int Index = lxComm->DeviceIndex();
    lxComm->WMDeviceChange(Message);
    lxComm->SetDeviceIndex(Index);
    FCOM_DeviceCount = lxCommMonitor->DeviceCount();
}

void TFormMain::lxCommCommError(QObject*, quint32, quint32, TComStateFlags, bool&) {
    RunOnWindowThread([this] { StopAutoRefresh(); });
}

void TFormMain::lxCommFatalError(QObject*, quint32, quint32, const QString&, bool&) {
    RunOnWindowThread([this] { StopAutoRefresh(); });
}

// ---------------------------------------------------------------------------------------------
// The view of the acquisition

QStringList TFormMain::LogLines() const {
    QStringList Lines;
    for (int Line = 0; Line < LogLineCount(); ++Line) {
        Lines.append(Memo->document()->findBlockByNumber(Line).text());
    }
    return Lines;
}

void TFormMain::RunOnWindowThread(std::function<void()> Call) {
    if (QThread::currentThread() == thread()) {
        Call();
    } else {
        fWindowCalls.Post(std::move(Call));
    }
}

void TFormMain::SetLabelText(const QString& Name, const QString& Text) {
    if (QLabel* Label = ValueLabel(Name)) {
        Label->setText(Text);
    }
}

int TFormMain::LogLineCount() const {
    // An empty edit still has its one empty block, which is no line of the log.
    return Memo->document()->isEmpty() ? 0 : Memo->document()->blockCount();
}

void TFormMain::ClearLog() {
    Memo->clear();
}

void TFormMain::AppendLogLine(const QString& Text) {
    Memo->appendPlainText(Text);
    // The newest line stays in sight, whatever the operator scrolled to.
    Memo->moveCursor(QTextCursor::End);
    Memo->ensureCursorVisible();
}

void TFormMain::ProcessMessages() {
    QCoreApplication::processEvents();
}
