// The I/O component framework: the log and data-processor interface types, the device record,
// the notify list, the timer, the log interface, the data processor, the base I/O component and
// the I/O thread.
#pragma once

#include "lxcallqueue.h"
#include "lxcomponent.h"
#include "lxerror.h"
#include "lxformat.h"
#include "lxmethod.h"
#include "lxset.h"
#include "lxthread.h"
#include "winapi.h"

#include <QByteArray>
#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QtGlobal>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class QKeyEvent;
class QPlainTextEdit;
class QTimerEvent;
class TlxBaseIO;
class TlxThreadIO;

// ---------------------------------------------------------------------------------------------
// Log and data-processor interface types

// Detail level of a log line, in increasing detail.
enum TDetailLevel { dlSimple, dlDetail, dlDebug };

// What a data processor asks the receive dispatch to leave out for one block. Only itTerminal is
// acted upon; the others are reported for a processor's own descendants.
enum TIgnoreType { itTerminal, itEventList, itAfterReceive, itTraceState };
using TIgnoreTypes = TlxSet<TIgnoreType>;

// Events. The component passes itself first; an unset handler is skipped by the caller.
using TNotifyEvent = TlxMethod<void(QObject* Sender)>;
// RaiseException arrives true; the handler clears it to stop the exception.
using TOnFatalErrorEvent = TlxMethod<void(QObject* Sender, quint32 ErrorCode, quint32 Detail,
                                          const QString& ErrorMsg, bool& RaiseException)>;
// Buffer is valid only during the call.
using TOnReceived = TlxMethod<void(QObject* Com, const void* Buffer, quint32 Received)>;
using TOnSent = TlxMethod<void(QObject* Com)>;

// Notify handler. Codes: 1 medium closed, 2 medium opened, 3 device list or selection changed.
using TlxNotifyEvent = TlxMethod<void(QObject* Sender, int Code)>;

// Called before a data processor sends; flHandled arrives false and the handler sets it when it
// has taken the send over. flSynchro is false for a buffer, true for a string.
using TDataSendEvent = TlxMethod<void(QObject* Sender, const char* ptrBuffer, quint32 Len,
                                      bool flSynchro, bool& flHandled)>;

// A step handed to TlxThreadIO::Synchronize.
using TThreadMethod = TlxMethod<void()>;

// ---------------------------------------------------------------------------------------------
// One entry of an I/O component's device list: a port or device found on the system. Whoever
// enumerates the devices creates and fills the entry; once the component has listed it, the
// component owns it. Index and Parent are set only by the component's device list.
class TlxDevice {
public:
    TlxDevice() = default;
    TlxDevice(const TlxDevice&) = delete;
    TlxDevice& operator=(const TlxDevice&) = delete;

    // Position in the owner's device list.
    qint32 Index() const { return fIndex; }
    // The component whose device list holds the entry.
    TlxBaseIO* Parent() const { return fParent; }

private:
    friend class TlxBaseIO;

    qint32 fIndex = 0;
    TlxBaseIO* fParent = nullptr;

public:
    // An open handle, for components that keep one per device; 0 for serial ports.
    quintptr Handle = 0;
    // Plug-and-Play device instance handle.
    quintptr DevInst = 0;
    // Sort key of the device list: n of COMn for a serial port; ports not named COMn get numbers
    // from 4097 upwards.
    qint32 Data = 0;
    // A second number for the component's own use; 0 for serial ports.
    qint32 DataEx = 0;
    QString NameFriendly;
    QString NamePDO;
    QString NameDeviceDos;
    QString NameSymbolic;
    QString RegKey;
    QString Description;
    QString Service;
    QString Driver;
    QString InstanceId;
    // Joined with ";".
    QString BusRelations;
    // The name the serial component opens the port under, e.g. COM3.
    QString PortName;
    QString Manufacturer;
    QString SerialNumber;
    winapi::GUID GuidClass{};
};

// ---------------------------------------------------------------------------------------------
// The ordered notify handlers of a component. The list owns one separate copy of each handler.
// It has no lock: it is changed and called on the thread that opens and closes the component.
class TlxNotifyList {
public:
    TlxNotifyList() = default;
    ~TlxNotifyList();
    TlxNotifyList(const TlxNotifyList&) = delete;
    TlxNotifyList& operator=(const TlxNotifyList&) = delete;

