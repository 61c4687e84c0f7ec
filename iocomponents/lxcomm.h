// The serial component: TlxCustomComm configures, opens and closes a serial port, serves it with
// an event thread and a message thread, sends and reads data, and controls and watches the modem
// lines.
//
// The implementation is split by topic: lxcomm.cpp (settings, creation and destruction),
// lxcommthreads.cpp (open and close, the two threads, event processing), lxcommio.cpp (transmit
// and read) and lxcommline.cpp (line control, line events, purges).
//
// Threads. The component is created, configured, opened, closed and destroyed on the main thread.
// While it is open, the event thread (TCommThread) waits for line events and hands each event
// mask, as the registered message of CommMsgComEvent(), to the message thread (TMsgThread), which
// has ProcessComEvent run on the main thread (UseMainThread true) or runs it itself. No lock
// guards the component: one message thread processes one event at a time, the message thread is
// created before and stopped after the event thread, and every close path closes the port handle
// before it stops the threads, so that a pending wait of the event thread has ended first. The
// counters, the trace states and the flags that the threads read are atomics.
//
// Decisions a change must keep:
// - Two closes at once (the owner's and the event thread's after a loss) are settled by fClosing:
//   the second does nothing.
// - The receive buffer stays until both threads are joined (StopThreadIO, the next open or
//   destruction), never freed under a read that another thread is still doing.
// - DoOpen stops the threads a lost port left behind before it replaces anything they use.
// - A close from inside a thread's own step (a handler running on the main thread in any of its
//   Synchronize steps: event processing, a monitor update, the terminal's output; or on the
//   thread itself) cannot wait for that thread: it is told to end and frees itself, and the next
//   open or the destruction waits for its end (fLeftThreads).
// - A loss found off the component's thread closes the port there, so that every wait on it
//   ends, and raises OnClose, notification code 1 and the keep-connection timer on the
//   component's thread, where handlers may touch widgets.
// - The event thread coalesces its posts: one message is on its way at a time (fPostedEvents),
//   later events join it, and a post the queue keeps refusing is given up after a bounded number
//   of tries.
// - Destruction first ends the message thread's work (EndEventProcessing), then takes the
//   bindings apart; a derived class calls DestroyComm in its own destructor (see there).
// - TotalReceived counts each byte once (see CountWaitingLocked), not once per event that sees
//   it, also with a read reporting what it took while the event processing looks at the line.
// - The receive loop hands on what its read took, never what the buffer held before.
// - Software RS-485: raising RTS and starting a send are one step against lowering it, which is
//   done on a transmit-empty event only when the output queue is empty at that moment.
// - On Linux the driver of each port answers whether it switches RTS for RS-485 by itself:
//   SetCommState refuses the RTS toggle with ERROR_NOT_SUPPORTED when it cannot, and the
//   component then switches RTS itself (software RS-485) for that port.
// - ProcessComEvent reports every std::exception (ElxError included) as a shown fatal error.
#pragma once

#include "lxclasses.h"
#include "lxthread.h"
#include "winapi.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class TlxCustomComm;

// ---------------------------------------------------------------------------------------------
// Enumerations

// Stored unchanged as the DCB's parity code.
enum TParity { pNone, pOdd, pEven, pMark, pSpace };
// Stored unchanged as the DCB's stop-bits code.
enum TStopBits { sbOne, sbOneAndHalf, sbTwo };
// Flow control.
enum TStreamProtocol { spNone, spXonXoff, spHardware };
// Port selection; cpCOMxx stands for any port above COM8.
enum TComPort { cpCOM1, cpCOM2, cpCOM3, cpCOM4, cpCOM5, cpCOM6, cpCOM7, cpCOM8, cpCOMxx };

// Line events. Up to tsRing a member's bit equals its EV_ bit; from tsRx80Full on each member is
// one bit below its EV_ bit (EV_PERR has no trace state).
enum TTraceState {
    tsRxChar,
    tsRxFlag,
    tsTxEmpty,
    tsCTS,
    tsDSR,
    tsRLSD,
    tsBreak,
    tsErr,
    tsRing,
    tsRx80Full,
    tsEvent1,
    tsEvent2
};
using TTraceStates = TlxSet<TTraceState>;

