// The native backend on Windows: every operation of the OS boundary is the system function of the
// same name. Our records and the system's are the same bytes (held below by static_assert), so
// arguments pass by a pointer cast.
//
// Include order matters here. Our constants share their names with the system's macros; winapi.h
// is read first, and its constants are captured under other names before the system headers turn
// those names into macros. Below the system headers a bare constant name means the system's macro.
#include "winapi.h"

#include <cstdint>

// The constants that both sides define, checked against each other once the system headers are in.
#define LX_SHARED_CONSTANTS(X)                                                                     \
    X(TRUE)                                                                                        \
    X(FALSE)                                                                                       \
    X(NOPARITY)                                                                                    \
    X(ODDPARITY)                                                                                   \
    X(EVENPARITY)                                                                                  \
    X(MARKPARITY)                                                                                  \
    X(SPACEPARITY)                                                                                 \
    X(ONESTOPBIT)                                                                                  \
    X(ONE5STOPBITS)                                                                                \
    X(TWOSTOPBITS)                                                                                 \
    X(DIGCF_DEFAULT)                                                                               \
    X(DIGCF_PRESENT)                                                                               \
    X(DIGCF_ALLCLASSES)                                                                            \
    X(DIGCF_PROFILE)                                                                               \
    X(DIGCF_DEVICEINTERFACE)                                                                       \
    X(SPDRP_DEVICEDESC)                                                                            \
    X(SPDRP_HARDWAREID)                                                                            \
    X(SPDRP_SERVICE)                                                                               \
    X(SPDRP_CLASS)                                                                                 \
    X(SPDRP_CLASSGUID)                                                                             \
    X(SPDRP_DRIVER)                                                                                \
    X(SPDRP_MFG)                                                                                   \
    X(SPDRP_FRIENDLYNAME)                                                                          \
    X(SPDRP_PHYSICAL_DEVICE_OBJECT_NAME)                                                           \
    X(DICS_FLAG_GLOBAL)                                                                            \
    X(DIREG_DEV)                                                                                   \
    X(CR_SUCCESS)                                                                                  \
    X(CM_GETIDLIST_FILTER_REMOVALRELATIONS)                                                        \
    X(CM_GETIDLIST_FILTER_BUSRELATIONS)                                                            \
    X(DIREG_DRV)                                                                                   \
    X(SPINT_ACTIVE)                                                                                \
    X(CM_LOCATE_DEVNODE_NORMAL)                                                                    \
    X(CM_LOCATE_DEVNODE_PHANTOM)                                                                   \
    X(CM_GETIDLIST_FILTER_NONE)                                                                    \
    X(CM_GETIDLIST_FILTER_ENUMERATOR)                                                              \
    X(CR_INVALID_POINTER)                                                                          \
    X(CR_INVALID_FLAG)                                                                             \
    X(CR_INVALID_DEVNODE)                                                                          \
    X(CR_NO_SUCH_DEVNODE)                                                                          \
    X(CR_BUFFER_SMALL)                                                                             \
    X(CR_NO_SUCH_VALUE)                                                                            \
    X(ERROR_INVALID_FLAGS)                                                                         \
    X(ERROR_INVALID_USER_BUFFER)                                                                   \
    X(ERROR_KEY_DOES_NOT_EXIST)                                                                    \
    X(ERROR_INVALID_REG_PROPERTY)                                                                  \
    X(ERROR_NO_SUCH_DEVINST)                                                                       \
    X(ERROR_SUCCESS)                                                                               \
    X(ERROR_INVALID_FUNCTION)                                                                      \
    X(ERROR_FILE_NOT_FOUND)                                                                        \
    X(ERROR_PATH_NOT_FOUND)                                                                        \
    X(ERROR_TOO_MANY_OPEN_FILES)                                                                   \
    X(ERROR_ACCESS_DENIED)                                                                         \
    X(ERROR_INVALID_HANDLE)                                                                        \
    X(ERROR_NOT_ENOUGH_MEMORY)                                                                     \
    X(ERROR_INVALID_DATA)                                                                          \
    X(ERROR_OUTOFMEMORY)                                                                           \
    X(ERROR_NOT_READY)                                                                             \
    X(ERROR_BAD_COMMAND)                                                                           \
    X(ERROR_WRITE_FAULT)                                                                           \
    X(ERROR_READ_FAULT)                                                                            \
    X(ERROR_GEN_FAILURE)                                                                           \
    X(ERROR_SHARING_VIOLATION)                                                                     \
    X(ERROR_HANDLE_EOF)                                                                            \
    X(ERROR_NOT_SUPPORTED)                                                                         \
    X(ERROR_DEV_NOT_EXIST)                                                                         \
    X(ERROR_FILE_EXISTS)                                                                           \
    X(ERROR_INVALID_PARAMETER)                                                                     \
    X(ERROR_BROKEN_PIPE)                                                                           \
    X(ERROR_CALL_NOT_IMPLEMENTED)                                                                  \
    X(ERROR_SEM_TIMEOUT)                                                                           \
    X(ERROR_INSUFFICIENT_BUFFER)                                                                   \
    X(ERROR_INVALID_NAME)                                                                          \
    X(ERROR_MOD_NOT_FOUND)                                                                         \
    X(ERROR_PROC_NOT_FOUND)                                                                        \
    X(ERROR_BUSY)                                                                                  \
    X(ERROR_ALREADY_EXISTS)                                                                        \
    X(ERROR_MORE_DATA)                                                                             \
    X(ERROR_NO_MORE_ITEMS)                                                                         \
    X(ERROR_OPERATION_ABORTED)                                                                     \
    X(ERROR_IO_INCOMPLETE)                                                                         \
    X(ERROR_IO_PENDING)                                                                            \
    X(ERROR_NOACCESS)                                                                              \
    X(ERROR_BADKEY)                                                                                \
    X(ERROR_CANTREAD)                                                                              \
    X(ERROR_CANTWRITE)                                                                             \
    X(ERROR_DEVICE_NOT_CONNECTED)                                                                  \
    X(ERROR_TIMEOUT)                                                                               \
    X(ERROR_DISK_FULL)                                                                             \
    X(ERROR_BAD_PATHNAME)                                                                          \
    X(ERROR_FILENAME_EXCED_RANGE)                                                                  \
    X(ERROR_MR_MID_NOT_FOUND)                                                                      \
    X(ERROR_KEY_DELETED)                                                                           \
    X(GENERIC_READ)                                                                                \
    X(GENERIC_WRITE)                                                                               \
    X(OPEN_EXISTING)                                                                               \
    X(FILE_FLAG_OVERLAPPED)                                                                        \
    X(INFINITE)                                                                                    \
    X(WAIT_OBJECT_0)                                                                               \
    X(WAIT_TIMEOUT)                                                                                \
    X(WAIT_FAILED)                                                                                 \
    X(FORMAT_MESSAGE_ALLOCATE_BUFFER)                                                              \
    X(FORMAT_MESSAGE_IGNORE_INSERTS)                                                               \
    X(FORMAT_MESSAGE_FROM_SYSTEM)                                                                  \
    X(FORMAT_MESSAGE_ARGUMENT_ARRAY)                                                               \
    X(LMEM_FIXED)                                                                                  \
    X(LMEM_ZEROINIT)                                                                               \
    X(KEY_QUERY_VALUE)                                                                             \
    X(KEY_SET_VALUE)                                                                               \
    X(KEY_CREATE_SUB_KEY)                                                                          \
    X(KEY_ENUMERATE_SUB_KEYS)                                                                      \
    X(KEY_READ)                                                                                    \
    X(KEY_WRITE)                                                                                   \
    X(KEY_ALL_ACCESS)                                                                              \
    X(REG_NONE)                                                                                    \
    X(REG_SZ)                                                                                      \
    X(REG_EXPAND_SZ)                                                                               \
    X(REG_BINARY)                                                                                  \
    X(REG_DWORD)                                                                                   \
    X(REG_MULTI_SZ)                                                                                \
    X(REG_OPTION_NON_VOLATILE)                                                                     \
    X(REG_CREATED_NEW_KEY)                                                                         \
    X(REG_OPENED_EXISTING_KEY)                                                                     \
    X(VER_PLATFORM_WIN32s)                                                                         \
    X(VER_PLATFORM_WIN32_WINDOWS)                                                                  \
    X(VER_PLATFORM_WIN32_NT)                                                                       \
    X(COINIT_MULTITHREADED)                                                                        \
    X(S_OK)                                                                                        \
    X(S_FALSE)                                                                                     \
    X(STATUS_INVALID_HANDLE)                                                                       \
    X(STATUS_PENDING)                                                                              \
    X(THREAD_PRIORITY_IDLE)                                                                        \
    X(THREAD_PRIORITY_LOWEST)                                                                      \
    X(THREAD_PRIORITY_BELOW_NORMAL)                                                                \
    X(THREAD_PRIORITY_NORMAL)                                                                      \
    X(THREAD_PRIORITY_ABOVE_NORMAL)                                                                \
    X(THREAD_PRIORITY_HIGHEST)                                                                     \
    X(THREAD_PRIORITY_TIME_CRITICAL)                                                               \
    X(EV_RXCHAR)                                                                                   \
    X(EV_RXFLAG)                                                                                   \
    X(EV_TXEMPTY)                                                                                  \
    X(EV_CTS)                                                                                      \
    X(EV_DSR)                                                                                      \
    X(EV_RLSD)                                                                                     \
    X(EV_BREAK)                                                                                    \
    X(EV_ERR)                                                                                      \
    X(EV_RING)                                                                                     \
    X(EV_PERR)                                                                                     \
    X(EV_RX80FULL)                                                                                 \
    X(EV_EVENT1)                                                                                   \
    X(EV_EVENT2)                                                                                   \
    X(CE_RXOVER)                                                                                   \
    X(CE_OVERRUN)                                                                                  \
    X(CE_RXPARITY)                                                                                 \
    X(CE_FRAME)                                                                                    \
    X(CE_BREAK)                                                                                    \
    X(CE_TXFULL)                                                                                   \
    X(CE_PTO)                                                                                      \
    X(CE_IOE)                                                                                      \
    X(CE_DNS)                                                                                      \
    X(CE_OOP)                                                                                      \
    X(CE_MODE)                                                                                     \
    X(MS_CTS_ON)                                                                                   \
    X(MS_DSR_ON)                                                                                   \
    X(MS_RING_ON)                                                                                  \
    X(MS_RLSD_ON)                                                                                  \
    X(PURGE_TXABORT)                                                                               \
    X(PURGE_RXABORT)                                                                               \
    X(PURGE_TXCLEAR)                                                                               \
    X(PURGE_RXCLEAR)                                                                               \
    X(SETXOFF)                                                                                     \
    X(SETXON)                                                                                      \
    X(SETRTS)                                                                                      \
    X(CLRRTS)                                                                                      \
    X(SETDTR)                                                                                      \
    X(CLRDTR)                                                                                      \
    X(RESETDEV)                                                                                    \
    X(SETBREAK)                                                                                    \
    X(CLRBREAK)                                                                                    \
    X(WM_QUIT)                                                                                     \
    X(WM_TIMER)                                                                                    \
    X(WM_USER)                                                                                     \
    X(WM_DEVICECHANGE)                                                                             \
    X(DBT_DEVNODES_CHANGED)                                                                        \
    X(DBT_DEVICEARRIVAL)                                                                           \
    X(DBT_DEVICEREMOVECOMPLETE)                                                                    \
    X(DBT_DEVTYP_PORT)                                                                             \
    X(MB_OK)                                                                                       \
    X(MB_ICONERROR)                                                                                \
    X(MAXDWORD)                                                                                    \
    X(SP_SERIALCOMM)                                                                               \
    X(PST_RS232)                                                                                   \
    X(PCF_DTRDSR)                                                                                  \
    X(PCF_RTSCTS)                                                                                  \
    X(PCF_RLSD)                                                                                    \
    X(PCF_PARITY_CHECK)                                                                            \
    X(PCF_XONXOFF)                                                                                 \
    X(PCF_SETXCHAR)                                                                                \
    X(PCF_TOTALTIMEOUTS)                                                                           \
    X(PCF_INTTIMEOUTS)                                                                             \
    X(PCF_SPECIALCHARS)                                                                            \
    X(PCF_16BITMODE)                                                                               \
    X(SP_PARITY)                                                                                   \
    X(SP_BAUD)                                                                                     \
    X(SP_DATABITS)                                                                                 \
    X(SP_STOPBITS)                                                                                 \
    X(SP_HANDSHAKING)                                                                              \
    X(SP_PARITY_CHECK)                                                                             \
    X(SP_RLSD)                                                                                     \
    X(BAUD_075)                                                                                    \
    X(BAUD_110)                                                                                    \
    X(BAUD_134_5)                                                                                  \
    X(BAUD_150)                                                                                    \
    X(BAUD_300)                                                                                    \
    X(BAUD_600)                                                                                    \
    X(BAUD_1200)                                                                                   \
    X(BAUD_1800)                                                                                   \
    X(BAUD_2400)                                                                                   \
    X(BAUD_4800)                                                                                   \
    X(BAUD_7200)                                                                                   \
    X(BAUD_9600)                                                                                   \
    X(BAUD_14400)                                                                                  \
    X(BAUD_19200)                                                                                  \
    X(BAUD_38400)                                                                                  \
    X(BAUD_56K)                                                                                    \
    X(BAUD_128K)                                                                                   \
    X(BAUD_115200)                                                                                 \
    X(BAUD_57600)                                                                                  \
    X(BAUD_USER)                                                                                   \
    X(DATABITS_5)                                                                                  \
    X(DATABITS_6)                                                                                  \
    X(DATABITS_7)                                                                                  \
    X(DATABITS_8)                                                                                  \
    X(STOPBITS_10)                                                                                 \
    X(STOPBITS_15)                                                                                 \
    X(STOPBITS_20)                                                                                 \
    X(PARITY_NONE)                                                                                 \
    X(PARITY_ODD)                                                                                  \
    X(PARITY_EVEN)                                                                                 \
    X(PARITY_MARK)                                                                                 \
    X(PARITY_SPACE)                                                                                \
    X(ERROR_INVALID_WINDOW_HANDLE)                                                                 \
    X(ERROR_INVALID_THREAD_ID)                                                                     \
    X(ERROR_NOT_ENOUGH_QUOTA)                                                                      \
    X(STATUS_TIMEOUT)                                                                              \
    X(PM_NOREMOVE)                                                                                 \
    X(PM_REMOVE)

