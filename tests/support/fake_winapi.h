// A scripted, in-memory operating system for tests: the whole OS boundary with plain default
// behaviour (an in-memory registry, devices that accept every write, events, modules with their
// entry points), plus what no real system produces on demand: the result and last error of the
// next calls of any operation, chosen by the test.
//
// How to extend it for a new operation: implement the override so that it first calls Begin()
// (which logs the call and takes the next scripted result, if any), answers from the script when
// there is one, and otherwise does the default. Tests then script it by its Windows name.
#pragma once

#include "winapi.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace lxtest {

// What one scripted call does instead of its default behaviour.
struct TFakeResult {
    // The return value: a BOOL, DWORD, LSTATUS, NTSTATUS or HRESULT, or a handle as an integer.
    std::intptr_t Result = 0;
    // Left for GetLastError on the calling thread; unset leaves the last error as it was.
    std::optional<winapi::DWORD> LastError;
    // The byte count that ReadFile, WriteFile and GetOverlappedResult report, and the length
    // ZwQueryKey reports.
    winapi::DWORD Transferred = 0;
    // The bytes that ReadFile puts into the caller's buffer (at most the count asked for).
    std::vector<winapi::BYTE> Data;
    // What a successful call reports through its out-parameter: the error bits of
    // ClearCommError, the events of WaitCommEvent, the line bits of GetCommModemStatus.
    winapi::DWORD Bits = 0;
    // The status record a successful ClearCommError fills.
    winapi::COMSTAT Stat{};
    // The call behaves as without a script: lets a test reach the second or third call.
    bool AsUsual = false;
};

// A call that returns FALSE (or Result) and leaves Error for GetLastError.
TFakeResult Fail(winapi::DWORD Error, std::intptr_t Result = 0);
// A call that returns TRUE (or Result), reporting Transferred bytes where the operation counts.
TFakeResult Succeed(std::intptr_t Result = winapi::TRUE, winapi::DWORD Transferred = 0);
// A call that returns Result and leaves the last error alone (registry calls return their error).
TFakeResult Returns(std::intptr_t Result);
// An overlapped transfer that has started and not finished: FALSE with ERROR_IO_PENDING.
TFakeResult Pending();
// A call that does what it would do without a script.
TFakeResult AsUsual();
// ClearCommError succeeds with these error bits (CE_*) and this status record.
TFakeResult CommErrors(winapi::DWORD Errors, winapi::COMSTAT Stat = {});
// WaitCommEvent succeeds at once with these events (EV_*).
TFakeResult CommEvent(winapi::DWORD Events);
// GetCommModemStatus succeeds with these line bits (MS_*).
TFakeResult ModemStatus(winapi::DWORD Lines);

// The settings a port of the fake starts with, and its default configuration: 9600 baud, 8 data
// bits, no parity, one stop bit, binary, DTR and RTS on.
winapi::DCB DefaultCommState();

// One recorded call.
struct TFakeCall {
    TFakeCall(std::string Operation, std::vector<std::uintptr_t> Args, std::u16string Text = {},
              std::optional<winapi::OVERLAPPED> Overlapped = std::nullopt)
        : Operation(std::move(Operation)), Args(std::move(Args)), Text(std::move(Text)),
          Overlapped(Overlapped) {}

    std::string Operation;
    // The integer and handle arguments, in the order of the call.
    std::vector<std::uintptr_t> Args;
    // The text argument of the call, if it has one (path, key, value or module name).
    std::u16string Text;
    // The overlapped record as the call received it.
    std::optional<winapi::OVERLAPPED> Overlapped;
};

// The raw bytes of a UTF-16 text, exactly the characters given (a terminator only if Text has
// one, e.g. u"COM3\0"sv).
std::vector<winapi::BYTE> TextBytes(std::u16string_view Text);