// The modem input lines.
enum TModemSignal { msCTS, msDSR, msRing, msRLSD };
using TModemSignals = TlxSet<TModemSignal>;

// The COMSTAT status bits in bit order: bit n of COMSTAT's flags is member n.
enum TComStateFlag { fCtlHold, fDsrHold, fRlsHold, fXoffHold, fXOffSent, fEof, fTxim };
using TComStateFlags = TlxSet<TComStateFlag>;

// ---------------------------------------------------------------------------------------------
// Events. Com is the component.

using TOnTraceEvent = TlxMethod<void(QObject* Com, TTraceStates Event)>;
// flFlashBuffers arrives false; a handler sets it to have both driver queues discarded.
using TOnCommErrorEvent = TlxMethod<void(QObject* Com, quint32 CommCode, quint32 SysError,
                                         TComStateFlags State, bool& flFlashBuffers)>;

// ---------------------------------------------------------------------------------------------
// The registered window messages of the component, registered with the OS boundary on first use
// and fixed for the life of the process. "lxCommMsgComEvent": wParam the comm event mask, lParam
// 0. "lxCommMsgQuitComEvent": ends a message thread; wParam 0, lParam 0.
winapi::UINT CommMsgComEvent();
winapi::UINT CommMsgQuitComEvent();

// ---------------------------------------------------------------------------------------------
// The event thread of an open port: waits for the port's line events and posts each event mask
// to the component's message thread. Created running; the component owns and frees it (freeing
// waits for the body to return).
class TCommThread : public TThread {
public:
    // Takes the owner's current handle; the thread uses only this copy.
    explicit TCommThread(TlxCustomComm* AOwner);
    ~TCommThread() override;

    // Sets the terminate flag and signals the wait event, which ends a pending wait.
    void Terminate() override;

protected:
    void Execute() override;

private:
    // Posts Mask to the message thread until it is taken, the thread is terminated or the port
    // has closed.
    void PostEvent(winapi::DWORD Mask);
    // Ends a wait that is still pending when the thread is stopped.
    void EndPendingWait(winapi::DWORD& Mask);
    // Creates and closes the wait event under fEventLock, so that Terminate never signals an event
    // that is being closed.
    void CreateWaitEvent();
    void CloseWaitEvent();

    TlxCustomComm* Com;
    winapi::HANDLE hDevice;
    winapi::OVERLAPPED ovl{};
    // Guards ovl.hEvent between the thread, which creates and closes it, and Terminate.
    std::mutex fEventLock;
};

// The message thread of an open port: takes the event messages from its queue and has each one
// processed, on the main thread or on itself. Created running; owned and freed by the component.
class TMsgThread : public TThread {
public:
    explicit TMsgThread(TlxCustomComm* AOwner);
    ~TMsgThread() override;

    // Sets the terminate flag and posts the quit message to the thread's own queue.
    void Terminate() override;
    // The thread's id for PostThreadMessageW once its queue exists; 0 before.
    winapi::DWORD ThreadID() const { return fThreadID; }

protected:
    void Execute() override;

private:
    // The step run on the main thread.
    void SyncComEvent();

    TlxCustomComm* Com;
    winapi::MSG glMsg{};
    std::atomic<winapi::DWORD> fThreadID = 0;
};

// ---------------------------------------------------------------------------------------------
// The unwaited writes of SendData. SendData returns while its write may still be pending, and its
// caller reuses its buffer at once; a further SendData may start before the last one is done. So
// each write has its own OVERLAPPED record with its own event and its own copy of the bytes, and a
// record is used again only once the system has reported its write finished. Safe from several
// threads: a data processor may send from the message thread while the owner sends from its own.
class TlxAsyncWrites {
public:
    TlxAsyncWrites() = default;
    // Waits for the writes not yet reported finished: the port is closed by then, which ends them.
    ~TlxAsyncWrites();
    TlxAsyncWrites(const TlxAsyncWrites&) = delete;
    TlxAsyncWrites& operator=(const TlxAsyncWrites&) = delete;

