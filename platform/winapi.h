// The operating system as the serial library sees it: the Windows records with their Windows
// layouts, the Windows constants, and one interface whose operations carry the Windows names and
// meanings. The library calls only this interface; a backend gives it life on each system
// (win32/ on Windows, posix/ on Linux, a scripted fake in the tests).
//
// Everything lives in namespace winapi so that the Windows backend can include the system headers
// beside these definitions without clashes.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define LX_WINAPI __stdcall
#else
#define LX_WINAPI
#endif

namespace winapi {

// ---------------------------------------------------------------------------------------------
// Basic types
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using BOOL = std::int32_t;
using HRESULT = std::int32_t;
using NTSTATUS = std::int32_t;
using LSTATUS = LONG;
using REGSAM = DWORD;
using SIZE_T = std::size_t;
using ULONG_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using WCHAR = char16_t;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPCSTR = const char*;
using LRESULT = LONG_PTR;

using HANDLE = void*;
struct HWND__;
using HWND = HWND__*;
struct HKEY__;
using HKEY = HKEY__*;
struct HINSTANCE__;
using HMODULE = HINSTANCE__*;
using HLOCAL = void*;
using FARPROC = std::intptr_t(LX_WINAPI*)();

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(LONG_PTR(-1));

// Predefined registry roots, sign-extended as on 64-bit Windows.
inline HKEY PredefinedKey(std::uint32_t Value) {
    return reinterpret_cast<HKEY>(LONG_PTR(LONG(Value)));
}
inline constexpr std::uint32_t HKEY_CLASSES_ROOT_VALUE = 0x80000000u;
inline constexpr std::uint32_t HKEY_CURRENT_USER_VALUE = 0x80000001u;
inline constexpr std::uint32_t HKEY_LOCAL_MACHINE_VALUE = 0x80000002u;
inline constexpr std::uint32_t HKEY_USERS_VALUE = 0x80000003u;
inline const HKEY HKEY_CLASSES_ROOT = PredefinedKey(HKEY_CLASSES_ROOT_VALUE);
inline const HKEY HKEY_CURRENT_USER = PredefinedKey(HKEY_CURRENT_USER_VALUE);
inline const HKEY HKEY_LOCAL_MACHINE = PredefinedKey(HKEY_LOCAL_MACHINE_VALUE);
inline const HKEY HKEY_USERS = PredefinedKey(HKEY_USERS_VALUE);

struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
    friend bool operator==(const GUID&, const GUID&) = default;
};
static_assert(sizeof(GUID) == 16);

// ---------------------------------------------------------------------------------------------
// Serial records

// The DCB's bit fields are kept as one word: the library works on them with masks.
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD Flags;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
static_assert(sizeof(DCB) == 28);
static_assert(offsetof(DCB, Flags) == 8 && offsetof(DCB, XonLim) == 14);
static_assert(offsetof(DCB, ByteSize) == 18 && offsetof(DCB, Parity) == 19);
static_assert(offsetof(DCB, StopBits) == 20 && offsetof(DCB, XonChar) == 21);
static_assert(offsetof(DCB, EvtChar) == 25 && offsetof(DCB, wReserved1) == 26);

// DCB flag bits.
inline constexpr DWORD DCB_fBinary = 0x0001;
inline constexpr DWORD DCB_fParity = 0x0002;
inline constexpr DWORD DCB_fOutxCtsFlow = 0x0004;
inline constexpr DWORD DCB_fOutxDsrFlow = 0x0008;
inline constexpr DWORD DCB_fDtrControlMask = 0x0030;
inline constexpr DWORD DCB_fDtrControlEnable = 0x0010;
inline constexpr DWORD DCB_fDtrControlHandshake = 0x0020;
inline constexpr DWORD DCB_fDsrSensitivity = 0x0040;
inline constexpr DWORD DCB_fTXContinueOnXoff = 0x0080;
inline constexpr DWORD DCB_fOutX = 0x0100;
inline constexpr DWORD DCB_fInX = 0x0200;
inline constexpr DWORD DCB_fErrorChar = 0x0400;
inline constexpr DWORD DCB_fNull = 0x0800;
inline constexpr DWORD DCB_fRtsControlMask = 0x3000;
inline constexpr DWORD DCB_fRtsControlEnable = 0x1000;
inline constexpr DWORD DCB_fRtsControlHandshake = 0x2000;
inline constexpr DWORD DCB_fRtsControlToggle = 0x3000;
inline constexpr DWORD DCB_fAbortOnError = 0x4000;

inline constexpr BYTE NOPARITY = 0;
inline constexpr BYTE ODDPARITY = 1;
inline constexpr BYTE EVENPARITY = 2;
inline constexpr BYTE MARKPARITY = 3;
inline constexpr BYTE SPACEPARITY = 4;
inline constexpr BYTE ONESTOPBIT = 0;
inline constexpr BYTE ONE5STOPBITS = 1;
inline constexpr BYTE TWOSTOPBITS = 2;

// COMMTIMEOUTS values: MAXDWORD as ReadIntervalTimeout asks for what has already arrived.
inline constexpr DWORD MAXDWORD = 0xFFFFFFFFu;