// A Plug and Play device of the fake system, served by the Setup API entry points that
// TFakeApi::InstallSetupApi exports.
struct TFakePnpDevice {
    std::u16string InstanceId;
    winapi::GUID ClassGuid = winapi::GUID_DEVCLASS_PORTS;
    bool Present = true;
    // Text properties by SPDRP_* code; a code not listed is missing.
    std::map<winapi::DWORD, std::u16string> Properties;
    // The REG_SZ values of its hardware key, SYSTEM\CurrentControlSet\Enum\<InstanceId>\Device
    // Parameters under HKEY_LOCAL_MACHINE; no key at all when unset.
    std::optional<std::map<std::u16string, std::u16string>> HardwareKey;
    // The interfaces it exposes: interface class and device path.
    std::vector<std::pair<winapi::GUID, std::u16string>> Interfaces;
    // The instance id of its parent; the configuration manager lists it among the parent's
    // children.
    std::u16string Parent;
};

class TFakeApi final : public winapi::TWinApi {
public:
    TFakeApi();
    ~TFakeApi() override;
    TFakeApi(const TFakeApi&) = delete;
    TFakeApi& operator=(const TFakeApi&) = delete;

    // --- Scripting ----------------------------------------------------------------------------
    // The next Times calls of Operation (its Windows name, e.g. "WriteFile") do what Result says.
    void ScriptNext(const std::string& Operation, const TFakeResult& Result, int Times = 1);
    // Scripted results not yet used, over all operations.
    int ScriptsLeft() const;

    // --- Registry -----------------------------------------------------------------------------
    // Creates the key (and its parents) under a predefined root.
    void AddKey(winapi::HKEY Root, std::u16string_view KeyPath);
    // Creates or replaces a value; values enumerate in the order they were first set.
    void SetValue(winapi::HKEY Root, std::u16string_view KeyPath, std::u16string_view Name,
                  winapi::DWORD Type, std::vector<winapi::BYTE> Data);
    // A SERIALCOMM entry as the system writes it: REG_SZ with its terminator.
    void AddSerialComm(std::u16string_view ValueName, std::u16string_view Port);
    // The name ZwQueryKey reports for the key, instead of its \REGISTRY\... path.
    void SetKernelName(winapi::HKEY Root, std::u16string_view KeyPath, std::u16string Name);
    // The type and data of a value, if the key and the value exist.
    std::optional<std::pair<winapi::DWORD, std::vector<winapi::BYTE>>>
    Value(winapi::HKEY Root, std::u16string_view KeyPath, std::u16string_view Name) const;

    // --- System -------------------------------------------------------------------------------
    void SetPlatformId(winapi::DWORD PlatformId);
    // The port names EnumPortsW reports at level 1, e.g. u"COM1:".
    void SetSpoolerPorts(std::vector<std::u16string> Names);
    // The system message FormatMessageW gives for Code.
    void SetMessage(winapi::DWORD Code, std::u16string Text);
    void SetForegroundWindow(winapi::HWND Window);
    // kernel32.dll and ntdll.dll are present, with CancelIo and ZwQueryKey forwarding to Api().
    void SetModulePresent(std::u16string_view Module, bool Present);
    // Adds (or with a null Proc removes) an entry point of a module; adding makes it present.
    void SetExport(std::u16string_view Module, const std::string& Name, winapi::FARPROC Proc);
    // A device that CreateFileW opens under Path (e.g. u"\\\\?\\COM3").
    void AddDevice(std::u16string_view Path);
    // Bytes that the device's next ReadFile calls deliver.
    void QueueInput(std::u16string_view Path, const std::vector<winapi::BYTE>& Bytes);
    // Everything written to the device so far.
    std::vector<winapi::BYTE> Output(std::u16string_view Path) const;

