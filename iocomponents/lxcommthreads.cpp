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
#include <QThread>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <chrono>
#include <exception>
#include <thread>

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
// A post that fails (a full queue, a message thread that has ended) is tried again this often,
// the first few times only yielding, then a millisecond apart (real time, whatever the OS
// boundary's Sleep does); then the events are dropped.
constexpr int PostAttempts = 100;
constexpr int YieldingPostAttempts = 3;
// Looks at the input queue for one count, while reads keep reporting what they took meanwhile.
constexpr int QueueLooks = 3;
// Bytes an event found waiting are read at once; a read still pending after this long found
// them purged meanwhile and is aborted with what it has.
constexpr DWORD WaitingReadMs = 100;

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

// Whether stopping Thread here would wait for ever: on the thread itself, or on the main thread
// inside one of the thread's Synchronize steps (a monitor update, the terminal's output, event
// processing), which the thread waits for.
bool CannotWaitFor(const TThreadHandle& Thread) {
    return Thread.IsCurrent() || Thread.InStepOnMainThread();
}

// Stops Thread and frees it, or, where that would wait for ever, asks it to end and lets it free
// itself; Left then keeps its handle, so that a later stop can wait for its end.
template <class TWorker> void StopWorker(TWorker*& Thread, std::vector<TThreadHandle>& Left) {
    TWorker* Stopping = Thread;
    if (Stopping == nullptr) {
        return;
    }
    Thread = nullptr;
    const TThreadHandle Handle = Stopping->Handle();
    if (CannotWaitFor(Handle)) {
        Left.push_back(Handle);
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
                    // The wait resets the event, which may swallow the signal of a Terminate
                    // that came just before: the flag, looked at after the reset, tells.
                    const DWORD Wait = Terminated()
                                           ? winapi::WAIT_TIMEOUT
                                           : Api.WaitForSingleObject(ovl.hEvent, winapi::INFINITE);
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
    // One message stands for every event until the message thread takes them: while one is on
    // its way, later events only join it.
    if (Com->fPostedEvents.fetch_or(Mask) != 0) {
        return;
    }
    int Attempt = 0;
    while (Attempt < PostAttempts && !Terminated() && Com->IsOpen()) {
        const DWORD Receiver = Com->MsgThreadID();
        if (Receiver != 0 &&
            winapi::Api().PostThreadMessageW(Receiver, CommMsgComEvent(), Mask, 0)) {
            return;
        }
        // A message thread that has not made its queue yet comes in a moment; only refusals
        // count towards giving up.
        Attempt += Receiver != 0 ? 1 : 0;
        if (Receiver != 0 && Attempt <= YieldingPostAttempts) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    // Dropped, as a post that cannot be made; the next event posts again.
    Com->fPostedEvents = 0;
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
        // The events that joined this message on its way come with it.
        glMsg.wParam |= Com->fPostedEvents.exchange(0);
        if (QCoreApplication::instance() != nullptr && Com->UseMainThread()) {
            TThread::Synchronize([this] { SyncComEvent(); });
        } else {
            Com->ProcessComEvent(glMsg);
        }
    }
}

void TMsgThread::SyncComEvent() {
    if (!Terminated()) {
        Com->ProcessComEvent(glMsg);
    }
}

// ---------------------------------------------------------------------------------------------
// TlxCustomComm: open and close

void TlxCustomComm::DoOpen() {
    DoClose();
    // Threads left behind by a lost port go before anything they might still use is replaced.
    StopThreadIO();
    WaitForLeftThreads();
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
    fPostedEvents = 0;
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
    if (QThread::currentThread() == thread() || QCoreApplication::instance() == nullptr) {
        TlxBaseIO::DoClose();
        AnnounceClose(Requested);
        return;
    }
    // A loss found by the event thread, or by the message thread processing on itself: the port
    // is released here, so that every wait on it ends, and the owner hears of it on its own
    // thread, where handlers may touch widgets and the keep-connection timer has an event loop.
    ReleaseHandle(fHandle.exchange(winapi::INVALID_HANDLE_VALUE));
    fOwnThreadCalls.Post([this, Requested] {
        if (const TNotifyEvent Closed = OnClose()) {
            try {
                Closed(this);
            } catch (...) {
                // The port is closed whatever the handler thinks of it.
            }
        }
        AnnounceClose(Requested);
    });
}

void TlxCustomComm::AnnounceClose(bool Requested) {
    DoNotify(1);
    if (KeepConnection() && !Requested) {
        StartKeepConnection();
    }
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
    // Closed from inside a thread's own step (a handler running on the main thread for it, or
    // on the thread itself): that step has to return before the thread can end.
    const bool CannotWait = (MsgThread != nullptr && CannotWaitFor(MsgThread->Handle())) ||
                            (CommThread != nullptr && CannotWaitFor(CommThread->Handle()));
    StopWorker(CommThread, fLeftThreads);
    StopWorker(MsgThread, fLeftThreads);
    if (!CannotWait) {
        WaitForLeftThreads();
        FreeReceiveBuffer();
    }
}

void TlxCustomComm::WaitForLeftThreads() {
    std::erase_if(fLeftThreads, [](const TThreadHandle& Thread) {
        if (CannotWaitFor(Thread)) {
            return false;
        }
        Thread.WaitFor();
        return true;
    });
}

void TlxCustomComm::EndEventProcessing() {
    if (MsgThread == nullptr || CannotWaitFor(MsgThread->Handle())) {
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
    try {
        const DWORD Mask = static_cast<DWORD>(Msg.wParam);
        DWORD Errors = 0;
        if (!TakeLineStatus(Errors, (Mask & winapi::EV_RXCHAR) != 0)) {
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
        if ((Mask & winapi::EV_RXCHAR) != 0 && Stat->cbInQue > 0 &&
            (TraceStates().Contains(tsRxChar) || IsReceiveNeeded())) {
            ReceiveWaiting();
        }
        if ((Mask & winapi::EV_TXEMPTY) != 0) {
            if (IsSoftwareRS485()) {
                LowerRtsWhenSent();
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
        DoFatalError(1, winapi::Api().GetLastError(), QString::fromUtf8(Error.what()), true);
    }
}

bool TlxCustomComm::TakeLineStatus(DWORD& Errors, bool CountInput) {
    // A read that reports what it took between the look at the input queue and the count would
    // have its bytes counted twice: the count is made only when no read or purge reported
    // anything meanwhile, else the line is looked at again. The look is no step under the lock,
    // so that a read never waits for it.
    Errors = fUnreportedErrors.exchange(0);
    for (int Look = 0; Look < QueueLooks; ++Look) {
        const std::uint64_t Changes = fQueueChanges;
        DWORD Found = 0;
        if (!winapi::Api().ClearCommError(fHandle, &Found, Stat)) {
            return false;
        }
        Errors |= Found;
        std::lock_guard Lock(fCountLock);
        if (fQueueChanges == Changes) {
            if (CountInput && Errors == 0) {
                CountWaitingLocked(Stat->cbInQue);
            }
            break;
        }
        // Still changing after the last look: the bytes not counted now are counted by the read
        // that takes them or by the next event.
    }
    return true;
}

void TlxCustomComm::ReceiveWaiting() {
    DWORD Errors = 0;
    do {
        const DWORD Taken = ReadWaiting(std::min<DWORD>(Stat->cbInQue, fReceiveBufferSize));
        if (Taken == 0) {
            return;
        }
        CountTaken(Taken);
        DoReceived(glBuffer, Taken);
        // Line errors found here are dropped: the bytes were read. Bytes such a look does not
        // count are counted by the read that takes them.
    } while (TakeLineStatus(Errors, true) && Stat->cbInQue > 0);
}

DWORD TlxCustomComm::ReadWaiting(DWORD Count) {
    winapi::TWinApi& Api = winapi::Api();
    const winapi::HANDLE Handle = fHandle;
    const winapi::HANDLE Event = fOvlRead.hEvent;
    fOvlRead = {};
    fOvlRead.hEvent = Event;
    DWORD Read = 0;
    if (Api.ReadFile(Handle, glBuffer, Count, &Read, &fOvlRead)) {
        return Read;
    }
    if (Api.GetLastError() != winapi::ERROR_IO_PENDING) {
        return 0;
    }
    // The bytes were waiting, so the read ends at once, unless a purge took them between the
    // look and the read: then it must not wait for bytes that may never come.
    if (Api.WaitForSingleObject(Event, WaitingReadMs) != winapi::WAIT_OBJECT_0) {
        Api.PurgeComm(Handle, winapi::PURGE_RXABORT);
    }
    Api.GetOverlappedResult(Handle, &fOvlRead, &Read, winapi::TRUE);
    return Read;
}

// ---------------------------------------------------------------------------------------------
// TlxCustomComm: the receive counter

void TlxCustomComm::CountWaitingLocked(DWORD InQueue) {
    // Fewer bytes than counted: a read took some and reports them through CountTaken.
    if (InQueue > fCountedWaiting) {
        fTotalReceived += InQueue - fCountedWaiting;
        fCountedWaiting = InQueue;
    }
}

void TlxCustomComm::CountTaken(DWORD Count) {
    std::lock_guard Lock(fCountLock);
    ++fQueueChanges;
    const DWORD Counted = std::min(Count, fCountedWaiting);
    fCountedWaiting -= Counted;
    fTotalReceived += Count - Counted;
}

void TlxCustomComm::ForgetWaiting() {
    std::lock_guard Lock(fCountLock);
    ++fQueueChanges;
    fCountedWaiting = 0;
}
