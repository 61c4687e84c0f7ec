#include "UnitBenchComm.h"

#include "winapi.h"

#include <algorithm>

TBenchComm::TBenchComm(QObject* AOwner) : TlxComm(AOwner) {}

TBenchComm::~TBenchComm() { DestroyComm(); }

quint32 TBenchComm::ReadWithin(void* Buffer, quint32 Len, std::chrono::milliseconds Within) {
    const winapi::HANDLE Handle = fHandle;
    if (Handle == winapi::INVALID_HANDLE_VALUE || Len == 0) {
        return 0;
    }
    winapi::COMMTIMEOUTS Stored = CommTimeouts();
    winapi::COMMTIMEOUTS Bounded = Stored;
    Bounded.ReadIntervalTimeout = 0;
    Bounded.ReadTotalTimeoutMultiplier = 0;
    // A constant of 0 would mean no bound at all.
    Bounded.ReadTotalTimeoutConstant =
        winapi::DWORD(std::clamp<std::int64_t>(Within.count(), 1, 24 * 3600 * 1000));
    winapi::Api().SetCommTimeouts(Handle, &Bounded);
    fOvlRead.InternalHigh = 0;
    Read(Buffer, Len);
    winapi::Api().SetCommTimeouts(Handle, &Stored);
    return std::min<quint32>(quint32(fOvlRead.InternalHigh), Len);
}