    // --- Serial ports -------------------------------------------------------------------------
    // A device is a serial port too. Without scripts every setting is stored and read back;
    // ClearCommError reports the queued input as cbInQue and the errors raised; QueueInput raises
    // EV_RXCHAR and every write, sent at once, EV_TXEMPTY; SetCommMask ends a pending wait with
    // the mask 0 and CloseHandle with ERROR_OPERATION_ABORTED. GetDefaultCommConfigW answers for
    // the device's name without its prefix ("COM3").
    // Events (EV_*) on the device: a pending WaitCommEvent ends with those of its mask, or they
    // wait for the next one; events outside the mask are lost, as on Windows.
    void RaiseCommEvent(std::u16string_view Path, winapi::DWORD Events);
    // Line errors (CE_*) that the next ClearCommError reports, and clears.
    void RaiseCommErrors(std::u16string_view Path, winapi::DWORD Errors);
    // The modem input lines (MS_*) that GetCommModemStatus reports from now on.
    void SetModemStatus(std::u16string_view Path, winapi::DWORD Lines);
    // The DCB of GetDefaultCommConfigW, and of devices added from now on.
    void SetDefaultCommState(const winapi::DCB& Dcb);
    // What was last set on the device.
    winapi::DCB CommState(std::u16string_view Path) const;
    winapi::COMMTIMEOUTS CommTimeouts(std::u16string_view Path) const;
    winapi::DWORD CommMask(std::u16string_view Path) const;
    // A Plug and Play device; its DevInst is its position among the devices added, from 1.
    void AddPnpDevice(TFakePnpDevice Device);
    // Exports the Setup API from "SetupAPI.dll", and the configuration manager from it as well
    // (CmInSetupApi) or else from "cfgmgr32.dll" only. Every entry point the binding requires is
    // exported; SetExport(Module, Name, nullptr) takes one away again. The calls are logged and
    // scripted under their exported names.
    void InstallSetupApi(bool CmInSetupApi = true);

    // --- Observation --------------------------------------------------------------------------
    std::vector<TFakeCall> Calls(std::string_view Operation) const;
    // Every call, in order: shows the order of calls to different operations.
    std::vector<TFakeCall> Calls() const;
    int CallCount(std::string_view Operation) const;
    void ClearCalls();
    // Blocks from LocalAlloc (also those FormatMessageW allocates) not yet given to LocalFree.
    int LiveLocalAllocs() const;
    // Keys opened or created and not yet closed.
    int OpenKeys() const;
    // LoadLibraryW calls not yet balanced by FreeLibrary.
    int LoadedLibraries() const;
    // Files and events not yet closed.
    int OpenHandles() const;
    // Device information sets not yet destroyed.
    int OpenDeviceInfoSets() const;

    // --- The OS boundary ----------------------------------------------------------------------
    winapi::DWORD GetLastError() override;
    void SetLastError(winapi::DWORD dwErrCode) override;
    winapi::DWORD FormatMessageW(winapi::DWORD dwFlags, const void* lpSource,
                                 winapi::DWORD dwMessageId, winapi::DWORD dwLanguageId,
                                 winapi::LPWSTR lpBuffer, winapi::DWORD nSize,
                                 void* Arguments) override;
    winapi::HLOCAL LocalAlloc(winapi::UINT uFlags, winapi::SIZE_T uBytes) override;
    winapi::HLOCAL LocalFree(winapi::HLOCAL hMem) override;

    winapi::HANDLE CreateFileW(winapi::LPCWSTR lpFileName, winapi::DWORD dwDesiredAccess,
                               winapi::DWORD dwShareMode, void* lpSecurityAttributes,
                               winapi::DWORD dwCreationDisposition,
                               winapi::DWORD dwFlagsAndAttributes,
                               winapi::HANDLE hTemplateFile) override;
    winapi::BOOL ReadFile(winapi::HANDLE hFile, void* lpBuffer, winapi::DWORD nNumberOfBytesToRead,
                          winapi::DWORD* lpNumberOfBytesRead,
                          winapi::OVERLAPPED* lpOverlapped) override;
    winapi::BOOL WriteFile(winapi::HANDLE hFile, const void* lpBuffer,
                           winapi::DWORD nNumberOfBytesToWrite,
                           winapi::DWORD* lpNumberOfBytesWritten,
                           winapi::OVERLAPPED* lpOverlapped) override;
    winapi::BOOL GetOverlappedResult(winapi::HANDLE hFile, winapi::OVERLAPPED* lpOverlapped,
                                     winapi::DWORD* lpNumberOfBytesTransferred,
                                     winapi::BOOL bWait) override;
    winapi::BOOL CancelIo(winapi::HANDLE hFile) override;
    winapi::BOOL CloseHandle(winapi::HANDLE hObject) override;

