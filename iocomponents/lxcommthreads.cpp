// TlxCustomComm: open and close, the event and message threads, event processing.
//
// Why the receive buffer outlives a close. A close may come from the main thread while the
// message thread is inside ProcessComEvent (UseMainThread false), or from the event thread when
// it finds the port lost while the main thread processes an event. Freeing glBuffer there would
// pull it from under a read that is still filling it. The buffer is therefore released only once
// no thread can be reading into it: when StopThreadIO has joined both threads, by the next open,
// or by destruction.
#include "lxcomm.h"
#include "lxsysutils.h"
#include "lxwin32.h"

#include <QCoreApplication>
#include <algorithm>
#include <cstring>
#include <exception>

namespace {

using winapi::DWORD;

// Registered message numbers lie in this range.
constexpr winapi::UINT FirstRegisteredMessage = 0xC000;
constexpr winapi::UINT LastRegisteredMessage = 0xFFFF;
// All five line errors at once: the driver reports a port that is gone.
constexpr DWORD LostPortErrors = winapi::CE_RXOVER | winapi::CE_OVERRUN | winapi::CE_RXPARITY |
                                 winapi::CE_FRAME | winapi::CE_BREAK;
// COMSTAT's hold bits, fCtsHold to fTxim.
constexpr DWORD HoldBits = 0x7F;
// StartThreadIO gives the new threads this long to reach their waits.
constexpr DWORD ThreadStartMs = 25;

// The events that OnTraceState reports, with their trace states. EV_RXCHAR and EV_TXEMPTY drive
// the receive and after-send paths instead; EV_PERR has no trace state.
struct TTraceRow {
    DWORD Event;
    TTraceState State;
};
constexpr TTraceRow TraceRows[] = {
    {winapi::EV_RXFLAG, tsRxFlag}, {winapi::EV_CTS, tsCTS},           {winapi::EV_DSR, tsDSR},
    {winapi::EV_RLSD, tsRLSD},     {winapi::EV_BREAK, tsBreak},       {winapi::EV_ERR, tsErr},
    {winapi::EV_RING, tsRing},     {winapi::EV_RX80FULL, tsRx80Full}, {winapi::EV_EVENT1, tsEvent1},
    {winapi::EV_EVENT2, tsEvent2},
};

TTraceStates TraceFromMask(DWORD Mask) {
    TTraceStates States;
    for (const TTraceRow& Row : TraceRows) {
        if ((Mask & Row.Event) != 0) {
            States.Include(Row.State);
        }
    }
    return States;
}

TComStateFlags HoldFlags(DWORD Flags) {
    TComStateFlags State;
    for (int Bit = 0; Bit <= fTxim; ++Bit) {
        if ((Flags & HoldBits & (DWORD{1} << Bit)) != 0) {
            State.Include(static_cast<TComStateFlag>(Bit));
        }
    }
    return State;
}

// Stops Thread and frees it, or, where that would wait for ever (the thread itself, or the main
// thread inside the message thread's step), asks it to end and lets it free itself.
template <class TWorker> void StopWorker(TWorker*& Thread, bool CannotWait) {
    TWorker* Stopping = Thread;
    if (Stopping == nullptr) {
        return;
    }
    Thread = nullptr;
    if (CannotWait || Stopping->Handle().IsCurrent()) {
        Stopping->SetFreeOnTerminate(true);
        Stopping->Terminate();
        return;
    }
    Stopping->Terminate();
    delete Stopping;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TCommThread

TCommThread::TCommThread(TlxCustomComm* AOwner) : Com(AOwner), hDevice(AOwner->Handle()) {
    Start();
}

TCommThread::~TCommThread() {
    TerminateAndWait();
}

void TCommThread::Terminate() {
    TThread::Terminate();
    std::lock_guard Lock(fEventLock);
    if (ovl.hEvent != nullptr) {
        winapi::Api().SetEvent(ovl.hEvent);
    }
}

void TCommThread::CreateWaitEvent() {
    const winapi::HANDLE Event =
        winapi::Api().CreateEventW(nullptr, winapi::FALSE, winapi::FALSE, nullptr);
    std::lock_guard Lock(fEventLock);
    ovl.hEvent = Event;
}

void TCommThread::CloseWaitEvent() {
    winapi::HANDLE Event;
    {
        std::lock_guard Lock(fEventLock);
        Event = ovl.hEvent;
        ovl.hEvent = nullptr;
    }
    if (Event != nullptr) {
        winapi::Api().CloseHandle(Event);
    }
}

void TCommThread::Execute() {
    CreateWaitEvent();
    winapi::TWinApi& Api = winapi::Api();
    if (hDevice != winapi::INVALID_HANDLE_VALUE) {
        do {
            std::memset(&ovl, 0, winapi::OVERLAPPED_ClearSize);
            DWORD Mask = 0;
            if (!Api.WaitCommEvent(hDevice, &Mask, &ovl)) {
                const DWORD Error = Api.GetLastError();
                if (Error == winapi::ERROR_IO_PENDING) {
                    const DWORD Wait = Api.WaitForSingleObject(ovl.hEvent, winapi::INFINITE);
                    if (Terminated()) {
                        EndPendingWait(Mask);
                        break;
                    }
                    if (Wait != winapi::WAIT_OBJECT_0) {
                        Mask = 0;
                    }
                } else if (Error == winapi::ERROR_INVALID_PARAMETER && Mask == 0) {
                    // A mask change ended the wait: nothing happened.
                } else if (Error == winapi::ERROR_INVALID_HANDLE) {
                    break;
                } else {
                    Com->CloseConnection(false);
                    break;
                }
            }
            if (Mask != 0) {
                PostEvent(Mask);
            }
        } while (!Terminated() && Com->Active());
    }
    CloseWaitEvent();
}

void TCommThread::EndPendingWait(DWORD& Mask) {
    // Every close path closes the port before it stops this thread, which ends the wait. Stopped
    // while the wait is still pending, the thread cancels it itself and lets it complete, so that
    // the driver writes into neither the record nor the mask after the thread has left.
    winapi::TWinApi& Api = winapi::Api();
    DWORD Transferred = 0;
    if (!Api.GetOverlappedResult(hDevice, &ovl, &Transferred, winapi::FALSE) &&
        Api.GetLastError() == winapi::ERROR_IO_INCOMPLETE) {
        lx::CancelIoDynamic(hDevice);
        Api.GetOverlappedResult(hDevice, &ovl, &Transferred, winapi::TRUE);
    }
    Mask = 0;
}

void TCommThread::PostEvent(DWORD Mask) {
    while (!Terminated() && Com->IsOpen()) {
        if (winapi::Api().PostThreadMessageW(Com->MsgThreadID(), CommMsgComEvent(), Mask, 0)) {
            return;
        }
        winapi::Api().Sleep(0);
    }
}

// ---------------------------------------------------------------------------------------------
// TMsgThread

TMsgThread::TMsgThread(TlxCustomComm* AOwner) : Com(AOwner) {
    Start();
}

TMsgThread::~TMsgThread() {
    TerminateAndWait();
}

void TMsgThread::Terminate() {
    TThread::Terminate();
    // Before the thread has published its id it has no queue yet; it looks at the terminate flag
    // after publishing, so one of the two sides always sees the other.
    const DWORD Id = fThreadID;
    if (Id == 0) {
        return;
    }
    while (!winapi::Api().PostThreadMessageW(Id, CommMsgQuitComEvent(), 0, 0) &&
           !Handle().Finished()) {
        winapi::Api().Sleep(0);
    }
}

void TMsgThread::Execute() {
    if (Com == nullptr) {
        return;
    }
    winapi::TWinApi& Api = winapi::Api();
    // The queue exists from the first look at it; only then can the event thread post.
    winapi::MSG First{};
    Api.PeekMessageW(&First, nullptr, 0, 0, winapi::PM_NOREMOVE);
    fThreadID = Api.GetCurrentThreadId();
    while (!Terminated()) {
        // 0 is the quit message; -1 a queue that cannot be read, which would never change.
        if (Api.GetMessageW(&glMsg, nullptr, FirstRegisteredMessage, LastRegisteredMessage) <= 0) {
            break;
        }
        if (!Com->Active() || Terminated()) {
            break;
        }
        if (glMsg.message == CommMsgQuitComEvent()) {
            break;
        }
        if (glMsg.hwnd != nullptr || glMsg.message != CommMsgComEvent()) {
            Api.DispatchMessageW(&glMsg);
            continue;
        }
        if (QCoreApplication::instance() != nullptr && Com->UseMainThread()) {
            TThread::Synchronize([this] { SyncComEvent(); });
        } else {
            Com->ProcessComEvent(glMsg);
        }
    }
}

void TMsgThread::SyncComEvent() {
    if (Terminated()) {
        return;
    }
    fInStep = true;
    try {
        Com->ProcessComEvent(glMsg);
    } catch (...) {
        fInStep = false;
        throw;
    }
    fInStep = false;
}

// ---------------------------------------------------------------------------------------------
// TlxCustomComm: open and close

void TlxCustomComm::DoOpen() {
    DoClose();
    // Threads left behind by a lost port go before anything they might still use is replaced.
    StopThreadIO();
    fTotalReceived = 0;
    fTotalSent = 0;
    ForgetWaiting();
    TlxBaseIO::DoOpen();
    if (!IsOpen()) {
        const DWORD Error = winapi::Api().GetLastError();
        const QString Name = GetComName();
        winapi::Api().SetLastError(Error);
        const QString Reason = QString::fromStdU16String(lx::GetLastErrorText());
        LastErrorString =
            LxFormat(QStringLiteral("Device \"%s\" Open Error !!!\r%s"), {Name, Reason});
        DoFatalError(1, 0, LastErrorString, false);
        return;
    }
    fClosing = false;
    AllocReceiveBuffer();
    LogFormat(dlSimple, QStringLiteral("The port %s is opened succesfully"), {GetComName()});
    ApplyPortSettings();
    SetTraceStates(TraceStates());
    StartThreadIO();
    DoNotify(2);
}

void TlxCustomComm::DoClose() {
    if (IsOpen()) {
        try {
            CloseConnection(true);
            StopThreadIO();
            LogMessage(dlSimple, QStringLiteral("The port is closed succesfully"));
        } catch (...) {
            // The port is closed whatever went wrong on the way.
            TlxBaseIO::DoClose();
        }
    }
    DoTraceState(this, {tsTxEmpty});
}

void TlxCustomComm::CloseConnection(bool Requested) {
    if (!IsOpen() || fClosing.exchange(true)) {
        return;
    }
    if (Requested && NotYetSend() > 0) {
        ClearDeviceBuffers();
    }
    TlxBaseIO::DoClose();
    DoNotify(1);
    if (KeepConnection() && !Requested) {
        StartKeepConnectionOnMainThread();
    }
}

void TlxCustomComm::StartKeepConnectionOnMainThread() {
    if (TThread::IsMainThread()) {
        StartKeepConnection();
        return;
    }
    // The timer ticks on the event loop of the thread that starts it, and the event thread has
    // none.
    fOwnThreadCalls.Post([this] { StartKeepConnection(); });
}

void TlxCustomComm::DoKeepConnection(QObject*) {
    LogMessage(dlDetail, QStringLiteral("Try to keep connection ..."));
    StopKeepConnection();
}

// ---------------------------------------------------------------------------------------------
// TlxCustomComm: the threads

void TlxCustomComm::StartThreadIO() {
    StopThreadIO();
    if (MsgThread == nullptr) {
        MsgThread = new TMsgThread(this);
    }
    if (CommThread == nullptr) {
        CommThread = new TCommThread(this);
    }
    winapi::Api().Sleep(ThreadStartMs);
}

void TlxCustomComm::StopThreadIO() {
    if (CommThread == nullptr && MsgThread == nullptr) {
        return;
    }
    // Closed from inside the message thread's own step: that step has to return before the
    // thread can end.
    const bool InStep = MsgThread != nullptr && MsgThread->fInStep;
    const bool OnMsgThread = MsgThread != nullptr && MsgThread->Handle().IsCurrent();
    const bool OnCommThread = CommThread != nullptr && CommThread->Handle().IsCurrent();
    StopWorker(CommThread, false);
    StopWorker(MsgThread, InStep);
    if (!InStep && !OnMsgThread && !OnCommThread) {
        FreeReceiveBuffer();
    }
}

void TlxCustomComm::EndEventProcessing() {
    if (MsgThread == nullptr || MsgThread->fInStep || MsgThread->Handle().IsCurrent()) {
        return;
    }
    MsgThread->Terminate();
    MsgThread->Handle().WaitFor();
}

winapi::DWORD TlxCustomComm::MsgThreadID() const {
    return MsgThread != nullptr ? MsgThread->ThreadID() : 0;
}

// ---------------------------------------------------------------------------------------------
// TlxCustomComm: event processing

void TlxCustomComm::ProcessComEvent(const winapi::MSG& Msg) {
    if (Msg.message != CommMsgComEvent()) {
        return;
    }
    winapi::TWinApi& Api = winapi::Api();
    try {
        DWORD Errors = 0;
        if (!Api.ClearCommError(fHandle, &Errors, Stat)) {
            return;
        }
        if (Errors == LostPortErrors) {
            CloseConnection(false);
            return;
        }
        if (Errors != 0) {
            // The bytes received stay queued for the next event.
            DoCommError(Errors, 0, HoldFlags(Stat->Flags));
            return;
        }
        const DWORD Mask = static_cast<DWORD>(Msg.wParam);
        if ((Mask & winapi::EV_RXCHAR) != 0 && Stat->cbInQue > 0) {
            const bool Need = TraceStates().Contains(tsRxChar) || IsReceiveNeeded();
            CountWaiting(Stat->cbInQue);
            if (Need) {
                do {
                    const DWORD Count = std::min<DWORD>(Stat->cbInQue, fReceiveBufferSize);
                    if (!lx::ReadFileWait(fHandle, glBuffer, Count, fOvlRead)) {
                        break;
                    }
                    CountTaken(Count);
                    DoReceived(glBuffer, Count);
                    // Line errors found here are dropped: the bytes were read.
                    if (Api.ClearCommError(fHandle, &Errors, Stat)) {
                        CountWaiting(Stat->cbInQue);
                    }
                } while (Stat->cbInQue > 0);
            }
        }
        if ((Mask & winapi::EV_TXEMPTY) != 0) {
            if (IsSoftwareRS485()) {
                SetStateRTS(false);
            }
            const bool Handled = DoAfterSend();
            if (TraceStates().Contains(tsTxEmpty) && !Handled && fOnSent) {
                fOnSent(this);
            }
        }
        const TTraceStates Trace = TraceFromMask(Mask);
        if (!Trace.Empty()) {
            DoTraceState(this, Trace);
        }
    } catch (const std::exception& Error) {
        // ElxError's what() is its message.
        DoFatalError(1, Api.GetLastError(), QString::fromUtf8(Error.what()), true);
    }
}

// ---------------------------------------------------------------------------------------------
// TlxCustomComm: the receive counter

void TlxCustomComm::CountWaiting(DWORD InQueue) {
    std::lock_guard Lock(fCountLock);
    if (InQueue > fCountedWaiting) {
        fTotalReceived += InQueue - fCountedWaiting;
    }
    fCountedWaiting = InQueue;
}

void TlxCustomComm::CountTaken(DWORD Count) {
    std::lock_guard Lock(fCountLock);
    const DWORD Counted = std::min(Count, fCountedWaiting);
    fCountedWaiting -= Counted;
    fTotalReceived += Count - Counted;
}

void TlxCustomComm::ForgetWaiting() {
    std::lock_guard Lock(fCountLock);
    fCountedWaiting = 0;
}
