#include "UnitMain.h"

#include "UnitApplication.h"
#include "lxcommbox.h"
#include "lxcomponent.h"
#include "lxdevicechange.h"
#include "ui_UnitMain.h"

#include <QAction>
#include <QCoreApplication>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QTextBlock>
#include <QThread>
#include <QTimer>

namespace {

const QString CaptionStartAutoRefresh = QStringLiteral("开始  自动更新");
const QString CaptionStopAutoRefresh = QStringLiteral("停止  自动更新");
const QString LogAutoRefreshStopped = QStringLiteral("自动更新  停止");

int TextWidth(const QFont& Font, const QString& Text) {
    return QFontMetrics(Font).horizontalAdvance(Text);
}

// The largest pixel size, up to the designed one, at which Text fits into Room.
int FittingPixelSize(QFont Font, const QString& Text, int Room) {
    int Size = Font.pixelSize();
    const int Width = TextWidth(Font, Text);
    if (Size <= 0 || Width <= Room) {
        return Size;
    }
    // Widths grow about in step with the size: start there and step down to be sure.
    Size = std::max(1, Size * Room / Width);
    Font.setPixelSize(Size);
    while (Size > 1 && TextWidth(Font, Text) > Room) {
        Font.setPixelSize(--Size);
    }
    return Size;
}

// The labels take their fonts from their style sheets, which override a font set on the widget:
// a smaller size goes into the sheet's font declaration.
QString WithFontPixelSize(const QString& StyleSheet, int Size) {
    static const QRegularExpression FontSize(QStringLiteral("(font:[^;]*?)\\b\\d+px"));
    QString Sheet = StyleSheet;
    return Sheet.replace(FontSize, QStringLiteral("\\1%1px").arg(Size));
}

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
            Label->ensurePolished();
            fDesigned.insert(Label, TDesignedLook{Label->styleSheet(), Label->font()});
        }
    }
    fDecimalPoint = QLocale::system().decimalPoint().front();

    lxComm = new TBenchComm(this);
    lxCommMonitor = new TlxComm(this);
    TimerAutoRefresh = new QTimer(this);
    TimerAutoRefresh->setObjectName(QStringLiteral("TimerAutoRefresh"));
    TimerMonitor = new QTimer(this);
    TimerMonitor->setObjectName(QStringLiteral("TimerMonitor"));
    LoadComponents();
    fAcquisition = std::make_unique<TAcquisition>(*lxComm, static_cast<TAcquisitionView&>(*this));
    fAcquiring = std::make_unique<TAcquisitionThread>();
    ConnectHandlers();
    AddRecordActions();

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
    // A running exchange ends at once: its wait is stopped and its read ends with the port.
    fAcquisition->RequestStop();
    lxComm->SetActive(false);
    fAcquiring.reset();
    delete fDeviceChanges;
    delete lxComm;
    delete lxCommMonitor;
}