    // Starts an unwaited write of a copy of Buff's N bytes on Handle. True when the write finished
    // at once or is pending; false with the system error in Error.
    bool Write(winapi::HANDLE Handle, const char* Buff, quint32 N, winapi::DWORD& Error);
    // Writes not yet reported finished.
    int InFlight();

private:
    struct TWrite {
        std::vector<char> Data;
        winapi::OVERLAPPED Overlapped{};
        bool InFlight = false;
    };

    // A record whose write has finished, or a new one; none when no event can be made.
    TWrite* IdleRecord();
    // Marks the records whose events say their writes have finished.
    void Reap();
    // Whether a GetOverlappedResult error leaves the write to be reported by its event.
    static bool IsUnfinished(winapi::DWORD Error);

    std::mutex fLock;
    std::vector<std::unique_ptr<TWrite>> fWrites;
};

// ---------------------------------------------------------------------------------------------
// The serial-communication layer of the I/O component framework. A concrete port names and opens
// its device through CreateHandle and GetComName.
class TlxCustomComm : public TlxBaseIO {
    Q_OBJECT
public:
    // Create: closed, UseMainThread true, no trace states, queue sizes 8192.
    explicit TlxCustomComm(QObject* AOwner = nullptr);
    // Destroy: unbinds terminal and data processor, closes the port and stops the threads (see
    // DestroyComm).
    ~TlxCustomComm() override;

    // --- Properties -------------------------------------------------------------------------
    // The line settings live in the DCB of CommCfg; writing one rebuilds the DCB (ApplyDCB) and,
    // on an open port, applies it.
    quint32 BaudRate() const { return CommCfg.dcb.BaudRate; }
    void SetBaudRate(quint32 Value);
    TParity Parity() const { return static_cast<TParity>(CommCfg.dcb.Parity); }
    void SetParity(TParity Value);
    TStopBits StopBits() const { return static_cast<TStopBits>(CommCfg.dcb.StopBits); }
    void SetStopBits(TStopBits Value);
    // A value outside 4..8 is stored as 8.
    quint8 ByteSize() const { return CommCfg.dcb.ByteSize; }
    void SetByteSize(quint8 Value);
    // Writing builds the event mask and, on an open port, sets it.
    TTraceStates TraceStates() const { return fTraceStates; }
    void SetTraceStates(TTraceStates Value);
    // The modem input lines that are on; empty on a closed port.
    TModemSignals ModemSignals() const;
    char16_t EventChar() const { return GetEventChar(); }
    TStreamProtocol StreamProtocol() const { return fProtocol; }
    void SetStreamProtocol(TStreamProtocol Value);
    // Recommended driver queue sizes; on an open port the driver is told at once.
    quint16 BufferInSize() const { return fBufferInSize; }
    void SetBufferInSize(quint16 Value);
    quint16 BufferOutSize() const { return fBufferOutSize; }
    void SetBufferOutSize(quint16 Value);
    // Milliseconds between two received bytes that end a read; 0 waits for every byte.
    quint32 TimeoutRead() const { return fCommTimeouts.ReadIntervalTimeout; }
    void SetTimeoutRead(quint32 Value);
    // Milliseconds after which a write ends unfinished; 0 never.
    quint32 TimeoutWrite() const { return fCommTimeouts.WriteTotalTimeoutConstant; }
    void SetTimeoutWrite(quint32 Value);
    // RS-485 direction control: RTS marks the sending direction.
    bool RS485Mode() const { return fRS485Mode; }
    void SetRS485Mode(bool Value);
    // Monitor controls: any object with a Boolean property "checked" (a check box, a radio
    // button, a checkable action). Not owned; cleared when the control goes.
    QObject* MonitorCTS() const { return fMonitorCTS; }
    void SetMonitorCTS(QObject* Value);
    QObject* MonitorDSR() const { return fMonitorDSR; }
    void SetMonitorDSR(QObject* Value);
    QObject* MonitorRLSD() const { return fMonitorRLSD; }
    void SetMonitorRLSD(QObject* Value);
    QObject* MonitorRing() const { return fMonitorRing; }
    void SetMonitorRing(QObject* Value);
    // Raised when the transmit queue runs empty and tsTxEmpty is traced.
    TOnSent OnAfterSend() const { return fOnSent; }
    void SetOnAfterSend(const TOnSent& Value) { fOnSent = Value; }
    TOnTraceEvent OnTraceState() const { return fOnTraceState; }
    void SetOnTraceState(const TOnTraceEvent& Value) { fOnTraceState = Value; }
    TOnCommErrorEvent OnCommError() const { return fOnCommError; }
    void SetOnCommError(const TOnCommErrorEvent& Value) { fOnCommError = Value; }

