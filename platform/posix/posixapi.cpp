#include "posixapi.h"

#include "commstate.h"
#include "lasterror.h"
#include "portmap.h"
#include "serialport.h"
#include "setupapi.h"
#include "textcodec.h"
#include "waitevent.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace winapi {

namespace posix {

namespace {

// Module handles are tokens that nobody dereferences; they only have to be distinct and non-null.
const HMODULE ProgramModule = reinterpret_cast<HMODULE>(std::uintptr_t(0x00400000));
const HMODULE Kernel32Module = reinterpret_cast<HMODULE>(std::uintptr_t(0x7FF10000));
const HMODULE NtdllModule = reinterpret_cast<HMODULE>(std::uintptr_t(0x7FF20000));
const HMODULE SetupApiModule = reinterpret_cast<HMODULE>(std::uintptr_t(0x7FF30000));
const HMODULE CfgMgrModule = reinterpret_cast<HMODULE>(std::uintptr_t(0x7FF40000));

// As on Windows, the pseudo handle of the calling thread.
const HANDLE CurrentThread = reinterpret_cast<HANDLE>(LONG_PTR(-2));

// "C:\Windows\System32\KERNEL32.DLL", "kernel32" and "kernel32.dll" name the same module.
HMODULE KnownModule(std::u16string_view Name) {
    const std::size_t Separator = Name.find_last_of(u"\\/");
    if (Separator != std::u16string_view::npos) {
        Name.remove_prefix(Separator + 1);
    }
    constexpr std::u16string_view Extension = u".DLL";
    if (Name.size() > Extension.size() &&
        SameName(Name.substr(Name.size() - Extension.size()), Extension)) {
        Name.remove_suffix(Extension.size());
    }
    if (SameName(Name, u"KERNEL32")) {
        return Kernel32Module;
    }
    if (SameName(Name, u"NTDLL")) {
        return NtdllModule;
    }
    if (SameName(Name, u"SETUPAPI")) {
        return SetupApiModule;
    }
    if (SameName(Name, u"CFGMGR32")) {
        return CfgMgrModule;
    }
    return nullptr;
}

bool IsBuiltInModule(HMODULE Module) {
    return Module == Kernel32Module || Module == NtdllModule || Module == SetupApiModule ||
           Module == CfgMgrModule;
}

// "\\?\COM9" and "\\.\COM9" are the device COM9, as is "COM9" alone.
std::u16string_view DeviceName(std::u16string_view Path) {
    for (std::u16string_view Prefix : {u"\\\\?\\", u"\\\\.\\"}) {
        if (Path.substr(0, Prefix.size()) == Prefix) {
            return Path.substr(Prefix.size());
        }
    }
    return Path;
}

int NiceOf(int Priority) {
    if (Priority <= THREAD_PRIORITY_IDLE) {
        return 19;
    }
    if (Priority >= THREAD_PRIORITY_TIME_CRITICAL) {
        return -20;
    }
    return -5 * std::clamp(Priority, THREAD_PRIORITY_LOWEST, THREAD_PRIORITY_HIGHEST);
}

template <class T> T Fail(DWORD Error, T Result) {
    SetLastErrorCode(Error);
    return Result;
}

BOOL NoSuchPort(std::u16string_view Name) {
    SetLastErrorCause(ERROR_FILE_NOT_FOUND,
                      "There is no port " + ToUtf8(Name) + " in the port folder " + PortFolder());
    return FALSE;
}

// The event an OVERLAPPED names, if it names one; false when hEvent is not an event.
bool FindEvent(const THandleTable& Handles, const OVERLAPPED* Overlapped,
               std::shared_ptr<TWaitEvent>& Event) {
    if (Overlapped == nullptr || Overlapped->hEvent == nullptr) {
        return true;
    }
    Event = Handles.FindAs<TWaitEvent>(Overlapped->hEvent);
    return Event != nullptr;
}

std::shared_ptr<TSerialPort> PortOf(const THandleTable& Handles, HANDLE Handle) {
    std::shared_ptr<TSerialPort> Port = Handles.FindAs<TSerialPort>(Handle);
    if (!Port) {
        SetLastErrorCode(ERROR_INVALID_HANDLE);
    }
    return Port;
}

// *Size is how big Config is; when that is too small, or there is no record, *Size tells how big
// it must be.
bool HasRoomForConfig(const COMMCONFIG* Config, DWORD* Size) {
    if (Size == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER, false);
    }
    const DWORD Given = std::exchange(*Size, DWORD(sizeof(COMMCONFIG)));
    if (Config == nullptr || Given < sizeof(COMMCONFIG)) {
        return Fail(ERROR_INSUFFICIENT_BUFFER, false);
    }
    return true;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Errors and local memory

DWORD TPosixApi::GetLastError() {
    return LastErrorCode();
}

void TPosixApi::SetLastError(DWORD dwErrCode) {
    SetLastErrorCode(dwErrCode);
}

DWORD TPosixApi::FormatMessageW(DWORD dwFlags, const void*, DWORD dwMessageId, DWORD,
                                LPWSTR lpBuffer, DWORD nSize, void*) {
    if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || lpBuffer == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER, DWORD(0));
    }
    const std::u16string Text = ErrorMessage(dwMessageId);
    if (Text.empty()) {
        return Fail(ERROR_MR_MID_NOT_FOUND, DWORD(0));
    }
    LPWSTR Target = lpBuffer;
    if ((dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
        // lpBuffer is really an LPWSTR*, which receives a block that LocalFree releases.
        Target = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, (Text.size() + 1) * sizeof(WCHAR)));
        if (Target == nullptr) {
            return 0;
        }
        *reinterpret_cast<LPWSTR*>(lpBuffer) = Target;
    } else if (nSize < Text.size() + 1) {
        return Fail(ERROR_INSUFFICIENT_BUFFER, DWORD(0));
    }
    std::copy(Text.begin(), Text.end(), Target);
    Target[Text.size()] = 0;
    return DWORD(Text.size());
}