    winapi::BOOL SetupComm(winapi::HANDLE hFile, winapi::DWORD dwInQueue,
                           winapi::DWORD dwOutQueue) override;
    winapi::BOOL SetCommTimeouts(winapi::HANDLE hFile,
                                 winapi::COMMTIMEOUTS* lpCommTimeouts) override;
    winapi::BOOL SetCommState(winapi::HANDLE hFile, winapi::DCB* lpDCB) override;
    winapi::BOOL GetCommState(winapi::HANDLE hFile, winapi::DCB* lpDCB) override;
    winapi::BOOL GetCommConfig(winapi::HANDLE hCommDev, winapi::COMMCONFIG* lpCC,
                               winapi::DWORD* lpdwSize) override;
    winapi::BOOL GetDefaultCommConfigW(winapi::LPCWSTR lpszName, winapi::COMMCONFIG* lpCC,
                                       winapi::DWORD* lpdwSize) override;
    winapi::BOOL ClearCommError(winapi::HANDLE hFile, winapi::DWORD* lpErrors,
                                winapi::COMSTAT* lpStat) override;
    winapi::BOOL SetCommMask(winapi::HANDLE hFile, winapi::DWORD dwEvtMask) override;
    winapi::BOOL WaitCommEvent(winapi::HANDLE hFile, winapi::DWORD* lpEvtMask,
                               winapi::OVERLAPPED* lpOverlapped) override;
    winapi::BOOL EscapeCommFunction(winapi::HANDLE hFile, winapi::DWORD dwFunc) override;
    winapi::BOOL GetCommModemStatus(winapi::HANDLE hFile, winapi::DWORD* lpModemStat) override;
    winapi::BOOL PurgeComm(winapi::HANDLE hFile, winapi::DWORD dwFlags) override;
    winapi::BOOL TransmitCommChar(winapi::HANDLE hFile, char cChar) override;
    winapi::BOOL GetCommProperties(winapi::HANDLE hFile, winapi::COMMPROP* lpCommProp) override;
    winapi::BOOL FlushFileBuffers(winapi::HANDLE hFile) override;

    winapi::HANDLE CreateEventW(void* lpEventAttributes, winapi::BOOL bManualReset,
                                winapi::BOOL bInitialState, winapi::LPCWSTR lpName) override;
    winapi::BOOL SetEvent(winapi::HANDLE hEvent) override;
    winapi::BOOL ResetEvent(winapi::HANDLE hEvent) override;
    winapi::DWORD WaitForSingleObject(winapi::HANDLE hHandle,
                                      winapi::DWORD dwMilliseconds) override;

    winapi::HMODULE LoadLibraryW(winapi::LPCWSTR lpLibFileName) override;
    winapi::HMODULE GetModuleHandleW(winapi::LPCWSTR lpModuleName) override;
    winapi::FARPROC GetProcAddress(winapi::HMODULE hModule, winapi::LPCSTR lpProcName) override;
    winapi::BOOL FreeLibrary(winapi::HMODULE hLibModule) override;

    // Sleep does not sleep: it advances the tick count and yields.
    void Sleep(winapi::DWORD dwMilliseconds) override;
    winapi::DWORD GetTickCount() override;
    winapi::BOOL GetVersionExW(winapi::OSVERSIONINFOW* lpVersionInformation) override;

    winapi::HANDLE GetCurrentThread() override;
    winapi::DWORD GetCurrentThreadId() override;
    winapi::BOOL SetThreadPriority(winapi::HANDLE hThread, int nPriority) override;
    winapi::HRESULT CoInitializeEx(void* pvReserved, winapi::DWORD dwCoInit) override;
    void CoUninitialize() override;

    // Thread ids are those of GetCurrentThreadId; queues are made as on Windows.
    winapi::UINT RegisterWindowMessageW(winapi::LPCWSTR lpString) override;
    winapi::BOOL PostThreadMessageW(winapi::DWORD idThread, winapi::UINT Msg, winapi::WPARAM wParam,
                                    winapi::LPARAM lParam) override;
    winapi::BOOL GetMessageW(winapi::MSG* lpMsg, winapi::HWND hWnd, winapi::UINT wMsgFilterMin,
                             winapi::UINT wMsgFilterMax) override;
    winapi::BOOL PeekMessageW(winapi::MSG* lpMsg, winapi::HWND hWnd, winapi::UINT wMsgFilterMin,
                              winapi::UINT wMsgFilterMax, winapi::UINT wRemoveMsg) override;
    winapi::LRESULT DispatchMessageW(const winapi::MSG* lpMsg) override;