// COMMPROP: service, provider type, capabilities and settable parameters.
inline constexpr DWORD SP_SERIALCOMM = 0x0001;
inline constexpr DWORD PST_RS232 = 0x0001;
inline constexpr DWORD PCF_DTRDSR = 0x0001;
inline constexpr DWORD PCF_RTSCTS = 0x0002;
inline constexpr DWORD PCF_RLSD = 0x0004;
inline constexpr DWORD PCF_PARITY_CHECK = 0x0008;
inline constexpr DWORD PCF_XONXOFF = 0x0010;
inline constexpr DWORD PCF_SETXCHAR = 0x0020;
inline constexpr DWORD PCF_TOTALTIMEOUTS = 0x0040;
inline constexpr DWORD PCF_INTTIMEOUTS = 0x0080;
inline constexpr DWORD PCF_SPECIALCHARS = 0x0100;
inline constexpr DWORD PCF_16BITMODE = 0x0200;
inline constexpr DWORD SP_PARITY = 0x0001;
inline constexpr DWORD SP_BAUD = 0x0002;
inline constexpr DWORD SP_DATABITS = 0x0004;
inline constexpr DWORD SP_STOPBITS = 0x0008;
inline constexpr DWORD SP_HANDSHAKING = 0x0010;
inline constexpr DWORD SP_PARITY_CHECK = 0x0020;
inline constexpr DWORD SP_RLSD = 0x0040;
inline constexpr DWORD BAUD_075 = 0x00000001;
inline constexpr DWORD BAUD_110 = 0x00000002;
inline constexpr DWORD BAUD_134_5 = 0x00000004;
inline constexpr DWORD BAUD_150 = 0x00000008;
inline constexpr DWORD BAUD_300 = 0x00000010;
inline constexpr DWORD BAUD_600 = 0x00000020;
inline constexpr DWORD BAUD_1200 = 0x00000040;
inline constexpr DWORD BAUD_1800 = 0x00000080;
inline constexpr DWORD BAUD_2400 = 0x00000100;
inline constexpr DWORD BAUD_4800 = 0x00000200;
inline constexpr DWORD BAUD_7200 = 0x00000400;
inline constexpr DWORD BAUD_9600 = 0x00000800;
inline constexpr DWORD BAUD_14400 = 0x00001000;
inline constexpr DWORD BAUD_19200 = 0x00002000;
inline constexpr DWORD BAUD_38400 = 0x00004000;
inline constexpr DWORD BAUD_56K = 0x00008000;
inline constexpr DWORD BAUD_128K = 0x00010000;
inline constexpr DWORD BAUD_115200 = 0x00020000;
inline constexpr DWORD BAUD_57600 = 0x00040000;
inline constexpr DWORD BAUD_USER = 0x10000000;
inline constexpr WORD DATABITS_5 = 0x0001;
inline constexpr WORD DATABITS_6 = 0x0002;
inline constexpr WORD DATABITS_7 = 0x0004;
inline constexpr WORD DATABITS_8 = 0x0008;
inline constexpr WORD STOPBITS_10 = 0x0001;
inline constexpr WORD STOPBITS_15 = 0x0002;
inline constexpr WORD STOPBITS_20 = 0x0004;
inline constexpr WORD PARITY_NONE = 0x0100;
inline constexpr WORD PARITY_ODD = 0x0200;
inline constexpr WORD PARITY_EVEN = 0x0400;
inline constexpr WORD PARITY_MARK = 0x0800;
inline constexpr WORD PARITY_SPACE = 0x1000;

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};
static_assert(sizeof(COMMTIMEOUTS) == 20);

struct COMMCONFIG {
    DWORD dwSize;
    WORD wVersion;
    WORD wReserved;
    DCB dcb;
    DWORD dwProviderSubType;
    DWORD dwProviderOffset;
    DWORD dwProviderSize;
    WCHAR wcProviderData[1];
};
static_assert(sizeof(COMMCONFIG) == 52);
static_assert(offsetof(COMMCONFIG, dcb) == 8 && offsetof(COMMCONFIG, dwProviderSubType) == 36);
static_assert(offsetof(COMMCONFIG, wcProviderData) == 48);

struct COMMPROP {
    WORD wPacketLength;
    WORD wPacketVersion;
    DWORD dwServiceMask;
    DWORD dwReserved1;
    DWORD dwMaxTxQueue;
    DWORD dwMaxRxQueue;
    DWORD dwMaxBaud;
    DWORD dwProvSubType;
    DWORD dwProvCapabilities;
    DWORD dwSettableParams;
    DWORD dwSettableBaud;
    WORD wSettableData;
    WORD wSettableStopParity;
    DWORD dwCurrentTxQueue;
    DWORD dwCurrentRxQueue;
    DWORD dwProvSpec1;
    DWORD dwProvSpec2;
    WCHAR wcProvChar[1];
};
static_assert(sizeof(COMMPROP) == 64);
static_assert(offsetof(COMMPROP, dwMaxBaud) == 20 && offsetof(COMMPROP, wSettableData) == 40);
static_assert(offsetof(COMMPROP, dwCurrentTxQueue) == 44 && offsetof(COMMPROP, wcProvChar) == 60);

