// The fake OS's serial ports, port dialog and thread message queues.
#include "fake_winapi.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace lxtest {

using namespace winapi;

namespace {

// Windows compares port and message names without regard to case.
std::u16string Fold(std::u16string_view Text) {
    std::u16string Folded(Text);
    for (char16_t& Char : Folded) {
        if (Char >= u'a' && Char <= u'z') {
            Char = char16_t(Char - u'a' + u'A');
        }
    }
    return Folded;
}

template <class T> void Store(T* Out, T Value) {
    if (Out != nullptr) {
        *Out = Value;
    }
}

std::optional<OVERLAPPED> Snapshot(const OVERLAPPED* Overlapped) {
    return Overlapped != nullptr ? std::optional<OVERLAPPED>(*Overlapped) : std::nullopt;
}

std::uintptr_t Arg(const void* Pointer) {
    return reinterpret_cast<std::uintptr_t>(Pointer);
}

std::u16string TextOf(LPCWSTR Text) {
    return Text != nullptr ? std::u16string(Text) : std::u16string();
}

// A port's name without the device prefix: "\\?\COM3" and "\\.\COM3" are "COM3".
std::u16string_view PortName(std::u16string_view Path) {
    for (std::u16string_view Prefix : {u"\\\\?\\", u"\\\\.\\"}) {
        if (Path.substr(0, Prefix.size()) == Prefix) {
            return Path.substr(Prefix.size());
        }
    }
    return Path;
}

ULONG_PTR StatusValue(NTSTATUS Status) {
    return ULONG_PTR(std::uint32_t(Status));
}

bool Passes(const MSG& Message, UINT First, UINT Last) {
    return Message.message == WM_QUIT || (First == 0 && Last == 0) ||
           (Message.message >= First && Message.message <= Last);
}

bool IsThreadFilter(HWND Window) {
    return Window == nullptr || Window == reinterpret_cast<HWND>(LONG_PTR(-1));
}

} // namespace

DCB DefaultCommState() {
    DCB Dcb{};
    Dcb.DCBlength = sizeof(DCB);
    Dcb.BaudRate = 9600;
    Dcb.Flags = DCB_fBinary | DCB_fDtrControlEnable | DCB_fRtsControlEnable;
    Dcb.XonLim = 2048;
    Dcb.XoffLim = 512;
    Dcb.ByteSize = 8;
    Dcb.XonChar = 0x11;
    Dcb.XoffChar = 0x13;
    return Dcb;
}

TFakeResult CommErrors(DWORD Errors, COMSTAT Stat) {
    TFakeResult Script = Succeed();
    Script.Bits = Errors;
    Script.Stat = Stat;
    return Script;
}

TFakeResult CommEvent(DWORD Events) {
    TFakeResult Script = Succeed();
    Script.Bits = Events;
    return Script;
}

TFakeResult ModemStatus(DWORD Lines) {
    TFakeResult Script = Succeed();
    Script.Bits = Lines;
    return Script;
}

// --- Setting up and observing the devices ---------------------------------------------------

void TFakeApi::RaiseCommEvent(std::u16string_view Path, DWORD Events) {
    TLock Lock(fMutex);
    RaiseEvents(fDevices.at(Fold(Path)), Events);
}

void TFakeApi::RaiseCommErrors(std::u16string_view Path, DWORD Errors) {
    TLock Lock(fMutex);
    fDevices.at(Fold(Path)).Errors |= Errors;
}

void TFakeApi::SetModemStatus(std::u16string_view Path, DWORD Lines) {
    TLock Lock(fMutex);
    fDevices.at(Fold(Path)).ModemLines = Lines;
}

void TFakeApi::SetDefaultCommState(const DCB& Dcb) {
    TLock Lock(fMutex);
    fDefaultDcb = Dcb;
}

DCB TFakeApi::CommState(std::u16string_view Path) const {
    TLock Lock(fMutex);
    return fDevices.at(Fold(Path)).Dcb;
}

COMMTIMEOUTS TFakeApi::CommTimeouts(std::u16string_view Path) const {
    TLock Lock(fMutex);
    return fDevices.at(Fold(Path)).Timeouts;
}

DWORD TFakeApi::CommMask(std::u16string_view Path) const {
    TLock Lock(fMutex);
    return fDevices.at(Fold(Path)).Mask;
}

// --- With the lock held ---------------------------------------------------------------------

void TFakeApi::RaiseEvents(TDevice& Device, DWORD Events) {
    Events &= Device.Mask;
    if (Events == 0) {
        return;
    }
    if (Device.Wait) {
        EndCommWait(Device, STATUS_SUCCESS, Events);
    } else {
        Device.Events |= Events;
    }
}

