#include "lxwin32di.h"

#include "lxsysutils.h"
#include "lxwin32.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <optional>

namespace lx {

using namespace winapi;

namespace {

// The binding table, in the order the entry points are bound. Names ending in "A" are bound
// under their wide-character form.
enum TEntry : std::size_t {
    eGetClassDevs,
    eDestroyDeviceInfoList,
    eEnumDeviceInfo,
    eGetDeviceRegistryProperty,
    eOpenDevRegKey,
    eEnumDeviceInterfaces,
    eGetDeviceInterfaceDetail,
    eCreateDeviceInfoList,
    eCreateDeviceInfo,
    eGetINFClass,
    eSetDeviceRegistryProperty,
    eCallClassInstaller,
    eGetDeviceInstanceId,
    eRemoveDevice,
    eUnremoveDevice,
    eOpenDeviceInfo,
    eSetClassInstallParams,
    eLocateDevNode,
    eGetDevNodeRegistryProperty,
    eGetParent,
    eGetDeviceIdListSize,
    eGetDeviceIdList,
    eGetChild,
    eGetSibling,
    eRequestDeviceEject,
    eEntryCount
};

struct TBinding {
    const char* StoredName;
    bool FromCmSource; // the configuration manager: SetupAPI.dll if it has it, else cfgmgr32.dll
    bool Required;
};

constexpr std::array<TBinding, eEntryCount> Bindings = {{
    {"SetupDiGetClassDevsA", false, true},
    {"SetupDiDestroyDeviceInfoList", false, true},
    {"SetupDiEnumDeviceInfo", false, true},
    {"SetupDiGetDeviceRegistryPropertyA", false, true},
    {"SetupDiOpenDevRegKey", false, true},
    {"SetupDiEnumDeviceInterfaces", false, true},
    {"SetupDiGetDeviceInterfaceDetailA", false, true},
    {"SetupDiCreateDeviceInfoList", false, true},
    {"SetupDiCreateDeviceInfoA", false, true},
    {"SetupDiGetINFClassA", false, true},
    {"SetupDiSetDeviceRegistryPropertyA", false, true},
    {"SetupDiCallClassInstaller", false, true},
    {"SetupDiGetDeviceInstanceIdA", false, true},
    {"SetupDiRemoveDevice", false, false},
    {"SetupDiUnremoveDevice", false, false},
    {"SetupDiOpenDeviceInfoA", false, false},
    {"SetupDiSetClassInstallParamsA", false, true},
    {"CM_Locate_DevNodeA", true, true},
    {"CM_Get_DevNode_Registry_PropertyA", true, true},
    {"CM_Get_Parent", true, true},
    {"CM_Get_Device_ID_List_SizeA", true, true},
    {"CM_Get_Device_ID_ListA", true, true},
    {"CM_Get_Child", true, true},
    {"CM_Get_Sibling", true, true},
    {"CM_Request_Device_EjectA", true, false},
}};

// One per process, released at program end (the unit's finalization). The enumeration runs on the
// thread that owns the serial components; the lock only keeps a tool or a test that enumerates from
// two threads from tearing the table.
struct TModuleState {
    std::mutex Lock;
    HMODULE SetupApi = nullptr;
    HMODULE CfgMgr = nullptr;
    std::array<FARPROC, eEntryCount> Procs{};

    ~TModuleState() { Release(); }