    winapi::LSTATUS RegOpenKeyExW(winapi::HKEY hKey, winapi::LPCWSTR lpSubKey,
                                  winapi::DWORD ulOptions, winapi::REGSAM samDesired,
                                  winapi::HKEY* phkResult) override;
    winapi::LSTATUS RegCreateKeyExW(winapi::HKEY hKey, winapi::LPCWSTR lpSubKey,
                                    winapi::DWORD Reserved, winapi::LPWSTR lpClass,
                                    winapi::DWORD dwOptions, winapi::REGSAM samDesired,
                                    void* lpSecurityAttributes, winapi::HKEY* phkResult,
                                    winapi::DWORD* lpdwDisposition) override;
    winapi::LSTATUS RegEnumValueW(winapi::HKEY hKey, winapi::DWORD dwIndex,
                                  winapi::LPWSTR lpValueName, winapi::DWORD* lpcchValueName,
                                  winapi::DWORD* lpReserved, winapi::DWORD* lpType,
                                  winapi::BYTE* lpData, winapi::DWORD* lpcbData) override;
    winapi::LSTATUS RegQueryValueExW(winapi::HKEY hKey, winapi::LPCWSTR lpValueName,
                                     winapi::DWORD* lpReserved, winapi::DWORD* lpType,
                                     winapi::BYTE* lpData, winapi::DWORD* lpcbData) override;
    winapi::LSTATUS RegSetValueExW(winapi::HKEY hKey, winapi::LPCWSTR lpValueName,
                                   winapi::DWORD Reserved, winapi::DWORD dwType,
                                   const winapi::BYTE* lpData, winapi::DWORD cbData) override;
    winapi::LSTATUS RegCloseKey(winapi::HKEY hKey) override;
    winapi::NTSTATUS ZwQueryKey(winapi::HANDLE KeyHandle, int KeyInformationClass,
                                void* KeyInformation, winapi::ULONG Length,
                                winapi::ULONG* ResultLength) override;

    winapi::BOOL EnumPortsW(winapi::LPWSTR pName, winapi::DWORD Level, winapi::BYTE* pPorts,
                            winapi::DWORD cbBuf, winapi::DWORD* pcbNeeded,
                            winapi::DWORD* pcReturned) override;

    winapi::HWND GetForegroundWindow() override;
    // Without a script: the dialog of winapi::SetCommConfigDialogProvider, called outside the
    // fake's lock, or ERROR_CALL_NOT_IMPLEMENTED.
    winapi::BOOL CommConfigDialogW(winapi::LPCWSTR lpszName, winapi::HWND hWnd,
                                   winapi::COMMCONFIG* lpCC) override;

private:
    struct TValue {
        std::u16string Name;
        winapi::DWORD Type = 0;
        std::vector<winapi::BYTE> Data;
    };
    struct TKey {
        std::u16string Path; // the kernel path, \REGISTRY\...
        std::optional<std::u16string> KernelName;
        std::vector<TValue> Values;

        const TValue* Find(std::u16string_view Name) const;
        void Store(std::u16string_view Name, winapi::DWORD Type, std::vector<winapi::BYTE> Data);
    };
    // A pending WaitCommEvent: the caller's records, written when it ends.
    struct TCommWait {
        winapi::HANDLE File;
        winapi::OVERLAPPED* Overlapped;
        winapi::DWORD* Mask;
    };
    struct TDevice {
        std::deque<winapi::BYTE> Input;
        std::vector<winapi::BYTE> Output;
        winapi::DCB Dcb = DefaultCommState();
        winapi::COMMTIMEOUTS Timeouts{};
        winapi::DWORD InQueue = 0;
        winapi::DWORD OutQueue = 0;
        winapi::DWORD Mask = 0;
        winapi::DWORD Events = 0; // of the mask, not yet reported
        winapi::DWORD Errors = 0;
        winapi::DWORD ModemLines = 0;
        std::optional<TCommWait> Wait;
    };
    struct TEvent {
        bool ManualReset = false;
        bool Signalled = false;
    };
    struct TModule {
        winapi::HMODULE Handle = nullptr;
        bool Present = true;
        int Loads = 0;
        std::map<std::string, winapi::FARPROC> Exports;
    };
    // A device information set: its devices by position in fPnpDevices.
    struct TPnpSet {
        std::vector<std::size_t> Devices;
    };
    using TLock = std::unique_lock<std::mutex>;
    // The Setup API entry points, in fake_setupapi.cpp.
    friend struct TFakeSetupApi;