// COMSTAT's hold bits are kept as one word, like the DCB's flags.
struct COMSTAT {
    DWORD Flags;
    DWORD cbInQue;
    DWORD cbOutQue;
};
static_assert(sizeof(COMSTAT) == 12);
inline constexpr DWORD COMSTAT_fCtsHold = 0x01;
inline constexpr DWORD COMSTAT_fDsrHold = 0x02;
inline constexpr DWORD COMSTAT_fRlsdHold = 0x04;
inline constexpr DWORD COMSTAT_fXoffHold = 0x08;
inline constexpr DWORD COMSTAT_fXoffSent = 0x10;
inline constexpr DWORD COMSTAT_fEof = 0x20;
inline constexpr DWORD COMSTAT_fTxim = 0x40;

struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
static_assert(sizeof(OVERLAPPED) == 3 * sizeof(void*) + 8 + (sizeof(void*) == 8 ? 0 : 0));
static_assert(offsetof(OVERLAPPED, Offset) == 2 * sizeof(ULONG_PTR));
static_assert(offsetof(OVERLAPPED, hEvent) == 2 * sizeof(ULONG_PTR) + 8);
// Everything before hEvent: what a new transfer clears while keeping the caller's event.
inline constexpr std::size_t OVERLAPPED_ClearSize = offsetof(OVERLAPPED, hEvent);

struct POINT {
    LONG x;
    LONG y;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};
static_assert(sizeof(void*) != 4 || sizeof(MSG) == 28);
static_assert(sizeof(void*) != 8 || sizeof(MSG) == 48);
static_assert(offsetof(MSG, message) == sizeof(void*) && offsetof(MSG, wParam) == 2 * sizeof(void*));

struct OSVERSIONINFOW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOW) == 276);

struct PORT_INFO_1W {
    LPWSTR pName;
};

struct KEY_NAME_INFORMATION {
    ULONG NameLength;
    WCHAR Name[1];
};
static_assert(offsetof(KEY_NAME_INFORMATION, Name) == 4);
inline constexpr int KeyNameInformation = 3;

// ---------------------------------------------------------------------------------------------
// Setup API records. Their sizes follow the pointer size as on Windows: 28 and 6 bytes for a
// 32-bit process, 32 and 8 for a 64-bit one; a caller always sets cbSize from sizeof.
#if defined(_WIN32) && !defined(_WIN64)
#pragma pack(push, 1)
#endif
struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};
struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};
struct SP_DEVICE_INTERFACE_DETAIL_DATA_W {
    DWORD cbSize;
    WCHAR DevicePath[1];
};
#if defined(_WIN32) && !defined(_WIN64)
#pragma pack(pop)
#endif
static_assert(sizeof(SP_DEVINFO_DATA) == 20 + sizeof(ULONG_PTR) + (sizeof(void*) == 8 ? 4 : 0));
static_assert(offsetof(SP_DEVINFO_DATA, ClassGuid) == 4 && offsetof(SP_DEVINFO_DATA, DevInst) == 20);
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == sizeof(SP_DEVINFO_DATA));
static_assert(offsetof(SP_DEVICE_INTERFACE_DATA, Flags) == 20);
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) == 4);
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 6);
#else
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8);
#endif

using HDEVINFO = void*;
using DEVINST = DWORD;
using CONFIGRET = DWORD;

inline constexpr DWORD DIGCF_DEFAULT = 0x01;
inline constexpr DWORD DIGCF_PRESENT = 0x02;
inline constexpr DWORD DIGCF_ALLCLASSES = 0x04;
inline constexpr DWORD DIGCF_PROFILE = 0x08;
inline constexpr DWORD DIGCF_DEVICEINTERFACE = 0x10;
inline constexpr DWORD SPDRP_DEVICEDESC = 0x00;
inline constexpr DWORD SPDRP_HARDWAREID = 0x01;
inline constexpr DWORD SPDRP_SERVICE = 0x04;
inline constexpr DWORD SPDRP_CLASS = 0x07;
inline constexpr DWORD SPDRP_CLASSGUID = 0x08;
inline constexpr DWORD SPDRP_DRIVER = 0x09;
inline constexpr DWORD SPDRP_MFG = 0x0B;
inline constexpr DWORD SPDRP_FRIENDLYNAME = 0x0C;
inline constexpr DWORD SPDRP_PHYSICAL_DEVICE_OBJECT_NAME = 0x0E;
inline constexpr DWORD DICS_FLAG_GLOBAL = 1;
inline constexpr DWORD DIREG_DEV = 1;
inline constexpr CONFIGRET CR_SUCCESS = 0;
inline constexpr DWORD CM_GETIDLIST_FILTER_REMOVALRELATIONS = 0x08;
inline constexpr DWORD CM_GETIDLIST_FILTER_BUSRELATIONS = 0x20;