    // Appends a copy of Item and returns its index. Duplicates are the caller's business.
    int Add(const TlxNotifyEvent& Item);
    // Releases the copy at Index; later items move down by one.
    void Delete(int Index);
    void Clear();
    // Index of the first handler with Item's code, whatever object it is bound to, or -1.
    int IndexOf(const TlxNotifyEvent& Item) const;
    // Calls every handler in order with (Sender, Code). The count is read once before the first
    // call: a handler that deletes items makes a later index fail with the index error, which
    // abandons the rest of the call.
    void Call(QObject* Sender, int Code);
    TlxNotifyEvent Get(int Index) const;
    void Put(int Index, const TlxNotifyEvent& Item);
    int Count() const { return static_cast<int>(fItems.size()); }

private:
    // Raises the index error (ElxError) for an index outside 0..Count-1.
    void CheckIndex(int Index) const;

    std::vector<std::unique_ptr<TlxNotifyEvent>> fItems;
};

// ---------------------------------------------------------------------------------------------
// A light periodic timer ticking on the event loop of the thread that created it. It must be
// created, changed and destroyed on that thread.
//
// It arms one system timer exactly while the interval is not 0, it is enabled and a handler is
// set. Every change re-evaluates that rule by killing the timer and arming it again where the rule
// holds, which restarts the period; writing Enabled or Interval with the value it already has
// changes nothing, while writing the handler always restarts the period. A one-shot delay or a new
// period: SetEnabled(false), SetInterval(n), SetEnabled(true).
class TlxTimer : public QObject {
    Q_OBJECT
public:
    // Enabled, interval 1000 ms, no handler: nothing is armed yet.
    TlxTimer();
    ~TlxTimer() override;

    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value);
    // Period in milliseconds.
    quint32 Interval() const { return FInterval; }
    void SetInterval(quint32 Value);
    TNotifyEvent OnTimer() const { return FOnTimer; }
    void SetOnTimer(const TNotifyEvent& Value);

protected:
    // One tick: calls the handler if the timer is still enabled and has one.
    virtual void DoTimer();
    // The ticks of the system timer arrive here; an exception from the handler is discarded so
    // that it cannot stop the timer or reach the event loop.
    void timerEvent(QTimerEvent* Event) override;

private:
    void UpdateTimer();

    quint32 FInterval = 1000;
    // The system timer: Qt's id of the one timer this object arms, 0 while none is armed.
    int FTimerId = 0;
    TNotifyEvent FOnTimer;
    bool FEnabled = true;
};

// ---------------------------------------------------------------------------------------------
// The interface of a log that a component writes its lines to. The system itself contains no
// concrete log.
class TlxCustomLogFile : public TComponent {
    Q_OBJECT
public:
    explicit TlxCustomLogFile(QObject* AOwner = nullptr);

    TOnFatalErrorEvent OnFatalError() const { return fOnFatalError; }
    void SetOnFatalError(const TOnFatalErrorEvent& Value) { fOnFatalError = Value; }

protected:
    // The log's own failures (a file it cannot write, ...) are reported here, not into the log:
    // the OnFatalError handler may clear RaiseException; otherwise ElxError(ErrorMsg) is raised.
    virtual void DoFatalError(quint32 ErrorCode, quint32 Detail, const QString& ErrorMsg);

public:
    // Makes the content durable.
    virtual void Save() = 0;
    virtual void Clear() = 0;
    virtual void Add(const QString& s) = 0;
    // Appends a block of information about the system.
    virtual void AddSysInfo() = 0;
    virtual void AddLog(TDetailLevel l, const QString& s) = 0;
    virtual void AddFmt(const QString& Format, const TlxArgs& Args) = 0;
    virtual void AddLogFmt(TDetailLevel l, const QString& Format, const TlxArgs& Args) = 0;

private:
    TOnFatalErrorEvent fOnFatalError;
};

// ---------------------------------------------------------------------------------------------
// A companion of an I/O component that sees every received block before the terminal and the
// OnAfterReceive event, can keep a block out of the terminal and can take sending over. The
// framework defines only this base; processors can be chained.
//
// Threads: DoProcessing runs where the receive dispatch runs, which may be an I/O thread.
// DoAfterSendComplete runs on the I/O layer's thread, or on the processor's own thread when the
// completion timer ticks. The completion timer lives on the thread that created the processor;
// DoDataSend and StartTimerAsync may be called from any thread and arm it there.
class TlxCustomDataProcessor : public TComponent {
    Q_OBJECT
public:
    explicit TlxCustomDataProcessor(QObject* AOwner = nullptr);
    ~TlxCustomDataProcessor() override;

