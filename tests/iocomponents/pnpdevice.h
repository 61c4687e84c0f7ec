// An external Plug and Play device on a pseudo-terminal, for tests of the identification
// sequence. A pseudo-terminal has no modem lines, so this backend is the native one with the
// device's side of two lines added: DSR follows DTR (the device is powered from DTR), and RTS
// rising while DTR is on wakes the device, which then sends its identification (the OnWake
// handler, which writes to the master side). The lines are those of whichever port the component
// drives; everything else is the native backend's.
#pragma once

#include "winapi.h"

#include <atomic>
#include <functional>
#include <utility>

namespace lxtest {

class TPnpDeviceApi final : public winapi::TWinApi {
public:
    explicit TPnpDeviceApi(std::function<void()> OnWake)
        : fNative(winapi::NativeApi()), fOnWake(std::move(OnWake)) {}

    // Times the device was woken.
    int Wakes() const { return fWakes; }

    using BOOL = winapi::BOOL;
    using BYTE = winapi::BYTE;
    using DWORD = winapi::DWORD;
    using FARPROC = winapi::FARPROC;
    using HANDLE = winapi::HANDLE;
    using HKEY = winapi::HKEY;
    using HLOCAL = winapi::HLOCAL;
    using HMODULE = winapi::HMODULE;
    using HRESULT = winapi::HRESULT;
    using HWND = winapi::HWND;
    using LPARAM = winapi::LPARAM;
    using LPCSTR = winapi::LPCSTR;
    using LPCWSTR = winapi::LPCWSTR;
    using LPWSTR = winapi::LPWSTR;
    using LRESULT = winapi::LRESULT;
    using LSTATUS = winapi::LSTATUS;
    using NTSTATUS = winapi::NTSTATUS;
    using REGSAM = winapi::REGSAM;
    using SIZE_T = winapi::SIZE_T;
    using UINT = winapi::UINT;
    using ULONG = winapi::ULONG;
    using WPARAM = winapi::WPARAM;
    using COMMCONFIG = winapi::COMMCONFIG;
    using COMMPROP = winapi::COMMPROP;
    using COMMTIMEOUTS = winapi::COMMTIMEOUTS;
    using COMSTAT = winapi::COMSTAT;
    using DCB = winapi::DCB;
    using MSG = winapi::MSG;
    using OSVERSIONINFOW = winapi::OSVERSIONINFOW;
    using OVERLAPPED = winapi::OVERLAPPED;

    // The device's lines. The port's own call is made as well, for what it does to the terminal.
    BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc) override {
        fNative.EscapeCommFunction(hFile, dwFunc);
        switch (dwFunc) {
        case winapi::SETDTR:
            fDtr = true;
            break;
        case winapi::CLRDTR:
            fDtr = false;
            break;
        case winapi::SETRTS:
            if (!fRts.exchange(true) && fDtr) {
                ++fWakes;
                fOnWake();
            }
            break;
        case winapi::CLRRTS:
            fRts = false;
            break;
        default:
            break;
        }
        return winapi::TRUE;
    }
    BOOL GetCommModemStatus(HANDLE, DWORD* lpModemStat) override {
        *lpModemStat = fDtr ? winapi::MS_DSR_ON : 0;
        return winapi::TRUE;
    }