    // --- Run-time properties ----------------------------------------------------------------
    QString ComName() const { return GetComName(); }
    // Bytes waiting in the driver's input and output queues; 0 on a closed port.
    quint32 ReadyForRead() const;
    quint32 NotYetSend() const;
    // The port's properties, read again when the port is open; all zero before the first read.
    const winapi::COMMPROP* CommProp();
    // Counters since the last open attempt.
    quint32 TotalReceived() const { return fTotalReceived; }
    quint32 TotalSent() const { return fTotalSent; }

    // --- Transmit and read ------------------------------------------------------------------
    // TransmitCommChar: the low byte of Ch ahead of queued output.
    void SendAheadChar(char16_t Ch);
    // Waits until Len bytes have come (or the read time-out of TimeoutRead ends it, or the port
    // closes). Buffer holds at least Len bytes.
    void Read(void* Buffer, quint32 Len);
    // Reads every byte waiting; Buffer must hold ReadyForRead bytes.
    void ReadAll(void* Buffer);
    // Reads what is waiting, at most MaxLen bytes; returns the count.
    qint32 ReadMax(void* Buffer, qint32 MaxLen);
    QByteArray ReadString();
    // True once Count bytes wait in the input queue, false after Ms milliseconds or when the
    // port closes. Runs the application's pending events while it waits.
    bool WaitForBytes(quint32 Count, quint32 Ms);
    bool WaitForSignal(TModemSignal Signal, quint32 Ms);
    // Returns when all queued output has been sent.
    void FlushOutputBuffer();
    // The port configuration dialog of the OS boundary; a confirmed change reaches an open port
    // at once and a closed one at its next open.
    void ConfigDialog();

    // --- Line control and line events -------------------------------------------------------
    void SetStateDTR(bool State);
    void SetStateRTS(bool State);
    void SetStateX(bool State);
    void SetStateBreak(bool State);
    // Refreshes the monitor controls and raises OnTraceState.
    void DoTraceState(QObject* Sender, TTraceStates Event);
    // Sets Control's Boolean property "checked" when it has one; otherwise does nothing.
    static void SetMonitorChecked(QObject* Control, bool Value);

    // --- Open, close and event processing ---------------------------------------------------
    // The common close step. Requested is false when the port was lost: then the unsent bytes
    // are not discarded and, with KeepConnection, the keep-connection timer starts.
    void CloseConnection(bool Requested);
    // Processes one message taken by the message thread.
    void ProcessComEvent(const winapi::MSG& Msg);

    // --- Virtual operations, in slot order --------------------------------------------------
protected:
    void DoOpen() override;
    void DoClose() override;
    void StartThreadIO() override;
    void StopThreadIO() override;
    void DoKeepConnection(QObject* Sender) override;

public:
    void SendChar(char16_t Ch) override;
    void SendString(const QByteArray& S) override;
    // Does not wait for the transmission: the write owns a copy of the data.
    void SendData(const char* Buff, quint32 N) override;
    void ClearDeviceInput() override;
    void ClearDeviceOutput() override;
    void ClearDeviceBuffers() override;
    // The port's name for log lines and the configuration dialog; "Unknown" here.
    virtual QString GetComName() const;

protected:
    // Pushes queue sizes, time-outs and DCB to the open port.
    virtual void ApplyPortSettings();

public:
    // The EventChar property: the low 8 bits of Value become the DCB's event character.
    virtual void SetEventChar(char16_t Value);
    virtual char16_t GetEventChar() const;

protected:
    // Reports a communication error: log line, OnCommError, and the purge it may ask for.
    virtual void DoCommError(quint32 CommCode, quint32 SysError, TComStateFlags State);
    void Notification(QObject* AComponent, TOperation Operation) override;