    // The component the processor is attached to, and the next processor in the chain.
    TlxBaseIO* Device() const { return fDevice; }
    TlxCustomDataProcessor* DataProcessor() const { return fDataProcessor; }
    // Only stored here; a derived processor decides what it means.
    bool Active() const { return fActive; }
    TOnFatalErrorEvent OnFatalError() const { return fOnFatalError; }
    void SetOnFatalError(const TOnFatalErrorEvent& Value) { fOnFatalError = Value; }
    TDataSendEvent OnDataSend() const { return fOnDataSend; }
    void SetOnDataSend(const TDataSendEvent& Value) { fOnDataSend = Value; }
    TlxCustomLogFile* Log() const { return fLog; }

    // The handler registered in the device's notify list: 1 closed, 2 opened; others ignored.
    virtual void DeviceNotify(QObject* Sender, int Code);
    virtual void DoMediumClosed();
    virtual void DoMediumOpened();
    // Sets the next processor and attaches it to this processor's device. The processor itself,
    // or one whose chain leads back here, is refused: a loop would pass every block round for
    // ever. A processor chained before is left attached.
    virtual void ChainProcessor(TlxCustomDataProcessor* Value);
    // Attaches to a component (registering DeviceNotify in its notify list) or, with none,
    // detaches. It does not set the component's DataProcessor.
    virtual void AttachDevice(TlxBaseIO* Value);
    virtual void SetActive(bool Value);
    // Sends through the device unless the OnDataSend handler takes the block over, in which case
    // the completion timer is armed: DoAfterSendComplete follows one timer interval later (1000 ms
    // unless StartTimerAsync set another). Every exception is discarded.
    virtual void DoDataSend(const char* ptrBuffer, quint32 Len);
    // The same for a string, with no timer and no log line.
    virtual void DoStringSend(const QByteArray& S);
    // The completion timer's tick: a one-shot, it disables the timer and reports the completion.
    virtual void TimerAsyncTimer(QObject* Sender);
    // Cancels a pending completion; a non-zero Interval (ms) arms a new one.
    virtual void StartTimerAsync(int Interval);
    // The processor's fatal error: OnFatalError, the log line, then ElxError(Msg) unless vetoed.
    virtual void DoFatalErrors(quint32 Code, quint32 Detail, const QString& Msg);
    // Passes the block down the chain. A derived processor handles it, may add itTerminal to R to
    // keep it out of the terminal, and calls this base to pass it on.
    virtual void DoProcessing(const char* Data, quint32 Len, TIgnoreTypes& R);
    // Feeds a block to the processor as if it had been received.
    virtual void DataReceive(const char* ptrBuffer, quint32 Len);
    // A send has completed; setting flIgnore suppresses the component's after-send event.
    virtual void DoAfterSendComplete(bool& flIgnore);

    void AssignLog(TlxCustomLogFile* Value);
    void LogMessage(TDetailLevel Level, const QString& Text);
    void LogFormat(TDetailLevel Level, const QString& Format, const TlxArgs& Args);

protected:
    void Notification(QObject* AComponent, TOperation Operation) override;

private:
    // Runs Step on the completion timer's thread: at once there, queued from elsewhere.
    void OnTimerThread(const std::function<void(TlxTimer&)>& Step);

    TlxBaseIO* fDevice = nullptr;
    TlxCustomDataProcessor* fDataProcessor = nullptr;
    bool fActive = false;
    TOnFatalErrorEvent fOnFatalError;
    TlxCustomLogFile* fLog = nullptr;
    TDataSendEvent fOnDataSend;
    std::unique_ptr<TlxTimer> fTimerAsync;
    // Steps for the timer from other threads; lives on the timer's thread.
    TlxCallQueue fTimerCalls;

protected:
    // Put in front of the processor's log lines; empty unless a derived class sets it.
    QString sLogPrefix;
};

// ---------------------------------------------------------------------------------------------
// The terminal binding's notice, message number 2999: posted to an edit when a component binds
// it (wParam: the component) and when the component lets it go (wParam: none). An edit that does
// not handle it ignores it. The component is held weakly: the notice may arrive after it is gone.
class TlxTerminalEvent : public QEvent {
public:
    static constexpr QEvent::Type TerminalEventType = QEvent::Type(2999);

    explicit TlxTerminalEvent(TlxBaseIO* Component);

