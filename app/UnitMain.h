// The operator panel window: port selection, connect and disconnect, one or timed refreshes of the
// four sources, the port settings dialog, and the log. The layout is UnitMain.ui; the components'
// stored settings are applied in LoadComponents, between begin-loading and Loaded, as the layout
// description's streaming would apply them.
//
// Threads. Every handler runs on the window's thread except the two error events of lxComm, which
// its message thread (or the acquisition's thread) raises: they hand StopAutoRefresh to the
// window's thread through a call queue (at once when they are raised there already). The
// exchanges run on the acquisition's thread (TAcquisitionThread), which hands each source's
// result and each log line to the window's thread through the same queue, so the window answers
// during a connect and a refresh whatever the line does. The window stops that thread and
// destroys lxComm, and with them the threads that could still post, before the queue goes.
#pragma once

#include "UnitAcquisition.h"
#include "UnitAcquisitionThread.h"
#include "UnitBenchComm.h"
#include "UnitRecord.h"
#include "lxcallqueue.h"
#include "lxcomm.h"

#include <QFont>
#include <QHash>
#include <QStringList>
#include <QWidget>
#include <memory>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class TlxDeviceBox;
class TlxDeviceChangeNotifier;

namespace Ui {
class FormMain;
}

class TFormMain : public QWidget, private TAcquisitionView {
    Q_OBJECT
public:
    explicit TFormMain(QWidget* Parent = nullptr);
    // Closes the port and stops its threads first, while the window's call queue still exists.
    ~TFormMain() override;

    // --- Components and controls ------------------------------------------------------------
    TBenchComm* lxComm = nullptr;
    TlxComm* lxCommMonitor = nullptr;
    TlxDeviceBox* lxDeviceBox = nullptr;
    QTimer* TimerAutoRefresh = nullptr;
    QTimer* TimerMonitor = nullptr;
    QPushButton* btnOpenComPort = nullptr;
    QPushButton* btnCloseComPort = nullptr;
    QPushButton* btnRefresh = nullptr;
    QPushButton* btnAuotRefresh = nullptr;
    QPushButton* btnComPortOption = nullptr;
    QPlainTextEdit* Memo = nullptr;

    // --- Fields -----------------------------------------------------------------------------
    bool IsAutoRefresh = false;
    int FCOM_DeviceCount = 0;
    // The ratios and last replies (FU3AC_PT ... FRecord_UDC) live in the acquisition.
    TAcquisition& Acquisition() { return *fAcquisition; }

    // --- Reading methods --------------------------------------------------------------------
    void SendRequest(std::uint8_t Slave, std::uint8_t FunctionCode, std::uint16_t StartRegister,
                     std::uint16_t RegisterCount);
    void ReadU3AC_PTCT();
    void ReadI3AC_PTCT();
    void ReadU3AC();
    void ReadI3AC();
    void Read1AC();
    void ReadUDC();
    // Clears a log of more than MaxLogLines lines, then adds Text.
    void AddLogLine(const QString& Text) override;
    static constexpr int MaxLogLines = 1000;

    // --- Handlers ---------------------------------------------------------------------------
    void FormCreate(QObject* Sender);
    // Switches auto refresh off if it is on: timer off, log line, caption, in that order.
    void StopAutoRefresh();
    void btnOpenComPortClick(QObject* Sender);
    void btnCloseComPortClick(QObject* Sender);
    void btnRefreshClick(QObject* Sender);
    void btnAuotRefreshClick(QObject* Sender);
    void TimerAutoRefreshTimer(QObject* Sender);
    void btnComPortOptionClick(QObject* Sender);
    void TimerMonitorTimer(QObject* Sender);
    // A WM_DEVICECHANGE message, delivered by the device-change notifier.
    void FormDeviceChange(const winapi::MSG& Message);
    void lxCommCommError(QObject* Com, quint32 CommCode, quint32 SysError, TComStateFlags State,
                         bool& flFlashBuffers);
    void lxCommFatalError(QObject* Sender, quint32 ErrorCode, quint32 Detail,
                          const QString& ErrorMsg, bool& RaiseException);

    // --- For the program and the tests ------------------------------------------------------
    // The value label named Name ("lbl_U_Ua"), or none.
    QLabel* ValueLabel(const QString& Name) const { return fValueLabels.value(Name); }
    QStringList LogLines() const;
    // Whether a connect's ratio reads or a refresh is running on the acquisition's thread.
    bool Acquiring() { return fAcquiring->Busy(); }
    // Appends a row per refresh to Path from now on (see UnitRecord); false with the reason in
    // Error. An empty path ends the record.
    bool SetRecordFile(const QString& Path, QString& Error);
    QString RecordFile() const { return fRecord.IsOpen() ? fRecord.FileName() : QString(); }
    // A value label's look as designed: its style sheet and the font that gives it.
    struct TDesignedLook {
        QString StyleSheet;
        QFont Font;
    };
    // Sets a value label's text, drawn smaller where it is wider than the label.
    static void FitValueText(QLabel* Label, const TDesignedLook& Designed, const QString& Text);
    // Shows Text in the value label Name as a refresh would.
    void ShowValueText(const QString& Name, const QString& Text) {
        FitValueText(ValueLabel(Name), fDesigned.value(ValueLabel(Name)), Text);
    }

private:
    // The components' stored settings, applied while they are loading.
    void LoadComponents();
    void ConnectHandlers();
    void CenterOnDesktop();
    // The operator's way to the record without a command line: the window's context menu.
    void AddRecordActions();
    void ChooseRecordFile();
    // Runs Call on the window's thread: at once when called there, else queued to it.
    void RunOnWindowThread(std::function<void()> Call);
    // Starts Job on the acquisition's thread unless a job runs; false then.
    bool StartAcquisition(std::function<void()> Job);
    // After a device change: the port stays the one the operator chose while it is listed.
    void KeepChosenPort(const QString& Name, const winapi::MSG& Message);

    // TAcquisitionView, called on the acquisition's thread.
    void ShowSource(const TSourceResult& Result) override;
    void ShowOnWindow(const TSourceResult& Result);
    int LogLineCount() const;
    void AppendLogLine(const QString& Text);

    std::unique_ptr<Ui::FormMain> ui;
    QHash<QString, QLabel*> fValueLabels;
    QHash<QLabel*, TDesignedLook> fDesigned;
    QChar fDecimalPoint;
    std::unique_ptr<TAcquisition> fAcquisition;
    std::unique_ptr<TAcquisitionThread> fAcquiring;
    TRecordFile fRecord;
    TlxDeviceChangeNotifier* fDeviceChanges = nullptr;
    TlxCallQueue fWindowCalls;
};
