#include "lxwin32.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

namespace lx {

using namespace winapi;

namespace {

// A new transfer starts from a clean record but keeps the event the caller put in it.
void ClearOverlapped(OVERLAPPED& Overlapped) {
    Overlapped.Internal = 0;
    Overlapped.InternalHigh = 0;
    Overlapped.Offset = 0;
    Overlapped.OffsetHigh = 0;
}

bool IsBlank(char16_t Char) {
    return Char <= 0x20;
}

std::u16string Trim(std::u16string_view Text) {
    while (!Text.empty() && IsBlank(Text.front())) {
        Text.remove_prefix(1);
    }
    while (!Text.empty() && IsBlank(Text.back())) {
        Text.remove_suffix(1);
    }
    return std::u16string(Text);
}

std::u16string UpperCase(std::u16string Text) {
    for (char16_t& Char : Text) {
        if (Char >= u'a' && Char <= u'z') {
            Char = char16_t(Char - u'a' + u'A');
        }
    }
    return Text;
}

bool StartsWithCom(std::u16string_view Port) {
    return Port.substr(0, 3) == u"COM";
}

// The number after "COM": decimal digits only, within int. Anything else is not a port number.
bool PortNumber(std::u16string_view Port, int& Number) {
    const std::u16string_view Digits = Port.substr(std::min<std::size_t>(3, Port.size()));
    if (Digits.empty()) {
        return false;
    }
    long long Value = 0;
    for (char16_t Char : Digits) {
        if (Char < u'0' || Char > u'9') {
            return false;
        }
        Value = Value * 10 + (Char - u'0');
        if (Value > std::numeric_limits<int>::max()) {
            return false;
        }
    }
    Number = int(Value);
    return true;
}

// The registry's port list holds 260-byte names and data; one pass with fixed buffers.
constexpr DWORD SerialCommNameChars = 130;
constexpr DWORD SerialCommDataBytes = 260;

// The data of a SERIALCOMM value: a UTF-16 text up to its first NUL, never past what was read.
std::u16string_view DataText(const WCHAR* Data, DWORD Bytes) {
    const std::u16string_view Read(Data, std::min(Bytes, SerialCommDataBytes) / sizeof(WCHAR));
    return Read.substr(0, Read.find(u'\0'));
}

void AddRegisteredPort(std::u16string_view ValueName, std::u16string_view Data,
                       bool WithDeviceNames, TPortList& List) {
    const std::u16string Port = Trim(UpperCase(std::u16string(Data)));
    int Number = 0;
    if (!StartsWithCom(Port) || List.IndexOfName(Port) >= 0 || !PortNumber(Port, Number)) {
        return;
    }
    if (WithDeviceNames) {
        AddPortSorted(Port + u"=" + std::u16string(ValueName), Number, List);
    } else {
        AddPortSorted(Port, Number, List);
    }
}

void EnumRegisteredPorts(TPortList& List, bool WithDeviceNames) {
    HKEY Key = nullptr;
    if (Api().RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                            KEY_QUERY_VALUE, &Key) != ERROR_SUCCESS) {
        return;
    }
    WCHAR Name[SerialCommNameChars];
    WCHAR Data[SerialCommDataBytes / sizeof(WCHAR)];
    for (DWORD Index = 0;; ++Index) {
        DWORD NameChars = SerialCommNameChars;
        DWORD DataBytes = SerialCommDataBytes;
        if (Api().RegEnumValueW(Key, Index, Name, &NameChars, nullptr, nullptr,
                                reinterpret_cast<BYTE*>(Data), &DataBytes) != ERROR_SUCCESS) {
            break;
        }
        const std::u16string_view ValueName(Name, std::min(NameChars, SerialCommNameChars - 1));
        AddRegisteredPort(ValueName, DataText(Data, DataBytes), WithDeviceNames, List);
    }
    Api().RegCloseKey(Key);
}

// The legacy family names its ports "COM1:"; the list carries them as "COM1=".
void AddSpoolerPort(LPCWSTR PortName, TPortList& List) {
    if (PortName == nullptr || !StartsWithCom(PortName)) {
        return;
    }
    std::u16string Port(PortName);
    const std::size_t Colon = Port.find(u':');
    if (Colon != std::u16string::npos) {
        Port.erase(Colon, 1);
    }
    Port = Trim(Port);
    int Number = 0;
    if (PortNumber(Port, Number)) {
        AddPortSorted(Port + u"=", Number, List);
    }
}

void EnumSpoolerPorts(TPortList& List) {
    DWORD Needed = 0;
    DWORD Returned = 0;
    if (Api().EnumPortsW(nullptr, 1, nullptr, 0, &Needed, &Returned) != FALSE ||
        Api().GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return;
    }
    // Whole 8-byte words keep the records that open the buffer aligned.
    std::vector<std::uint64_t> Buffer((Needed + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    if (Api().EnumPortsW(nullptr, 1, reinterpret_cast<BYTE*>(Buffer.data()), Needed, &Needed,
                         &Returned) == FALSE) {
        return;
    }
    const auto* Ports = reinterpret_cast<const PORT_INFO_1W*>(Buffer.data());
    const std::size_t Count =
        std::min<std::size_t>(Returned, Buffer.size() * sizeof(std::uint64_t) / sizeof(*Ports));
    for (std::size_t Index = 0; Index < Count; ++Index) {
        AddSpoolerPort(Ports[Index].pName, List);
    }
}

bool IsLegacyPlatform() {
    OSVERSIONINFOW Version{};
    Version.dwOSVersionInfoSize = sizeof(Version);
    Api().GetVersionExW(&Version);
    return Version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS;
}

// Reads the kernel name of Key, e.g. \REGISTRY\MACHINE\SYSTEM\...; false when the key has none.
bool QueryKeyName(PFN_ZwQueryKey ZwQueryKey, HKEY Key, std::u16string& Name) {
    ULONG Length = 0;
    ZwQueryKey(Key, KeyNameInformation, nullptr, 0, &Length);
    if (Length < sizeof(ULONG) || Length > std::numeric_limits<ULONG>::max() - sizeof(WCHAR)) {
        return false;
    }
    // Two zero bytes more than asked for: the system does not terminate the name.
    const ULONG BlockBytes = Length + sizeof(WCHAR);
    auto* Block = static_cast<BYTE*>(Api().LocalAlloc(LMEM_ZEROINIT, BlockBytes));
    if (Block == nullptr) {
        return false;
    }
    const bool Named = ZwQueryKey(Key, KeyNameInformation, Block, BlockBytes, &Length) >= 0;
    if (Named) {
        const BYTE* Text = Block + offsetof(KEY_NAME_INFORMATION, Name);
        const std::size_t MaxChars = (BlockBytes - offsetof(KEY_NAME_INFORMATION, Name)) / 2;
        Name.clear();
        for (std::size_t Index = 0; Index < MaxChars; ++Index) {
            WCHAR Char = 0;
            std::memcpy(&Char, Text + Index * sizeof(WCHAR), sizeof(WCHAR));
            if (Char == 0) {
                break;
            }
            Name.push_back(Char);
        }
    }
    Api().LocalFree(Block);
    return Named;
}

// Splits a kernel key path into a predefined root and the path under it; the user hive's first
// component is the user's security identifier, which no caller can use as a path.
void SplitRootKey(HKEY& Root, std::u16string& Path) {
    constexpr std::size_t RootStart = 9; // just after "\REGISTRY"
    if (Path.find(u"\\MACHINE\\") == RootStart) {
        Root = HKEY_LOCAL_MACHINE;
        Path.erase(0, 18);
    } else if (Path.find(u"\\USER\\") == RootStart) {
        Root = HKEY_CURRENT_USER;
        Path.erase(0, 15);
        const std::size_t Sid = Path.find(u'\\');
        if (Sid != std::u16string::npos) {
            Path.erase(0, Sid + 1);
        }
    } else {
        Root = nullptr;
    }
}

std::u16string QueryStringValue(HKEY Key, const std::u16string& ValueName) {
    DWORD Type = 0;
    DWORD Size = 0;
    if (Api().RegQueryValueExW(Key, ValueName.c_str(), nullptr, &Type, nullptr, &Size) !=
        ERROR_SUCCESS) {
        return {};
    }
    std::u16string Text(Size / sizeof(WCHAR) + 1, u'\0');
    if (Api().RegQueryValueExW(Key, ValueName.c_str(), nullptr, &Type,
                               reinterpret_cast<BYTE*>(Text.data()), &Size) != ERROR_SUCCESS) {
        return {};
    }
    std::size_t Length = std::min<std::size_t>(Size / sizeof(WCHAR), Text.size());
    if (Type == REG_SZ && Length > 0 && Text[Length - 1] == u'\0') {
        --Length;
    }
    Text.resize(Length);
    return Text;
}

} // namespace

HANDLE OpenDeviceOverlapped(std::u16string_view Name) {
    const std::u16string Path = u"\\\\?\\" + std::u16string(Name);
    return Api().CreateFileW(Path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
}

bool WaitOverlappedResult(HANDLE Handle, OVERLAPPED& Overlapped, DWORD& Transferred,
                          DWORD& ErrorCode) {
    ErrorCode = Api().GetLastError();
    if (ErrorCode != ERROR_IO_PENDING) {
        return false;
    }
    const bool Done = Api().GetOverlappedResult(Handle, &Overlapped, &Transferred, TRUE) != FALSE;
    if (!Done) {
        ErrorCode = Api().GetLastError();
    }
    return Done;
}

bool WriteFileWait(HANDLE Handle, const void* Buffer, DWORD Count, OVERLAPPED& Overlapped) {
    ClearOverlapped(Overlapped);
    DWORD Written = 0;
    if (Api().WriteFile(Handle, Buffer, Count, &Written, &Overlapped) != FALSE) {
        return true;
    }
    DWORD ErrorCode = 0;
    return WaitOverlappedResult(Handle, Overlapped, Written, ErrorCode);
}

bool WriteFileAsync(HANDLE Handle, const void* Buffer, DWORD Count, OVERLAPPED& Overlapped) {
    ClearOverlapped(Overlapped);
    DWORD Written = 0;
    return Api().WriteFile(Handle, Buffer, Count, &Written, &Overlapped) != FALSE ||
           Api().GetLastError() == ERROR_IO_PENDING;
}

bool ReadFileWait(HANDLE Handle, void* Buffer, DWORD Count, OVERLAPPED& Overlapped) {
    ClearOverlapped(Overlapped);
    DWORD Read = 0;
    if (Api().ReadFile(Handle, Buffer, Count, &Read, &Overlapped) != FALSE) {
        return true;
    }
    DWORD ErrorCode = 0;
    return WaitOverlappedResult(Handle, Overlapped, Read, ErrorCode);
}

void EnumSerialPorts(TPortList& List, bool WithDeviceNames) {
    List.Clear();
    if (IsLegacyPlatform()) {
        EnumSpoolerPorts(List);
    } else {
        EnumRegisteredPorts(List, WithDeviceNames);
    }
}

bool CancelIoDynamic(HANDLE Handle) {
    // Bound on every call: the entry point is missing on the oldest systems.
    const HMODULE Kernel = Api().GetModuleHandleW(u"kernel32.dll");
    if (Kernel == nullptr) {
        return false;
    }
    const FARPROC Proc = Api().GetProcAddress(Kernel, "CancelIo");
    if (Proc == nullptr) {
        return false;
    }
    return ProcAs<PFN_CancelIo>(Proc)(Handle) != FALSE;
}

void GetRegistryKeyPath(HKEY Key, HKEY* Root, std::u16string& Path) {
    Path.clear();
    if (reinterpret_cast<HANDLE>(Key) == INVALID_HANDLE_VALUE) {
        return;
    }
    const HMODULE Ntdll = Api().LoadLibraryW(u"ntdll.dll");
    if (Ntdll == nullptr) {
        return;
    }
    std::u16string Name;
    bool Named = false;
    if (const FARPROC Proc = Api().GetProcAddress(Ntdll, "ZwQueryKey")) {
        Named = QueryKeyName(ProcAs<PFN_ZwQueryKey>(Proc), Key, Name);
    }
    Api().FreeLibrary(Ntdll);
    if (!Named) {
        return;
    }
    Path = std::move(Name);
    if (Root != nullptr) {
        SplitRootKey(*Root, Path);
    }
}

std::u16string RegReadString(HKEY Root, std::u16string_view KeyPath,
                             std::u16string_view ValueName) {
    HKEY Key = nullptr;
    if (Api().RegOpenKeyExW(Root, std::u16string(KeyPath).c_str(), 0, KEY_READ, &Key) !=
        ERROR_SUCCESS) {
        return {};
    }
    std::u16string Text = QueryStringValue(Key, std::u16string(ValueName));
    Api().RegCloseKey(Key);
    return Text;
}

} // namespace lx