inline constexpr DWORD DIREG_DRV = 2;
// SP_DEVICE_INTERFACE_DATA.Flags: the interface is enabled now.
inline constexpr DWORD SPINT_ACTIVE = 0x1;
inline constexpr ULONG CM_LOCATE_DEVNODE_NORMAL = 0x0;
inline constexpr ULONG CM_LOCATE_DEVNODE_PHANTOM = 0x1;
inline constexpr ULONG CM_GETIDLIST_FILTER_NONE = 0x0;
inline constexpr ULONG CM_GETIDLIST_FILTER_ENUMERATOR = 0x1;
inline constexpr CONFIGRET CR_INVALID_POINTER = 0x03;
inline constexpr CONFIGRET CR_INVALID_FLAG = 0x04;
inline constexpr CONFIGRET CR_INVALID_DEVNODE = 0x05;
inline constexpr CONFIGRET CR_NO_SUCH_DEVNODE = 0x0D;
inline constexpr CONFIGRET CR_BUFFER_SMALL = 0x1A;
inline constexpr CONFIGRET CR_NO_SUCH_VALUE = 0x25;
// Setup API failures (GetLastError).
inline constexpr DWORD ERROR_INVALID_FLAGS = 1004;
inline constexpr DWORD ERROR_INVALID_USER_BUFFER = 1784;
inline constexpr DWORD ERROR_KEY_DOES_NOT_EXIST = 0xE0000204u;
inline constexpr DWORD ERROR_INVALID_REG_PROPERTY = 0xE0000209u;
inline constexpr DWORD ERROR_NO_SUCH_DEVINST = 0xE000020Bu;

// The device classes and interface classes of serial ports and their relatives. The serial
// enumerator's interface class has the same value as the ports setup class.
inline constexpr GUID GUID_DEVCLASS_PORTS = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
inline constexpr GUID GUID_DEVINTERFACE_COMPORT = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
inline constexpr GUID GUID_DEVINTERFACE_MODEM = {
    0x2C7089AA, 0x2E0E, 0x11D1, {0xB1, 0x14, 0x00, 0xC0, 0x4F, 0xC2, 0xAA, 0xE4}};
inline constexpr GUID GUID_DEVINTERFACE_SERENUM_BUS_ENUMERATOR = GUID_DEVCLASS_PORTS;
inline constexpr GUID GUID_DEVCLASS_INFRARED = {
    0x6BDD1FC5, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};
