// TlxCustomComm: sending, synchronous reads, waits, flushing, the port properties and the port
// configuration dialog; and TlxAsyncWrites, the unwaited writes of SendData.
//
// Why SendData keeps a record per write. SendData returns before the bytes are written, and its
// caller frees or reuses its buffer at once; a further SendData may start while the last one is
// still pending. A single shared OVERLAPPED record and the caller's buffer would both be written
// over under a pending write. So every write gets its own record, its own event and its own copy
// of the bytes, kept until the system reports the write finished. The port's close ends pending
// writes, so the records of a closed port are all finished; the component's destruction waits
// for any that the system has not reported yet.
#include "lxcomm.h"
#include "lxsysutils.h"
#include "lxwin32.h"

#include <QCoreApplication>
#include <algorithm>
#include <limits>

namespace {

using winapi::DWORD;

// Waits look at the line this often.
constexpr DWORD PollMs = 5;

// The application's pending events, when there is an application: handlers that the wait would
// otherwise hold up, among them event processing on the main thread.
void RunMessagePump() {
    if (QCoreApplication::instance() != nullptr) {
        QCoreApplication::processEvents();
    }
}

DWORD MsSince(DWORD Start) {
    // Unsigned arithmetic: right across the tick count's wrap.
    return winapi::Api().GetTickCount() - Start;
}

// Puts TraceStates back when a wait ends, however it ends.
class TTraceStatesRestorer {
public:
    TTraceStatesRestorer(TlxCustomComm& Com, TTraceStates Saved) : fCom(Com), fSaved(Saved) {}
    ~TTraceStatesRestorer() { fCom.SetTraceStates(fSaved); }
    TTraceStatesRestorer(const TTraceStatesRestorer&) = delete;
    TTraceStatesRestorer& operator=(const TTraceStatesRestorer&) = delete;

private:
    TlxCustomComm& fCom;
    TTraceStates fSaved;
};

} // namespace

// ---------------------------------------------------------------------------------------------
// TlxAsyncWrites

TlxAsyncWrites::~TlxAsyncWrites() {
    std::lock_guard Lock(fLock);
    for (const auto& Write : fWrites) {
        if (Write->InFlight) {
            // The port is closed by now, which ends the write: the system reports it here.
            winapi::Api().WaitForSingleObject(Write->Overlapped.hEvent, winapi::INFINITE);
        }
        winapi::Api().CloseHandle(Write->Overlapped.hEvent);
    }
}

bool TlxAsyncWrites::Write(winapi::HANDLE Handle, const char* Buff, quint32 N, DWORD& Error) {
    std::lock_guard Lock(fLock);
    TWrite* Record = IdleRecord();
    if (Record == nullptr) {
        Error = winapi::Api().GetLastError();
        return false;
    }
    Record->Data.assign(Buff, Buff + N);
    // An empty write still needs a buffer to point at.
    static const char NoBytes = 0;
    const char* Bytes = N > 0 ? Record->Data.data() : &NoBytes;
    if (!lx::WriteFileAsync(Handle, Bytes, N, Record->Overlapped)) {
        Error = winapi::Api().GetLastError();
        return false;
    }
    // Finished at once, or still pending: only a pending write keeps its record busy.
    DWORD Written = 0;
    Record->InFlight =
        !winapi::Api().GetOverlappedResult(Handle, &Record->Overlapped, &Written, winapi::FALSE) &&
        IsUnfinished(winapi::Api().GetLastError());
    return true;
}

int TlxAsyncWrites::InFlight() {
    std::lock_guard Lock(fLock);
    Reap();
    return int(std::count_if(fWrites.begin(), fWrites.end(),
                             [](const auto& Write) { return Write->InFlight; }));
}

TlxAsyncWrites::TWrite* TlxAsyncWrites::IdleRecord() {
    Reap();
    for (const auto& Write : fWrites) {
        if (!Write->InFlight) {
            return Write.get();
        }
    }
    // Manual reset: looking at a finished write's event must not consume it.
    const winapi::HANDLE Event =
        winapi::Api().CreateEventW(nullptr, winapi::TRUE, winapi::FALSE, nullptr);
    if (Event == nullptr) {
        return nullptr;
    }
    auto Write = std::make_unique<TWrite>();
    Write->Overlapped.hEvent = Event;
    fWrites.push_back(std::move(Write));
    return fWrites.back().get();
}

void TlxAsyncWrites::Reap() {
    for (const auto& Write : fWrites) {
        if (Write->InFlight && winapi::Api().WaitForSingleObject(Write->Overlapped.hEvent, 0) ==
                                   winapi::WAIT_OBJECT_0) {
            Write->InFlight = false;
        }
    }
}

bool TlxAsyncWrites::IsUnfinished(DWORD Error) {
    // Still pending; or the handle is being closed under the write, which the close then ends
    // and reports through the event.
    return Error == winapi::ERROR_IO_INCOMPLETE || Error == winapi::ERROR_INVALID_HANDLE;
}

// ---------------------------------------------------------------------------------------------
// Sending

void TlxCustomComm::SendChar(char16_t Ch) {
    const winapi::HANDLE Handle = fHandle;
    if (Handle == winapi::INVALID_HANDLE_VALUE) {
        return;
    }
    const auto Byte = static_cast<quint8>(Ch & 0xFF);
    LogFormat(dlDebug, QStringLiteral("Try to send char %2Xh ..."), {Byte});
    if (SendFramed([&] { return lx::WriteFileWait(Handle, &Byte, 1, fOvlWrite); })) {
        fTotalSent += 1;
    } else {
        DoCommError(0, winapi::Api().GetLastError(), {});
    }
}