    // Sets or clears an event for SetEvent and ResetEvent.
    winapi::BOOL SignalEvent(const char* Operation, winapi::HANDLE hEvent, bool Signalled);
    // A present module's handle for LoadLibraryW (Load: counts a load) and GetModuleHandleW.
    winapi::HMODULE FindModuleHandle(const char* Operation, winapi::LPCWSTR Name, bool Load);
    // Logs the call and takes its next scripted result, if any, applying its last error.
    std::optional<TFakeResult> Begin(TFakeCall Call);
    void SetError(winapi::DWORD Error);
    winapi::HANDLE NewHandle();

    TKey& CreateKey(const std::u16string& Path);
    std::optional<std::u16string> KeyPathOf(winapi::HKEY Key) const;
    TKey* FindKey(winapi::HKEY Key);
    const TKey* FindKey(winapi::HKEY Root, std::u16string_view KeyPath) const;
    winapi::HKEY OpenHandleFor(const TKey& Key);
    TModule* FindModule(std::u16string_view Name);
    TModule* FindModule(winapi::HMODULE Handle);
    TModule& Module(std::u16string_view Name);
    TDevice* FindDevice(winapi::HANDLE File);
    TDevice* FindDeviceByName(std::u16string_view Name);
    // Ends a pending WaitCommEvent with Events (STATUS_SUCCESS) or Status, and signals its event.
    void EndCommWait(TDevice& Device, winapi::NTSTATUS Status, winapi::DWORD Events);
    void RaiseEvents(TDevice& Device, winapi::DWORD Events);
    winapi::BOOL FillCommConfig(const winapi::DCB& Dcb, winapi::COMMCONFIG* lpCC,
                                winapi::DWORD* lpdwSize);
    winapi::DWORD ThreadIdOf(std::thread::id Thread);
    bool TakeMessage(std::deque<winapi::MSG>& Queue, winapi::MSG* Message, winapi::UINT First,
                     winapi::UINT Last, bool Remove);

    mutable std::mutex fMutex;
    std::condition_variable fEventChanged;
    std::map<std::string, std::deque<TFakeResult>, std::less<>> fScripts;
    std::vector<TFakeCall> fCalls;
    std::map<std::thread::id, winapi::DWORD> fLastErrors;
    std::map<std::thread::id, winapi::DWORD> fThreadIds;
    std::uintptr_t fNextHandle = 0x1000;

    std::map<std::u16string, TKey> fKeys;             // by upper-cased kernel path
    std::map<winapi::HKEY, std::u16string> fOpenKeys; // handle -> upper-cased kernel path
    std::map<std::u16string, TDevice> fDevices;       // by upper-cased path
    std::map<winapi::HANDLE, std::u16string> fFiles;  // handle -> upper-cased device path
    std::map<winapi::HANDLE, TEvent> fEvents;
    std::map<std::u16string, TModule> fModules; // by upper-cased name
    std::map<void*, winapi::SIZE_T> fLocalBlocks;
    std::vector<TFakePnpDevice> fPnpDevices;
    std::map<void*, TPnpSet> fPnpSets;

    winapi::DWORD fPlatformId = winapi::VER_PLATFORM_WIN32_NT;
    std::vector<std::u16string> fSpoolerPorts;
    std::map<winapi::DWORD, std::u16string> fMessages;
    winapi::HWND fForegroundWindow = nullptr;
    winapi::DWORD fTickCount = 1000;
    winapi::DCB fDefaultDcb = DefaultCommState();
    std::map<std::u16string, winapi::UINT> fMessageNames;           // by upper-cased name
    std::map<winapi::DWORD, std::deque<winapi::MSG>> fThreadQueues; // by thread id
};

// Installs a fake as the process's backend for its lifetime, then puts the previous one back.
class TFakeApiScope {
public:
    explicit TFakeApiScope(TFakeApi& Fake);
    ~TFakeApiScope();
    TFakeApiScope(const TFakeApiScope&) = delete;
    TFakeApiScope& operator=(const TFakeApiScope&) = delete;

private:
    winapi::TWinApi* fPrevious;
};

} // namespace lxtest