void TFakeApi::EndCommWait(TDevice& Device, NTSTATUS Status, DWORD Events) {
    const TCommWait Wait = *Device.Wait;
    Device.Wait.reset();
    if (Status == STATUS_SUCCESS) {
        *Wait.Mask = Events;
    }
    Wait.Overlapped->Internal = StatusValue(Status);
    Wait.Overlapped->InternalHigh = 0;
    const auto Event = fEvents.find(Wait.Overlapped->hEvent);
    if (Event != fEvents.end()) {
        Event->second.Signalled = true;
    }
    fEventChanged.notify_all();
}

TFakeApi::TDevice* TFakeApi::FindDeviceByName(std::u16string_view Name) {
    for (auto& [Path, Device] : fDevices) {
        if (PortName(Path) == Fold(PortName(Name))) {
            return &Device;
        }
    }
    return nullptr;
}

DWORD TFakeApi::ThreadIdOf(std::thread::id Thread) {
    return fThreadIds.try_emplace(Thread, DWORD(fThreadIds.size() + 1)).first->second;
}

// --- Serial ports ---------------------------------------------------------------------------

BOOL TFakeApi::SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"SetupComm", {Arg(hFile), dwInQueue, dwOutQueue}})) {
        return BOOL(Script->Result);
    }
    TDevice* Device = FindDevice(hFile);
    if (Device == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Device->InQueue = dwInQueue;
    Device->OutQueue = dwOutQueue;
    return TRUE;
}

BOOL TFakeApi::SetCommTimeouts(HANDLE hFile, COMMTIMEOUTS* lpCommTimeouts) {
    TLock Lock(fMutex);
    const COMMTIMEOUTS Given = lpCommTimeouts != nullptr ? *lpCommTimeouts : COMMTIMEOUTS{};
    if (auto Script =
            Begin({"SetCommTimeouts",
                   {Arg(hFile), Given.ReadIntervalTimeout, Given.ReadTotalTimeoutMultiplier,
                    Given.ReadTotalTimeoutConstant, Given.WriteTotalTimeoutMultiplier,
                    Given.WriteTotalTimeoutConstant}})) {
        return BOOL(Script->Result);
    }
    TDevice* Device = FindDevice(hFile);
    if (Device == nullptr || lpCommTimeouts == nullptr) {
        SetError(Device == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Device->Timeouts = Given;
    return TRUE;
}

BOOL TFakeApi::SetCommState(HANDLE hFile, DCB* lpDCB) {
    TLock Lock(fMutex);
    const DCB Given = lpDCB != nullptr ? *lpDCB : DCB{};
    if (auto Script = Begin({"SetCommState",
                             {Arg(hFile), Given.BaudRate, Given.Flags, Given.ByteSize, Given.Parity,
                              Given.StopBits, std::uint8_t(Given.EvtChar)}})) {
        return BOOL(Script->Result);
    }
    TDevice* Device = FindDevice(hFile);
    if (Device == nullptr || lpDCB == nullptr) {
        SetError(Device == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Device->Dcb = Given;
    return TRUE;
}

BOOL TFakeApi::GetCommState(HANDLE hFile, DCB* lpDCB) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"GetCommState", {Arg(hFile)}})) {
        return BOOL(Script->Result);
    }
    TDevice* Device = FindDevice(hFile);
    if (Device == nullptr || lpDCB == nullptr) {
        SetError(Device == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpDCB = Device->Dcb;
    return TRUE;
}

BOOL TFakeApi::GetCommConfig(HANDLE hCommDev, COMMCONFIG* lpCC, DWORD* lpdwSize) {
    TLock Lock(fMutex);
    if (auto Script =
            Begin({"GetCommConfig", {Arg(hCommDev), lpdwSize != nullptr ? *lpdwSize : 0u}})) {
        return BOOL(Script->Result);
    }
    TDevice* Device = FindDevice(hCommDev);
    if (Device == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return FillCommConfig(Device->Dcb, lpCC, lpdwSize);
}

BOOL TFakeApi::GetDefaultCommConfigW(LPCWSTR lpszName, COMMCONFIG* lpCC, DWORD* lpdwSize) {
    TLock Lock(fMutex);
    if (auto Script = Begin(
            {"GetDefaultCommConfigW", {lpdwSize != nullptr ? *lpdwSize : 0u}, TextOf(lpszName)})) {
        return BOOL(Script->Result);
    }
    if (lpszName == nullptr || FindDeviceByName(lpszName) == nullptr) {
        SetError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    return FillCommConfig(fDefaultDcb, lpCC, lpdwSize);
}

BOOL TFakeApi::FillCommConfig(const DCB& Dcb, COMMCONFIG* lpCC, DWORD* lpdwSize) {
    if (lpdwSize == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (lpCC == nullptr || *lpdwSize < sizeof(COMMCONFIG)) {
        *lpdwSize = sizeof(COMMCONFIG);
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    *lpCC = COMMCONFIG{};
    lpCC->dwSize = sizeof(COMMCONFIG);
    lpCC->wVersion = 1;
    lpCC->dcb = Dcb;
    lpCC->dwProviderSubType = PST_RS232;
    *lpdwSize = sizeof(COMMCONFIG);
    return TRUE;
}

BOOL TFakeApi::ClearCommError(HANDLE hFile, DWORD* lpErrors, COMSTAT* lpStat) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"ClearCommError", {Arg(hFile)}})) {
        if (Script->Result != FALSE) {
            Store(lpErrors, Script->Bits);
            Store(lpStat, Script->Stat);
        }
        return BOOL(Script->Result);
    }
    TDevice* Device = FindDevice(hFile);
    if (Device == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Store(lpErrors, std::exchange(Device->Errors, 0));
    Store(lpStat, COMSTAT{0, DWORD(Device->Input.size()), 0});
    return TRUE;
}

BOOL TFakeApi::SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"SetCommMask", {Arg(hFile), dwEvtMask}})) {
        return BOOL(Script->Result);
    }
    TDevice* Device = FindDevice(hFile);
    if (Device == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Device->Mask = dwEvtMask;
    Device->Events = 0;
    if (Device->Wait) {
        EndCommWait(*Device, STATUS_SUCCESS, 0);
    }
    return TRUE;
}