void TFormMain::LoadComponents() {
    ::LoadComponents({lxComm, lxCommMonitor}, [this] {
        lxComm->SetName(QStringLiteral("lxComm"));
        lxComm->SetOnFatalError(TOnFatalErrorEvent::Bind<&TFormMain::lxCommFatalError>(this));
        lxCommMonitor->SetName(QStringLiteral("lxCommMonitor"));
        for (TlxComm* Comm : {static_cast<TlxComm*>(lxComm), lxCommMonitor}) {
            const bool Bench = Comm == static_cast<TlxComm*>(lxComm);
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

void TFormMain::AddRecordActions() {
    setContextMenuPolicy(Qt::ActionsContextMenu);
    auto* Record = new QAction(QStringLiteral("记录到文件…"), this);
    connect(Record, &QAction::triggered, this, [this] { ChooseRecordFile(); });
    auto* StopRecord = new QAction(QStringLiteral("停止记录"), this);
    connect(StopRecord, &QAction::triggered, this, [this] {
        QString Unused;
        SetRecordFile({}, Unused);
    });
    addActions({Record, StopRecord});
}

void TFormMain::ChooseRecordFile() {
    const QString Path = QFileDialog::getSaveFileName(this, QStringLiteral("记录到文件"), {},
                                                      QStringLiteral("CSV (*.csv)"), nullptr,
                                                      QFileDialog::DontConfirmOverwrite);
    QString Error;
    if (!Path.isEmpty() && !SetRecordFile(Path, Error)) {
        QMessageBox::warning(this, windowTitle(), Error);
    }
}

bool TFormMain::SetRecordFile(const QString& Path, QString& Error) {
    if (Path.isEmpty()) {
        if (fRecord.IsOpen()) {
            AppendLogLine(QStringLiteral("记录已停止：%1").arg(fRecord.FileName()));
        }
        fRecord.Close();
        return true;
    }
    if (!fRecord.Open(Path, Error)) {
        return false;
    }
    AppendLogLine(QStringLiteral("记录到 %1").arg(Path));
    return true;
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
    RunOnWindowThread([this, Text] {
        if (LogLineCount() > MaxLogLines) {
            Memo->clear();
        }
        AppendLogLine(Text);
    });
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
    fAcquisition->RequestStop();
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
    StartAcquisition([this] { fAcquisition->ReadRatios(); });
}

void TFormMain::btnCloseComPortClick(QObject*) {
    fAcquisition->RequestStop();
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
        StartAcquisition([this] {
            const std::optional<TRefreshResult> Refresh = fAcquisition->ReadAll();
            if (Refresh) {
                RunOnWindowThread([this, Refresh] { fRecord.Append(*Refresh); });
            }
        });
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
        fAcquisition->RequestStop();
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
    // The count is taken whatever the rebuild does: a stale count would stop auto refresh at
    // every monitor tick from now on.
    struct TTakeCount {
        TFormMain* Form;
        ~TTakeCount() { Form->FCOM_DeviceCount = Form->lxCommMonitor->DeviceCount(); }
    } TakeCount{this};
    KeepChosenPort(lxComm->GetComName(), Message);
}

void TFormMain::KeepChosenPort(const QString& Name, const winapi::MSG& Message) {
    // The component's selection follows its port number through the rebuilt list, so it stays
    // on the port by name; writing back a list position would move it to whatever port now
    // stands there.
    lxComm->WMDeviceChange(Message);
    if (lxComm->DeviceIndex() >= 0 || !lxComm->Active()) {
        return;
    }
    fAcquisition->RequestStop();
    lxComm->SetActive(false);
    TimerMonitor->stop();
    btnOpenComPort->setEnabled(true);
    btnCloseComPort->setEnabled(false);
    AppendLogLine(QStringLiteral("%1 端口已移除，端口已关闭").arg(Name));
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

bool TFormMain::StartAcquisition(std::function<void()> Job) {
    if (fAcquiring->Busy()) {
        return false;
    }
    fAcquisition->BeginSequence();
    return fAcquiring->Run(std::move(Job));
}

void TFormMain::ShowSource(const TSourceResult& Result) {
    RunOnWindowThread([this, Result] { ShowOnWindow(Result); });
}

void TFormMain::ShowOnWindow(const TSourceResult& Result) {
    for (const TShownValue& Value : Result.Values) {
        if (QLabel* Label = ValueLabel(Value.Name)) {
            FitValueText(Label, fDesigned.value(Label), ShownText(Value, fDecimalPoint));
        }
    }
}

void TFormMain::FitValueText(QLabel* Label, const TDesignedLook& Designed, const QString& Text) {
    // Drawn smaller in the same font where it is wider than its label: a right-aligned text
    // would otherwise lose its leading characters (a digit, the phase flag) or run into the
    // caption.
    const int Room =
        Label->contentsRect().width() - 2 * Label->margin() - std::max(0, Label->indent());
    const int Size = FittingPixelSize(Designed.Font, Text, Room);
    const QString Sheet = Size == Designed.Font.pixelSize()
                              ? Designed.StyleSheet
                              : WithFontPixelSize(Designed.StyleSheet, Size);
    if (Label->styleSheet() != Sheet) {
        Label->setStyleSheet(Sheet);
    }
    Label->setText(Text);
}

int TFormMain::LogLineCount() const {
    // An empty edit still has its one empty block, which is no line of the log.
    return Memo->document()->isEmpty() ? 0 : Memo->document()->blockCount();
}

void TFormMain::AppendLogLine(const QString& Text) {
    Memo->appendPlainText(Text);
    // The newest line stays in sight, whatever the operator scrolled to.
    Memo->moveCursor(QTextCursor::End);
    Memo->ensureCursorVisible();
}
