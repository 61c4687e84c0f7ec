// The OS boundary of another implementation, passed on call by call: a test derives from it and
// overrides the few operations whose timing or answers it has to control, around a real
// backend or the fake.
#pragma once

#include "winapi.h"

namespace lxtest {
namespace forwarding {

using namespace winapi;

class TForwardingApi : public TWinApi {
public:
    explicit TForwardingApi(TWinApi& Target) : fTarget(Target) {}

    DWORD GetLastError() override { return fTarget.GetLastError(); }
    void SetLastError(DWORD dwErrCode) override { fTarget.SetLastError(dwErrCode); }
    DWORD FormatMessageW(DWORD dwFlags, const void* lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                         LPWSTR lpBuffer, DWORD nSize, void* Arguments) override {
        return fTarget.FormatMessageW(dwFlags, lpSource, dwMessageId, dwLanguageId, lpBuffer, nSize,
                                      Arguments);
    }
    HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) override {
        return fTarget.LocalAlloc(uFlags, uBytes);
    }
    HLOCAL LocalFree(HLOCAL hMem) override { return fTarget.LocalFree(hMem); }
    HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                       void* lpSecurityAttributes, DWORD dwCreationDisposition,
                       DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) override {
        return fTarget.CreateFileW(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                                   dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
    }
    BOOL ReadFile(HANDLE hFile, void* lpBuffer, DWORD nNumberOfBytesToRead,
                  DWORD* lpNumberOfBytesRead, OVERLAPPED* lpOverlapped) override {
        return fTarget.ReadFile(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead,
                                lpOverlapped);
    }
    BOOL WriteFile(HANDLE hFile, const void* lpBuffer, DWORD nNumberOfBytesToWrite,
                   DWORD* lpNumberOfBytesWritten, OVERLAPPED* lpOverlapped) override {
        return fTarget.WriteFile(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten,
                                 lpOverlapped);
    }
    BOOL GetOverlappedResult(HANDLE hFile, OVERLAPPED* lpOverlapped,
                             DWORD* lpNumberOfBytesTransferred, BOOL bWait) override {
        return fTarget.GetOverlappedResult(hFile, lpOverlapped, lpNumberOfBytesTransferred, bWait);
    }
    BOOL CancelIo(HANDLE hFile) override { return fTarget.CancelIo(hFile); }
    BOOL CloseHandle(HANDLE hObject) override { return fTarget.CloseHandle(hObject); }
    BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) override {
        return fTarget.SetupComm(hFile, dwInQueue, dwOutQueue);
    }
    BOOL SetCommTimeouts(HANDLE hFile, COMMTIMEOUTS* lpCommTimeouts) override {
        return fTarget.SetCommTimeouts(hFile, lpCommTimeouts);
    }
    BOOL SetCommState(HANDLE hFile, DCB* lpDCB) override {
        return fTarget.SetCommState(hFile, lpDCB);
    }
    BOOL GetCommState(HANDLE hFile, DCB* lpDCB) override {
        return fTarget.GetCommState(hFile, lpDCB);
    }
    BOOL GetCommConfig(HANDLE hCommDev, COMMCONFIG* lpCC, DWORD* lpdwSize) override {
        return fTarget.GetCommConfig(hCommDev, lpCC, lpdwSize);
    }
    BOOL GetDefaultCommConfigW(LPCWSTR lpszName, COMMCONFIG* lpCC, DWORD* lpdwSize) override {
        return fTarget.GetDefaultCommConfigW(lpszName, lpCC, lpdwSize);
    }
    BOOL ClearCommError(HANDLE hFile, DWORD* lpErrors, COMSTAT* lpStat) override {
        return fTarget.ClearCommError(hFile, lpErrors, lpStat);
    }
    BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) override {
        return fTarget.SetCommMask(hFile, dwEvtMask);
    }
    BOOL WaitCommEvent(HANDLE hFile, DWORD* lpEvtMask, OVERLAPPED* lpOverlapped) override {
        return fTarget.WaitCommEvent(hFile, lpEvtMask, lpOverlapped);
    }
    BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc) override {
        return fTarget.EscapeCommFunction(hFile, dwFunc);
    }
    BOOL GetCommModemStatus(HANDLE hFile, DWORD* lpModemStat) override {
        return fTarget.GetCommModemStatus(hFile, lpModemStat);
    }
    BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) override {
        return fTarget.PurgeComm(hFile, dwFlags);
    }
    BOOL TransmitCommChar(HANDLE hFile, char cChar) override {
        return fTarget.TransmitCommChar(hFile, cChar);
    }
    BOOL GetCommProperties(HANDLE hFile, COMMPROP* lpCommProp) override {
        return fTarget.GetCommProperties(hFile, lpCommProp);
    }
    BOOL FlushFileBuffers(HANDLE hFile) override { return fTarget.FlushFileBuffers(hFile); }
    HANDLE CreateEventW(void* lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                        LPCWSTR lpName) override {
        return fTarget.CreateEventW(lpEventAttributes, bManualReset, bInitialState, lpName);
    }
    BOOL SetEvent(HANDLE hEvent) override { return fTarget.SetEvent(hEvent); }
    BOOL ResetEvent(HANDLE hEvent) override { return fTarget.ResetEvent(hEvent); }
    DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) override {
        return fTarget.WaitForSingleObject(hHandle, dwMilliseconds);
    }
    HMODULE LoadLibraryW(LPCWSTR lpLibFileName) override {
        return fTarget.LoadLibraryW(lpLibFileName);
    }
    HMODULE GetModuleHandleW(LPCWSTR lpModuleName) override {
        return fTarget.GetModuleHandleW(lpModuleName);
    }
    FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) override {
        return fTarget.GetProcAddress(hModule, lpProcName);
    }
    BOOL FreeLibrary(HMODULE hLibModule) override { return fTarget.FreeLibrary(hLibModule); }
    void Sleep(DWORD dwMilliseconds) override { fTarget.Sleep(dwMilliseconds); }
    DWORD GetTickCount() override { return fTarget.GetTickCount(); }
    BOOL GetVersionExW(OSVERSIONINFOW* lpVersionInformation) override {
        return fTarget.GetVersionExW(lpVersionInformation);
    }
    HANDLE GetCurrentThread() override { return fTarget.GetCurrentThread(); }
    DWORD GetCurrentThreadId() override { return fTarget.GetCurrentThreadId(); }
    BOOL SetThreadPriority(HANDLE hThread, int nPriority) override {
        return fTarget.SetThreadPriority(hThread, nPriority);
    }
    HRESULT CoInitializeEx(void* pvReserved, DWORD dwCoInit) override {
        return fTarget.CoInitializeEx(pvReserved, dwCoInit);
    }
    void CoUninitialize() override { fTarget.CoUninitialize(); }
    UINT RegisterWindowMessageW(LPCWSTR lpString) override {
        return fTarget.RegisterWindowMessageW(lpString);
    }
    BOOL PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) override {
        return fTarget.PostThreadMessageW(idThread, Msg, wParam, lParam);
    }
    BOOL GetMessageW(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) override {
        return fTarget.GetMessageW(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax);
    }
    BOOL PeekMessageW(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                      UINT wRemoveMsg) override {
        return fTarget.PeekMessageW(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, wRemoveMsg);
    }
    LRESULT DispatchMessageW(const MSG* lpMsg) override { return fTarget.DispatchMessageW(lpMsg); }
    LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          HKEY* phkResult) override {
        return fTarget.RegOpenKeyExW(hKey, lpSubKey, ulOptions, samDesired, phkResult);
    }
    LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired, void* lpSecurityAttributes,
                            HKEY* phkResult, DWORD* lpdwDisposition) override {
        return fTarget.RegCreateKeyExW(hKey, lpSubKey, Reserved, lpClass, dwOptions, samDesired,
                                       lpSecurityAttributes, phkResult, lpdwDisposition);
    }
    LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, DWORD* lpcchValueName,
                          DWORD* lpReserved, DWORD* lpType, BYTE* lpData,
                          DWORD* lpcbData) override {
        return fTarget.RegEnumValueW(hKey, dwIndex, lpValueName, lpcchValueName, lpReserved, lpType,
                                     lpData, lpcbData);
    }
    LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD* lpReserved, DWORD* lpType,
                             BYTE* lpData, DWORD* lpcbData) override {
        return fTarget.RegQueryValueExW(hKey, lpValueName, lpReserved, lpType, lpData, lpcbData);
    }
    LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE* lpData, DWORD cbData) override {
        return fTarget.RegSetValueExW(hKey, lpValueName, Reserved, dwType, lpData, cbData);
    }
    LSTATUS RegCloseKey(HKEY hKey) override { return fTarget.RegCloseKey(hKey); }
    NTSTATUS ZwQueryKey(HANDLE KeyHandle, int KeyInformationClass, void* KeyInformation,
                        ULONG Length, ULONG* ResultLength) override {
        return fTarget.ZwQueryKey(KeyHandle, KeyInformationClass, KeyInformation, Length,
                                  ResultLength);
    }
    BOOL EnumPortsW(LPWSTR pName, DWORD Level, BYTE* pPorts, DWORD cbBuf, DWORD* pcbNeeded,
                    DWORD* pcReturned) override {
        return fTarget.EnumPortsW(pName, Level, pPorts, cbBuf, pcbNeeded, pcReturned);
    }
    HWND GetForegroundWindow() override { return fTarget.GetForegroundWindow(); }
    BOOL CommConfigDialogW(LPCWSTR lpszName, HWND hWnd, COMMCONFIG* lpCC) override {
        return fTarget.CommConfigDialogW(lpszName, hWnd, lpCC);
    }

protected:
    TWinApi& fTarget;
};

} // namespace forwarding

using forwarding::TForwardingApi;

} // namespace lxtest