BOOL TFakeApi::WaitCommEvent(HANDLE hFile, DWORD* lpEvtMask, OVERLAPPED* lpOverlapped) {
    TLock Lock(fMutex);
    if (auto Script =
            Begin({"WaitCommEvent", {Arg(hFile), Arg(lpOverlapped)}, {}, Snapshot(lpOverlapped)})) {
        if (Script->Result != FALSE) {
            Store(lpEvtMask, Script->Bits);
        }
        return BOOL(Script->Result);
    }
    TDevice* Device = FindDevice(hFile);
    if (Device == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpEvtMask == nullptr || Device->Mask == 0 || Device->Wait) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (Device->Events != 0) {
        *lpEvtMask = std::exchange(Device->Events, 0);
        return TRUE;
    }
    OVERLAPPED Local{};
    OVERLAPPED* Record = lpOverlapped != nullptr ? lpOverlapped : &Local;
    Record->Internal = StatusValue(STATUS_PENDING);
    Device->Wait = TCommWait{hFile, Record, lpEvtMask};
    if (lpOverlapped != nullptr) {
        SetError(ERROR_IO_PENDING);
        return FALSE;
    }
    fEventChanged.wait(Lock, [&] { return Device->Wait.has_value() == false; });
    if (Local.Internal != StatusValue(STATUS_SUCCESS)) {
        SetError(ERROR_OPERATION_ABORTED);
        return FALSE;
    }
    return TRUE;
}

BOOL TFakeApi::EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"EscapeCommFunction", {Arg(hFile), dwFunc}})) {
        return BOOL(Script->Result);
    }
    if (FindDevice(hFile) == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (dwFunc < SETXOFF || dwFunc > CLRBREAK || dwFunc == RESETDEV) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

BOOL TFakeApi::GetCommModemStatus(HANDLE hFile, DWORD* lpModemStat) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"GetCommModemStatus", {Arg(hFile)}})) {
        if (Script->Result != FALSE) {
            Store(lpModemStat, Script->Bits);
        }
        return BOOL(Script->Result);
    }
    TDevice* Device = FindDevice(hFile);
    if (Device == nullptr || lpModemStat == nullptr) {
        SetError(Device == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpModemStat = Device->ModemLines;
    return TRUE;
}

BOOL TFakeApi::PurgeComm(HANDLE hFile, DWORD dwFlags) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"PurgeComm", {Arg(hFile), dwFlags}})) {
        return BOOL(Script->Result);
    }
    TDevice* Device = FindDevice(hFile);
    if (Device == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((dwFlags & ~DWORD(0x000F)) != 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if ((dwFlags & PURGE_RXCLEAR) != 0) {
        Device->Input.clear();
    }
    return TRUE;
}

BOOL TFakeApi::TransmitCommChar(HANDLE hFile, char cChar) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"TransmitCommChar", {Arg(hFile), std::uint8_t(cChar)}})) {
        return BOOL(Script->Result);
    }
    TDevice* Device = FindDevice(hFile);
    if (Device == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Device->Output.push_back(BYTE(cChar));
    RaiseEvents(*Device, EV_TXEMPTY);
    return TRUE;
}

