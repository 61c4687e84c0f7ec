// The Linux backend of the OS boundary: every operation with its Windows meaning, on terminals,
// a port map, a file-backed registry and the process's own handle table. NativeApi() is one
// instance of it; a test may make another to stand for a second process over the same folders.
#pragma once

#include "handletable.h"
#include "msgqueue.h"
#include "registrystore.h"
#include "winapi.h"

namespace winapi::posix {

class TPosixApi final : public TWinApi {
public:
    // Errors and local memory
    DWORD GetLastError() override;
    void SetLastError(DWORD dwErrCode) override;
    DWORD FormatMessageW(DWORD dwFlags, const void* lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                         LPWSTR lpBuffer, DWORD nSize, void* Arguments) override;
    HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) override;
    HLOCAL LocalFree(HLOCAL hMem) override;

    // Files and overlapped I/O
    HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                       void* lpSecurityAttributes, DWORD dwCreationDisposition,
                       DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) override;
    BOOL ReadFile(HANDLE hFile, void* lpBuffer, DWORD nNumberOfBytesToRead,
                  DWORD* lpNumberOfBytesRead, OVERLAPPED* lpOverlapped) override;
    BOOL WriteFile(HANDLE hFile, const void* lpBuffer, DWORD nNumberOfBytesToWrite,
                   DWORD* lpNumberOfBytesWritten, OVERLAPPED* lpOverlapped) override;
    BOOL GetOverlappedResult(HANDLE hFile, OVERLAPPED* lpOverlapped,
                             DWORD* lpNumberOfBytesTransferred, BOOL bWait) override;
    BOOL CancelIo(HANDLE hFile) override;
    BOOL CloseHandle(HANDLE hObject) override;

    // Serial ports
    BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) override;
    BOOL SetCommTimeouts(HANDLE hFile, COMMTIMEOUTS* lpCommTimeouts) override;
    BOOL SetCommState(HANDLE hFile, DCB* lpDCB) override;
    BOOL GetCommState(HANDLE hFile, DCB* lpDCB) override;
    BOOL GetCommConfig(HANDLE hCommDev, COMMCONFIG* lpCC, DWORD* lpdwSize) override;
    BOOL GetDefaultCommConfigW(LPCWSTR lpszName, COMMCONFIG* lpCC, DWORD* lpdwSize) override;
    BOOL ClearCommError(HANDLE hFile, DWORD* lpErrors, COMSTAT* lpStat) override;
    BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) override;
    BOOL WaitCommEvent(HANDLE hFile, DWORD* lpEvtMask, OVERLAPPED* lpOverlapped) override;
    BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc) override;
    BOOL GetCommModemStatus(HANDLE hFile, DWORD* lpModemStat) override;
    BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) override;
    BOOL TransmitCommChar(HANDLE hFile, char cChar) override;
    BOOL GetCommProperties(HANDLE hFile, COMMPROP* lpCommProp) override;
    BOOL FlushFileBuffers(HANDLE hFile) override;

    // Events
    HANDLE CreateEventW(void* lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                        LPCWSTR lpName) override;
    BOOL SetEvent(HANDLE hEvent) override;
    BOOL ResetEvent(HANDLE hEvent) override;
    DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) override;

    // Modules
    HMODULE LoadLibraryW(LPCWSTR lpLibFileName) override;
    HMODULE GetModuleHandleW(LPCWSTR lpModuleName) override;
    FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) override;
    BOOL FreeLibrary(HMODULE hLibModule) override;

    // Time and system
    void Sleep(DWORD dwMilliseconds) override;
    DWORD GetTickCount() override;
    BOOL GetVersionExW(OSVERSIONINFOW* lpVersionInformation) override;

    // Threads and COM
    HANDLE GetCurrentThread() override;
    DWORD GetCurrentThreadId() override;
    BOOL SetThreadPriority(HANDLE hThread, int nPriority) override;
    HRESULT CoInitializeEx(void* pvReserved, DWORD dwCoInit) override;
    void CoUninitialize() override;

    // Thread message queues
    UINT RegisterWindowMessageW(LPCWSTR lpString) override;
    BOOL PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) override;
    BOOL GetMessageW(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) override;
    BOOL PeekMessageW(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                      UINT wRemoveMsg) override;
    LRESULT DispatchMessageW(const MSG* lpMsg) override;

    // Registry
    LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          HKEY* phkResult) override;
    LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired, void* lpSecurityAttributes,
                            HKEY* phkResult, DWORD* lpdwDisposition) override;
    LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, DWORD* lpcchValueName,
                          DWORD* lpReserved, DWORD* lpType, BYTE* lpData, DWORD* lpcbData) override;
    LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD* lpReserved, DWORD* lpType,
                             BYTE* lpData, DWORD* lpcbData) override;
    LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE* lpData, DWORD cbData) override;
    LSTATUS RegCloseKey(HKEY hKey) override;
    NTSTATUS ZwQueryKey(HANDLE KeyHandle, int KeyInformationClass, void* KeyInformation,
                        ULONG Length, ULONG* ResultLength) override;

    // Print spooler
    BOOL EnumPortsW(LPWSTR pName, DWORD Level, BYTE* pPorts, DWORD cbBuf, DWORD* pcbNeeded,
                    DWORD* pcReturned) override;

    // User interface
    HWND GetForegroundWindow() override;
    BOOL CommConfigDialogW(LPCWSTR lpszName, HWND hWnd, COMMCONFIG* lpCC) override;

private:
    THandleTable fHandles;
    TRegistry fRegistry{fHandles};
    TMessageQueues fMessages;
};

} // namespace winapi::posix