    TlxBaseIO* wParam() const;
    qintptr lParam() const { return 0; }

private:
    QPointer<QObject> fComponent;
};

// What the bound terminal edit does: typed keys are sent, received data is shown, or both.
enum TTerminalUsage { tuNone, tuSend, tuReceive, tuBoth };

// One entry of a device list: the text the device is listed under and its record.
struct TlxDeviceEntry {
    QString Text;
    TlxDevice* Device = nullptr;
};
using TlxDeviceEntries = std::vector<TlxDeviceEntry>;

// ---------------------------------------------------------------------------------------------
// The device-independent base of every I/O component: the open/close template around a device
// handle, the device list, the notify list, the receive dispatch, fatal errors, logging, the
// keep-connection timer, device-change messages and the terminal binding.
//
// Threads. A component is created, configured, opened, closed and destroyed on the main thread;
// a derived class may also close it from its I/O thread after a connection loss, which is why
// fHandle is atomic and DoClose takes the handle in one step. DoReceived and DoAfterSend may run
// on an I/O thread. The notify list, the device list and the timer have no lock.
//
// The terminal is a QPlainTextEdit. An event filter on it stands in for the window procedure the
// binding installs: removing the filter gives the edit its own handling back, so no saved
// procedure is kept. Key presses that carry text are the typed characters.
class TlxBaseIO : public TComponent {
    Q_OBJECT
public:
    explicit TlxBaseIO(QObject* AOwner = nullptr);
    // Sends the removal notices while the component is whole (a data processor unregisters from
    // the notify list on hearing of it), lets the terminal go, then releases the timer, the
    // events, the devices and the lists. It does not close the medium: a derived class closes it
    // (which also stops the I/O thread) in its own destructor, while its part is still whole.
    ~TlxBaseIO() override;

    // At run time IsOpen; while loading or designing, the stored value.
    bool Active() const;
    // At run time opens or closes when the value changes; while loading only stores it for
    // Loaded; while designing opens and closes again at once, as a test of the settings.
    void SetActive(bool Value);
    winapi::HANDLE Handle() const { return fHandle; }
    int DeviceCount() const { return static_cast<int>(slDevices.size()); }
    int DeviceIndex() const { return GetDeviceIndex(); }
    TlxDevice* Device(int Index) const { return GetDevice(Index); }
    TlxCustomLogFile* Log() const { return fLog; }
    void SetLog(TlxCustomLogFile* Value);
    TlxCustomDataProcessor* DataProcessor() const { return fDataProcessor; }
    // Attaches Value to this component; none detaches the attached one. A processor replaced by
    // another is not detached.
    void SetDataProcessor(TlxCustomDataProcessor* Value);
    TOnFatalErrorEvent OnFatalError() const { return fOnFatalError; }
    void SetOnFatalError(const TOnFatalErrorEvent& Value) { fOnFatalError = Value; }
    bool UseMainThread() const { return fUseMainThread; }
    void SetUseMainThread(bool Value) { fUseMainThread = Value; }
    bool KeepConnection() const { return fKeepConnection; }
    void SetKeepConnection(bool Value) { fKeepConnection = Value; }
    TOnReceived OnAfterReceive() const { return fOnReceived; }
    void SetOnAfterReceive(const TOnReceived& Value) { fOnReceived = Value; }
    TNotifyEvent OnClose() const { return fOnClose; }
    void SetOnClose(const TNotifyEvent& Value) { fOnClose = Value; }
    TNotifyEvent OnOpen() const { return fOnOpen; }
    void SetOnOpen(const TNotifyEvent& Value) { fOnOpen = Value; }
    QPlainTextEdit* Terminal() const { return fTerminal; }
    void SetTerminal(QPlainTextEdit* Value);
    TTerminalUsage TerminalUsage() const { return fTerminalUsage; }
    void SetTerminalUsage(TTerminalUsage Value);
    bool TerminalEcho() const { return fTerminalEcho; }
    void SetTerminalEcho(bool Value) { fTerminalEcho = Value; }

