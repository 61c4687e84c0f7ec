// The fake system's Setup API and configuration manager: entry points handed out through
// GetProcAddress, serving the devices a test added with AddPnpDevice. They keep the Windows rules
// that the enumeration depends on (record sizes, buffer sizes, last errors) and log each call
// under its exported name, so that a test can script it like any other operation.
#include "fake_winapi.h"

#include <algorithm>
#include <cstring>

namespace lxtest {

using namespace winapi;

namespace {

std::u16string Folded(std::u16string_view Text) {
    std::u16string Out(Text);
    for (char16_t& Char : Out) {
        if (Char >= u'a' && Char <= u'z') {
            Char = char16_t(Char - u'a' + u'A');
        }
    }
    return Out;
}

std::u16string TextOf(LPCWSTR Text) {
    return Text != nullptr ? std::u16string(Text) : std::u16string();
}

std::uintptr_t Arg(const void* Pointer) {
    return reinterpret_cast<std::uintptr_t>(Pointer);
}

std::u16string HardwareKeyPath(std::u16string_view InstanceId) {
    return u"SYSTEM\\CurrentControlSet\\Enum\\" + std::u16string(InstanceId) +
           u"\\Device Parameters";
}

// The interface record's private word names the device and which of its interfaces it is.
constexpr ULONG_PTR InterfacesPerDevice = 256;

} // namespace

struct TFakeSetupApi {
    using TPnpSet = TFakeApi::TPnpSet;

    static TFakeApi& Fake() { return dynamic_cast<TFakeApi&>(Api()); }

    static TPnpSet* FindSet(TFakeApi& F, HDEVINFO Set) {
        const auto Found = F.fPnpSets.find(Set);
        return Found != F.fPnpSets.end() ? &Found->second : nullptr;
    }