    // The work of Destroy: unbinds the terminal and the data processor, clears OnTraceState,
    // closes the port and stops both threads. The threads call the component's virtual
    // operations, so a derived class that overrides any of them calls this first in its own
    // destructor, while its part is still whole; the base's destructor then finds nothing left
    // to do.
    void DestroyComm();

    // --- Internal steps ---------------------------------------------------------------------
    // Builds the DCB's flag bits from StreamProtocol and RS485Mode and applies the DCB to an
    // open port.
    void ApplyDCB();
    // Reads the configuration back from an open port and derives StreamProtocol and RS485Mode
    // from the DCB's flag bits.
    void ReadPortConfig();
    void ApplyTimeouts(const winapi::COMMTIMEOUTS& Timeouts);
    // The current time-outs, as ApplyTimeouts last stored them (the stored configuration).
    const winapi::COMMTIMEOUTS& CommTimeouts() const { return fCommTimeouts; }
    // The receive buffer: BufferInSize bytes, never fewer than 8192.
    void AllocReceiveBuffer();
    void FreeReceiveBuffer();
    // The event mask that TraceStates asks for.
    winapi::DWORD EventMask(TTraceStates Value) const;
    // Whether the component switches RTS itself for RS-485.
    bool IsSoftwareRS485() const { return fRS485Mode && fIsNotSupportRS485; }
    // Size of glBuffer while the port is open.
    quint32 ReceiveBufferSize() const { return fReceiveBufferSize; }

private:
    friend class TCommThread;
    friend class TMsgThread;

    // The message thread's id, 0 when there is none; the event thread posts to it.
    winapi::DWORD MsgThreadID() const;
    // The end of a close on the component's own thread: notification code 1 and, after a loss,
    // the keep-connection timer (which ticks on the event loop of the thread that starts it).
    void AnnounceClose(bool Requested);
    // Waits for the threads that a stop from inside their own steps left to end by themselves.
    void WaitForLeftThreads();
    // Ends the message thread's work before the component's bindings are taken apart; the thread
    // object stays until StopThreadIO, so the event thread never posts to a freed thread.
    void EndEventProcessing();

    // TotalReceived counts every received byte once: when an event finds it waiting in the
    // driver's input queue, or when a read takes it from there, whichever comes first. (A byte
    // stays in the queue over several events until a read takes it, and a pending read takes
    // bytes before any event sees them.) The event processing reports the bytes it finds
    // waiting; every read reports the bytes it took; a purge of the input queue forgets them.
    // Under fCountLock.
    void CountWaitingLocked(winapi::DWORD InQueue);
    void CountTaken(winapi::DWORD Count);
    void ForgetWaiting();
    // Reports the line errors a queue count took from the driver, as the event processing does.
    void ReportTakenErrors(winapi::DWORD Errors, const winapi::COMSTAT& Stat);
    // ClearCommError into Stat for event processing; with CountInput and no errors the bytes
    // waiting are counted (see fQueueChanges). False when the call fails.
    bool TakeLineStatus(winapi::DWORD& Errors, bool CountInput);
    // The receive loop: reads the bytes waiting into glBuffer and hands them on, until none wait.
    void ReceiveWaiting();
    // Reads up to Count of the bytes an event found waiting into glBuffer; what it took.
    winapi::DWORD ReadWaiting(winapi::DWORD Count);
    // Shows the modem lines in the monitor controls; runs on the component's own thread.
    void ShowModemSignals(TModemSignals Signals, bool Ring);
    // fMonitored follows the four monitor references.
    void UpdateMonitored();
    void SetMonitor(QObject*& Monitor, QObject* Value);
    // In software RS-485 RTS goes high before every send: Write runs with RTS raised.
    bool SendFramed(const std::function<bool()>& Write);
    // Software RS-485 on the transmit-empty event: RTS goes low if nothing is left to send.
    void LowerRtsWhenSent();