namespace ours {
#define LX_CAPTURE(Name) inline constexpr auto Name##_ = winapi::Name;
LX_SHARED_CONSTANTS(LX_CAPTURE)
#undef LX_CAPTURE
} // namespace ours

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cfgmgr32.h>
#include <dbt.h>
#include <objbase.h>
#include <setupapi.h>
#include <winspool.h>

#include <cstddef>

// Both sides agree on every value, compared as the 32-bit patterns the system sees.
#define LX_CHECK(Name)                                                                             \
    static_assert(std::uint32_t(ours::Name##_) == std::uint32_t(Name), #Name " differs");
LX_SHARED_CONSTANTS(LX_CHECK)
#undef LX_CHECK
#undef LX_SHARED_CONSTANTS

// Records passed by pointer: the same size and the same offsets as the system's.
#define LX_SAME_SIZE(Type) static_assert(sizeof(winapi::Type) == sizeof(::Type), #Type " size");
#define LX_SAME_OFFSET(Type, Field)                                                                \
    static_assert(offsetof(winapi::Type, Field) == offsetof(::Type, Field), #Type "." #Field);
LX_SAME_SIZE(DCB)
LX_SAME_OFFSET(DCB, BaudRate)
LX_SAME_OFFSET(DCB, wReserved)
LX_SAME_OFFSET(DCB, XonLim)
LX_SAME_OFFSET(DCB, ByteSize)
LX_SAME_OFFSET(DCB, Parity)
LX_SAME_OFFSET(DCB, StopBits)
LX_SAME_OFFSET(DCB, XonChar)
LX_SAME_OFFSET(DCB, EvtChar)
LX_SAME_OFFSET(DCB, wReserved1)
LX_SAME_SIZE(COMMTIMEOUTS)
LX_SAME_OFFSET(COMMTIMEOUTS, WriteTotalTimeoutConstant)
LX_SAME_SIZE(COMMCONFIG)
LX_SAME_OFFSET(COMMCONFIG, dcb)
LX_SAME_OFFSET(COMMCONFIG, dwProviderSubType)
LX_SAME_OFFSET(COMMCONFIG, wcProviderData)
LX_SAME_SIZE(COMMPROP)
LX_SAME_OFFSET(COMMPROP, dwMaxBaud)
LX_SAME_OFFSET(COMMPROP, wSettableData)
LX_SAME_OFFSET(COMMPROP, dwCurrentTxQueue)
LX_SAME_OFFSET(COMMPROP, wcProvChar)
LX_SAME_SIZE(COMSTAT)
LX_SAME_OFFSET(COMSTAT, cbInQue)
LX_SAME_OFFSET(COMSTAT, cbOutQue)
LX_SAME_SIZE(OVERLAPPED)
LX_SAME_OFFSET(OVERLAPPED, InternalHigh)
LX_SAME_OFFSET(OVERLAPPED, Offset)
LX_SAME_OFFSET(OVERLAPPED, OffsetHigh)
LX_SAME_OFFSET(OVERLAPPED, hEvent)
LX_SAME_SIZE(MSG)
LX_SAME_OFFSET(MSG, message)
LX_SAME_OFFSET(MSG, wParam)
LX_SAME_OFFSET(MSG, lParam)
LX_SAME_OFFSET(MSG, time)
LX_SAME_OFFSET(MSG, pt)
LX_SAME_SIZE(OSVERSIONINFOW)
LX_SAME_OFFSET(OSVERSIONINFOW, dwPlatformId)
LX_SAME_OFFSET(OSVERSIONINFOW, szCSDVersion)
LX_SAME_SIZE(PORT_INFO_1W)
LX_SAME_SIZE(GUID)
LX_SAME_SIZE(SP_DEVINFO_DATA)
LX_SAME_OFFSET(SP_DEVINFO_DATA, DevInst)
LX_SAME_OFFSET(SP_DEVINFO_DATA, Reserved)
LX_SAME_SIZE(SP_DEVICE_INTERFACE_DATA)
LX_SAME_OFFSET(SP_DEVICE_INTERFACE_DATA, Flags)
LX_SAME_OFFSET(SP_DEVICE_INTERFACE_DATA, Reserved)
LX_SAME_SIZE(SP_DEVICE_INTERFACE_DETAIL_DATA_W)
LX_SAME_OFFSET(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)
LX_SAME_SIZE(DEV_BROADCAST_HDR)
LX_SAME_OFFSET(DEV_BROADCAST_HDR, dbch_devicetype)
LX_SAME_SIZE(DEV_BROADCAST_PORT_W)
LX_SAME_OFFSET(DEV_BROADCAST_PORT_W, dbcp_name)
#undef LX_SAME_SIZE
#undef LX_SAME_OFFSET

// The basic types the interface shares with the system, by value or behind a pointer.
static_assert(sizeof(winapi::DWORD) == sizeof(::DWORD) && sizeof(winapi::ULONG) == sizeof(::ULONG));
static_assert(sizeof(winapi::WCHAR) == sizeof(::WCHAR) && sizeof(winapi::BOOL) == sizeof(::BOOL));
static_assert(sizeof(winapi::HRESULT) == sizeof(::HRESULT));

namespace winapi {

namespace {

// A pointer to one of our values as the system's type of the same size and meaning (DWORD is
// unsigned long there and std::uint32_t here; WCHAR is wchar_t there and char16_t here).
template <class TSystem, class TOurs> TSystem* Sys(TOurs* Pointer) {
    static_assert(sizeof(TSystem) == sizeof(TOurs));
    return reinterpret_cast<TSystem*>(Pointer);
}
template <class TSystem, class TOurs> const TSystem* Sys(const TOurs* Pointer) {
    static_assert(sizeof(TSystem) == sizeof(TOurs));
    return reinterpret_cast<const TSystem*>(Pointer);
}

::HKEY SysKey(HKEY Key) {
    return reinterpret_cast<::HKEY>(Key);
}

// Keys come back through a local of the system's type, then convert.
HKEY OurKey(::HKEY Key) {
    return reinterpret_cast<HKEY>(Key);
}

class TWin32Api final : public TWinApi {
public:
    DWORD GetLastError() override { return ::GetLastError(); }
    void SetLastError(DWORD dwErrCode) override { ::SetLastError(dwErrCode); }
    DWORD FormatMessageW(DWORD dwFlags, const void* lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                         LPWSTR lpBuffer, DWORD nSize, void* Arguments) override {
        return ::FormatMessageW(dwFlags, lpSource, dwMessageId, dwLanguageId,
                                Sys<wchar_t>(lpBuffer), nSize, static_cast<va_list*>(Arguments));
    }
    HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) override { return ::LocalAlloc(uFlags, uBytes); }
    HLOCAL LocalFree(HLOCAL hMem) override { return ::LocalFree(hMem); }

    HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                       void* lpSecurityAttributes, DWORD dwCreationDisposition,
                       DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) override {
        return ::CreateFileW(Sys<wchar_t>(lpFileName), dwDesiredAccess, dwShareMode,
                             static_cast<LPSECURITY_ATTRIBUTES>(lpSecurityAttributes),
                             dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
    }
    BOOL ReadFile(HANDLE hFile, void* lpBuffer, DWORD nNumberOfBytesToRead,
                  DWORD* lpNumberOfBytesRead, OVERLAPPED* lpOverlapped) override {
        return ::ReadFile(hFile, lpBuffer, nNumberOfBytesToRead, Sys<::DWORD>(lpNumberOfBytesRead),
                          Sys<::OVERLAPPED>(lpOverlapped));
    }
    BOOL WriteFile(HANDLE hFile, const void* lpBuffer, DWORD nNumberOfBytesToWrite,
                   DWORD* lpNumberOfBytesWritten, OVERLAPPED* lpOverlapped) override {
        return ::WriteFile(hFile, lpBuffer, nNumberOfBytesToWrite,
                           Sys<::DWORD>(lpNumberOfBytesWritten), Sys<::OVERLAPPED>(lpOverlapped));
    }
    BOOL GetOverlappedResult(HANDLE hFile, OVERLAPPED* lpOverlapped,
                             DWORD* lpNumberOfBytesTransferred, BOOL bWait) override {
        return ::GetOverlappedResult(hFile, Sys<::OVERLAPPED>(lpOverlapped),
                                     Sys<::DWORD>(lpNumberOfBytesTransferred), bWait);
    }
    BOOL CancelIo(HANDLE hFile) override { return ::CancelIo(hFile); }
    BOOL CloseHandle(HANDLE hObject) override { return ::CloseHandle(hObject); }

    BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) override {
        return ::SetupComm(hFile, dwInQueue, dwOutQueue);
    }
    BOOL SetCommTimeouts(HANDLE hFile, COMMTIMEOUTS* lpCommTimeouts) override {
        return ::SetCommTimeouts(hFile, Sys<::COMMTIMEOUTS>(lpCommTimeouts));
    }
    BOOL SetCommState(HANDLE hFile, DCB* lpDCB) override {
        return ::SetCommState(hFile, Sys<::DCB>(lpDCB));
    }
    BOOL GetCommState(HANDLE hFile, DCB* lpDCB) override {
        return ::GetCommState(hFile, Sys<::DCB>(lpDCB));
    }
    BOOL GetCommConfig(HANDLE hCommDev, COMMCONFIG* lpCC, DWORD* lpdwSize) override {
        return ::GetCommConfig(hCommDev, Sys<::COMMCONFIG>(lpCC), Sys<::DWORD>(lpdwSize));
    }
    BOOL GetDefaultCommConfigW(LPCWSTR lpszName, COMMCONFIG* lpCC, DWORD* lpdwSize) override {
        return ::GetDefaultCommConfigW(Sys<wchar_t>(lpszName), Sys<::COMMCONFIG>(lpCC),
                                       Sys<::DWORD>(lpdwSize));
    }
    BOOL ClearCommError(HANDLE hFile, DWORD* lpErrors, COMSTAT* lpStat) override {
        return ::ClearCommError(hFile, Sys<::DWORD>(lpErrors), Sys<::COMSTAT>(lpStat));
    }
    BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) override {
        return ::SetCommMask(hFile, dwEvtMask);
    }
    BOOL WaitCommEvent(HANDLE hFile, DWORD* lpEvtMask, OVERLAPPED* lpOverlapped) override {
        return ::WaitCommEvent(hFile, Sys<::DWORD>(lpEvtMask), Sys<::OVERLAPPED>(lpOverlapped));
    }
    BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc) override {
        return ::EscapeCommFunction(hFile, dwFunc);
    }
    BOOL GetCommModemStatus(HANDLE hFile, DWORD* lpModemStat) override {
        return ::GetCommModemStatus(hFile, Sys<::DWORD>(lpModemStat));
    }
    BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) override { return ::PurgeComm(hFile, dwFlags); }
    BOOL TransmitCommChar(HANDLE hFile, char cChar) override {
        return ::TransmitCommChar(hFile, cChar);
    }
    BOOL GetCommProperties(HANDLE hFile, COMMPROP* lpCommProp) override {
        return ::GetCommProperties(hFile, Sys<::COMMPROP>(lpCommProp));
    }
    BOOL FlushFileBuffers(HANDLE hFile) override { return ::FlushFileBuffers(hFile); }

    HANDLE CreateEventW(void* lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                        LPCWSTR lpName) override {
        return ::CreateEventW(static_cast<LPSECURITY_ATTRIBUTES>(lpEventAttributes), bManualReset,
                              bInitialState, Sys<wchar_t>(lpName));
    }
    BOOL SetEvent(HANDLE hEvent) override { return ::SetEvent(hEvent); }
    BOOL ResetEvent(HANDLE hEvent) override { return ::ResetEvent(hEvent); }
    DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) override {
        return ::WaitForSingleObject(hHandle, dwMilliseconds);
    }

    HMODULE LoadLibraryW(LPCWSTR lpLibFileName) override {
        return reinterpret_cast<HMODULE>(::LoadLibraryW(Sys<wchar_t>(lpLibFileName)));
    }
    HMODULE GetModuleHandleW(LPCWSTR lpModuleName) override {
        return reinterpret_cast<HMODULE>(::GetModuleHandleW(Sys<wchar_t>(lpModuleName)));
    }
    // The system's own entry points: CancelIo and ZwQueryKey bound here are the real ones.
    FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) override {
        return AsFarProc(::GetProcAddress(reinterpret_cast<::HMODULE>(hModule), lpProcName));
    }
    BOOL FreeLibrary(HMODULE hLibModule) override {
        return ::FreeLibrary(reinterpret_cast<::HMODULE>(hLibModule));
    }

    void Sleep(DWORD dwMilliseconds) override { ::Sleep(dwMilliseconds); }
    DWORD GetTickCount() override { return ::GetTickCount(); }
    BOOL GetVersionExW(OSVERSIONINFOW* lpVersionInformation) override {
        return ::GetVersionExW(Sys<::OSVERSIONINFOW>(lpVersionInformation));
    }

    HANDLE GetCurrentThread() override { return ::GetCurrentThread(); }
    DWORD GetCurrentThreadId() override { return ::GetCurrentThreadId(); }
    BOOL SetThreadPriority(HANDLE hThread, int nPriority) override {
        return ::SetThreadPriority(hThread, nPriority);
    }
    HRESULT CoInitializeEx(void* pvReserved, DWORD dwCoInit) override {
        return ::CoInitializeEx(pvReserved, dwCoInit);
    }
    void CoUninitialize() override { ::CoUninitialize(); }

    UINT RegisterWindowMessageW(LPCWSTR lpString) override {
        return ::RegisterWindowMessageW(Sys<wchar_t>(lpString));
    }
    BOOL PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) override {
        return ::PostThreadMessageW(idThread, Msg, wParam, lParam);
    }
    BOOL GetMessageW(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) override {
        return ::GetMessageW(Sys<::MSG>(lpMsg), reinterpret_cast<::HWND>(hWnd), wMsgFilterMin,
                             wMsgFilterMax);
    }
    BOOL PeekMessageW(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                      UINT wRemoveMsg) override {
        return ::PeekMessageW(Sys<::MSG>(lpMsg), reinterpret_cast<::HWND>(hWnd), wMsgFilterMin,
                              wMsgFilterMax, wRemoveMsg);
    }
    LRESULT DispatchMessageW(const MSG* lpMsg) override {
        return ::DispatchMessageW(Sys<::MSG>(lpMsg));
    }

    LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          HKEY* phkResult) override {
        ::HKEY Opened = nullptr;
        const LSTATUS Status =
            ::RegOpenKeyExW(SysKey(hKey), Sys<wchar_t>(lpSubKey), ulOptions, samDesired, &Opened);
        if (phkResult != nullptr) {
            *phkResult = OurKey(Opened);
        }
        return Status;
    }
    LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired, void* lpSecurityAttributes,
                            HKEY* phkResult, DWORD* lpdwDisposition) override {
        ::HKEY Created = nullptr;
        const LSTATUS Status = ::RegCreateKeyExW(
            SysKey(hKey), Sys<wchar_t>(lpSubKey), Reserved, Sys<wchar_t>(lpClass), dwOptions,
            samDesired, static_cast<LPSECURITY_ATTRIBUTES>(lpSecurityAttributes), &Created,
            Sys<::DWORD>(lpdwDisposition));
        if (phkResult != nullptr) {
            *phkResult = OurKey(Created);
        }
        return Status;
    }
    LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, DWORD* lpcchValueName,
                          DWORD* lpReserved, DWORD* lpType, BYTE* lpData,
                          DWORD* lpcbData) override {
        return ::RegEnumValueW(SysKey(hKey), dwIndex, Sys<wchar_t>(lpValueName),
                               Sys<::DWORD>(lpcchValueName), Sys<::DWORD>(lpReserved),
                               Sys<::DWORD>(lpType), lpData, Sys<::DWORD>(lpcbData));
    }
    LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD* lpReserved, DWORD* lpType,
                             BYTE* lpData, DWORD* lpcbData) override {
        return ::RegQueryValueExW(SysKey(hKey), Sys<wchar_t>(lpValueName), Sys<::DWORD>(lpReserved),
                                  Sys<::DWORD>(lpType), lpData, Sys<::DWORD>(lpcbData));
    }
    LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE* lpData, DWORD cbData) override {
        return ::RegSetValueExW(SysKey(hKey), Sys<wchar_t>(lpValueName), Reserved, dwType, lpData,
                                cbData);
    }
    LSTATUS RegCloseKey(HKEY hKey) override { return ::RegCloseKey(SysKey(hKey)); }
    // ntdll has no import library entry we rely on; bind it as any caller would.
    NTSTATUS ZwQueryKey(HANDLE KeyHandle, int KeyInformationClass, void* KeyInformation,
                        ULONG Length, ULONG* ResultLength) override {
        static const PFN_ZwQueryKey Query = ProcAs<PFN_ZwQueryKey>(
            AsFarProc(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "ZwQueryKey")));
        if (Query == nullptr) {
            return NTSTATUS(STATUS_NOT_IMPLEMENTED);
        }
        return Query(KeyHandle, KeyInformationClass, KeyInformation, Length, ResultLength);
    }

    BOOL EnumPortsW(LPWSTR pName, DWORD Level, BYTE* pPorts, DWORD cbBuf, DWORD* pcbNeeded,
                    DWORD* pcReturned) override {
        return ::EnumPortsW(Sys<wchar_t>(pName), Level, pPorts, cbBuf, Sys<::DWORD>(pcbNeeded),
                            Sys<::DWORD>(pcReturned));
    }

    HWND GetForegroundWindow() override { return reinterpret_cast<HWND>(::GetForegroundWindow()); }
    BOOL CommConfigDialogW(LPCWSTR lpszName, HWND hWnd, COMMCONFIG* lpCC) override {
        return ::CommConfigDialogW(Sys<wchar_t>(lpszName), reinterpret_cast<::HWND>(hWnd),
                                   Sys<::COMMCONFIG>(lpCC));
    }
};

} // namespace

TWinApi& NativeApi() {
    static TWin32Api Native;
    return Native;
}

} // namespace winapi