    // The device DevInfo names within Set; null with the last error set when there is none.
    static TFakePnpDevice* FindDevice(TFakeApi& F, HDEVINFO Set, const SP_DEVINFO_DATA* DevInfo) {
        const TPnpSet* Found = FindSet(F, Set);
        if (Found == nullptr) {
            F.SetError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        if (DevInfo == nullptr || DevInfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
            F.SetError(ERROR_INVALID_USER_BUFFER);
            return nullptr;
        }
        const std::size_t Index = DevInfo->DevInst - 1;
        if (DevInfo->DevInst == 0 || Index >= F.fPnpDevices.size() ||
            std::find(Found->Devices.begin(), Found->Devices.end(), Index) ==
                Found->Devices.end()) {
            F.SetError(ERROR_NO_SUCH_DEVINST);
            return nullptr;
        }
        return &F.fPnpDevices[Index];
    }

    static void Describe(const TFakeApi& F, std::size_t Index, SP_DEVINFO_DATA& DevInfo) {
        DevInfo.ClassGuid = F.fPnpDevices[Index].ClassGuid;
        DevInfo.DevInst = DEVINST(Index + 1);
    }

    // The interfaces of Set, in device order, limited to one device and to one class.
    static std::vector<std::pair<std::size_t, std::size_t>>
    Interfaces(const TFakeApi& F, const TPnpSet& Set, std::optional<std::size_t> OnlyDevice,
               const GUID* Class) {
        std::vector<std::pair<std::size_t, std::size_t>> Found;
        for (std::size_t Device : Set.Devices) {
            if (OnlyDevice && *OnlyDevice != Device) {
                continue;
            }
            const auto& List = F.fPnpDevices[Device].Interfaces;
            for (std::size_t Iface = 0; Iface < List.size(); ++Iface) {
                if (Class == nullptr || List[Iface].first == *Class) {
                    Found.emplace_back(Device, Iface);
                }
            }
        }
        return Found;
    }

    static bool Selected(const TFakePnpDevice& Device, const GUID* Guid, DWORD Flags) {
        if ((Flags & DIGCF_PRESENT) != 0 && !Device.Present) {
            return false;
        }
        const bool AnyClass = Guid == nullptr || (Flags & DIGCF_ALLCLASSES) != 0;
        if ((Flags & DIGCF_DEVICEINTERFACE) == 0) {
            return AnyClass || Device.ClassGuid == *Guid;
        }
        return std::any_of(Device.Interfaces.begin(), Device.Interfaces.end(),
                           [&](const auto& Iface) { return AnyClass || Iface.first == *Guid; });
    }

    // --- SetupAPI.dll ---------------------------------------------------------------------

    static HDEVINFO LX_WINAPI GetClassDevs(const GUID* ClassGuid, LPCWSTR Enumerator,
                                           HWND hwndParent, DWORD Flags) {
        TFakeApi& F = Fake();
        TFakeApi::TLock Lock(F.fMutex);
        if (auto Script =
                F.Begin({"SetupDiGetClassDevsW",
                         {Flags, ClassGuid != nullptr ? ClassGuid->Data1 : 0u, Arg(hwndParent)},
                         TextOf(Enumerator)})) {
            return reinterpret_cast<HDEVINFO>(Script->Result);
        }
        if (ClassGuid == nullptr && (Flags & DIGCF_ALLCLASSES) == 0) {
            F.SetError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        TPnpSet Set;
        for (std::size_t Index = 0; Index < F.fPnpDevices.size(); ++Index) {
            if (Selected(F.fPnpDevices[Index], ClassGuid, Flags)) {
                Set.Devices.push_back(Index);
            }
        }
        const HDEVINFO Handle = F.NewHandle();
        F.fPnpSets[Handle] = std::move(Set);
        return Handle;
    }

    static BOOL LX_WINAPI DestroyDeviceInfoList(HDEVINFO Set) {
        TFakeApi& F = Fake();
        TFakeApi::TLock Lock(F.fMutex);
        if (auto Script = F.Begin({"SetupDiDestroyDeviceInfoList", {Arg(Set)}})) {
            return BOOL(Script->Result);
        }
        if (F.fPnpSets.erase(Set) == 0) {
            F.SetError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        return TRUE;
    }

    static BOOL LX_WINAPI EnumDeviceInfo(HDEVINFO Set, DWORD MemberIndex,
                                         SP_DEVINFO_DATA* DevInfo) {
        TFakeApi& F = Fake();
        TFakeApi::TLock Lock(F.fMutex);
        if (auto Script = F.Begin({"SetupDiEnumDeviceInfo",
                                   {Arg(Set), MemberIndex, DevInfo ? DevInfo->cbSize : 0u}})) {
            return BOOL(Script->Result);
        }
        const TPnpSet* Found = FindSet(F, Set);
        if (Found == nullptr) {
            F.SetError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (DevInfo == nullptr || DevInfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
            F.SetError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        if (MemberIndex >= Found->Devices.size()) {
            F.SetError(ERROR_NO_MORE_ITEMS);
            return FALSE;
        }
        Describe(F, Found->Devices[MemberIndex], *DevInfo);
        return TRUE;
    }

    static BOOL LX_WINAPI GetDeviceRegistryProperty(HDEVINFO Set, SP_DEVINFO_DATA* DevInfo,
                                                    DWORD Property, DWORD* Type, BYTE* Buffer,
                                                    DWORD BufferSize, DWORD* RequiredSize) {
        TFakeApi& F = Fake();
        TFakeApi::TLock Lock(F.fMutex);
        if (auto Script =
                F.Begin({"SetupDiGetDeviceRegistryPropertyW", {Arg(Set), Property, BufferSize}})) {
            return BOOL(Script->Result);
        }
        const TFakePnpDevice* Device = FindDevice(F, Set, DevInfo);
        if (Device == nullptr) {
            return FALSE;
        }
        const auto Found = Device->Properties.find(Property);
        if (Found == Device->Properties.end()) {
            F.SetError(ERROR_INVALID_DATA);
            return FALSE;
        }
        const auto Needed = DWORD((Found->second.size() + 1) * sizeof(WCHAR));
        if (RequiredSize != nullptr) {
            *RequiredSize = Needed;
        }
        if (Type != nullptr) {
            *Type = REG_SZ;
        }
        if (Buffer == nullptr || BufferSize < Needed) {
            F.SetError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        std::memcpy(Buffer, Found->second.c_str(), Needed);
        return TRUE;
    }

    static HKEY LX_WINAPI OpenDevRegKey(HDEVINFO Set, SP_DEVINFO_DATA* DevInfo, DWORD Scope,
                                        DWORD HwProfile, DWORD KeyType, REGSAM samDesired) {
        TFakeApi& F = Fake();
        TFakeApi::TLock Lock(F.fMutex);
        if (auto Script = F.Begin(
                {"SetupDiOpenDevRegKey", {Arg(Set), Scope, HwProfile, KeyType, samDesired}})) {
            return reinterpret_cast<HKEY>(Script->Result);
        }
        const TFakePnpDevice* Device = FindDevice(F, Set, DevInfo);
        if (Device == nullptr) {
            return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
        }
        const auto* Key = KeyType == DIREG_DEV && Device->HardwareKey
                              ? F.FindKey(HKEY_LOCAL_MACHINE, HardwareKeyPath(Device->InstanceId))
                              : nullptr;
        if (Key == nullptr) {
            F.SetError(ERROR_KEY_DOES_NOT_EXIST);
            return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
        }
        return F.OpenHandleFor(*Key);
    }

    static BOOL LX_WINAPI EnumDeviceInterfaces(HDEVINFO Set, SP_DEVINFO_DATA* DevInfo,
                                               const GUID* Class, DWORD MemberIndex,
                                               SP_DEVICE_INTERFACE_DATA* Iface) {
        TFakeApi& F = Fake();
        TFakeApi::TLock Lock(F.fMutex);
        if (auto Script = F.Begin(
                {"SetupDiEnumDeviceInterfaces",
                 {Arg(Set), Arg(DevInfo), MemberIndex, Iface != nullptr ? Iface->cbSize : 0u}})) {
            return BOOL(Script->Result);
        }
        const TPnpSet* Found = FindSet(F, Set);
        if (Found == nullptr) {
            F.SetError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (Iface == nullptr || Iface->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
            F.SetError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        std::optional<std::size_t> OnlyDevice;
        if (DevInfo != nullptr) {
            if (FindDevice(F, Set, DevInfo) == nullptr) {
                return FALSE;
            }
            OnlyDevice = DevInfo->DevInst - 1;
        }
        const auto List = Interfaces(F, *Found, OnlyDevice, Class);
        if (MemberIndex >= List.size()) {
            F.SetError(ERROR_NO_MORE_ITEMS);
            return FALSE;
        }
        const auto [Device, Index] = List[MemberIndex];
        Iface->InterfaceClassGuid = F.fPnpDevices[Device].Interfaces[Index].first;
        Iface->Flags = F.fPnpDevices[Device].Present ? SPINT_ACTIVE : 0;
        Iface->Reserved = Device * InterfacesPerDevice + Index + 1;
        return TRUE;
    }

    static BOOL LX_WINAPI GetDeviceInterfaceDetail(HDEVINFO Set, SP_DEVICE_INTERFACE_DATA* Iface,
                                                   SP_DEVICE_INTERFACE_DETAIL_DATA_W* Detail,
                                                   DWORD DetailSize, DWORD* RequiredSize,
                                                   SP_DEVINFO_DATA* DevInfo) {
        TFakeApi& F = Fake();
        TFakeApi::TLock Lock(F.fMutex);
        if (auto Script = F.Begin(
                {"SetupDiGetDeviceInterfaceDetailW",
                 {Arg(Set), DetailSize, Detail != nullptr ? Detail->cbSize : 0u, Arg(DevInfo)}})) {
            if (RequiredSize != nullptr) {
                *RequiredSize = Script->Transferred;
            }
            return BOOL(Script->Result);
        }
        if (FindSet(F, Set) == nullptr) {
            F.SetError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        const ULONG_PTR Code = Iface != nullptr ? Iface->Reserved : 0;
        const std::size_t Device = (Code - 1) / InterfacesPerDevice;
        const std::size_t Index = (Code - 1) % InterfacesPerDevice;
        if (Code == 0 || Device >= F.fPnpDevices.size() ||
            Index >= F.fPnpDevices[Device].Interfaces.size()) {
            F.SetError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const std::u16string& Path = F.fPnpDevices[Device].Interfaces[Index].second;
        const auto Needed = DWORD(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                  (Path.size() + 1) * sizeof(WCHAR));
        if (RequiredSize != nullptr) {
            *RequiredSize = Needed;
        }
        if (Detail != nullptr && Detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
            F.SetError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        if (Detail == nullptr || DetailSize < Needed) {
            F.SetError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        if (DevInfo != nullptr) {
            if (DevInfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
                F.SetError(ERROR_INVALID_USER_BUFFER);
                return FALSE;
            }
            Describe(F, Device, *DevInfo);
        }
        std::memcpy(reinterpret_cast<BYTE*>(Detail) +
                        offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath),
                    Path.c_str(), (Path.size() + 1) * sizeof(WCHAR));
        return TRUE;
    }

    static BOOL LX_WINAPI GetDeviceInstanceId(HDEVINFO Set, SP_DEVINFO_DATA* DevInfo, LPWSTR Buffer,
                                              DWORD BufferSize, DWORD* RequiredSize) {
        TFakeApi& F = Fake();
        TFakeApi::TLock Lock(F.fMutex);
        if (auto Script = F.Begin({"SetupDiGetDeviceInstanceIdW", {Arg(Set), BufferSize}})) {
            return BOOL(Script->Result);
        }
        const TFakePnpDevice* Device = FindDevice(F, Set, DevInfo);
        if (Device == nullptr) {
            return FALSE;
        }
        const auto Needed = DWORD(Device->InstanceId.size() + 1);
        if (RequiredSize != nullptr) {
            *RequiredSize = Needed;
        }
        if (Buffer == nullptr || BufferSize < Needed) {
            F.SetError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        std::memcpy(Buffer, Device->InstanceId.c_str(), Needed * sizeof(WCHAR));
        return TRUE;
    }

    // --- The configuration manager ----------------------------------------------------------

    // The instance ids of Filter's children as a list of NUL-terminated texts ending in an extra
    // NUL; nothing when Filter names no device.
    static std::optional<std::u16string> Children(const TFakeApi& F, LPCWSTR Filter) {
        const std::u16string Parent = Folded(TextOf(Filter));
        const bool Known =
            std::any_of(F.fPnpDevices.begin(), F.fPnpDevices.end(),
                        [&](const TFakePnpDevice& D) { return Folded(D.InstanceId) == Parent; });
        if (!Known) {
            return std::nullopt;
        }
        std::u16string List;
        for (const TFakePnpDevice& Device : F.fPnpDevices) {
            if (!Device.Parent.empty() && Folded(Device.Parent) == Parent) {
                List += Device.InstanceId + u'\0';
            }
        }
        return List + u'\0';
    }

    static CONFIGRET LX_WINAPI GetDeviceIdListSize(ULONG* Length, LPCWSTR Filter, ULONG Flags) {
        TFakeApi& F = Fake();
        TFakeApi::TLock Lock(F.fMutex);
        if (auto Script = F.Begin({"CM_Get_Device_ID_List_SizeW", {Flags}, TextOf(Filter)})) {
            if (Length != nullptr) {
                *Length = Script->Transferred;
            }
            return CONFIGRET(Script->Result);
        }
        if (Length == nullptr) {
            return CR_INVALID_POINTER;
        }
        const std::optional<std::u16string> List = Children(F, Filter);
        if (!List) {
            return CR_NO_SUCH_DEVNODE;
        }
        *Length = ULONG(List->size());
        return CR_SUCCESS;
    }

    static CONFIGRET LX_WINAPI GetDeviceIdList(LPCWSTR Filter, LPWSTR Buffer, ULONG Length,
                                               ULONG Flags) {
        TFakeApi& F = Fake();
        TFakeApi::TLock Lock(F.fMutex);
        if (auto Script = F.Begin({"CM_Get_Device_ID_ListW", {Length, Flags}, TextOf(Filter)})) {
            return CONFIGRET(Script->Result);
        }
        const std::optional<std::u16string> List = Children(F, Filter);
        if (!List) {
            return CR_NO_SUCH_DEVNODE;
        }
        if (Buffer == nullptr || Length < List->size()) {
            return CR_BUFFER_SMALL;
        }
        std::copy(List->begin(), List->end(), Buffer);
        return CR_SUCCESS;
    }

    // Entry points the binding requires and this system's code never calls: present, so that
    // the binding succeeds, and inert.
    static BOOL LX_WINAPI NeverCalled() { return FALSE; }
};

namespace {

struct TExport {
    const char* Name;
    bool ConfigurationManager;
    FARPROC Proc;
};

const TExport Exports[] = {
    {"SetupDiGetClassDevsW", false, AsFarProc(&TFakeSetupApi::GetClassDevs)},
    {"SetupDiDestroyDeviceInfoList", false, AsFarProc(&TFakeSetupApi::DestroyDeviceInfoList)},
    {"SetupDiEnumDeviceInfo", false, AsFarProc(&TFakeSetupApi::EnumDeviceInfo)},
    {"SetupDiGetDeviceRegistryPropertyW", false,
     AsFarProc(&TFakeSetupApi::GetDeviceRegistryProperty)},
    {"SetupDiOpenDevRegKey", false, AsFarProc(&TFakeSetupApi::OpenDevRegKey)},
    {"SetupDiEnumDeviceInterfaces", false, AsFarProc(&TFakeSetupApi::EnumDeviceInterfaces)},
    {"SetupDiGetDeviceInterfaceDetailW", false,
     AsFarProc(&TFakeSetupApi::GetDeviceInterfaceDetail)},
    {"SetupDiCreateDeviceInfoList", false, AsFarProc(&TFakeSetupApi::NeverCalled)},
    {"SetupDiCreateDeviceInfoW", false, AsFarProc(&TFakeSetupApi::NeverCalled)},
    {"SetupDiGetINFClassW", false, AsFarProc(&TFakeSetupApi::NeverCalled)},
    {"SetupDiSetDeviceRegistryPropertyW", false, AsFarProc(&TFakeSetupApi::NeverCalled)},
    {"SetupDiCallClassInstaller", false, AsFarProc(&TFakeSetupApi::NeverCalled)},
    {"SetupDiGetDeviceInstanceIdW", false, AsFarProc(&TFakeSetupApi::GetDeviceInstanceId)},
    {"SetupDiRemoveDevice", false, AsFarProc(&TFakeSetupApi::NeverCalled)},
    {"SetupDiUnremoveDevice", false, AsFarProc(&TFakeSetupApi::NeverCalled)},
    {"SetupDiOpenDeviceInfoW", false, AsFarProc(&TFakeSetupApi::NeverCalled)},
    {"SetupDiSetClassInstallParamsW", false, AsFarProc(&TFakeSetupApi::NeverCalled)},
    {"CM_Locate_DevNodeW", true, AsFarProc(&TFakeSetupApi::NeverCalled)},
    {"CM_Get_DevNode_Registry_PropertyW", true, AsFarProc(&TFakeSetupApi::NeverCalled)},
    {"CM_Get_Parent", true, AsFarProc(&TFakeSetupApi::NeverCalled)},
    {"CM_Get_Device_ID_List_SizeW", true, AsFarProc(&TFakeSetupApi::GetDeviceIdListSize)},
    {"CM_Get_Device_ID_ListW", true, AsFarProc(&TFakeSetupApi::GetDeviceIdList)},
    {"CM_Get_Child", true, AsFarProc(&TFakeSetupApi::NeverCalled)},
    {"CM_Get_Sibling", true, AsFarProc(&TFakeSetupApi::NeverCalled)},
    {"CM_Request_Device_EjectW", true, AsFarProc(&TFakeSetupApi::NeverCalled)},
};

} // namespace

void TFakeApi::AddPnpDevice(TFakePnpDevice Device) {
    if (Device.HardwareKey) {
        const std::u16string Path = HardwareKeyPath(Device.InstanceId);
        AddKey(HKEY_LOCAL_MACHINE, Path);
        for (const auto& [Name, Text] : *Device.HardwareKey) {
            std::vector<BYTE> Data = TextBytes(Text);
            Data.insert(Data.end(), sizeof(WCHAR), 0);
            SetValue(HKEY_LOCAL_MACHINE, Path, Name, REG_SZ, std::move(Data));
        }
    }
    TLock Lock(fMutex);
    fPnpDevices.push_back(std::move(Device));
}

void TFakeApi::InstallSetupApi(bool CmInSetupApi) {
    for (const TExport& Export : Exports) {
        const bool InSetupApi = !Export.ConfigurationManager || CmInSetupApi;
        SetExport(u"SetupAPI.dll", Export.Name, InSetupApi ? Export.Proc : nullptr);
        if (Export.ConfigurationManager) {
            SetExport(u"cfgmgr32.dll", Export.Name, Export.Proc);
        }
    }
}

int TFakeApi::OpenDeviceInfoSets() const {
    TLock Lock(fMutex);
    return int(fPnpSets.size());
}

} // namespace lxtest