    TMsgThread* MsgThread = nullptr;
    TCommThread* CommThread = nullptr;
    winapi::COMSTAT* Stat = nullptr;
    winapi::COMMPROP ComProp{};
    winapi::COMMTIMEOUTS fCommTimeouts{};
    QString LastErrorString;
    std::atomic<quint32> fTotalSent = 0;
    std::atomic<quint32> fTotalReceived = 0;
    TOnSent fOnSent;
    std::atomic<TTraceStates> fTraceStates{};
    quint16 fBufferOutSize = 0;
    quint16 fBufferInSize = 0;
    char* glBuffer = nullptr;
    std::atomic<bool> fRS485Mode = false;
    QObject* fMonitorRLSD = nullptr;
    QObject* fMonitorRing = nullptr;
    QObject* fMonitorCTS = nullptr;
    QObject* fMonitorDSR = nullptr;
    std::atomic<bool> fIsNotSupportRS485 = false;
    TStreamProtocol fProtocol = spNone;
    quint32 fReceiveBufferSize = 0;
    TlxAsyncWrites fAsyncWrites;
    // What the operating system's version says about RS-485, kept for the driver's answer: on
    // Linux the driver of each port says whether it can switch RTS by itself.
    bool fSystemNotSupportRS485 = false;
    // Set by the first close of an open port, so that a close on another thread at the same
    // moment does nothing; cleared by the next open.
    std::atomic<bool> fClosing = false;
    // Bytes in the input queue that TotalReceived has counted already. The event processing and
    // a read may update it from two threads at once; the lock keeps it and the total in step.
    winapi::DWORD fCountedWaiting = 0;
    std::mutex fCountLock;
    // Reads and purges reported so far (written under fCountLock): a count made from a look at
    // the line is valid only if none came between the look and the count.
    std::atomic<std::uint64_t> fQueueChanges = 0;
    // The events the event thread has posted and the message thread not yet taken: while it is
    // not 0, a message is on its way and new events join it.
    std::atomic<winapi::DWORD> fPostedEvents = 0;
    // Line errors that LowerRtsWhenSent's look at the line took, for the next event to report.
    std::atomic<winapi::DWORD> fUnreportedErrors = 0;
    // Makes raising RTS and starting a send one step against lowering RTS.
    std::mutex fRtsLock;
    // Threads stopped from inside their own steps, which end by themselves.
    std::vector<TThreadHandle> fLeftThreads;
    // Whether any monitor control is bound: read by the thread that processes events, which must
    // not look at the references themselves while the GUI thread may clear them.
    std::atomic<bool> fMonitored = false;
    // Steps the event thread hands to the component's own thread; dropped with the component.
    TlxCallQueue fOwnThreadCalls;

protected:
    TOnTraceEvent fOnTraceState;
    TOnCommErrorEvent fOnCommError;
    winapi::COMMCONFIG CommCfg{};
};

// ---------------------------------------------------------------------------------------------
// Serial port discovery and configuration persistence

// How DeviceListLoad builds the device list: the registered ports alone (one pass over the
// registered port list, no Plug and Play query), those ports with their Plug and Play data plus
// the ports only Plug and Play knows, or the same limited to the devices attached now.
enum TlxEnumPorts { epQuickAll, epFullInfo, epFullPresent };

// A serial component for the system's COM ports: the selected port is a port number, the device
// list holds the registered ports (enriched or filtered by Plug and Play, as EnumPorts says), and
// the port settings can be saved to and loaded from one binary registry value.
//
// The selection is not stored as a position: DeviceIndex always follows ComPortNo through the
// Data of the device list's entries, so a rebuilt list keeps the selection on the same port.
class TlxCustomSerialComm : public TlxCustomComm {
    Q_OBJECT
public:
    // The system's default configuration of COM1 (where there is one) under 19200 baud, 8 data
    // bits, no parity, one stop bit and hardware flow control, port COM1, epQuickAll.
    explicit TlxCustomSerialComm(QObject* AOwner = nullptr);
    // Closes the port and stops the threads while this part, whose overrides they call, is whole.
    ~TlxCustomSerialComm() override;

