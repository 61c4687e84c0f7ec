// TlxCustomComm: line control, line events, communication errors and the purges.
//
// Why the monitor controls are set on the GUI thread. DoTraceState runs wherever the
// port's events are processed, which is the message thread when UseMainThread is false, while
// the controls are widgets of the GUI thread and may be destroyed there at any moment (the
// removal notice clears the reference on that thread). So the modem lines are read where the
// event arrives, and the controls are looked up and set on the GUI thread: at once when the event
// arrives there, otherwise as a step the event's thread waits for, as the terminal's output does.
// Without monitors nothing is handed over, so a component such as the panel's, which binds none,
// never makes its message thread wait for the GUI thread.
#include "lxcomm.h"
#include "lxwin32.h"

#include <QMetaProperty>
#include <QThread>

namespace {

using winapi::DWORD;

// Up to tsRing a trace state's bit is its event's bit; tsRx80Full, tsEvent1 and tsEvent2 sit one
// bit below theirs, because EV_PERR has no trace state.
constexpr DWORD SameBitStates = 0x01FF;
constexpr DWORD ShiftedStates = 0x0E00;

// The modem status bits of GetCommModemStatus and their signals.
struct TSignalRow {
    DWORD Bit;
    TModemSignal Signal;
};
constexpr TSignalRow SignalRows[] = {
    {winapi::MS_CTS_ON, msCTS},
    {winapi::MS_DSR_ON, msDSR},
    {winapi::MS_RING_ON, msRing},
    {winapi::MS_RLSD_ON, msRLSD},
};

// All five line errors at once: the driver reports a port that is gone.
constexpr DWORD LostPortErrors = winapi::CE_RXOVER | winapi::CE_OVERRUN | winapi::CE_RXPARITY |
                                 winapi::CE_FRAME | winapi::CE_BREAK;

// The queue counts and line errors of ClearCommError; false on a closed port or when the call
// fails.
bool QueueCounts(winapi::HANDLE Handle, DWORD& Errors, winapi::COMSTAT& Stat) {
    if (Handle == winapi::INVALID_HANDLE_VALUE) {
        return false;
    }
    return winapi::Api().ClearCommError(Handle, &Errors, &Stat) != winapi::FALSE;
}

TComStateFlags StateFlags(DWORD Flags) {
    TComStateFlags State;
    for (int Bit = 0; Bit <= fTxim; ++Bit) {
        if ((Flags & (DWORD{1} << Bit)) != 0) {
            State.Include(static_cast<TComStateFlag>(Bit));
        }
    }
    return State;
}

// EscapeCommFunction on an open port; its result is not examined.
bool Escape(winapi::HANDLE Handle, DWORD Function) {
    if (Handle == winapi::INVALID_HANDLE_VALUE) {
        return false;
    }
    winapi::Api().EscapeCommFunction(Handle, Function);
    return true;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Trace states and the event mask

DWORD TlxCustomComm::EventMask(TTraceStates Value) const {
    const DWORD Bits = Value.Bits();
    DWORD Mask = winapi::EV_RXCHAR | (Bits & SameBitStates) | ((Bits & ShiftedStates) << 1);
    if (IsSoftwareRS485()) {
        // RTS goes low again on the transmit-empty event.
        Mask |= winapi::EV_TXEMPTY;
    }
    return Mask;
}

void TlxCustomComm::SetTraceStates(TTraceStates Value) {
    const DWORD Mask = EventMask(Value);
    fTraceStates = Value;
    const winapi::HANDLE Handle = fHandle;
    if (Handle != winapi::INVALID_HANDLE_VALUE) {
        winapi::Api().SetCommMask(Handle, Mask);
    }
}

// ---------------------------------------------------------------------------------------------
// Communication errors and line events

void TlxCustomComm::DoCommError(quint32 CommCode, quint32 SysError, TComStateFlags State) {
    if (IsSoftwareRS485()) {
        SetStateRTS(false);
    }
    bool flFlashBuffers = false;
    LogFormat(dlDetail, QStringLiteral("Communication Error %d:%d %X"),
              {CommCode, SysError, State.Bits()});
    if (fOnCommError) {
        fOnCommError(this, CommCode, SysError, State, flFlashBuffers);
    }
    if (flFlashBuffers) {
        ClearDeviceBuffers();
    }
}

void TlxCustomComm::DoTraceState(QObject* Sender, TTraceStates Event) {
    const TModemSignals Signals = ModemSignals();
    const bool Ring = Event.Contains(tsRing);
    if (QThread::currentThread() == thread()) {
        ShowModemSignals(Signals, Ring);
    } else if (fMonitored) {
        TThread::Synchronize([&] { ShowModemSignals(Signals, Ring); });
    }
    if (fOnTraceState) {
        fOnTraceState(Sender, Event);
    }
}

void TlxCustomComm::ShowModemSignals(TModemSignals Signals, bool Ring) {
    if (fMonitorCTS != nullptr) {
        SetMonitorChecked(fMonitorCTS, Signals.Contains(msCTS));
    }
    if (fMonitorDSR != nullptr) {
        SetMonitorChecked(fMonitorDSR, Signals.Contains(msDSR));
    }
    if (fMonitorRLSD != nullptr) {
        SetMonitorChecked(fMonitorRLSD, Signals.Contains(msRLSD));
    }
    // The ring monitor only ever goes on: a ring is an event, not a level to follow.
    if (Ring && fMonitorRing != nullptr) {
        SetMonitorChecked(fMonitorRing, true);
    }
}

void TlxCustomComm::SetMonitorChecked(QObject* Control, bool Value) {
    const QMetaObject* Meta = Control->metaObject();
    // Looked up first: writing an unknown name would add a dynamic property instead.
    const int Index = Meta->indexOfProperty("checked");
    if (Index >= 0) {
        Meta->property(Index).write(Control, Value);
    }
}

// ---------------------------------------------------------------------------------------------
// Monitor controls

void TlxCustomComm::SetMonitorCTS(QObject* Value) {
    SetMonitor(fMonitorCTS, Value);
}

void TlxCustomComm::SetMonitorDSR(QObject* Value) {
    SetMonitor(fMonitorDSR, Value);
}

void TlxCustomComm::SetMonitorRLSD(QObject* Value) {
    SetMonitor(fMonitorRLSD, Value);
}

void TlxCustomComm::SetMonitorRing(QObject* Value) {
    SetMonitor(fMonitorRing, Value);
}

void TlxCustomComm::SetMonitor(QObject*& Monitor, QObject* Value) {
    Monitor = Value;
    if (Value != nullptr) {
        FreeNotification(Value);
    }
    UpdateMonitored();
}

void TlxCustomComm::UpdateMonitored() {
    fMonitored = fMonitorCTS != nullptr || fMonitorDSR != nullptr || fMonitorRLSD != nullptr ||
                 fMonitorRing != nullptr;
}

void TlxCustomComm::Notification(QObject* AComponent, TOperation Operation) {
    TlxBaseIO::Notification(AComponent, Operation);
    if (Operation != opRemove) {
        return;
    }
    // Every reference goes, not only the first: one control may watch two lines, and the link
    // reports its removal once.
    for (QObject** Monitor : {&fMonitorCTS, &fMonitorDSR, &fMonitorRLSD, &fMonitorRing}) {
        if (*Monitor == AComponent) {
            *Monitor = nullptr;
        }
    }
    UpdateMonitored();
}

// ---------------------------------------------------------------------------------------------
// Line control and line status

void TlxCustomComm::SetStateDTR(bool State) {
    if (Escape(fHandle, State ? winapi::SETDTR : winapi::CLRDTR)) {
        DoTraceState(this, {tsDSR});
    }
}

void TlxCustomComm::SetStateRTS(bool State) {
    if (Escape(fHandle, State ? winapi::SETRTS : winapi::CLRRTS)) {
        DoTraceState(this, {tsCTS});
    }
}

void TlxCustomComm::LowerRtsWhenSent() {
    bool Lowered = false;
    {
        // Against a send that raises RTS for its frame meanwhile (SendFramed): a transmit-empty
        // event may be stale, and RTS goes low only when the output, the transmitter's last
        // byte included, is out on the line now.
        std::lock_guard Lock(fRtsLock);
        winapi::COMSTAT Now{};
        DWORD Errors = 0;
        if (fHandle != winapi::INVALID_HANDLE_VALUE &&
            winapi::Api().ClearCommError(fHandle, &Errors, &Now)) {
            fUnreportedErrors |= Errors;
            Lowered = Now.cbOutQue == 0 && Escape(fHandle, winapi::CLRRTS);
        }
    }
    if (Lowered) {
        DoTraceState(this, {tsCTS});
    }
}

bool TlxCustomComm::SendFramed(const std::function<bool()>& Write) {
    if (!IsSoftwareRS485()) {
        return Write();
    }
    bool Written = false;
    {
        std::lock_guard Lock(fRtsLock);
        Escape(fHandle, winapi::SETRTS);
        Written = Write();
    }
    DoTraceState(this, {tsCTS});
    return Written;
}

void TlxCustomComm::SetStateX(bool State) {
    Escape(fHandle, State ? winapi::SETXON : winapi::SETXOFF);
}

void TlxCustomComm::SetStateBreak(bool State) {
    Escape(fHandle, State ? winapi::SETBREAK : winapi::CLRBREAK);
}

TModemSignals TlxCustomComm::ModemSignals() const {
    TModemSignals Signals;
    const winapi::HANDLE Handle = fHandle;
    DWORD Lines = 0;
    if (Handle == winapi::INVALID_HANDLE_VALUE ||
        !winapi::Api().GetCommModemStatus(Handle, &Lines)) {
        return Signals;
    }
    for (const TSignalRow& Row : SignalRows) {
        if ((Lines & Row.Bit) != 0) {
            Signals.Include(Row.Signal);
        }
    }
    return Signals;
}

quint32 TlxCustomComm::ReadyForRead() const {
    winapi::COMSTAT Stat{};
    DWORD Errors = 0;
    if (!QueueCounts(fHandle, Errors, Stat)) {
        return 0;
    }
    const_cast<TlxCustomComm*>(this)->ReportTakenErrors(Errors, Stat);
    return Stat.cbInQue;
}

quint32 TlxCustomComm::NotYetSend() const {
    winapi::COMSTAT Stat{};
    DWORD Errors = 0;
    if (!QueueCounts(fHandle, Errors, Stat)) {
        return 0;
    }
    const_cast<TlxCustomComm*>(this)->ReportTakenErrors(Errors, Stat);
    return Stat.cbOutQue;
}

void TlxCustomComm::ReportTakenErrors(DWORD Errors, const winapi::COMSTAT& Stat) {
    // ClearCommError hands each error to one caller only: the event processing will not see
    // these, so they are reported as it would have reported them.
    if (Errors == 0) {
        return;
    }
    if (Errors == LostPortErrors) {
        CloseConnection(false);
        return;
    }
    DoCommError(Errors, 0, StateFlags(Stat.Flags));
}

// ---------------------------------------------------------------------------------------------
// Purges

void TlxCustomComm::ClearDeviceInput() {
    const winapi::HANDLE Handle = fHandle;
    if (Handle != winapi::INVALID_HANDLE_VALUE) {
        winapi::Api().PurgeComm(Handle, winapi::PURGE_RXABORT | winapi::PURGE_RXCLEAR);
        ForgetWaiting();
    }
}

void TlxCustomComm::ClearDeviceOutput() {
    const winapi::HANDLE Handle = fHandle;
    if (Handle == winapi::INVALID_HANDLE_VALUE) {
        return;
    }
    winapi::Api().PurgeComm(Handle, winapi::PURGE_TXABORT | winapi::PURGE_TXCLEAR);
    if (IsSoftwareRS485()) {
        SetStateRTS(false);
    }
}

void TlxCustomComm::ClearDeviceBuffers() {
    const winapi::HANDLE Handle = fHandle;
    if (Handle == winapi::INVALID_HANDLE_VALUE) {
        return;
    }
    winapi::Api().PurgeComm(Handle, winapi::PURGE_TXABORT | winapi::PURGE_RXABORT |
                                        winapi::PURGE_TXCLEAR | winapi::PURGE_RXCLEAR);
    ForgetWaiting();
    lx::CancelIoDynamic(Handle);
    if (IsSoftwareRS485()) {
        SetStateRTS(false);
    }
}