    // --- Virtual operations, in slot order ------------------------------------------------------
    // True exactly when the medium can be used.
    virtual bool IsOpen() const;

protected:
    // Opens the medium and returns its handle, or INVALID_HANDLE_VALUE without raising.
    virtual winapi::HANDLE CreateHandle();
    // Releases a handle CreateHandle returned.
    virtual void ReleaseHandle(winapi::HANDLE Handle);

public:
    // Whether received data has anywhere to go: a bound terminal, an OnAfterReceive handler or a
    // data processor.
    virtual bool IsReceiveNeeded() const;

protected:
    virtual void DoOpen();
    virtual void DoClose();
    // Starts the TlxThreadIO. Replaced by a component with threads of its own.
    virtual void StartThreadIO();
    // Stops it once and waits for its body to return, serving its main-thread steps meanwhile.
    // Called on the I/O thread itself it only asks the thread to end.
    virtual void StopThreadIO();

public:
    // The body a TlxThreadIO runs on its own thread. The base returns at once. An override loops
    // until Thread->Terminated() and may call DoReceived from that thread.
    virtual void ThreadIOExecute(TlxThreadIO* Thread);

protected:
    // The one path of a fatal error: OnFatalError (which may clear RaiseException), the line
    // "Fatal Error: code, detail, message" to the log, then, unless vetoed or loading, ElxError
    // raised, or with flShowOnly shown in the standard error box (on the GUI thread, from any
    // thread) while execution goes on.
    virtual void DoFatalError(quint32 ErrorCode, quint32 Detail, const QString& ErrorMsg,
                              bool flShowOnly);
    // Calls the notify list: 1 medium closed, 2 medium opened, 3 device list or selection changed.
    virtual void DoNotify(int Code);

public:
    // The receive dispatch of one block: the log line, the data processor, the terminal (unless
    // the processor asked to leave it out) and OnAfterReceive. Called on the running TlxThreadIO
    // with UseMainThread set, it runs on the main thread while the I/O thread waits.
    virtual void DoReceived(const void* Buffer, quint32 Len);
    // The output has run empty; true when the data processor asks to skip the after-send event.
    virtual bool DoAfterSend();
    // The base ignores Value and announces a change of selection (code 3).
    virtual void SetDeviceIndex(int Value);
    // Index of the selected device in the device list, or -1.
    virtual int GetDeviceIndex() const = 0;
    // Appends Device, which the list then owns; returns its position.
    virtual int AddDevice(TlxDevice* Device);
    // Inserts Device in ascending order of Data and returns its position, or -1 (the list does
    // not take it, the caller keeps it) when a device with the same Data is listed already.
    virtual int InsertDevice(TlxDevice* Device);

protected:
    // Fills the device list for the medium's kind, through InsertDevice.
    virtual void DeviceListLoad() = 0;

public:
    // Empties the device list, releasing the devices when flClearDeviceListWithFree is set.
    virtual void ClearDevices();

protected:
    // The keep-connection timer's tick. The base stops the timer and logs the attempt; a derived
    // class tries to reconnect here and decides whether the timer goes on.
    virtual void DoKeepConnection(QObject* Sender);

public:
    // Ticks DoKeepConnection every 2000 ms from now on, on this thread's event loop.
    virtual void StartKeepConnection();
    virtual void StopKeepConnection();
    // Shows received bytes in the bound terminal, read as Latin-1: a single byte acts as a typed
    // key, a longer block is inserted at the caret without its NULs. Runs on the GUI thread; from
    // another thread it waits until the GUI thread has shown the bytes.
    virtual void TerminalOutput(const char* Buffer, int Len);
    // The device list has changed: the base announces it (code 3).
    virtual void Update();
    // Adds the handler unless one with the same method is listed (whatever its object).
    virtual void NotifyAdd(const TlxNotifyEvent& NotifyEvent);
    // Deletes the first handler with the same method, if any.
    virtual void NotifyDelete(const TlxNotifyEvent& NotifyEvent);
    virtual void SendChar(char16_t Ch) = 0;
    virtual void SendString(const QByteArray& S) = 0;
    virtual void SendData(const char* Buff, quint32 N) = 0;
    virtual void ClearDeviceInput() = 0;
    virtual void ClearDeviceOutput() = 0;
    virtual void ClearDeviceBuffers() = 0;
    // Loads the device list if it is empty, then copies it into L when given. The devices stay
    // owned by the component and L's references last until the next ClearDevices.
    virtual void GetDeviceList(TlxDeviceEntries* L);
    // WM_DEVICECHANGE passed on by the owner: a node change, or a port arriving or leaving,
    // updates the device list (true); anything else returns false.
    virtual bool WMDeviceChange(const winapi::MSG& Msg);