    // Writing closes an open port, stores the number, reopens on the new port and announces the
    // change (notify code 3), also when the number is the same.
    quint16 ComPortNo() const { return fComPortNo; }
    void SetComPortNo(quint16 Value);
    // cpCOM1..cpCOM8 for the ports 1 to 8, cpCOMxx for any other number (0 included); writing
    // cpCOMxx is ignored.
    TComPort ComPort() const;
    void SetComPort(TComPort Value);
    // Takes effect at the next DeviceListLoad.
    TlxEnumPorts EnumPorts() const { return fEnumPorts; }
    void SetEnumPorts(TlxEnumPorts Value) { fEnumPorts = Value; }

    // Opens the component on a device handle opened elsewhere (closing it first if open); the
    // handle is used by that one open only. 0 and INVALID_HANDLE_VALUE are ignored.
    void SetExtHandle(winapi::HANDLE aHandle);

    // The longest identification GetPNPDeviceString reads. A well-formed one, from "(" to ")"
    // with every optional field at its longest, has 137 characters; without a limit a device that
    // keeps sending without the end byte would hold the caller for ever.
    static constexpr int PnpIdMaxLength = 256;

    // --- Virtual operations, in slot order --------------------------------------------------
protected:
    // The handle given to SetExtHandle, else the selected entry's port, else "COM<ComPortNo>".
    winapi::HANDLE CreateHandle() override;

public:
    // Selects the port of entry Value; an index outside the list changes nothing.
    void SetDeviceIndex(int Value) override;
    // The first entry whose Data is ComPortNo, or -1; does not load the list.
    int GetDeviceIndex() const override;

protected:
    void DeviceListLoad() override;

public:
    // Rebuilds the device list at once and announces it (notify code 3).
    void Update() override;
    // The selected entry's PortName, else "COM<ComPortNo>".
    QString GetComName() const override;
    // Writes port number, DCB and time-outs as one 49-byte REG_BINARY value under Root\Key (the
    // key is created if missing). A registry failure is a fatal error.
    virtual void SaveConfig(winapi::HKEY Root, const QString& Key, const QString& Name);
    // Applies a value SaveConfig wrote: only a value of exactly 49 bytes is applied; a 49-byte
    // value that is not binary data, or a registry failure, is a fatal error.
    virtual void LoadConfig(winapi::HKEY Root, const QString& Key, const QString& Name);
    // The identification of an external Plug and Play device on the port, from its begin to its
    // end byte, at most PnpIdMaxLength characters; empty when nothing answers. Opens the port for
    // the sequence and leaves it open or closed as it was; takes at least 400 ms.
    virtual QString GetPNPDeviceString();
    // Tests that the device answers DTR with DSR within 200 ms; a fatal error when it does not.
    virtual void InitDeviceConnect();

private:
    // Steps 4 to 6 of the identification: wakes the device and reads its answer.
    QString ReadPnpId();
    bool AwaitPnpAnswer();

    quint16 fComPortNo = 0;
    winapi::HANDLE fExtHandle = nullptr;
    TlxEnumPorts fEnumPorts = epQuickAll;
};

