// The I/O component framework: the log and data-processor interface types, the device record,
// the notify list, the timer and the I/O thread. The base I/O component is declared here too.
#pragma once

#include "lxerror.h"
#include "lxformat.h"
#include "lxmethod.h"
#include "lxset.h"
#include "lxthread.h"
#include "winapi.h"

#include <QObject>
#include <QString>
#include <QtGlobal>
#include <memory>
#include <vector>

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
class TlxCustomLogFile : public QObject {
    Q_OBJECT
public:
    explicit TlxCustomLogFile(QObject* Owner = nullptr);

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
// The device-independent base of every I/O component. So far only the body of its I/O thread is
// declared; the component's fields and its other operations follow with the component itself.
class TlxBaseIO : public QObject {
    Q_OBJECT
public:
    explicit TlxBaseIO(QObject* Owner = nullptr);

    // The body a TlxThreadIO runs on its own thread. The base returns at once. An override loops
    // until Thread->Terminated() and may call DoReceived from that thread.
    virtual void ThreadIOExecute(TlxThreadIO* Thread);
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