inline constexpr GUID GUID_DEVCLASS_ADAPTER = {
    0x4D36E964, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
inline constexpr GUID GUID_DEVCLASS_BLUETOOTH = {
    0xE0CBF06C, 0xCD8B, 0x4647, {0xBB, 0x8A, 0x26, 0x3B, 0x43, 0xF0, 0xF9, 0x74}};
inline constexpr GUID GUID_DEVCLASS_MODEM = {
    0x4D36E96D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
inline constexpr GUID GUID_DEVCLASS_MULTIFUNCTION = {
    0x4D36E971, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
inline constexpr GUID GUID_DEVCLASS_MULTIPORTSERIAL = {
    0x50906CB8, 0xBA12, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
inline constexpr GUID GUID_DEVCLASS_LEGACYDRIVER = {
    0x8ECC055D, 0x047F, 0x11D1, {0xA5, 0x37, 0x00, 0x00, 0xF8, 0x75, 0x3E, 0xD1}};

// ---------------------------------------------------------------------------------------------
// Constants

inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_INVALID_FUNCTION = 1;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_INVALID_DATA = 13;
inline constexpr DWORD ERROR_OUTOFMEMORY = 14;
inline constexpr DWORD ERROR_NOT_READY = 21;
inline constexpr DWORD ERROR_BAD_COMMAND = 22;
inline constexpr DWORD ERROR_WRITE_FAULT = 29;
inline constexpr DWORD ERROR_READ_FAULT = 30;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_SHARING_VIOLATION = 32;
inline constexpr DWORD ERROR_HANDLE_EOF = 38;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_DEV_NOT_EXIST = 55;
inline constexpr DWORD ERROR_FILE_EXISTS = 80;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_BROKEN_PIPE = 109;
inline constexpr DWORD ERROR_CALL_NOT_IMPLEMENTED = 120;
inline constexpr DWORD ERROR_SEM_TIMEOUT = 121;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_INVALID_NAME = 123;
inline constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
inline constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
inline constexpr DWORD ERROR_BUSY = 170;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
inline constexpr DWORD ERROR_OPERATION_ABORTED = 995;
inline constexpr DWORD ERROR_IO_INCOMPLETE = 996;
inline constexpr DWORD ERROR_IO_PENDING = 997;
inline constexpr DWORD ERROR_NOACCESS = 998;
inline constexpr DWORD ERROR_BADKEY = 1010;
inline constexpr DWORD ERROR_CANTREAD = 1012;
inline constexpr DWORD ERROR_CANTWRITE = 1013;
inline constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
inline constexpr DWORD ERROR_TIMEOUT = 1460;
// Further codes that a backend reports.
inline constexpr DWORD ERROR_DISK_FULL = 112;
inline constexpr DWORD ERROR_BAD_PATHNAME = 161;
inline constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;
inline constexpr DWORD ERROR_KEY_DELETED = 1018;
inline constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
inline constexpr DWORD ERROR_INVALID_THREAD_ID = 1444;
inline constexpr DWORD ERROR_NOT_ENOUGH_QUOTA = 1816;

inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;

inline constexpr DWORD INFINITE = 0xFFFFFFFFu;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

inline constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x0100;
inline constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x0200;
inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;
inline constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x2000;

inline constexpr UINT LMEM_FIXED = 0x0000;
inline constexpr UINT LMEM_ZEROINIT = 0x0040;

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;
inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;
inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

inline constexpr DWORD VER_PLATFORM_WIN32s = 0;
inline constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
inline constexpr DWORD VER_PLATFORM_WIN32_NT = 2;

inline constexpr DWORD COINIT_MULTITHREADED = 0x0;
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr NTSTATUS STATUS_SUCCESS = 0;
inline constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = NTSTATUS(0xC0000023u);
inline constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = NTSTATUS(0x80000005u);
inline constexpr NTSTATUS STATUS_INVALID_HANDLE = NTSTATUS(0xC0000008u);
// States of an overlapped request, kept in OVERLAPPED.Internal, and further kernel results.
inline constexpr NTSTATUS STATUS_PENDING = NTSTATUS(0x00000103u);
inline constexpr NTSTATUS STATUS_UNSUCCESSFUL = NTSTATUS(0xC0000001u);
inline constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = NTSTATUS(0xC0000002u);
inline constexpr NTSTATUS STATUS_DEVICE_NOT_CONNECTED = NTSTATUS(0xC000009Du);
inline constexpr NTSTATUS STATUS_CANCELLED = NTSTATUS(0xC0000120u);
// A serial transfer ended by its time-out: a success, with fewer bytes than asked for.
inline constexpr NTSTATUS STATUS_TIMEOUT = NTSTATUS(0x00000102u);

inline constexpr int THREAD_PRIORITY_IDLE = -15;
inline constexpr int THREAD_PRIORITY_LOWEST = -2;
inline constexpr int THREAD_PRIORITY_BELOW_NORMAL = -1;
inline constexpr int THREAD_PRIORITY_NORMAL = 0;
inline constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;
inline constexpr int THREAD_PRIORITY_HIGHEST = 2;
inline constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;

// Comm events.
inline constexpr DWORD EV_RXCHAR = 0x0001;
inline constexpr DWORD EV_RXFLAG = 0x0002;
inline constexpr DWORD EV_TXEMPTY = 0x0004;
inline constexpr DWORD EV_CTS = 0x0008;
inline constexpr DWORD EV_DSR = 0x0010;
inline constexpr DWORD EV_RLSD = 0x0020;
inline constexpr DWORD EV_BREAK = 0x0040;
inline constexpr DWORD EV_ERR = 0x0080;
inline constexpr DWORD EV_RING = 0x0100;
inline constexpr DWORD EV_PERR = 0x0200;
inline constexpr DWORD EV_RX80FULL = 0x0400;
inline constexpr DWORD EV_EVENT1 = 0x0800;
inline constexpr DWORD EV_EVENT2 = 0x1000;

// Line errors (ClearCommError).
inline constexpr DWORD CE_RXOVER = 0x0001;
inline constexpr DWORD CE_OVERRUN = 0x0002;
inline constexpr DWORD CE_RXPARITY = 0x0004;
inline constexpr DWORD CE_FRAME = 0x0008;
inline constexpr DWORD CE_BREAK = 0x0010;
inline constexpr DWORD CE_TXFULL = 0x0100;
inline constexpr DWORD CE_PTO = 0x0200;
inline constexpr DWORD CE_IOE = 0x0400;
inline constexpr DWORD CE_DNS = 0x0800;
inline constexpr DWORD CE_OOP = 0x1000;
inline constexpr DWORD CE_MODE = 0x8000;

// Modem status (GetCommModemStatus).
inline constexpr DWORD MS_CTS_ON = 0x0010;
inline constexpr DWORD MS_DSR_ON = 0x0020;
inline constexpr DWORD MS_RING_ON = 0x0040;
inline constexpr DWORD MS_RLSD_ON = 0x0080;

inline constexpr DWORD PURGE_TXABORT = 0x0001;
inline constexpr DWORD PURGE_RXABORT = 0x0002;
inline constexpr DWORD PURGE_TXCLEAR = 0x0004;
inline constexpr DWORD PURGE_RXCLEAR = 0x0008;

// EscapeCommFunction codes.
inline constexpr DWORD SETXOFF = 1;
inline constexpr DWORD SETXON = 2;
inline constexpr DWORD SETRTS = 3;
inline constexpr DWORD CLRRTS = 4;
inline constexpr DWORD SETDTR = 5;
inline constexpr DWORD CLRDTR = 6;
inline constexpr DWORD RESETDEV = 7;
inline constexpr DWORD SETBREAK = 8;
inline constexpr DWORD CLRBREAK = 9;

// Window messages.
inline constexpr UINT WM_QUIT = 0x0012;
inline constexpr UINT WM_TIMER = 0x0113;
inline constexpr UINT WM_USER = 0x0400;
inline constexpr UINT WM_DEVICECHANGE = 0x0219;
// PeekMessageW: leave the message in the queue, or take it.
inline constexpr UINT PM_NOREMOVE = 0x0000;
inline constexpr UINT PM_REMOVE = 0x0001;

// WM_DEVICECHANGE events (its wParam) and the broadcast records its lParam points to.
inline constexpr DWORD DBT_DEVNODES_CHANGED = 0x0007;
inline constexpr DWORD DBT_DEVICEARRIVAL = 0x8000;
inline constexpr DWORD DBT_DEVICEREMOVECOMPLETE = 0x8004;
inline constexpr DWORD DBT_DEVTYP_PORT = 0x0003;

// The header every device broadcast begins with; dbch_devicetype says which record follows.
struct DEV_BROADCAST_HDR {
    DWORD dbch_size;
    DWORD dbch_devicetype;
    DWORD dbch_reserved;
};
static_assert(sizeof(DEV_BROADCAST_HDR) == 12);

// A port broadcast (DBT_DEVTYP_PORT): the header, then the port name, NUL-terminated, running on
// past the declared array to dbcp_size bytes in all.
struct DEV_BROADCAST_PORT_W {
    DWORD dbcp_size;
    DWORD dbcp_devicetype;
    DWORD dbcp_reserved;
    WCHAR dbcp_name[1];
};
static_assert(sizeof(DEV_BROADCAST_PORT_W) == 16);
static_assert(offsetof(DEV_BROADCAST_PORT_W, dbcp_name) == 12);

// Message box styles.
inline constexpr UINT MB_OK = 0x0000;
inline constexpr UINT MB_ICONERROR = 0x0010;

// ---------------------------------------------------------------------------------------------
// Entry points that callers bind at run time through GetProcAddress.
using PFN_CancelIo = BOOL(LX_WINAPI*)(HANDLE hFile);
using PFN_ZwQueryKey = NTSTATUS(LX_WINAPI*)(HANDLE KeyHandle, int KeyInformationClass,
                                            void* KeyInformation, ULONG Length,
                                            ULONG* ResultLength);

// SetupAPI.dll and the configuration manager (cfgmgr32.dll, or SetupAPI.dll on systems that
// export it there): the entry points the Plug and Play enumeration binds, and those a backend
// hands out so that the binding succeeds.
using PFN_SetupDiGetClassDevsW = HDEVINFO(LX_WINAPI*)(const GUID* ClassGuid, LPCWSTR Enumerator,
                                                      HWND hwndParent, DWORD Flags);
using PFN_SetupDiDestroyDeviceInfoList = BOOL(LX_WINAPI*)(HDEVINFO DeviceInfoSet);
using PFN_SetupDiEnumDeviceInfo = BOOL(LX_WINAPI*)(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                                   SP_DEVINFO_DATA* DeviceInfoData);
using PFN_SetupDiGetDeviceRegistryPropertyW =
    BOOL(LX_WINAPI*)(HDEVINFO DeviceInfoSet, SP_DEVINFO_DATA* DeviceInfoData, DWORD Property,
                     DWORD* PropertyRegDataType, BYTE* PropertyBuffer, DWORD PropertyBufferSize,
                     DWORD* RequiredSize);
using PFN_SetupDiOpenDevRegKey = HKEY(LX_WINAPI*)(HDEVINFO DeviceInfoSet,
                                                  SP_DEVINFO_DATA* DeviceInfoData, DWORD Scope,
                                                  DWORD HwProfile, DWORD KeyType,
                                                  REGSAM samDesired);
using PFN_SetupDiEnumDeviceInterfaces = BOOL(LX_WINAPI*)(
    HDEVINFO DeviceInfoSet, SP_DEVINFO_DATA* DeviceInfoData, const GUID* InterfaceClassGuid,
    DWORD MemberIndex, SP_DEVICE_INTERFACE_DATA* DeviceInterfaceData);
using PFN_SetupDiGetDeviceInterfaceDetailW = BOOL(LX_WINAPI*)(
    HDEVINFO DeviceInfoSet, SP_DEVICE_INTERFACE_DATA* DeviceInterfaceData,
    SP_DEVICE_INTERFACE_DETAIL_DATA_W* DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, DWORD* RequiredSize, SP_DEVINFO_DATA* DeviceInfoData);
using PFN_SetupDiCreateDeviceInfoList = HDEVINFO(LX_WINAPI*)(const GUID* ClassGuid,
                                                             HWND hwndParent);
using PFN_SetupDiCreateDeviceInfoW = BOOL(LX_WINAPI*)(HDEVINFO DeviceInfoSet, LPCWSTR DeviceName,
                                                      const GUID* ClassGuid,
                                                      LPCWSTR DeviceDescription, HWND hwndParent,
                                                      DWORD CreationFlags,
                                                      SP_DEVINFO_DATA* DeviceInfoData);
using PFN_SetupDiGetINFClassW = BOOL(LX_WINAPI*)(LPCWSTR InfName, GUID* ClassGuid, LPWSTR ClassName,
                                                 DWORD ClassNameSize, DWORD* RequiredSize);
using PFN_SetupDiSetDeviceRegistryPropertyW = BOOL(LX_WINAPI*)(HDEVINFO DeviceInfoSet,
                                                               SP_DEVINFO_DATA* DeviceInfoData,
                                                               DWORD Property,
                                                               const BYTE* PropertyBuffer,
                                                               DWORD PropertyBufferSize);
using PFN_SetupDiCallClassInstaller = BOOL(LX_WINAPI*)(UINT InstallFunction, HDEVINFO DeviceInfoSet,
                                                       SP_DEVINFO_DATA* DeviceInfoData);
using PFN_SetupDiGetDeviceInstanceIdW = BOOL(LX_WINAPI*)(HDEVINFO DeviceInfoSet,
                                                         SP_DEVINFO_DATA* DeviceInfoData,
                                                         LPWSTR DeviceInstanceId,
                                                         DWORD DeviceInstanceIdSize,
                                                         DWORD* RequiredSize);
using PFN_SetupDiSetClassInstallParamsW = BOOL(LX_WINAPI*)(HDEVINFO DeviceInfoSet,
                                                           SP_DEVINFO_DATA* DeviceInfoData,
                                                           void* ClassInstallParams,
                                                           DWORD ClassInstallParamsSize);
using PFN_CM_Locate_DevNodeW = CONFIGRET(LX_WINAPI*)(DEVINST* pdnDevInst, LPCWSTR pDeviceID,
                                                     ULONG ulFlags);
using PFN_CM_Get_DevNode_Registry_PropertyW = CONFIGRET(LX_WINAPI*)(DEVINST dnDevInst,
                                                                    ULONG ulProperty,
                                                                    ULONG* pulRegDataType,
                                                                    void* Buffer, ULONG* pulLength,
                                                                    ULONG ulFlags);
// CM_Get_Parent, CM_Get_Child and CM_Get_Sibling.
using PFN_CM_Get_Relative = CONFIGRET(LX_WINAPI*)(DEVINST* pdnDevInst, DEVINST dnDevInst,
                                                  ULONG ulFlags);
using PFN_CM_Get_Device_ID_List_SizeW = CONFIGRET(LX_WINAPI*)(ULONG* pulLen, LPCWSTR pszFilter,
                                                              ULONG ulFlags);
using PFN_CM_Get_Device_ID_ListW = CONFIGRET(LX_WINAPI*)(LPCWSTR pszFilter, LPWSTR Buffer,
                                                         ULONG BufferLen, ULONG ulFlags);

// Conversions between an entry point's own type and FARPROC. They pass through void (*)(), the
// function type compilers accept as neutral, so that no cast warning hides a real mistake.
template <class TProc>
TProc ProcAs(FARPROC Proc) {
    return reinterpret_cast<TProc>(reinterpret_cast<void (*)()>(Proc));
}
template <class TProc>
FARPROC AsFarProc(TProc Proc) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(Proc));
}

// ---------------------------------------------------------------------------------------------
// The interface. Every operation keeps the Windows meaning, parameters and results; a failing
// call leaves its reason for GetLastError on the calling thread (registry calls return it).
class TWinApi {
public:
    virtual ~TWinApi() = default;

    // Errors and local memory
    virtual DWORD GetLastError() = 0;
    virtual void SetLastError(DWORD dwErrCode) = 0;
    // With FORMAT_MESSAGE_ALLOCATE_BUFFER, lpBuffer receives a LocalAlloc'ed text (an LPWSTR*
    // passed as LPWSTR, as on Windows). Returns the length in characters, 0 on failure.
    virtual DWORD FormatMessageW(DWORD dwFlags, const void* lpSource, DWORD dwMessageId,
                                 DWORD dwLanguageId, LPWSTR lpBuffer, DWORD nSize,
                                 void* Arguments) = 0;
    virtual HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) = 0;
    virtual HLOCAL LocalFree(HLOCAL hMem) = 0;

    // Files and overlapped I/O
    virtual HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                               void* lpSecurityAttributes, DWORD dwCreationDisposition,
                               DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) = 0;
    virtual BOOL ReadFile(HANDLE hFile, void* lpBuffer, DWORD nNumberOfBytesToRead,
                          DWORD* lpNumberOfBytesRead, OVERLAPPED* lpOverlapped) = 0;
    virtual BOOL WriteFile(HANDLE hFile, const void* lpBuffer, DWORD nNumberOfBytesToWrite,
                           DWORD* lpNumberOfBytesWritten, OVERLAPPED* lpOverlapped) = 0;
    virtual BOOL GetOverlappedResult(HANDLE hFile, OVERLAPPED* lpOverlapped,
                                     DWORD* lpNumberOfBytesTransferred, BOOL bWait) = 0;
    virtual BOOL CancelIo(HANDLE hFile) = 0;
    virtual BOOL CloseHandle(HANDLE hObject) = 0;

    // Serial ports
    virtual BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) = 0;
    virtual BOOL SetCommTimeouts(HANDLE hFile, COMMTIMEOUTS* lpCommTimeouts) = 0;
    virtual BOOL SetCommState(HANDLE hFile, DCB* lpDCB) = 0;
    virtual BOOL GetCommState(HANDLE hFile, DCB* lpDCB) = 0;
    virtual BOOL GetCommConfig(HANDLE hCommDev, COMMCONFIG* lpCC, DWORD* lpdwSize) = 0;
    virtual BOOL GetDefaultCommConfigW(LPCWSTR lpszName, COMMCONFIG* lpCC, DWORD* lpdwSize) = 0;
    virtual BOOL ClearCommError(HANDLE hFile, DWORD* lpErrors, COMSTAT* lpStat) = 0;
    virtual BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) = 0;
    virtual BOOL WaitCommEvent(HANDLE hFile, DWORD* lpEvtMask, OVERLAPPED* lpOverlapped) = 0;
    virtual BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc) = 0;
    virtual BOOL GetCommModemStatus(HANDLE hFile, DWORD* lpModemStat) = 0;
    virtual BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) = 0;
    virtual BOOL TransmitCommChar(HANDLE hFile, char cChar) = 0;
    virtual BOOL GetCommProperties(HANDLE hFile, COMMPROP* lpCommProp) = 0;
    virtual BOOL FlushFileBuffers(HANDLE hFile) = 0;

    // Events
    virtual HANDLE CreateEventW(void* lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                                LPCWSTR lpName) = 0;
    virtual BOOL SetEvent(HANDLE hEvent) = 0;
    virtual BOOL ResetEvent(HANDLE hEvent) = 0;
    virtual DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) = 0;

    // Modules
    virtual HMODULE LoadLibraryW(LPCWSTR lpLibFileName) = 0;
    virtual HMODULE GetModuleHandleW(LPCWSTR lpModuleName) = 0;
    virtual FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) = 0;
    virtual BOOL FreeLibrary(HMODULE hLibModule) = 0;

    // Time and system
    virtual void Sleep(DWORD dwMilliseconds) = 0;
    virtual DWORD GetTickCount() = 0;
    virtual BOOL GetVersionExW(OSVERSIONINFOW* lpVersionInformation) = 0;

    // Threads and COM
    virtual HANDLE GetCurrentThread() = 0;
    virtual DWORD GetCurrentThreadId() = 0;
    virtual BOOL SetThreadPriority(HANDLE hThread, int nPriority) = 0;
    virtual HRESULT CoInitializeEx(void* pvReserved, DWORD dwCoInit) = 0;
    virtual void CoUninitialize() = 0;

    // Thread message queues. A thread has a queue from its first GetMessageW or PeekMessageW on;
    // until then PostThreadMessageW to it fails with ERROR_INVALID_THREAD_ID.
    virtual UINT RegisterWindowMessageW(LPCWSTR lpString) = 0;
    virtual BOOL PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) = 0;
    virtual BOOL GetMessageW(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) = 0;
    virtual BOOL PeekMessageW(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                              UINT wRemoveMsg) = 0;
    virtual LRESULT DispatchMessageW(const MSG* lpMsg) = 0;

    // Registry
    virtual LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                  HKEY* phkResult) = 0;
    virtual LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                                    DWORD dwOptions, REGSAM samDesired, void* lpSecurityAttributes,
                                    HKEY* phkResult, DWORD* lpdwDisposition) = 0;
    virtual LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName,
                                  DWORD* lpcchValueName, DWORD* lpReserved, DWORD* lpType,
                                  BYTE* lpData, DWORD* lpcbData) = 0;
    virtual LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD* lpReserved,
                                     DWORD* lpType, BYTE* lpData, DWORD* lpcbData) = 0;
    virtual LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                                   const BYTE* lpData, DWORD cbData) = 0;
    virtual LSTATUS RegCloseKey(HKEY hKey) = 0;
    // ntdll; callers reach it through GetProcAddress("ZwQueryKey") as on Windows.
    virtual NTSTATUS ZwQueryKey(HANDLE KeyHandle, int KeyInformationClass, void* KeyInformation,
                                ULONG Length, ULONG* ResultLength) = 0;

    // Print spooler: the port list of the legacy platform family.
    virtual BOOL EnumPortsW(LPWSTR pName, DWORD Level, BYTE* pPorts, DWORD cbBuf, DWORD* pcbNeeded,
                            DWORD* pcReturned) = 0;

    // User interface
    virtual HWND GetForegroundWindow() = 0;
    // The port configuration dialog of the port named lpszName ("COM3") for the record lpCC;
    // TRUE when the user confirms. Where the system has none (Linux) it is the application's:
    // see SetCommConfigDialogProvider.
    virtual BOOL CommConfigDialogW(LPCWSTR lpszName, HWND hWnd, COMMCONFIG* lpCC) = 0;
};