// The serial port component as the panel uses it: publishes the settings as Qt properties, in the
// order their values are stored and applied.
class TlxComm : public TlxCustomSerialComm {
    Q_OBJECT
    Q_MOC_INCLUDE(<QPlainTextEdit>)
    Q_PROPERTY(QString Name READ Name WRITE SetName)
    Q_PROPERTY(TlxCustomLogFile* Log READ Log WRITE SetLog)
    Q_PROPERTY(TOnFatalErrorEvent OnFatalError READ OnFatalError WRITE SetOnFatalError)
    Q_PROPERTY(bool Active READ Active WRITE SetActive)
    Q_PROPERTY(quint32 BaudRate READ BaudRate WRITE SetBaudRate)
    Q_PROPERTY(TParity Parity READ Parity WRITE SetParity)
    Q_PROPERTY(TStopBits StopBits READ StopBits WRITE SetStopBits)
    Q_PROPERTY(quint8 ByteSize READ ByteSize WRITE SetByteSize)
    Q_PROPERTY(quint16 ComPortNo READ ComPortNo WRITE SetComPortNo)
    Q_PROPERTY(TComPort ComPort READ ComPort WRITE SetComPort)
    Q_PROPERTY(TTraceStates TraceStates READ TraceStates WRITE SetTraceStates)
    Q_PROPERTY(TModemSignals ModemSignals READ ModemSignals)
    Q_PROPERTY(char16_t EventChar READ EventChar WRITE SetEventChar)
    Q_PROPERTY(TStreamProtocol StreamProtocol READ StreamProtocol WRITE SetStreamProtocol)
    Q_PROPERTY(TlxCustomDataProcessor* DataProcessor READ DataProcessor WRITE SetDataProcessor)
    Q_PROPERTY(quint16 BufferInSize READ BufferInSize WRITE SetBufferInSize)
    Q_PROPERTY(quint16 BufferOutSize READ BufferOutSize WRITE SetBufferOutSize)
    Q_PROPERTY(quint32 TimeoutRead READ TimeoutRead WRITE SetTimeoutRead)
    Q_PROPERTY(quint32 TimeoutWrite READ TimeoutWrite WRITE SetTimeoutWrite)
    Q_PROPERTY(bool RS485Mode READ RS485Mode WRITE SetRS485Mode)
    Q_PROPERTY(TlxEnumPorts EnumPorts READ EnumPorts WRITE SetEnumPorts)
    Q_PROPERTY(bool UseMainThread READ UseMainThread WRITE SetUseMainThread)
    Q_PROPERTY(bool KeepConnection READ KeepConnection WRITE SetKeepConnection)
    Q_PROPERTY(QPlainTextEdit* Terminal READ Terminal WRITE SetTerminal)
    Q_PROPERTY(TTerminalUsage TerminalUsage READ TerminalUsage WRITE SetTerminalUsage)
    Q_PROPERTY(bool TerminalEcho READ TerminalEcho WRITE SetTerminalEcho)
    Q_PROPERTY(QObject* MonitorCTS READ MonitorCTS WRITE SetMonitorCTS)
    Q_PROPERTY(QObject* MonitorDSR READ MonitorDSR WRITE SetMonitorDSR)
    Q_PROPERTY(QObject* MonitorRLSD READ MonitorRLSD WRITE SetMonitorRLSD)
    Q_PROPERTY(QObject* MonitorRing READ MonitorRing WRITE SetMonitorRing)
    Q_PROPERTY(TOnReceived OnAfterReceive READ OnAfterReceive WRITE SetOnAfterReceive)
    Q_PROPERTY(TOnSent OnAfterSend READ OnAfterSend WRITE SetOnAfterSend)
    Q_PROPERTY(TOnTraceEvent OnTraceState READ OnTraceState WRITE SetOnTraceState)
    Q_PROPERTY(TOnCommErrorEvent OnCommError READ OnCommError WRITE SetOnCommError)
    Q_PROPERTY(TNotifyEvent OnClose READ OnClose WRITE SetOnClose)
    // Run-time properties: not stored.
    Q_PROPERTY(QString ComName READ ComName STORED false)
    Q_PROPERTY(quint32 ReadyForRead READ ReadyForRead STORED false)
    Q_PROPERTY(quint32 NotYetSend READ NotYetSend STORED false)
    Q_PROPERTY(const winapi::COMMPROP* CommProp READ CommProp STORED false)
    Q_PROPERTY(quint32 TotalReceived READ TotalReceived STORED false)
    Q_PROPERTY(quint32 TotalSent READ TotalSent STORED false)
    Q_PROPERTY(winapi::HANDLE Handle READ Handle STORED false)
public:
    explicit TlxComm(QObject* AOwner = nullptr) : TlxCustomSerialComm(AOwner) {}
    // Stops the port's threads while the object is still whole: they call its virtual
    // operations until then.
    ~TlxComm() override { DestroyComm(); }
};