HLOCAL TPosixApi::LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    // Movable blocks have no use here; only fixed memory, optionally zeroed.
    if ((uFlags & ~LMEM_ZEROINIT) != LMEM_FIXED) {
        return Fail(ERROR_INVALID_PARAMETER, HLOCAL(nullptr));
    }
    const SIZE_T Bytes = std::max<SIZE_T>(uBytes, 1);
    HLOCAL Block = (uFlags & LMEM_ZEROINIT) != 0 ? std::calloc(1, Bytes) : std::malloc(Bytes);
    return Block != nullptr ? Block : Fail(ERROR_NOT_ENOUGH_MEMORY, HLOCAL(nullptr));
}

HLOCAL TPosixApi::LocalFree(HLOCAL hMem) {
    std::free(hMem);
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Files and overlapped I/O

HANDLE TPosixApi::CreateFileW(LPCWSTR lpFileName, DWORD, DWORD, void*, DWORD,
                              DWORD dwFlagsAndAttributes, HANDLE) {
    if (lpFileName == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    // Ports are always opened for exclusive use, whatever the share mode: a serial line has one
    // user at a time.
    const std::u16string_view Name = DeviceName(lpFileName);
    const std::optional<TPortLink> Link = FindPortLink(Name);
    if (!Link) {
        NoSuchPort(Name);
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<TSerialPort> Port =
        TSerialPort::Open(*Link, (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0);
    return Port ? fHandles.Insert(std::move(Port)) : INVALID_HANDLE_VALUE;
}

BOOL TPosixApi::ReadFile(HANDLE hFile, void* lpBuffer, DWORD nNumberOfBytesToRead,
                         DWORD* lpNumberOfBytesRead, OVERLAPPED* lpOverlapped) {
    const std::shared_ptr<TSerialPort> Port = fHandles.FindAs<TSerialPort>(hFile);
    if (!Port) {
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    if (lpBuffer == nullptr && nNumberOfBytesToRead > 0) {
        return Fail(ERROR_NOACCESS, FALSE);
    }
    std::shared_ptr<TWaitEvent> Event;
    if (!FindEvent(fHandles, lpOverlapped, Event)) {
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    return Port->Read(lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped,
                      std::move(Event));
}

BOOL TPosixApi::WriteFile(HANDLE hFile, const void* lpBuffer, DWORD nNumberOfBytesToWrite,
                          DWORD* lpNumberOfBytesWritten, OVERLAPPED* lpOverlapped) {
    const std::shared_ptr<TSerialPort> Port = fHandles.FindAs<TSerialPort>(hFile);
    if (!Port) {
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    if (lpBuffer == nullptr && nNumberOfBytesToWrite > 0) {
        return Fail(ERROR_NOACCESS, FALSE);
    }
    std::shared_ptr<TWaitEvent> Event;
    if (!FindEvent(fHandles, lpOverlapped, Event)) {
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    return Port->Write(lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped,
                       std::move(Event));
}

BOOL TPosixApi::GetOverlappedResult(HANDLE hFile, OVERLAPPED* lpOverlapped,
                                    DWORD* lpNumberOfBytesTransferred, BOOL bWait) {
    const std::shared_ptr<TSerialPort> Port = fHandles.FindAs<TSerialPort>(hFile);
    if (!Port) {
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    if (lpOverlapped == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    return Port->GetResult(lpOverlapped, lpNumberOfBytesTransferred, bWait != FALSE);
}

BOOL TPosixApi::CancelIo(HANDLE hFile) {
    const std::shared_ptr<TSerialPort> Port = fHandles.FindAs<TSerialPort>(hFile);
    if (!Port) {
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    Port->CancelCallerRequests();
    return TRUE;
}

BOOL TPosixApi::CloseHandle(HANDLE hObject) {
    if (hObject == CurrentThread) {
        return TRUE;
    }
    const std::shared_ptr<THandleObject> Object = fHandles.Remove(hObject);
    if (!Object) {
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    Object->Close();
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Serial ports

BOOL TPosixApi::SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    const std::shared_ptr<TSerialPort> Port = PortOf(fHandles, hFile);
    return Port ? Port->SetQueueSizes(dwInQueue, dwOutQueue) : FALSE;
}

BOOL TPosixApi::SetCommTimeouts(HANDLE hFile, COMMTIMEOUTS* lpCommTimeouts) {
    const std::shared_ptr<TSerialPort> Port = PortOf(fHandles, hFile);
    if (!Port) {
        return FALSE;
    }
    if (lpCommTimeouts == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    return Port->SetTimeouts(*lpCommTimeouts);
}

BOOL TPosixApi::SetCommState(HANDLE hFile, DCB* lpDCB) {
    const std::shared_ptr<TSerialPort> Port = PortOf(fHandles, hFile);
    if (!Port) {
        return FALSE;
    }
    if (lpDCB == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    return Port->SetState(*lpDCB);
}

BOOL TPosixApi::GetCommState(HANDLE hFile, DCB* lpDCB) {
    const std::shared_ptr<TSerialPort> Port = PortOf(fHandles, hFile);
    if (!Port) {
        return FALSE;
    }
    if (lpDCB == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    return Port->GetState(*lpDCB);
}

BOOL TPosixApi::GetCommConfig(HANDLE hCommDev, COMMCONFIG* lpCC, DWORD* lpdwSize) {
    const std::shared_ptr<TSerialPort> Port = PortOf(fHandles, hCommDev);
    DCB Dcb{};
    if (!Port || !HasRoomForConfig(lpCC, lpdwSize) || Port->GetState(Dcb) == FALSE) {
        return FALSE;
    }
    FillCommConfig(*lpCC, Dcb);
    return TRUE;
}

BOOL TPosixApi::GetDefaultCommConfigW(LPCWSTR lpszName, COMMCONFIG* lpCC, DWORD* lpdwSize) {
    if (lpszName == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    if (!HasRoomForConfig(lpCC, lpdwSize)) {
        return FALSE;
    }
    // Every port has the same defaults; nothing stores others.
    const std::u16string_view Name = DeviceName(lpszName);
    if (!FindPortLink(Name)) {
        return NoSuchPort(Name);
    }
    FillCommConfig(*lpCC, DefaultDcb());
    return TRUE;
}

BOOL TPosixApi::ClearCommError(HANDLE hFile, DWORD* lpErrors, COMSTAT* lpStat) {
    const std::shared_ptr<TSerialPort> Port = PortOf(fHandles, hFile);
    return Port ? Port->ClearError(lpErrors, lpStat) : FALSE;
}

BOOL TPosixApi::SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    const std::shared_ptr<TSerialPort> Port = PortOf(fHandles, hFile);
    return Port ? Port->SetMask(dwEvtMask) : FALSE;
}

BOOL TPosixApi::WaitCommEvent(HANDLE hFile, DWORD* lpEvtMask, OVERLAPPED* lpOverlapped) {
    const std::shared_ptr<TSerialPort> Port = PortOf(fHandles, hFile);
    if (!Port) {
        return FALSE;
    }
    if (lpEvtMask == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    std::shared_ptr<TWaitEvent> Event;
    if (!FindEvent(fHandles, lpOverlapped, Event)) {
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    return Port->WaitEvent(lpEvtMask, lpOverlapped, std::move(Event));
}

BOOL TPosixApi::EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    const std::shared_ptr<TSerialPort> Port = PortOf(fHandles, hFile);
    return Port ? Port->Escape(dwFunc) : FALSE;
}

BOOL TPosixApi::GetCommModemStatus(HANDLE hFile, DWORD* lpModemStat) {
    const std::shared_ptr<TSerialPort> Port = PortOf(fHandles, hFile);
    if (!Port) {
        return FALSE;
    }
    if (lpModemStat == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    return Port->GetModemStatus(*lpModemStat);
}

BOOL TPosixApi::PurgeComm(HANDLE hFile, DWORD dwFlags) {
    const std::shared_ptr<TSerialPort> Port = PortOf(fHandles, hFile);
    return Port ? Port->Purge(dwFlags) : FALSE;
}

BOOL TPosixApi::TransmitCommChar(HANDLE hFile, char cChar) {
    const std::shared_ptr<TSerialPort> Port = PortOf(fHandles, hFile);
    return Port ? Port->TransmitChar(BYTE(cChar)) : FALSE;
}

BOOL TPosixApi::GetCommProperties(HANDLE hFile, COMMPROP* lpCommProp) {
    const std::shared_ptr<TSerialPort> Port = PortOf(fHandles, hFile);
    if (!Port) {
        return FALSE;
    }
    if (lpCommProp == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    return Port->GetProperties(*lpCommProp);
}

BOOL TPosixApi::FlushFileBuffers(HANDLE hFile) {
    const std::shared_ptr<TSerialPort> Port = PortOf(fHandles, hFile);
    return Port ? Port->Flush() : FALSE;
}

// ---------------------------------------------------------------------------------------------
// Events

HANDLE TPosixApi::CreateEventW(void*, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
    // Named events would be shared between processes; nothing here asks for one.
    if (lpName != nullptr) {
        return Fail(ERROR_NOT_SUPPORTED, HANDLE(nullptr));
    }
    return fHandles.Insert(
        std::make_shared<TWaitEvent>(bManualReset != FALSE, bInitialState != FALSE));
}

BOOL TPosixApi::SetEvent(HANDLE hEvent) {
    const std::shared_ptr<TWaitEvent> Event = fHandles.FindAs<TWaitEvent>(hEvent);
    if (!Event) {
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    Event->Set();
    return TRUE;
}

BOOL TPosixApi::ResetEvent(HANDLE hEvent) {
    const std::shared_ptr<TWaitEvent> Event = fHandles.FindAs<TWaitEvent>(hEvent);
    if (!Event) {
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    Event->Reset();
    return TRUE;
}

DWORD TPosixApi::WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    const std::shared_ptr<TWaitEvent> Event = fHandles.FindAs<TWaitEvent>(hHandle);
    if (!Event) {
        return Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
    }
    return Event->Wait(dwMilliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

// ---------------------------------------------------------------------------------------------
// Modules

HMODULE TPosixApi::LoadLibraryW(LPCWSTR lpLibFileName) {
    if (lpLibFileName == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER, HMODULE(nullptr));
    }
    const HMODULE Module = KnownModule(lpLibFileName);
    return Module != nullptr ? Module : Fail(ERROR_MOD_NOT_FOUND, HMODULE(nullptr));
}

HMODULE TPosixApi::GetModuleHandleW(LPCWSTR lpModuleName) {
    return lpModuleName == nullptr ? ProgramModule : LoadLibraryW(lpModuleName);
}

FARPROC TPosixApi::GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (!IsBuiltInModule(hModule)) {
        return Fail(hModule == ProgramModule ? ERROR_PROC_NOT_FOUND : ERROR_MOD_NOT_FOUND,
                    FARPROC(nullptr));
    }
    const bool DeviceServices = hModule == SetupApiModule || hModule == CfgMgrModule;
    const FARPROC Proc = DeviceServices ? SetupApiExport(lpProcName, hModule == CfgMgrModule)
                                        : ForwardingExport(lpProcName);
    return Proc != nullptr ? Proc : Fail(ERROR_PROC_NOT_FOUND, FARPROC(nullptr));
}

BOOL TPosixApi::FreeLibrary(HMODULE hLibModule) {
    // The modules are built in: nothing is loaded, so nothing is unloaded.
    if (!IsBuiltInModule(hLibModule)) {
        return Fail(ERROR_MOD_NOT_FOUND, FALSE);
    }
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Time and system

void TPosixApi::Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::hours(24));
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

DWORD TPosixApi::GetTickCount() {
    timespec Now{};
    ::clock_gettime(CLOCK_MONOTONIC, &Now);
    // Wraps after 49.7 days, as on Windows.
    return DWORD(std::uint64_t(Now.tv_sec) * 1000u + std::uint64_t(Now.tv_nsec) / 1000000u);
}

BOOL TPosixApi::GetVersionExW(OSVERSIONINFOW* lpVersionInformation) {
    if (lpVersionInformation == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    if (lpVersionInformation->dwOSVersionInfoSize < sizeof(OSVERSIONINFOW)) {
        return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    }
    // The NT family: the port list comes from the registry, not from the spooler.
    lpVersionInformation->dwMajorVersion = 10;
    lpVersionInformation->dwMinorVersion = 0;
    lpVersionInformation->dwBuildNumber = 0;
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    std::fill(std::begin(lpVersionInformation->szCSDVersion),
              std::end(lpVersionInformation->szCSDVersion), WCHAR(0));
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Threads and COM

HANDLE TPosixApi::GetCurrentThread() {
    return CurrentThread;
}

DWORD TPosixApi::GetCurrentThreadId() {
    return DWORD(::gettid());
}

BOOL TPosixApi::SetThreadPriority(HANDLE hThread, int nPriority) {
    // Only the calling thread can be named here. Raising the priority needs a privilege that a
    // user rarely has; a thread that keeps its priority still works, so a refusal is not
    // reported.
    if (hThread == CurrentThread) {
        ::setpriority(PRIO_PROCESS, id_t(::gettid()), NiceOf(nPriority));
    }
    return TRUE;
}

HRESULT TPosixApi::CoInitializeEx(void*, DWORD) {
    return S_OK;
}

void TPosixApi::CoUninitialize() {}

// ---------------------------------------------------------------------------------------------
// Thread message queues

UINT TPosixApi::RegisterWindowMessageW(LPCWSTR lpString) {
    return fMessages.Register(lpString);
}

BOOL TPosixApi::PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return fMessages.Post(idThread, Msg, wParam, lParam);
}

BOOL TPosixApi::GetMessageW(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    return fMessages.Get(GetCurrentThreadId(), lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax);
}

BOOL TPosixApi::PeekMessageW(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                             UINT wRemoveMsg) {
    return fMessages.Peek(GetCurrentThreadId(), lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax,
                          wRemoveMsg);
}

LRESULT TPosixApi::DispatchMessageW(const MSG* lpMsg) {
    return DispatchThreadMessage(lpMsg);
}

// ---------------------------------------------------------------------------------------------
// Registry

LSTATUS TPosixApi::RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired,
                                 HKEY* phkResult) {
    return fRegistry.OpenKey(hKey, lpSubKey, samDesired, phkResult);
}

LSTATUS TPosixApi::RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR, DWORD,
                                   REGSAM samDesired, void*, HKEY* phkResult,
                                   DWORD* lpdwDisposition) {
    if (Reserved != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    return fRegistry.CreateKey(hKey, lpSubKey, samDesired, phkResult, lpdwDisposition);
}

LSTATUS TPosixApi::RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName,
                                 DWORD* lpcchValueName, DWORD* lpReserved, DWORD* lpType,
                                 BYTE* lpData, DWORD* lpcbData) {
    if (lpReserved != nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return fRegistry.EnumValue(hKey, dwIndex, lpValueName, lpcchValueName, lpType, lpData,
                               lpcbData);
}

LSTATUS TPosixApi::RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD* lpReserved,
                                    DWORD* lpType, BYTE* lpData, DWORD* lpcbData) {
    if (lpReserved != nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return fRegistry.QueryValue(hKey, lpValueName, lpType, lpData, lpcbData);
}

LSTATUS TPosixApi::RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                                  const BYTE* lpData, DWORD cbData) {
    if (Reserved != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    return fRegistry.SetValue(hKey, lpValueName, dwType, lpData, cbData);
}

LSTATUS TPosixApi::RegCloseKey(HKEY hKey) {
    return fRegistry.CloseKey(hKey);
}

NTSTATUS TPosixApi::ZwQueryKey(HANDLE KeyHandle, int KeyInformationClass, void* KeyInformation,
                               ULONG Length, ULONG* ResultLength) {
    if (KeyInformationClass != KeyNameInformation) {
        return STATUS_NOT_IMPLEMENTED;
    }
    return fRegistry.QueryKeyName(KeyHandle, KeyInformation, Length, ResultLength);
}

// ---------------------------------------------------------------------------------------------
// Print spooler

BOOL TPosixApi::EnumPortsW(LPWSTR pName, DWORD Level, BYTE* pPorts, DWORD cbBuf, DWORD* pcbNeeded,
                           DWORD* pcReturned) {
    // Only this machine's ports, as level-1 records: the records first, their names after them.
    if (pName != nullptr || Level != 1 || pcbNeeded == nullptr || pcReturned == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    std::vector<std::u16string> Names;
    std::size_t Needed = 0;
    for (const TPortLink& Link : ListPresentPorts()) {
        Names.push_back(Link.Name + u":");
        Needed += sizeof(PORT_INFO_1W) + (Names.back().size() + 1) * sizeof(WCHAR);
    }
    *pcbNeeded = DWORD(Needed);
    *pcReturned = 0;
    if (pPorts == nullptr || cbBuf < Needed) {
        return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    }
    BYTE* Text = pPorts + Names.size() * sizeof(PORT_INFO_1W);
    for (std::size_t Index = 0; Index < Names.size(); ++Index) {
        const PORT_INFO_1W Record{reinterpret_cast<LPWSTR>(Text)};
        std::memcpy(pPorts + Index * sizeof(PORT_INFO_1W), &Record, sizeof(Record));
        const std::size_t Bytes = (Names[Index].size() + 1) * sizeof(WCHAR);
        std::memcpy(Text, Names[Index].c_str(), Bytes);
        Text += Bytes;
    }
    *pcReturned = DWORD(Names.size());
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// User interface

HWND TPosixApi::GetForegroundWindow() {
    // The application supplies its own dialogs and owns them itself.
    return nullptr;
}

BOOL TPosixApi::CommConfigDialogW(LPCWSTR lpszName, HWND hWnd, COMMCONFIG* lpCC) {
    if (lpszName == nullptr || lpCC == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    const PFN_CommConfigDialog Dialog = CommConfigDialogProvider();
    if (Dialog == nullptr) {
        SetLastErrorCause(ERROR_CALL_NOT_IMPLEMENTED,
                          "The application has not supplied a port configuration dialog");
        return FALSE;
    }
    const std::u16string_view Name = DeviceName(lpszName);
    if (!FindPortLink(Name)) {
        return NoSuchPort(Name);
    }
    return Dialog(lpszName, hWnd, lpCC);
}

} // namespace posix

TWinApi& NativeApi() {
    // Never destroyed: threads may still use it while the process exits.
    static posix::TPosixApi* const Native = new posix::TPosixApi();
    return *Native;
}

} // namespace winapi