// The backend in force for the whole process: the native one unless a test or a tool has set
// another. Set it once, at start, before any thread uses it.
TWinApi& Api();
// Installs Backend (nullptr: the native one again) and returns the one that was in force, in the
// same terms (nullptr when it was the native one), so that a caller can put it back.
TWinApi* SetApi(TWinApi* Backend);
// The native backend of this system (posix/ or win32/).
TWinApi& NativeApi();

// The port configuration dialog on a system without one of its own (Linux): the application
// supplies a function with the meaning of CommConfigDialogW (show the settings of the port in the
// record, let the user change them, TRUE when confirmed), called on the thread that calls
// CommConfigDialogW. Without one, CommConfigDialogW fails with ERROR_CALL_NOT_IMPLEMENTED. The
// Windows backend shows the system's own dialog and does not use it.
using PFN_CommConfigDialog = BOOL (*)(LPCWSTR lpszName, HWND hWnd, COMMCONFIG* lpCC);
// Installs Provider (nullptr: none) and returns the one it replaces.
PFN_CommConfigDialog SetCommConfigDialogProvider(PFN_CommConfigDialog Provider);
PFN_CommConfigDialog CommConfigDialogProvider();

// Entry points that a backend hands out through GetProcAddress for the module names
// "kernel32.dll" and "ntdll.dll": small functions that forward to Api(). Null for other names.
FARPROC ForwardingExport(LPCSTR lpProcName);

} // namespace winapi