BOOL TFakeApi::GetCommProperties(HANDLE hFile, COMMPROP* lpCommProp) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"GetCommProperties", {Arg(hFile)}})) {
        return BOOL(Script->Result);
    }
    TDevice* Device = FindDevice(hFile);
    if (Device == nullptr || lpCommProp == nullptr) {
        SetError(Device == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpCommProp = COMMPROP{};
    lpCommProp->wPacketLength = sizeof(COMMPROP);
    lpCommProp->wPacketVersion = 2;
    lpCommProp->dwServiceMask = SP_SERIALCOMM;
    lpCommProp->dwMaxBaud = BAUD_USER;
    lpCommProp->dwProvSubType = PST_RS232;
    lpCommProp->dwCurrentTxQueue = Device->OutQueue;
    lpCommProp->dwCurrentRxQueue = Device->InQueue;
    return TRUE;
}

BOOL TFakeApi::FlushFileBuffers(HANDLE hFile) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"FlushFileBuffers", {Arg(hFile)}})) {
        return BOOL(Script->Result);
    }
    if (FindDevice(hFile) == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// --- Thread message queues ------------------------------------------------------------------

UINT TFakeApi::RegisterWindowMessageW(LPCWSTR lpString) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"RegisterWindowMessageW", {}, TextOf(lpString)})) {
        return UINT(Script->Result);
    }
    if (lpString == nullptr || *lpString == 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const auto [Found, Added] =
        fMessageNames.try_emplace(Fold(lpString), UINT(0xC000 + fMessageNames.size()));
    return Found->second;
}

BOOL TFakeApi::PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
    TLock Lock(fMutex);
    if (auto Script =
            Begin({"PostThreadMessageW", {idThread, Msg, wParam, std::uintptr_t(lParam)}})) {
        return BOOL(Script->Result);
    }
    const auto Queue = fThreadQueues.find(idThread);
    if (Queue == fThreadQueues.end()) {
        SetError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    Queue->second.push_back(MSG{nullptr, Msg, wParam, lParam, fTickCount, POINT{0, 0}});
    fEventChanged.notify_all();
    return TRUE;
}

BOOL TFakeApi::GetMessageW(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"GetMessageW", {Arg(hWnd), wMsgFilterMin, wMsgFilterMax}})) {
        return BOOL(Script->Result);
    }
    if (lpMsg == nullptr || !IsThreadFilter(hWnd)) {
        SetError(lpMsg == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    auto& Queue = fThreadQueues[ThreadIdOf(std::this_thread::get_id())];
    fEventChanged.wait(
        Lock, [&] { return TakeMessage(Queue, lpMsg, wMsgFilterMin, wMsgFilterMax, true); });
    return lpMsg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL TFakeApi::PeekMessageW(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                            UINT wRemoveMsg) {
    TLock Lock(fMutex);
    if (auto Script =
            Begin({"PeekMessageW", {Arg(hWnd), wMsgFilterMin, wMsgFilterMax, wRemoveMsg}})) {
        return BOOL(Script->Result);
    }
    if (lpMsg == nullptr || !IsThreadFilter(hWnd)) {
        SetError(lpMsg == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    auto& Queue = fThreadQueues[ThreadIdOf(std::this_thread::get_id())];
    return TakeMessage(Queue, lpMsg, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0)
               ? TRUE
               : FALSE;
}

bool TFakeApi::TakeMessage(std::deque<MSG>& Queue, MSG* Message, UINT First, UINT Last,
                           bool Remove) {
    const auto Found = std::find_if(Queue.begin(), Queue.end(),
                                    [&](const MSG& Queued) { return Passes(Queued, First, Last); });
    if (Found == Queue.end()) {
        return false;
    }
    *Message = *Found;
    if (Remove) {
        Queue.erase(Found);
    }
    return true;
}

LRESULT TFakeApi::DispatchMessageW(const MSG* lpMsg) {
    TLock Lock(fMutex);
    const MSG Given = lpMsg != nullptr ? *lpMsg : MSG{};
    if (auto Script =
            Begin({"DispatchMessageW",
                   {Arg(Given.hwnd), Given.message, Given.wParam, std::uintptr_t(Given.lParam)}})) {
        return LRESULT(Script->Result);
    }
    return 0;
}

// --- Port configuration dialog --------------------------------------------------------------

BOOL TFakeApi::CommConfigDialogW(LPCWSTR lpszName, HWND hWnd, COMMCONFIG* lpCC) {
    PFN_CommConfigDialog Dialog = nullptr;
    {
        TLock Lock(fMutex);
        if (auto Script = Begin({"CommConfigDialogW", {Arg(hWnd)}, TextOf(lpszName)})) {
            return BOOL(Script->Result);
        }
        Dialog = CommConfigDialogProvider();
        if (Dialog == nullptr || lpCC == nullptr) {
            SetError(Dialog == nullptr ? ERROR_CALL_NOT_IMPLEMENTED : ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    // The dialog may call back into the fake: not under its lock.
    return Dialog(lpszName, hWnd, lpCC);
}

} // namespace lxtest