    // --- The native backend -------------------------------------------------------------------
    DWORD GetLastError() override { return fNative.GetLastError(); }
    void SetLastError(DWORD dwErrCode) override { fNative.SetLastError(dwErrCode); }
    DWORD FormatMessageW(DWORD dwFlags, const void* lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                         LPWSTR lpBuffer, DWORD nSize, void* Arguments) override {
        return fNative.FormatMessageW(dwFlags, lpSource, dwMessageId, dwLanguageId, lpBuffer, nSize,
                                      Arguments);
    }
    HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) override {
        return fNative.LocalAlloc(uFlags, uBytes);
    }
    HLOCAL LocalFree(HLOCAL hMem) override { return fNative.LocalFree(hMem); }
    HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                       void* lpSecurityAttributes, DWORD dwCreationDisposition,
                       DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) override {
        return fNative.CreateFileW(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                                   dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
    }
    BOOL ReadFile(HANDLE hFile, void* lpBuffer, DWORD nNumberOfBytesToRead,
                  DWORD* lpNumberOfBytesRead, OVERLAPPED* lpOverlapped) override {
        return fNative.ReadFile(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead,
                                lpOverlapped);
    }
    BOOL WriteFile(HANDLE hFile, const void* lpBuffer, DWORD nNumberOfBytesToWrite,
                   DWORD* lpNumberOfBytesWritten, OVERLAPPED* lpOverlapped) override {
        return fNative.WriteFile(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten,
                                 lpOverlapped);
    }
    BOOL GetOverlappedResult(HANDLE hFile, OVERLAPPED* lpOverlapped,
                             DWORD* lpNumberOfBytesTransferred, BOOL bWait) override {
        return fNative.GetOverlappedResult(hFile, lpOverlapped, lpNumberOfBytesTransferred, bWait);
    }
    BOOL CancelIo(HANDLE hFile) override { return fNative.CancelIo(hFile); }
    BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) override {
        return fNative.SetupComm(hFile, dwInQueue, dwOutQueue);
    }
    BOOL SetCommTimeouts(HANDLE hFile, COMMTIMEOUTS* lpCommTimeouts) override {
        return fNative.SetCommTimeouts(hFile, lpCommTimeouts);
    }
    BOOL SetCommState(HANDLE hFile, DCB* lpDCB) override {
        return fNative.SetCommState(hFile, lpDCB);
    }
    BOOL GetCommState(HANDLE hFile, DCB* lpDCB) override {
        return fNative.GetCommState(hFile, lpDCB);
    }
    BOOL GetCommConfig(HANDLE hCommDev, COMMCONFIG* lpCC, DWORD* lpdwSize) override {
        return fNative.GetCommConfig(hCommDev, lpCC, lpdwSize);
    }
    BOOL GetDefaultCommConfigW(LPCWSTR lpszName, COMMCONFIG* lpCC, DWORD* lpdwSize) override {
        return fNative.GetDefaultCommConfigW(lpszName, lpCC, lpdwSize);
    }
    BOOL ClearCommError(HANDLE hFile, DWORD* lpErrors, COMSTAT* lpStat) override {
        return fNative.ClearCommError(hFile, lpErrors, lpStat);
    }
    BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) override {
        return fNative.SetCommMask(hFile, dwEvtMask);
    }
    BOOL WaitCommEvent(HANDLE hFile, DWORD* lpEvtMask, OVERLAPPED* lpOverlapped) override {
        return fNative.WaitCommEvent(hFile, lpEvtMask, lpOverlapped);
    }
    BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) override {
        return fNative.PurgeComm(hFile, dwFlags);
    }
    BOOL TransmitCommChar(HANDLE hFile, char cChar) override {
        return fNative.TransmitCommChar(hFile, cChar);
    }
    BOOL GetCommProperties(HANDLE hFile, COMMPROP* lpCommProp) override {
        return fNative.GetCommProperties(hFile, lpCommProp);
    }
    BOOL FlushFileBuffers(HANDLE hFile) override { return fNative.FlushFileBuffers(hFile); }
    HANDLE CreateEventW(void* lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                        LPCWSTR lpName) override {
        return fNative.CreateEventW(lpEventAttributes, bManualReset, bInitialState, lpName);
    }
    BOOL SetEvent(HANDLE hEvent) override { return fNative.SetEvent(hEvent); }
    BOOL ResetEvent(HANDLE hEvent) override { return fNative.ResetEvent(hEvent); }
    DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) override {
        return fNative.WaitForSingleObject(hHandle, dwMilliseconds);
    }
    HMODULE LoadLibraryW(LPCWSTR lpLibFileName) override {
        return fNative.LoadLibraryW(lpLibFileName);
    }
    HMODULE GetModuleHandleW(LPCWSTR lpModuleName) override {
        return fNative.GetModuleHandleW(lpModuleName);
    }
    FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) override {
        return fNative.GetProcAddress(hModule, lpProcName);
    }
    BOOL FreeLibrary(HMODULE hLibModule) override { return fNative.FreeLibrary(hLibModule); }
    void Sleep(DWORD dwMilliseconds) override { fNative.Sleep(dwMilliseconds); }
    DWORD GetTickCount() override { return fNative.GetTickCount(); }
    BOOL GetVersionExW(OSVERSIONINFOW* lpVersionInformation) override {
        return fNative.GetVersionExW(lpVersionInformation);
    }
    HANDLE GetCurrentThread() override { return fNative.GetCurrentThread(); }
    DWORD GetCurrentThreadId() override { return fNative.GetCurrentThreadId(); }
    BOOL SetThreadPriority(HANDLE hThread, int nPriority) override {
        return fNative.SetThreadPriority(hThread, nPriority);
    }
    HRESULT CoInitializeEx(void* pvReserved, DWORD dwCoInit) override {
        return fNative.CoInitializeEx(pvReserved, dwCoInit);
    }
    void CoUninitialize() override { fNative.CoUninitialize(); }
    UINT RegisterWindowMessageW(LPCWSTR lpString) override {
        return fNative.RegisterWindowMessageW(lpString);
    }
    BOOL PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) override {
        return fNative.PostThreadMessageW(idThread, Msg, wParam, lParam);
    }
    BOOL GetMessageW(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) override {
        return fNative.GetMessageW(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax);
    }
    BOOL PeekMessageW(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                      UINT wRemoveMsg) override {
        return fNative.PeekMessageW(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, wRemoveMsg);
    }
    LRESULT DispatchMessageW(const MSG* lpMsg) override { return fNative.DispatchMessageW(lpMsg); }
    LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          HKEY* phkResult) override {
        return fNative.RegOpenKeyExW(hKey, lpSubKey, ulOptions, samDesired, phkResult);
    }
    LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired, void* lpSecurityAttributes,
                            HKEY* phkResult, DWORD* lpdwDisposition) override {
        return fNative.RegCreateKeyExW(hKey, lpSubKey, Reserved, lpClass, dwOptions, samDesired,
                                       lpSecurityAttributes, phkResult, lpdwDisposition);
    }
    LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, DWORD* lpcchValueName,
                          DWORD* lpReserved, DWORD* lpType, BYTE* lpData,
                          DWORD* lpcbData) override {
        return fNative.RegEnumValueW(hKey, dwIndex, lpValueName, lpcchValueName, lpReserved, lpType,
                                     lpData, lpcbData);
    }
    LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD* lpReserved, DWORD* lpType,
                             BYTE* lpData, DWORD* lpcbData) override {
        return fNative.RegQueryValueExW(hKey, lpValueName, lpReserved, lpType, lpData, lpcbData);
    }
    LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE* lpData, DWORD cbData) override {
        return fNative.RegSetValueExW(hKey, lpValueName, Reserved, dwType, lpData, cbData);
    }
    LSTATUS RegCloseKey(HKEY hKey) override { return fNative.RegCloseKey(hKey); }
    NTSTATUS ZwQueryKey(HANDLE KeyHandle, int KeyInformationClass, void* KeyInformation,
                        ULONG Length, ULONG* ResultLength) override {
        return fNative.ZwQueryKey(KeyHandle, KeyInformationClass, KeyInformation, Length,
                                  ResultLength);
    }
    BOOL EnumPortsW(LPWSTR pName, DWORD Level, BYTE* pPorts, DWORD cbBuf, DWORD* pcbNeeded,
                    DWORD* pcReturned) override {
        return fNative.EnumPortsW(pName, Level, pPorts, cbBuf, pcbNeeded, pcReturned);
    }
    HWND GetForegroundWindow() override { return fNative.GetForegroundWindow(); }
    BOOL CommConfigDialogW(LPCWSTR lpszName, HWND hWnd, COMMCONFIG* lpCC) override {
        return fNative.CommConfigDialogW(lpszName, hWnd, lpCC);
    }
    BOOL CloseHandle(HANDLE hObject) override { return fNative.CloseHandle(hObject); }

private:
    winapi::TWinApi& fNative;
    std::function<void()> fOnWake;
    std::atomic<bool> fDtr = false;
    std::atomic<bool> fRts = false;
    std::atomic<int> fWakes = 0;
};

} // namespace lxtest