void TlxCustomComm::SendAheadChar(char16_t Ch) {
    const winapi::HANDLE Handle = fHandle;
    if (Handle == winapi::INVALID_HANDLE_VALUE) {
        return;
    }
    if (SendFramed([&] {
            return winapi::Api().TransmitCommChar(Handle, static_cast<char>(Ch & 0xFF)) !=
                   winapi::FALSE;
        })) {
        fTotalSent += 1;
    } else {
        DoCommError(0, winapi::Api().GetLastError(), {});
    }
}

void TlxCustomComm::SendString(const QByteArray& S) {
    const winapi::HANDLE Handle = fHandle;
    if (Handle == winapi::INVALID_HANDLE_VALUE || S.isEmpty()) {
        return;
    }
    LogFormat(dlDebug, QStringLiteral("Try to send string %s ..."), {QString::fromLatin1(S)});
    // A copy of its own: the caller's string may change on another thread during the write.
    const QByteArray Copy(S.constData(), S.size());
    if (SendFramed(
            [&] { return lx::WriteFileWait(Handle, Copy.constData(), DWORD(Copy.size()), fOvlWrite); })) {
        fTotalSent += quint32(Copy.size());
    } else {
        DoCommError(0, winapi::Api().GetLastError(), {});
    }
}

void TlxCustomComm::SendData(const char* Buff, quint32 N) {
    const winapi::HANDLE Handle = fHandle;
    if (Handle == winapi::INVALID_HANDLE_VALUE) {
        return;
    }
    LogFormat(dlDebug, QStringLiteral("Try to send the data with %d length ..."), {N});
    DWORD Error = 0;
    if (!SendFramed([&] { return fAsyncWrites.Write(Handle, Buff, N, Error); })) {
        DoCommError(0, Error, {});
        return;
    }
    fTotalSent += N;
    LogMessage(dlDebug, QStringLiteral("... the data transmittion is OK!"));
}

// ---------------------------------------------------------------------------------------------
// Reading

void TlxCustomComm::Read(void* Buffer, quint32 Len) {
    const winapi::HANDLE Handle = fHandle;
    if (Handle == winapi::INVALID_HANDLE_VALUE) {
        return;
    }
    lx::ReadFileWait(Handle, Buffer, Len, fOvlRead);
    // What the read took, also when a time-out or a close cut it short: the system keeps the
    // count in the record.
    CountTaken(DWORD(fOvlRead.InternalHigh));
}

void TlxCustomComm::ReadAll(void* Buffer) {
    Read(Buffer, ReadyForRead());
}

qint32 TlxCustomComm::ReadMax(void* Buffer, qint32 MaxLen) {
    if (MaxLen <= 0) {
        return 0;
    }
    const auto Count = qint32(std::min<quint32>(ReadyForRead(), quint32(MaxLen)));
    if (Count > 0) {
        Read(Buffer, quint32(Count));
    }
    return Count;
}

QByteArray TlxCustomComm::ReadString() {
    const quint32 Count = std::min<quint32>(ReadyForRead(), std::numeric_limits<int>::max());
    QByteArray S;
    if (Count > 0) {
        S.resize(qsizetype(Count));
        Read(S.data(), Count);
    }
    return S;
}

// ---------------------------------------------------------------------------------------------
// Waits

bool TlxCustomComm::WaitForBytes(quint32 Count, quint32 Ms) {
    if (!IsOpen()) {
        return false;
    }
    // The receive path must not take the bytes this wait counts, unless a receiver is bound.
    const TTraceStates Saved = TraceStates();
    const TTraceStatesRestorer Restore(*this, Saved);
    TTraceStates Without = Saved;
    SetTraceStates(Without.Exclude(tsRxChar));
    const DWORD Start = winapi::Api().GetTickCount();
    while (MsSince(Start) <= Ms && IsOpen()) {
        if (ReadyForRead() >= Count) {
            return true;
        }
        winapi::Api().Sleep(PollMs);
        RunMessagePump();
    }
    return false;
}

bool TlxCustomComm::WaitForSignal(TModemSignal Signal, quint32 Ms) {
    if (!IsOpen()) {
        return false;
    }
    const DWORD Start = winapi::Api().GetTickCount();
    for (;;) {
        if (ModemSignals().Contains(Signal)) {
            return true;
        }
        winapi::Api().Sleep(PollMs);
        RunMessagePump();
        if (MsSince(Start) > Ms || !IsOpen()) {
            return false;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Flushing, the port properties and the configuration dialog

void TlxCustomComm::FlushOutputBuffer() {
    const winapi::HANDLE Handle = fHandle;
    if (Handle != winapi::INVALID_HANDLE_VALUE) {
        winapi::Api().FlushFileBuffers(Handle);
    }
}

const winapi::COMMPROP* TlxCustomComm::CommProp() {
    const winapi::HANDLE Handle = fHandle;
    if (Handle != winapi::INVALID_HANDLE_VALUE) {
        winapi::Api().GetCommProperties(Handle, &ComProp);
    }
    return &ComProp;
}

void TlxCustomComm::ConfigDialog() {
    ReadPortConfig();
    const winapi::COMMCONFIG Read = CommCfg;
    const std::u16string Name = GetComName().toStdU16String();
    if (!winapi::Api().CommConfigDialogW(Name.c_str(), lx::GetDialogOwner(), &CommCfg)) {
        // Whatever a cancelled dialog left in the record, the settings stay as they were read.
        CommCfg = Read;
        return;
    }
    if (Active()) {
        // The DCB exactly as the dialog left it: the user's choice, not the properties' rebuild.
        winapi::DCB Applied = CommCfg.dcb;
        winapi::Api().SetCommState(fHandle, &Applied);
    }
    ReadPortConfig();
}