    // --- Non-virtual operations --------------------------------------------------------------
    // None for an index out of range.
    TlxDevice* GetDevice(int Index) const;
    int IndexOfDevice(const TlxDevice* aDevice) const;
    int IndexOfDeviceData(int Value) const;
    // The prefix and the text, at Level; an empty text asks the log for its system information.
    void LogMessage(TDetailLevel Level, const QString& Text);
    // The prefix becomes part of the format.
    void LogFormat(TDetailLevel Level, const QString& Format, const TlxArgs& Args);

protected:
    // Applies the stored Terminal, TerminalUsage and Active; a failure shows the "error" box and
    // leaves the component closed.
    void Loaded() override;
    void Notification(QObject* AComponent, TOperation Operation) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    // The main-thread half of the receive hand-over.
    void SyncReceived();
    // The binding's key handling; true when the edit must not see the key.
    bool TerminalWndProc(const QKeyEvent& Message);
    // TerminalOutput's work on the GUI thread.
    void ShowInTerminal(const QString& Text);
    QString LogPrefix() const;

    TlxNotifyList lxNotifyList;
    TlxCustomLogFile* fLog = nullptr;
    TlxCustomDataProcessor* fDataProcessor = nullptr;
    TOnFatalErrorEvent fOnFatalError;
    // The device list; the entries own their devices (see ClearDevices).
    TlxDeviceEntries slDevices;
    // The block handed over to the main thread; one slot, as the I/O thread waits meanwhile.
    const void* threadData = nullptr;
    quint32 threadDataSize = 0;
    // The edit while received data is to be shown (tuReceive, tuBoth), else none.
    QPlainTextEdit* hTerminal = nullptr;
    TTerminalUsage fTerminalUsage = tuNone;
    QPlainTextEdit* fTerminal = nullptr;
    bool fTerminalEcho = false;
    // True while TerminalOutput writes into the edit: keys typed meanwhile are not sent.
    bool fTerminalLocked = false;
    TNotifyEvent fOnClose;
    TNotifyEvent fOnOpen;
    // The running TlxThreadIO, or none. A handle, not the object: the thread frees itself.
    TThreadHandle fThreadIO;
    TOnReceived fOnReceived;
    std::atomic<bool> fUseMainThread = false;
    TThreadPriority fPriority = tpNormal;
    // Read by a derived class on its I/O thread after a connection loss.
    std::atomic<bool> fKeepConnection = false;
    std::unique_ptr<TlxTimer> timerKeepConnection;

protected:
    // The value of Active while loading or designing.
    bool fActive = false;
    // The open device; INVALID_HANDLE_VALUE while closed.
    std::atomic<winapi::HANDLE> fHandle = winapi::INVALID_HANDLE_VALUE;
    // Put in front of every line of LogMessage and LogFormat. Null (the default) stands for the
    // class name of the component, which the base's constructor cannot know yet (the derived
    // part is not built); a derived class may set any other prefix, an empty one included.
    QString sLogPrefix;
    bool flClearDeviceListWithFree = true;
    // Overlapped records for the derived class's reads and writes (with auto-reset events made
    // here) and for its own use (no event).
    winapi::OVERLAPPED fOvlRead{};
    winapi::OVERLAPPED fOvlWrite{};
    winapi::OVERLAPPED fOvlAsync{};
    // DoOpen starts and DoClose stops the TlxThreadIO.
    bool isThreaded = false;
    // False exactly while a TlxThreadIO started by StartThreadIO has not been stopped. Atomic:
    // the I/O thread may stop itself after a connection loss.
    std::atomic<bool> IsThreadIOTerminated = true;
};

// ---------------------------------------------------------------------------------------------
// The worker thread that runs a component's ThreadIOExecute with COM initialised for the thread.
// It starts at once and frees itself when the body returns; the component does not own it.
class TlxThreadIO : public TThread {
public:
    // Handle, when given, receives the thread's handle before the thread starts. The thread may
    // end and free itself before this constructor returns, so whoever means to stop it and wait for
    // it takes the handle here and never touches the object afterwards: the component stops it
    // with Handle.Terminate() and Handle.WaitFor(), and Handle.IsCurrent() tells it whether it is
    // being called on this thread (the receive dispatch's hand-over to the main thread).
    TlxThreadIO(TlxBaseIO* alxComm, TThreadPriority pr, TThreadHandle* Handle = nullptr);

    // Runs Method on the main thread while this thread waits; at once on the main thread.
    void Synchronize(const TThreadMethod& Method);

protected:
    void Execute() override;

private:
    TlxBaseIO* flxComm;
};
