#include "setupapi.h"

#include "lasterror.h"
#include "portmap.h"
#include "textcodec.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace winapi::posix {

namespace {

// The USB setup class, for the devices and interfaces that USB serial ports belong to.
constexpr GUID GUID_DEVCLASS_USB = {
    0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

constexpr std::u16string_view RootId = u"HTREE\\ROOT\\0";
constexpr std::u16string_view ComPortInterface = u"{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
constexpr std::u16string_view PortsClassText = u"{4d36e978-e325-11ce-bfc1-08002be10318}";
constexpr std::u16string_view UsbClassText = u"{36fc9e60-c465-11cf-8056-444553540000}";

struct TPnpNode {
    std::u16string InstanceId;
    std::u16string ParentId; // empty: a child of the root
    GUID ClassGuid{};
    bool Present = true;
    bool ComPort = false; // exposes GUID_DEVINTERFACE_COMPORT
    std::u16string PortName;
    std::u16string Description;
    std::u16string Manufacturer;
    std::u16string Service;
    std::u16string Driver;
    std::u16string PhysicalName;
};

std::u16string Upper(std::u16string Text) {
    std::transform(Text.begin(), Text.end(), Text.begin(), FoldCase);
    return Text;
}

// \\?\USB#VID_0403&PID_6001&MI_00#A6008ISP#{86e0d1e0-...}: the interface's device path.
std::u16string InterfacePath(const TPnpNode& Node) {
    std::u16string Path = Node.InstanceId;
    std::replace(Path.begin(), Path.end(), u'\\', u'#');
    return u"\\\\?\\" + Path + u"#" + std::u16string(ComPortInterface);
}

// \??\USB#...: the same interface as the kernel's object name, what the hardware key keeps.
std::u16string SymbolicName(const TPnpNode& Node) {
    return u"\\??\\" + InterfacePath(Node).substr(4);
}

TPnpNode FromSysfs(const TSysNode& Device, const TPortMap& Map) {
    TPnpNode Node{Device.InstanceId,
                  Device.ParentId,
                  GUID_DEVCLASS_PORTS,
                  true,
                  false,
                  {},
                  Device.Description,
                  Device.Manufacturer,
                  Device.Service,
                  Device.Driver,
                  FromUtf8(Device.SysPath)};
    if (Device.Kind == TSysKind::Usb) {
        Node.ClassGuid = GUID_DEVCLASS_USB;
    } else if (Device.Kind == TSysKind::Parallel) {
        Node.PortName = u"LPT" + FromUtf8(std::to_string(Device.Number + 1));
    } else {
        Node.ComPort = true;
        for (const TPortLink& Port : Map.Present) {
            if (Port.InstanceId == Device.InstanceId) {
                Node.PortName = Port.Name;
            }
        }
    }
    return Node;
}

TPnpNode FromKnown(const TKnownDevice& Known) {
    return {Known.InstanceId,
            {},
            GUID_DEVCLASS_PORTS,
            false,
            true,
            u"COM" + FromUtf8(std::to_string(Known.Number)),
            Known.Description,
            Known.Manufacturer,
            Known.Service,
            Known.Driver,
            {}};
}

TPnpNode FromLink(const TPortLink& Link, bool Present) {
    const bool Pty = Link.DevicePath.rfind("/dev/pts/", 0) == 0;
    return {u"LXCOMM\\PORTLINK\\" + Link.Name,
            {},
            GUID_DEVCLASS_PORTS,
            Present,
            true,
            Link.Name,
            Pty ? u"Pseudo-terminal" : u"Linked port",
            {},
            {},
            {},
            FromUtf8(Link.DevicePath)};
}

// Every device this system knows, ordered by instance id.
std::vector<TPnpNode> AllNodes() {
    const std::shared_ptr<const TPortMap> Map = CurrentPortMap();
    std::vector<TPnpNode> Nodes;
    for (const TSysNode& Device : Map->Devices) {
        Nodes.push_back(FromSysfs(Device, *Map));
    }
    for (const TKnownDevice& Known : Map->Known) {
        const bool Attached =
            std::any_of(Map->Devices.begin(), Map->Devices.end(), [&](const TSysNode& Device) {
                return Device.InstanceId == Known.InstanceId;
            });
        if (!Attached) {
            Nodes.push_back(FromKnown(Known));
        }
    }
    for (const TPortLink& Link : Map->Links) {
        if (Link.InstanceId.empty()) {
            const bool Present =
                std::any_of(Map->Present.begin(), Map->Present.end(),
                            [&](const TPortLink& Port) { return Port.LinkPath == Link.LinkPath; });
            Nodes.push_back(FromLink(Link, Present));
        }
    }
    std::sort(Nodes.begin(), Nodes.end(),
              [](const TPnpNode& A, const TPnpNode& B) { return A.InstanceId < B.InstanceId; });
    return Nodes;
}

std::optional<std::u16string> Property(const TPnpNode& Node, DWORD Code, DWORD& Type) {
    Type = REG_SZ;
    std::u16string Value;
    switch (Code) {
    case SPDRP_DEVICEDESC:
        Value = Node.Description;
        break;
    case SPDRP_HARDWAREID:
        // The instance id without its instance part, as a list of one.
        Type = REG_MULTI_SZ;
        Value = Node.InstanceId.substr(0, Node.InstanceId.rfind(u'\\')) + u'\0';
        break;
    case SPDRP_SERVICE:
        Value = Node.Service;
        break;
    case SPDRP_CLASS:
        Value = Node.ClassGuid == GUID_DEVCLASS_USB ? u"USB" : u"Ports";
        break;
    case SPDRP_CLASSGUID:
        Value = Node.ClassGuid == GUID_DEVCLASS_USB ? UsbClassText : PortsClassText;
        break;
    case SPDRP_DRIVER:
        Value = Node.Driver;
        break;
    case SPDRP_MFG:
        Value = Node.Manufacturer;
        break;
    case SPDRP_FRIENDLYNAME:
        Value = Node.PortName.empty() ? Node.Description
                                      : Node.Description + u" (" + Node.PortName + u")";
        break;
    case SPDRP_PHYSICAL_DEVICE_OBJECT_NAME:
        Value = Node.PhysicalName;
        break;
    default:
        return std::nullopt;
    }
    if (Value.empty()) {
        return std::nullopt;
    }
    return Value + u'\0';
}

// ---------------------------------------------------------------------------------------------
// Device nodes and sets, shared by every thread of the process

struct TDevInfoSet {
    std::vector<TPnpNode> Devices;
};

struct TState {
    std::mutex Lock;
    std::map<std::u16string, DEVINST> DevInstOfId; // by upper-cased instance id
    std::vector<std::u16string> IdOfDevInst;       // [DevInst - 1]
    std::map<HDEVINFO, std::unique_ptr<TDevInfoSet>> Sets;
};

TState& State() {
    // Never destroyed: other threads may enumerate while the process exits.
    static TState* const Instance = new TState();
    return *Instance;
}

// A node's number, the same for the whole life of the process. The root is 1.
DEVINST DevInstOf(TState& S, std::u16string_view InstanceId) {
    if (S.IdOfDevInst.empty()) {
        S.IdOfDevInst.emplace_back(RootId);
        S.DevInstOfId[Upper(std::u16string(RootId))] = 1;
    }
    const auto [Found, Added] = S.DevInstOfId.try_emplace(Upper(std::u16string(InstanceId)),
                                                          DEVINST(S.IdOfDevInst.size() + 1));
    if (Added) {
        S.IdOfDevInst.emplace_back(InstanceId);
    }
    return Found->second;
}

template <class T> T Fail(DWORD Error, T Result) {
    SetLastErrorCode(Error);
    return Result;
}

TDevInfoSet* FindSet(TState& S, HDEVINFO Set) {
    const auto Found = S.Sets.find(Set);
    return Found != S.Sets.end() ? Found->second.get() : nullptr;
}

// The device of Set that DevInfo names; null, with the last error set, when there is none.
const TPnpNode* FindDevice(TState& S, HDEVINFO Set, const SP_DEVINFO_DATA* DevInfo) {
    const TDevInfoSet* Found = FindSet(S, Set);
    if (Found == nullptr) {
        return Fail(ERROR_INVALID_HANDLE, nullptr);
    }
    if (DevInfo == nullptr || DevInfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER, nullptr);
    }
    for (const TPnpNode& Node : Found->Devices) {
        if (DevInstOf(S, Node.InstanceId) == DevInfo->DevInst) {
            return &Node;
        }
    }
    return Fail(ERROR_NO_SUCH_DEVINST, nullptr);
}

void Describe(TState& S, const TPnpNode& Node, SP_DEVINFO_DATA& DevInfo) {
    DevInfo.ClassGuid = Node.ClassGuid;
    DevInfo.DevInst = DevInstOf(S, Node.InstanceId);
}

bool Selected(const TPnpNode& Node, const GUID* Guid, std::u16string_view Enumerator, DWORD Flags) {
    if ((Flags & DIGCF_PRESENT) != 0 && !Node.Present) {
        return false;
    }
    if (!Enumerator.empty() && !SameName(Node.InstanceId.substr(0, Enumerator.size() + 1),
                                         std::u16string(Enumerator) + u"\\")) {
        return false;
    }
    const bool AnyClass = (Flags & DIGCF_ALLCLASSES) != 0;
    if ((Flags & DIGCF_DEVICEINTERFACE) != 0) {
        return Node.ComPort && (AnyClass || *Guid == GUID_DEVINTERFACE_COMPORT);
    }
    return AnyClass || Node.ClassGuid == *Guid;
}

// The devices of Set that expose an interface of Class (null: any), one interface each.
std::vector<const TPnpNode*> InterfaceDevices(const TDevInfoSet& Set, const GUID* Class) {
    std::vector<const TPnpNode*> Found;
    for (const TPnpNode& Node : Set.Devices) {
        if (Node.ComPort && (Class == nullptr || *Class == GUID_DEVINTERFACE_COMPORT)) {
            Found.push_back(&Node);
        }
    }
    return Found;
}

bool CopyOut(std::u16string_view Text, BYTE* Buffer, DWORD Size, DWORD* Required) {
    const auto Bytes = DWORD(Text.size() * sizeof(char16_t));
    if (Required != nullptr) {
        *Required = Bytes;
    }
    if (Buffer == nullptr || Size < Bytes) {
        return Fail(ERROR_INSUFFICIENT_BUFFER, false);
    }
    std::memcpy(Buffer, Text.data(), Bytes);
    return true;
}

std::u16string HardwareKeyPath(const TPnpNode& Node) {
    return u"SYSTEM\\CurrentControlSet\\Enum\\" + Node.InstanceId + u"\\Device Parameters";
}

// Writes Value unless the key already holds exactly it, so that listing devices does not
// rewrite the store each time.
LSTATUS EnsureText(HKEY Key, const char16_t* Name, const std::u16string& Value) {
    TWinApi& Registry = NativeApi();
    const std::u16string Data = Value + u'\0';
    const auto Bytes = DWORD(Data.size() * sizeof(char16_t));
    std::vector<BYTE> Stored(Bytes + 2);
    DWORD Type = REG_NONE;
    DWORD Size = DWORD(Stored.size());
    if (Registry.RegQueryValueExW(Key, Name, nullptr, &Type, Stored.data(), &Size) ==
            ERROR_SUCCESS &&
        Type == REG_SZ && Size == Bytes && std::memcmp(Stored.data(), Data.data(), Bytes) == 0) {
        return ERROR_SUCCESS;
    }
    return Registry.RegSetValueExW(Key, Name, 0, REG_SZ, reinterpret_cast<const BYTE*>(Data.data()),
                                   Bytes);
}

// Brings the hardware key up to date with the device.
LSTATUS UpdateHardwareKey(const TPnpNode& Node) {
    TWinApi& Registry = NativeApi();
    HKEY Key = nullptr;
    LSTATUS Status = Registry.RegCreateKeyExW(
        HKEY_LOCAL_MACHINE, HardwareKeyPath(Node).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &Key, nullptr);
    if (Status != ERROR_SUCCESS) {
        return Status;
    }
    if (!Node.PortName.empty()) {
        Status = EnsureText(Key, u"PortName", Node.PortName);
    }
    if (Status == ERROR_SUCCESS && Node.ComPort) {
        Status = EnsureText(Key, u"SymbolicName", SymbolicName(Node));
    }
    Registry.RegCloseKey(Key);
    return Status;
}

// --- SetupAPI.dll ------------------------------------------------------------------------------

HDEVINFO LX_WINAPI GetClassDevs(const GUID* ClassGuid, LPCWSTR Enumerator, HWND, DWORD Flags) {
    if (ClassGuid == nullptr && (Flags & DIGCF_ALLCLASSES) == 0) {
        return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    auto Set = std::make_unique<TDevInfoSet>();
    const std::u16string_view Filter = Enumerator != nullptr ? Enumerator : u"";
    for (TPnpNode& Node : AllNodes()) {
        if (Selected(Node, ClassGuid, Filter, Flags)) {
            Set->Devices.push_back(std::move(Node));
        }
    }
    TState& S = State();
    std::lock_guard Lock(S.Lock);
    const HDEVINFO Handle = Set.get();
    S.Sets[Handle] = std::move(Set);
    return Handle;
}

HDEVINFO LX_WINAPI CreateDeviceInfoList(const GUID*, HWND) {
    auto Set = std::make_unique<TDevInfoSet>();
    TState& S = State();
    std::lock_guard Lock(S.Lock);
    const HDEVINFO Handle = Set.get();
    S.Sets[Handle] = std::move(Set);
    return Handle;
}

BOOL LX_WINAPI DestroyDeviceInfoList(HDEVINFO Set) {
    TState& S = State();
    std::lock_guard Lock(S.Lock);
    return S.Sets.erase(Set) != 0 ? TRUE : Fail(ERROR_INVALID_HANDLE, FALSE);
}

BOOL LX_WINAPI EnumDeviceInfo(HDEVINFO Set, DWORD MemberIndex, SP_DEVINFO_DATA* DevInfo) {
    TState& S = State();
    std::lock_guard Lock(S.Lock);
    const TDevInfoSet* Found = FindSet(S, Set);
    if (Found == nullptr) {
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    if (DevInfo == nullptr || DevInfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
    }
    if (MemberIndex >= Found->Devices.size()) {
        return Fail(ERROR_NO_MORE_ITEMS, FALSE);
    }
    Describe(S, Found->Devices[MemberIndex], *DevInfo);
    return TRUE;
}

BOOL LX_WINAPI GetDeviceRegistryProperty(HDEVINFO Set, SP_DEVINFO_DATA* DevInfo, DWORD Code,
                                         DWORD* Type, BYTE* Buffer, DWORD BufferSize,
                                         DWORD* RequiredSize) {
    TState& S = State();
    std::lock_guard Lock(S.Lock);
    const TPnpNode* Node = FindDevice(S, Set, DevInfo);
    if (Node == nullptr) {
        return FALSE;
    }
    DWORD ValueType = REG_NONE;
    const std::optional<std::u16string> Value = Property(*Node, Code, ValueType);
    if (!Value) {
        return Fail(ERROR_INVALID_DATA, FALSE);
    }
    if (Type != nullptr) {
        *Type = ValueType;
    }
    return CopyOut(*Value, Buffer, BufferSize, RequiredSize) ? TRUE : FALSE;
}

HKEY LX_WINAPI OpenDevRegKey(HDEVINFO Set, SP_DEVINFO_DATA* DevInfo, DWORD Scope, DWORD,
                             DWORD KeyType, REGSAM samDesired) {
    const HKEY Invalid = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    std::optional<TPnpNode> Node;
    {
        TState& S = State();
        std::lock_guard Lock(S.Lock);
        const TPnpNode* Found = FindDevice(S, Set, DevInfo);
        if (Found == nullptr) {
            return Invalid;
        }
        Node = *Found;
    }
    if (Scope != DICS_FLAG_GLOBAL || (KeyType != DIREG_DEV && KeyType != DIREG_DRV)) {
        return Fail(ERROR_INVALID_FLAGS, Invalid);
    }
    // Drivers keep no settings of their own here.
    if (KeyType == DIREG_DRV) {
        return Fail(ERROR_KEY_DOES_NOT_EXIST, Invalid);
    }
    HKEY Key = nullptr;
    LSTATUS Status = UpdateHardwareKey(*Node);
    if (Status == ERROR_SUCCESS) {
        Status = NativeApi().RegOpenKeyExW(HKEY_LOCAL_MACHINE, HardwareKeyPath(*Node).c_str(), 0,
                                           samDesired, &Key);
    }
    return Status == ERROR_SUCCESS ? Key : Fail(DWORD(Status), Invalid);
}

BOOL LX_WINAPI EnumDeviceInterfaces(HDEVINFO Set, SP_DEVINFO_DATA* DevInfo, const GUID* Class,
                                    DWORD MemberIndex, SP_DEVICE_INTERFACE_DATA* Iface) {
    TState& S = State();
    std::lock_guard Lock(S.Lock);
    const TDevInfoSet* Found = FindSet(S, Set);
    if (Found == nullptr) {
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    if (Iface == nullptr || Iface->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
    }
    std::vector<const TPnpNode*> Devices = InterfaceDevices(*Found, Class);
    if (DevInfo != nullptr) {
        const TPnpNode* Only = FindDevice(S, Set, DevInfo);
        if (Only == nullptr) {
            return FALSE;
        }
        Devices.erase(std::remove_if(Devices.begin(), Devices.end(),
                                     [&](const TPnpNode* Node) { return Node != Only; }),
                      Devices.end());
    }
    if (MemberIndex >= Devices.size()) {
        return Fail(ERROR_NO_MORE_ITEMS, FALSE);
    }
    const TPnpNode& Node = *Devices[MemberIndex];
    Iface->InterfaceClassGuid = GUID_DEVINTERFACE_COMPORT;
    Iface->Flags = Node.Present ? SPINT_ACTIVE : 0;
    Iface->Reserved = DevInstOf(S, Node.InstanceId);
    return TRUE;
}

BOOL LX_WINAPI GetDeviceInterfaceDetail(HDEVINFO Set, SP_DEVICE_INTERFACE_DATA* Iface,
                                        SP_DEVICE_INTERFACE_DETAIL_DATA_W* Detail, DWORD DetailSize,
                                        DWORD* RequiredSize, SP_DEVINFO_DATA* DevInfo) {
    TState& S = State();
    std::lock_guard Lock(S.Lock);
    const TDevInfoSet* Found = FindSet(S, Set);
    if (Found == nullptr) {
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    if (Iface == nullptr || Iface->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
    }
    const auto Node =
        std::find_if(Found->Devices.begin(), Found->Devices.end(), [&](const TPnpNode& N) {
            return N.ComPort && DevInstOf(S, N.InstanceId) == Iface->Reserved;
        });
    if (Node == Found->Devices.end()) {
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    const std::u16string Path = InterfacePath(*Node) + u'\0';
    constexpr DWORD PathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    const auto Needed = DWORD(PathOffset + Path.size() * sizeof(char16_t));
    if (RequiredSize != nullptr) {
        *RequiredSize = Needed;
    }
    if (Detail != nullptr && Detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
    }
    if (DevInfo != nullptr && DevInfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
    }
    if (Detail == nullptr || DetailSize < Needed) {
        return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    }
    std::memcpy(reinterpret_cast<BYTE*>(Detail) + PathOffset, Path.data(),
                Path.size() * sizeof(char16_t));
    if (DevInfo != nullptr) {
        Describe(S, *Node, *DevInfo);
    }
    return TRUE;
}

BOOL LX_WINAPI GetDeviceInstanceId(HDEVINFO Set, SP_DEVINFO_DATA* DevInfo, LPWSTR Buffer,
                                   DWORD BufferSize, DWORD* RequiredSize) {
    TState& S = State();
    std::lock_guard Lock(S.Lock);
    const TPnpNode* Node = FindDevice(S, Set, DevInfo);
    if (Node == nullptr) {
        return FALSE;
    }
    const auto Needed = DWORD(Node->InstanceId.size() + 1);
    if (RequiredSize != nullptr) {
        *RequiredSize = Needed;
    }
    if (Buffer == nullptr || BufferSize < Needed) {
        return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    }
    std::copy(Node->InstanceId.begin(), Node->InstanceId.end(), Buffer);
    Buffer[Needed - 1] = 0;
    return TRUE;
}

// Installing drivers and devices: there are no driver packages to install here.
BOOL NotInstalledHere() {
    SetLastErrorCause(ERROR_NOT_SUPPORTED, "Devices and drivers are not installed through this "
                                           "program on Linux");
    return FALSE;
}

BOOL LX_WINAPI CreateDeviceInfo(HDEVINFO, LPCWSTR, const GUID*, LPCWSTR, HWND, DWORD,
                                SP_DEVINFO_DATA*) {
    return NotInstalledHere();
}

BOOL LX_WINAPI GetINFClass(LPCWSTR, GUID*, LPWSTR, DWORD, DWORD*) {
    return NotInstalledHere();
}

BOOL LX_WINAPI SetDeviceRegistryProperty(HDEVINFO, SP_DEVINFO_DATA*, DWORD, const BYTE*, DWORD) {
    return NotInstalledHere();
}

BOOL LX_WINAPI CallClassInstaller(UINT, HDEVINFO, SP_DEVINFO_DATA*) {
    return NotInstalledHere();
}

BOOL LX_WINAPI SetClassInstallParams(HDEVINFO, SP_DEVINFO_DATA*, void*, DWORD) {
    return NotInstalledHere();
}

// --- The configuration manager ----------------------------------------------------------------

// The present nodes of the tree, and the node a DEVINST names.
struct TTree {
    std::vector<TPnpNode> Nodes = AllNodes();

    const TPnpNode* Find(std::u16string_view InstanceId) const {
        for (const TPnpNode& Node : Nodes) {
            if (SameName(Node.InstanceId, InstanceId)) {
                return &Node;
            }
        }
        return nullptr;
    }
};

std::optional<std::u16string> IdOf(DEVINST DevInst) {
    TState& S = State();
    std::lock_guard Lock(S.Lock);
    if (DevInst == 0 || DevInst > S.IdOfDevInst.size()) {
        return std::nullopt;
    }
    return S.IdOfDevInst[DevInst - 1];
}

DEVINST NumberOf(std::u16string_view InstanceId) {
    TState& S = State();
    std::lock_guard Lock(S.Lock);
    return DevInstOf(S, InstanceId);
}

bool IsRoot(std::u16string_view InstanceId) {
    return SameName(InstanceId, RootId);
}

// The present children of a node (the root's: those without a parent), in instance id order.
std::vector<const TPnpNode*> Children(const TTree& Tree, std::u16string_view ParentId) {
    std::vector<const TPnpNode*> Found;
    for (const TPnpNode& Node : Tree.Nodes) {
        const bool Below =
            IsRoot(ParentId) ? Node.ParentId.empty() : SameName(Node.ParentId, ParentId);
        if (Node.Present && Below) {
            Found.push_back(&Node);
        }
    }
    return Found;
}

void Descendants(const TTree& Tree, std::u16string_view ParentId, std::u16string& List) {
    for (const TPnpNode* Child : Children(Tree, ParentId)) {
        List += Child->InstanceId + u'\0';
        Descendants(Tree, Child->InstanceId, List);
    }
}

// The device ids Flags and Filter ask for, each with its terminator, without the final NUL.
CONFIGRET IdList(LPCWSTR Filter, ULONG Flags, std::u16string& List) {
    const TTree Tree;
    const std::u16string_view FilterText = Filter != nullptr ? Filter : u"";
    if (Flags == CM_GETIDLIST_FILTER_NONE || Flags == CM_GETIDLIST_FILTER_ENUMERATOR) {
        // Every node, or those of one enumerator (the first part of their ids).
        const std::u16string Prefix = std::u16string(FilterText) + u"\\";
        const auto Listed = [&](std::u16string_view Id) {
            return Flags == CM_GETIDLIST_FILTER_NONE ||
                   SameName(Id.substr(0, Prefix.size()), Prefix);
        };
        if (Listed(RootId)) {
            List += std::u16string(RootId) + u'\0';
        }
        for (const TPnpNode& Node : Tree.Nodes) {
            if (Listed(Node.InstanceId)) {
                List += Node.InstanceId + u'\0';
            }
        }
        return CR_SUCCESS;
    }
    if (Flags != CM_GETIDLIST_FILTER_BUSRELATIONS &&
        Flags != CM_GETIDLIST_FILTER_REMOVALRELATIONS) {
        return CR_INVALID_FLAG;
    }
    const TPnpNode* Parent = Tree.Find(FilterText);
    if (!IsRoot(FilterText) && (Parent == nullptr || !Parent->Present)) {
        return CR_NO_SUCH_DEVNODE;
    }
    if (Flags == CM_GETIDLIST_FILTER_BUSRELATIONS) {
        for (const TPnpNode* Child : Children(Tree, FilterText)) {
            List += Child->InstanceId + u'\0';
        }
    } else {
        Descendants(Tree, FilterText, List);
    }
    return CR_SUCCESS;
}

CONFIGRET LX_WINAPI GetDeviceIdListSize(ULONG* Length, LPCWSTR Filter, ULONG Flags) {
    if (Length == nullptr) {
        return CR_INVALID_POINTER;
    }
    std::u16string List;
    const CONFIGRET Result = IdList(Filter, Flags, List);
    *Length = Result == CR_SUCCESS ? ULONG(List.size() + 1) : 0;
    return Result;
}

CONFIGRET LX_WINAPI GetDeviceIdList(LPCWSTR Filter, LPWSTR Buffer, ULONG Length, ULONG Flags) {
    if (Buffer == nullptr || Length == 0) {
        return CR_INVALID_POINTER;
    }
    std::u16string List;
    const CONFIGRET Result = IdList(Filter, Flags, List);
    if (Result != CR_SUCCESS) {
        return Result;
    }
    List += u'\0';
    if (Length < List.size()) {
        return CR_BUFFER_SMALL;
    }
    std::copy(List.begin(), List.end(), Buffer);
    return CR_SUCCESS;
}

CONFIGRET LX_WINAPI LocateDevNode(DEVINST* DevInst, LPCWSTR DeviceId, ULONG Flags) {
    if (DevInst == nullptr) {
        return CR_INVALID_POINTER;
    }
    if ((Flags & ~CM_LOCATE_DEVNODE_PHANTOM) != 0) {
        return CR_INVALID_FLAG;
    }
    const std::u16string_view Id = DeviceId != nullptr ? DeviceId : u"";
    if (Id.empty() || IsRoot(Id)) {
        *DevInst = NumberOf(RootId);
        return CR_SUCCESS;
    }
    const TTree Tree;
    const TPnpNode* Node = Tree.Find(Id);
    if (Node == nullptr || (!Node->Present && (Flags & CM_LOCATE_DEVNODE_PHANTOM) == 0)) {
        return CR_NO_SUCH_DEVNODE;
    }
    *DevInst = NumberOf(Node->InstanceId);
    return CR_SUCCESS;
}

enum class TRelative { Parent, Child, Sibling };

CONFIGRET Relative(DEVINST* Result, DEVINST DevInst, TRelative Which) {
    if (Result == nullptr) {
        return CR_INVALID_POINTER;
    }
    const std::optional<std::u16string> Id = IdOf(DevInst);
    if (!Id) {
        return CR_INVALID_DEVNODE;
    }
    const TTree Tree;
    const TPnpNode* Node = Tree.Find(*Id);
    if (!IsRoot(*Id) && (Node == nullptr || !Node->Present)) {
        return CR_NO_SUCH_DEVNODE;
    }
    const TPnpNode* Found = nullptr;
    if (Which == TRelative::Parent) {
        if (IsRoot(*Id)) {
            return CR_NO_SUCH_DEVNODE;
        }
        *Result = NumberOf(Node->ParentId.empty() ? RootId : std::u16string_view(Node->ParentId));
        return CR_SUCCESS;
    }
    if (Which == TRelative::Child) {
        const std::vector<const TPnpNode*> Below = Children(Tree, *Id);
        Found = Below.empty() ? nullptr : Below.front();
    } else if (Node != nullptr) {
        const std::vector<const TPnpNode*> Peers =
            Children(Tree, Node->ParentId.empty() ? RootId : std::u16string_view(Node->ParentId));
        const auto Self = std::find(Peers.begin(), Peers.end(), Node);
        Found = Self != Peers.end() && Self + 1 != Peers.end() ? *(Self + 1) : nullptr;
    }
    if (Found == nullptr) {
        return CR_NO_SUCH_DEVNODE;
    }
    *Result = NumberOf(Found->InstanceId);
    return CR_SUCCESS;
}

CONFIGRET LX_WINAPI GetParent(DEVINST* Result, DEVINST DevInst, ULONG) {
    return Relative(Result, DevInst, TRelative::Parent);
}

CONFIGRET LX_WINAPI GetChild(DEVINST* Result, DEVINST DevInst, ULONG) {
    return Relative(Result, DevInst, TRelative::Child);
}

CONFIGRET LX_WINAPI GetSibling(DEVINST* Result, DEVINST DevInst, ULONG) {
    return Relative(Result, DevInst, TRelative::Sibling);
}

// The CM_DRP_* codes are the SPDRP_* codes plus one.
CONFIGRET LX_WINAPI GetDevNodeRegistryProperty(DEVINST DevInst, ULONG Code, ULONG* Type,
                                               void* Buffer, ULONG* Length, ULONG) {
    if (Length == nullptr) {
        return CR_INVALID_POINTER;
    }
    const std::optional<std::u16string> Id = IdOf(DevInst);
    if (!Id) {
        return CR_INVALID_DEVNODE;
    }
    const TTree Tree;
    const TPnpNode* Node = Tree.Find(*Id);
    DWORD ValueType = REG_NONE;
    const std::optional<std::u16string> Value =
        Node != nullptr && Code > 0 ? Property(*Node, Code - 1, ValueType) : std::nullopt;
    if (!Value) {
        return CR_NO_SUCH_VALUE;
    }
    if (Type != nullptr) {
        *Type = ValueType;
    }
    const auto Bytes = ULONG(Value->size() * sizeof(char16_t));
    const ULONG Room = *Length;
    *Length = Bytes;
    if (Buffer == nullptr || Room < Bytes) {
        return CR_BUFFER_SMALL;
    }
    std::memcpy(Buffer, Value->data(), Bytes);
    return CR_SUCCESS;
}

struct TExport {
    const char* Name;
    bool ConfigurationManager;
    FARPROC Proc;
};

const TExport Exports[] = {
    {"SetupDiGetClassDevsW", false, AsFarProc<PFN_SetupDiGetClassDevsW>(&GetClassDevs)},
    {"SetupDiDestroyDeviceInfoList", false,
     AsFarProc<PFN_SetupDiDestroyDeviceInfoList>(&DestroyDeviceInfoList)},
    {"SetupDiEnumDeviceInfo", false, AsFarProc<PFN_SetupDiEnumDeviceInfo>(&EnumDeviceInfo)},
    {"SetupDiGetDeviceRegistryPropertyW", false,
     AsFarProc<PFN_SetupDiGetDeviceRegistryPropertyW>(&GetDeviceRegistryProperty)},
    {"SetupDiOpenDevRegKey", false, AsFarProc<PFN_SetupDiOpenDevRegKey>(&OpenDevRegKey)},
    {"SetupDiEnumDeviceInterfaces", false,
     AsFarProc<PFN_SetupDiEnumDeviceInterfaces>(&EnumDeviceInterfaces)},
    {"SetupDiGetDeviceInterfaceDetailW", false,
     AsFarProc<PFN_SetupDiGetDeviceInterfaceDetailW>(&GetDeviceInterfaceDetail)},
    {"SetupDiCreateDeviceInfoList", false,
     AsFarProc<PFN_SetupDiCreateDeviceInfoList>(&CreateDeviceInfoList)},
    {"SetupDiCreateDeviceInfoW", false, AsFarProc<PFN_SetupDiCreateDeviceInfoW>(&CreateDeviceInfo)},
    {"SetupDiGetINFClassW", false, AsFarProc<PFN_SetupDiGetINFClassW>(&GetINFClass)},
    {"SetupDiSetDeviceRegistryPropertyW", false,
     AsFarProc<PFN_SetupDiSetDeviceRegistryPropertyW>(&SetDeviceRegistryProperty)},
    {"SetupDiCallClassInstaller", false,
     AsFarProc<PFN_SetupDiCallClassInstaller>(&CallClassInstaller)},
    {"SetupDiGetDeviceInstanceIdW", false,
     AsFarProc<PFN_SetupDiGetDeviceInstanceIdW>(&GetDeviceInstanceId)},
    {"SetupDiSetClassInstallParamsW", false,
     AsFarProc<PFN_SetupDiSetClassInstallParamsW>(&SetClassInstallParams)},
    {"CM_Locate_DevNodeW", true, AsFarProc<PFN_CM_Locate_DevNodeW>(&LocateDevNode)},
    {"CM_Get_DevNode_Registry_PropertyW", true,
     AsFarProc<PFN_CM_Get_DevNode_Registry_PropertyW>(&GetDevNodeRegistryProperty)},
    {"CM_Get_Parent", true, AsFarProc<PFN_CM_Get_Relative>(&GetParent)},
    {"CM_Get_Child", true, AsFarProc<PFN_CM_Get_Relative>(&GetChild)},
    {"CM_Get_Sibling", true, AsFarProc<PFN_CM_Get_Relative>(&GetSibling)},
    {"CM_Get_Device_ID_List_SizeW", true,
     AsFarProc<PFN_CM_Get_Device_ID_List_SizeW>(&GetDeviceIdListSize)},
    {"CM_Get_Device_ID_ListW", true, AsFarProc<PFN_CM_Get_Device_ID_ListW>(&GetDeviceIdList)},
};

} // namespace

FARPROC SetupApiExport(LPCSTR Name, bool ConfigurationManagerOnly) {
    // An ordinal in the low word of the pointer names no entry point here.
    if (reinterpret_cast<std::uintptr_t>(Name) <= 0xFFFFu) {
        return nullptr;
    }
    for (const TExport& Export : Exports) {
        if (std::strcmp(Export.Name, Name) == 0 &&
            (Export.ConfigurationManager || !ConfigurationManagerOnly)) {
            return Export.Proc;
        }
    }
    return nullptr;
}

} // namespace winapi::posix