    void Release() {
        for (HMODULE* Module : {&SetupApi, &CfgMgr}) {
            if (*Module != nullptr) {
                Api().FreeLibrary(*Module);
                *Module = nullptr;
            }
        }
        Procs.fill(nullptr);
    }
};

TModuleState& State() {
    static TModuleState Instance;
    return Instance;
}

FARPROC Bind(HMODULE Module, TEntry Entry) {
    if (Module == nullptr) {
        return nullptr;
    }
    const std::string_view Stored = Bindings[Entry].StoredName;
    const std::string Name = Stored.back() == 'A' ? ToWideApiName(Stored) : std::string(Stored);
    return Api().GetProcAddress(Module, Name.c_str());
}

// Binds every row from its library; the configuration manager comes from SetupAPI.dll when that
// exports CM_Locate_DevNodeW, else from cfgmgr32.dll.
void BindAll(TModuleState& S) {
    for (std::size_t Entry = 0; Entry < eEntryCount; ++Entry) {
        if (!Bindings[Entry].FromCmSource) {
            S.Procs[Entry] = Bind(S.SetupApi, TEntry(Entry));
        }
    }
    HMODULE CmSource = S.SetupApi;
    S.Procs[eLocateDevNode] = Bind(S.SetupApi, eLocateDevNode);
    if (S.Procs[eLocateDevNode] == nullptr) {
        if (S.CfgMgr == nullptr) {
            S.CfgMgr = Api().LoadLibraryW(u"cfgmgr32.dll");
        }
        CmSource = S.CfgMgr;
        S.Procs[eLocateDevNode] = Bind(CmSource, eLocateDevNode);
    }
    for (std::size_t Entry = 0; Entry < eEntryCount; ++Entry) {
        if (Bindings[Entry].FromCmSource && Entry != eLocateDevNode) {
            S.Procs[Entry] = Bind(CmSource, TEntry(Entry));
        }
    }
}

bool AllRequiredBound(const TModuleState& S) {
    for (std::size_t Entry = 0; Entry < eEntryCount; ++Entry) {
        if (Bindings[Entry].Required && S.Procs[Entry] == nullptr) {
            return false;
        }
    }
    return true;
}

// The entry points this unit calls, typed, copied out of the module state.
struct TCalls {
    PFN_SetupDiGetClassDevsW GetClassDevs;
    PFN_SetupDiDestroyDeviceInfoList DestroyDeviceInfoList;
    PFN_SetupDiEnumDeviceInfo EnumDeviceInfo;
    PFN_SetupDiGetDeviceRegistryPropertyW GetDeviceRegistryProperty;
    PFN_SetupDiOpenDevRegKey OpenDevRegKey;
    PFN_SetupDiEnumDeviceInterfaces EnumDeviceInterfaces;
    PFN_SetupDiGetDeviceInterfaceDetailW GetDeviceInterfaceDetail;
    PFN_SetupDiGetDeviceInstanceIdW GetDeviceInstanceId;
    PFN_CM_Get_Device_ID_List_SizeW GetDeviceIdListSize;
    PFN_CM_Get_Device_ID_ListW GetDeviceIdList;
};

// Loads the services if needed; false when they cannot be used.
bool BoundCalls(TCalls& Calls) {
    if (!LoadSetupApi()) {
        return false;
    }
    TModuleState& S = State();
    std::lock_guard Lock(S.Lock);
    Calls = {ProcAs<PFN_SetupDiGetClassDevsW>(S.Procs[eGetClassDevs]),
             ProcAs<PFN_SetupDiDestroyDeviceInfoList>(S.Procs[eDestroyDeviceInfoList]),
             ProcAs<PFN_SetupDiEnumDeviceInfo>(S.Procs[eEnumDeviceInfo]),
             ProcAs<PFN_SetupDiGetDeviceRegistryPropertyW>(S.Procs[eGetDeviceRegistryProperty]),
             ProcAs<PFN_SetupDiOpenDevRegKey>(S.Procs[eOpenDevRegKey]),
             ProcAs<PFN_SetupDiEnumDeviceInterfaces>(S.Procs[eEnumDeviceInterfaces]),
             ProcAs<PFN_SetupDiGetDeviceInterfaceDetailW>(S.Procs[eGetDeviceInterfaceDetail]),
             ProcAs<PFN_SetupDiGetDeviceInstanceIdW>(S.Procs[eGetDeviceInstanceId]),
             ProcAs<PFN_CM_Get_Device_ID_List_SizeW>(S.Procs[eGetDeviceIdListSize]),
             ProcAs<PFN_CM_Get_Device_ID_ListW>(S.Procs[eGetDeviceIdList])};
    // Another thread may have unloaded the services in between.
    return Calls.GetClassDevs != nullptr;
}

// The record sizes are the platform's own for this process: 28 and 6 bytes in a 32-bit one,
// 32 and 8 in a 64-bit one, which rejects the smaller values.
SP_DEVINFO_DATA NewDevInfo() {
    SP_DEVINFO_DATA DevInfo{};
    DevInfo.cbSize = sizeof(SP_DEVINFO_DATA);
    return DevInfo;
}

SP_DEVICE_INTERFACE_DATA NewInterfaceData() {
    SP_DEVICE_INTERFACE_DATA Iface{};
    Iface.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    return Iface;
}

// Asks for the detail block of Iface and returns its device path, nothing on failure. Required is
// the size the first call reported.
std::optional<std::u16string> InterfacePath(const TCalls& Calls, HDEVINFO Set,
                                            SP_DEVICE_INTERFACE_DATA& Iface, DWORD Required,
                                            DWORD* RequiredOut, SP_DEVINFO_DATA& DevInfo) {
    // Room for cbSize at least, whatever size was reported.
    const SIZE_T BlockBytes = std::max<SIZE_T>(Required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
    auto* Block = static_cast<BYTE*>(Api().LocalAlloc(LMEM_ZEROINIT, BlockBytes));
    if (Block == nullptr) {
        return {};
    }
    auto* Detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(Block);
    Detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    std::optional<std::u16string> Path;
    if (Calls.GetDeviceInterfaceDetail(Set, &Iface, Detail, Required, RequiredOut, &DevInfo) !=
        FALSE) {
        Path.emplace();
        // The path is NUL-terminated; a block without a terminator ends it at its last byte.
        for (SIZE_T Offset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
             Offset + sizeof(WCHAR) <= BlockBytes; Offset += sizeof(WCHAR)) {
            WCHAR Char = 0;
            std::memcpy(&Char, Block + Offset, sizeof(WCHAR));
            if (Char == 0) {
                break;
            }
            Path->push_back(Char);
        }
    }
    Api().LocalFree(Block);
    return Path;
}

// The text properties every record carries, read for the device in DevInfo.
void ReadProperties(HDEVINFO Set, const SP_DEVINFO_DATA& DevInfo, TPnpDevice& Device) {
    Device.Driver = GetDeviceRegistryString(Set, DevInfo, SPDRP_DRIVER);
    Device.Service = GetDeviceRegistryString(Set, DevInfo, SPDRP_SERVICE);
    Device.NamePDO = GetDeviceRegistryString(Set, DevInfo, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME);
    Device.Description = GetDeviceRegistryString(Set, DevInfo, SPDRP_DEVICEDESC);
    Device.Manufacturer = GetDeviceRegistryString(Set, DevInfo, SPDRP_MFG);
    Device.GuidClass = DevInfo.ClassGuid;
}

// The hardware key's path, its port name and its symbolic name.
void ReadHardwareKey(const TCalls& Calls, HDEVINFO Set, SP_DEVINFO_DATA& DevInfo,
                     TPnpDevice& Device) {
    const HKEY Key =
        Calls.OpenDevRegKey(Set, &DevInfo, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (reinterpret_cast<HANDLE>(Key) == INVALID_HANDLE_VALUE) {
        return;
    }
    HKEY Root = nullptr;
    GetRegistryKeyPath(Key, &Root, Device.RegKey);
    Api().RegCloseKey(Key);
    Device.NameSymbolic = RegReadString(HKEY_LOCAL_MACHINE, Device.RegKey, u"SymbolicName");
    Device.PortName = RegReadString(HKEY_LOCAL_MACHINE, Device.RegKey, u"PortName");
}

void ReadInstance(const TCalls& Calls, HDEVINFO Set, SP_DEVINFO_DATA& DevInfo, TPnpDevice& Device) {
    constexpr DWORD Capacity = 256;
    WCHAR Buffer[Capacity] = {};
    DWORD Required = 0;
    if (Calls.GetDeviceInstanceId(Set, &DevInfo, Buffer, Capacity, &Required) == FALSE ||
        Required == 0) {
        return;
    }
    Device.InstanceId.assign(Buffer, std::min<DWORD>(Required - 1, Capacity - 1));
    Device.DevInst = DevInfo.DevInst;
    Device.BusRelations = GetDeviceIdList(Device.InstanceId, u";", true);
}

void ReadFirstInterface(const TCalls& Calls, HDEVINFO Set, SP_DEVINFO_DATA& DevInfo,
                        const GUID* Guid, TPnpDevice& Device) {
    SP_DEVICE_INTERFACE_DATA Iface = NewInterfaceData();
    if (Calls.EnumDeviceInterfaces(Set, &DevInfo, Guid, 0, &Iface) == FALSE) {
        return;
    }
    DWORD Required = 0;
    Calls.GetDeviceInterfaceDetail(Set, &Iface, nullptr, 0, &Required, nullptr);
    if (Required == 0) {
        return;
    }
    if (std::optional<std::u16string> Path =
            InterfacePath(Calls, Set, Iface, Required, nullptr, DevInfo)) {
        Device.NameSymbolic = std::move(*Path);
    }
}

void Append(TPnpDeviceList& List, std::unique_ptr<TPnpDevice> Device) {
    std::u16string Text = Device->Driver;
    List.push_back({std::move(Text), std::move(Device)});
}

void EnumDevices(const TCalls& Calls, HDEVINFO Set, const GUID* Guid, bool WithInterface,
                 TPnpDeviceList& List) {
    SP_DEVINFO_DATA DevInfo = NewDevInfo();
    for (DWORD Index = 0; Calls.EnumDeviceInfo(Set, Index, &DevInfo) != FALSE; ++Index) {
        auto Device = std::make_unique<TPnpDevice>();
        ReadProperties(Set, DevInfo, *Device);
        ReadHardwareKey(Calls, Set, DevInfo, *Device);
        ReadInstance(Calls, Set, DevInfo, *Device);
        if (WithInterface) {
            ReadFirstInterface(Calls, Set, DevInfo, Guid, *Device);
        }
        Append(List, std::move(Device));
    }
}

void EnumInterfaces(const TCalls& Calls, HDEVINFO Set, const GUID* Guid, TPnpDeviceList& List) {
    SP_DEVICE_INTERFACE_DATA Iface = NewInterfaceData();
    for (DWORD Index = 0; Calls.EnumDeviceInterfaces(Set, nullptr, Guid, Index, &Iface) != FALSE;
         ++Index, Iface = NewInterfaceData()) {
        SP_DEVINFO_DATA DevInfo = NewDevInfo();
        DWORD Required = 0;
        Calls.GetDeviceInterfaceDetail(Set, &Iface, nullptr, 0, &Required, &DevInfo);
        if (Required == 0 || Api().GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            continue;
        }
        std::optional<std::u16string> Path =
            InterfacePath(Calls, Set, Iface, Required, &Required, DevInfo);
        if (!Path) {
            continue;
        }
        auto Device = std::make_unique<TPnpDevice>();
        ReadProperties(Set, DevInfo, *Device);
        Device->NameSymbolic = std::move(*Path);
        Append(List, std::move(Device));
    }
}

} // namespace

bool LoadSetupApi() {
    TModuleState& S = State();
    std::lock_guard Lock(S.Lock);
    if (S.SetupApi != nullptr) {
        return true;
    }
    S.SetupApi = Api().LoadLibraryW(u"SetupAPI.dll");
    if (S.SetupApi == nullptr) {
        return false;
    }
    BindAll(S);
    if (!AllRequiredBound(S)) {
        S.Release();
        return false;
    }
    return true;
}

void EnumPnpDevices(const GUID* Guid, bool PresentOnly, bool ByDeviceInfo, TPnpDeviceList& List,
                    bool WithInterface) {
    TCalls Calls{};
    if (!BoundCalls(Calls)) {
        return;
    }
    DWORD Flags = PresentOnly ? DIGCF_PRESENT : 0;
    Flags |= WithInterface ? DIGCF_DEVICEINTERFACE : 0;
    Flags |= Guid == nullptr ? DIGCF_ALLCLASSES : 0;
    const HDEVINFO Set = Calls.GetClassDevs(Guid, nullptr, nullptr, Flags);
    if (Set == INVALID_HANDLE_VALUE) {
        return;
    }
    if (ByDeviceInfo) {
        EnumDevices(Calls, Set, Guid, WithInterface, List);
    } else {
        EnumInterfaces(Calls, Set, Guid, List);
    }
    Calls.DestroyDeviceInfoList(Set);
}

std::u16string GetDeviceRegistryString(HDEVINFO Set, const SP_DEVINFO_DATA& DevInfo,
                                       DWORD Property) {
    TCalls Calls{};
    if (!BoundCalls(Calls)) {
        return {};
    }
    // 512 bytes: 255 characters and the terminator. A longer property fails and reads as empty.
    constexpr DWORD Capacity = 512;
    WCHAR Buffer[Capacity / sizeof(WCHAR)] = {};
    SP_DEVINFO_DATA Copy = DevInfo;
    DWORD Required = 0;
    if (Calls.GetDeviceRegistryProperty(Set, &Copy, Property, nullptr,
                                        reinterpret_cast<BYTE*>(Buffer), Capacity,
                                        &Required) == FALSE ||
        Required < sizeof(WCHAR)) {
        return {};
    }
    return std::u16string(Buffer, std::min<DWORD>(Required, Capacity) / sizeof(WCHAR) - 1);
}

std::u16string GetDeviceIdList(std::u16string_view Filter, std::u16string_view Separator,
                               bool BusRelations) {
    TCalls Calls{};
    if (!BoundCalls(Calls)) {
        return {};
    }
    const ULONG Flags =
        BusRelations ? CM_GETIDLIST_FILTER_BUSRELATIONS : CM_GETIDLIST_FILTER_REMOVALRELATIONS;
    const std::u16string FilterText(Filter);
    ULONG Length = 0;
    // The whole system's list is some ten thousand characters; a length far beyond any real one
    // is not allocated.
    constexpr ULONG MaxLength = 1u << 24;
    if (Calls.GetDeviceIdListSize(&Length, FilterText.c_str(), Flags) != CR_SUCCESS ||
        Length == 0 || Length > MaxLength) {
        return {};
    }
    std::vector<WCHAR> Buffer(Length);
    if (Calls.GetDeviceIdList(FilterText.c_str(), Buffer.data(), Length, Flags) != CR_SUCCESS) {
        return {};
    }
    return MultiSzToString(Buffer.data(), int(Length), Separator);
}

void UnloadSetupApi() {
    TModuleState& S = State();
    std::lock_guard Lock(S.Lock);
    S.Release();
}

} // namespace lx
