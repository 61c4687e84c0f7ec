// Binding of the Setup API and the configuration manager, and the Plug and Play enumeration,
// against the scripted fake OS: what no real system can be made to do on demand (an entry point
// missing, the configuration manager only in cfgmgr32.dll, a property too long for the buffer).
#include "fake_winapi.h"
#include "lxwin32di.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace winapi;
using lxtest::Fail;
using lxtest::Returns;
using lxtest::TFakePnpDevice;

namespace {

std::uintptr_t Arg(const void* Pointer) {
    return reinterpret_cast<std::uintptr_t>(Pointer);
}

class SetupApi : public testing::Test {
protected:
    // The module state is the process's; each test starts and ends without the libraries.
    void SetUp() override { lx::UnloadSetupApi(); }
    void TearDown() override {
        lx::UnloadSetupApi();
        EXPECT_EQ(Fake.LoadedLibraries(), 0);
    }

    std::vector<std::u16string> Texts(std::string_view Operation) const {
        std::vector<std::u16string> Found;
        for (const lxtest::TFakeCall& Call : Fake.Calls(Operation)) {
            Found.push_back(Call.Text);
        }
        return Found;
    }

    // Nothing the enumeration opened or allocated is left behind.
    void ExpectNothingLeft() const {
        EXPECT_EQ(Fake.OpenDeviceInfoSets(), 0);
        EXPECT_EQ(Fake.OpenKeys(), 0);
        EXPECT_EQ(Fake.LiveLocalAllocs(), 0);
    }

    lxtest::TFakeApi Fake;
    lxtest::TFakeApiScope Scope{Fake};
};

const std::vector<std::u16string> WideNames = {
    u"SetupDiGetClassDevsW",
    u"SetupDiDestroyDeviceInfoList",
    u"SetupDiEnumDeviceInfo",
    u"SetupDiGetDeviceRegistryPropertyW",
    u"SetupDiOpenDevRegKey",
    u"SetupDiEnumDeviceInterfaces",
    u"SetupDiGetDeviceInterfaceDetailW",
    u"SetupDiCreateDeviceInfoList",
    u"SetupDiCreateDeviceInfoW",
    u"SetupDiGetINFClassW",
    u"SetupDiSetDeviceRegistryPropertyW",
    u"SetupDiCallClassInstaller",
    u"SetupDiGetDeviceInstanceIdW",
    u"SetupDiRemoveDevice",
    u"SetupDiUnremoveDevice",
    u"SetupDiOpenDeviceInfoW",
    u"SetupDiSetClassInstallParamsW",
    u"CM_Locate_DevNodeW",
    u"CM_Get_DevNode_Registry_PropertyW",
    u"CM_Get_Parent",
    u"CM_Get_Device_ID_List_SizeW",
    u"CM_Get_Device_ID_ListW",
    u"CM_Get_Child",
    u"CM_Get_Sibling",
    u"CM_Request_Device_EjectW",
};

// A serial port as the system lists it: its properties, its hardware key and an interface.
TFakePnpDevice SerialPort(std::u16string InstanceId, std::u16string PortName,
                          std::u16string Description) {
    TFakePnpDevice Device;
    Device.Properties = {{SPDRP_DRIVER, u"{4d36e978-e325-11ce-bfc1-08002be10318}\\0003"},
                         {SPDRP_SERVICE, u"Serial"},
                         {SPDRP_PHYSICAL_DEVICE_OBJECT_NAME, u"\\Device\\0000004a"},
                         {SPDRP_DEVICEDESC, std::move(Description)},
                         {SPDRP_MFG, u"(Standard port types)"}};
    Device.HardwareKey = {{u"PortName", std::move(PortName)},
                          {u"SymbolicName", u"\\??\\" + InstanceId}};
    Device.InstanceId = std::move(InstanceId);
    return Device;
}

} // namespace

// --- Binding ------------------------------------------------------------------------------------

TEST_F(SetupApi, BindsTheWideEntryPointsOnceAndTakesTheConfigurationManagerFromSetupApi) {
    Fake.InstallSetupApi(true);
    ASSERT_TRUE(lx::LoadSetupApi());
    EXPECT_TRUE(lx::LoadSetupApi());

    EXPECT_EQ(Texts("LoadLibraryW"), std::vector<std::u16string>{u"SetupAPI.dll"});
    EXPECT_EQ(Texts("GetProcAddress"), WideNames);
    const std::uintptr_t SetupApiModule = Arg(Fake.GetModuleHandleW(u"SetupAPI.dll"));
    for (const lxtest::TFakeCall& Call : Fake.Calls("GetProcAddress")) {
        EXPECT_EQ(Call.Args[0], SetupApiModule) << std::string(Call.Text.begin(), Call.Text.end());
    }
}

TEST_F(SetupApi, WithoutTheConfigurationManagerInSetupApiItAllComesFromCfgmgr32) {
    Fake.InstallSetupApi(false);
    ASSERT_TRUE(lx::LoadSetupApi());
    EXPECT_EQ(Texts("LoadLibraryW"),
              (std::vector<std::u16string>{u"SetupAPI.dll", u"cfgmgr32.dll"}));

    const std::uintptr_t SetupApiModule = Arg(Fake.GetModuleHandleW(u"SetupAPI.dll"));
    const std::uintptr_t CfgMgrModule = Arg(Fake.GetModuleHandleW(u"cfgmgr32.dll"));
    std::vector<std::u16string> FromCfgMgr;
    for (const lxtest::TFakeCall& Call : Fake.Calls("GetProcAddress")) {
        if (Call.Args[0] == CfgMgrModule) {
            FromCfgMgr.push_back(Call.Text);
        } else {
            EXPECT_EQ(Call.Args[0], SetupApiModule);
            EXPECT_TRUE(Call.Text.starts_with(u"SetupDi") || Call.Text == u"CM_Locate_DevNodeW");
        }
    }
    EXPECT_EQ(FromCfgMgr, std::vector<std::u16string>(WideNames.begin() + 17, WideNames.end()));
    EXPECT_EQ(Fake.LoadedLibraries(), 2);

    // The configuration manager is reached and works from there.
    TFakePnpDevice Parent = SerialPort(u"ACPI\\PNP0501\\1", u"COM1", u"Communications Port");
    Fake.AddPnpDevice(Parent);
    TFakePnpDevice Child;
    Child.InstanceId = u"SERENUM\\PNP0F0C\\1";
    Child.Parent = Parent.InstanceId;
    Fake.AddPnpDevice(Child);
    EXPECT_EQ(lx::GetDeviceIdList(u"ACPI\\PNP0501\\1", u";", true), u"SERENUM\\PNP0F0C\\1");
}

TEST_F(SetupApi, TheConfigurationManagerIsTakenFromSetupApiWhenItIsThereEvenIfCfgmgr32HasItToo) {
    Fake.InstallSetupApi(true);
    ASSERT_TRUE(lx::LoadSetupApi());
    EXPECT_EQ(Fake.CallCount("LoadLibraryW"), 1);
    EXPECT_EQ(Fake.LoadedLibraries(), 1);
}

TEST_F(SetupApi, WithoutSetupApiNothingIsBoundAndEachCallTriesAgain) {
    TFakePnpDevice Port = SerialPort(u"ACPI\\PNP0501\\1", u"COM1", u"Communications Port");
    Fake.AddPnpDevice(Port);
    lx::TPnpDeviceList List;
    EXPECT_FALSE(lx::LoadSetupApi());
    lx::EnumPnpDevices(&GUID_DEVCLASS_PORTS, false, true, List, false);
    EXPECT_TRUE(List.empty());
    EXPECT_EQ(lx::GetDeviceIdList(u"ACPI\\PNP0501\\1", u";", true), u"");
    EXPECT_EQ(Fake.CallCount("LoadLibraryW"), 3);
    EXPECT_EQ(Fake.CallCount("GetProcAddress"), 0);

    Fake.InstallSetupApi(true);
    lx::EnumPnpDevices(&GUID_DEVCLASS_PORTS, false, true, List, false);
    EXPECT_EQ(List.size(), 1u);
}

struct TMissingCase {
    const char* Name;
    bool Required;
};

class MissingEntryPoint : public SetupApi, public testing::WithParamInterface<TMissingCase> {};

// A missing required entry point releases both libraries; the next call loads them again and,
// with the entry point back, succeeds. A missing optional one does not matter.
TEST_P(MissingEntryPoint, FailsTheBindingOnlyWhenRequired) {
    Fake.InstallSetupApi(false);
    Fake.SetExport(u"SetupAPI.dll", GetParam().Name, nullptr);
    Fake.SetExport(u"cfgmgr32.dll", GetParam().Name, nullptr);
    Fake.AddPnpDevice(SerialPort(u"ACPI\\PNP0501\\1", u"COM1", u"Communications Port"));

    lx::TPnpDeviceList List;
    lx::EnumPnpDevices(&GUID_DEVCLASS_PORTS, false, true, List, false);
    EXPECT_EQ(List.size(), GetParam().Required ? 0u : 1u);
    EXPECT_EQ(Fake.LoadedLibraries(), GetParam().Required ? 0 : 2);
    if (!GetParam().Required) {
        return;
    }
    EXPECT_EQ(Fake.CallCount("SetupDiGetClassDevsW"), 0);

    Fake.InstallSetupApi(false);
    Fake.ClearCalls();
    lx::EnumPnpDevices(&GUID_DEVCLASS_PORTS, false, true, List, false);
    EXPECT_EQ(List.size(), 1u);
    const std::vector<std::u16string> Loads = Texts("LoadLibraryW");
    ASSERT_GE(Loads.size(), 2u);
    EXPECT_EQ(Loads[0], u"SetupAPI.dll");
    EXPECT_EQ(Loads[1], u"cfgmgr32.dll");
}

INSTANTIATE_TEST_SUITE_P(
    EveryRow, MissingEntryPoint,
    testing::Values(
        TMissingCase{"SetupDiGetClassDevsW", true},
        TMissingCase{"SetupDiDestroyDeviceInfoList", true},
        TMissingCase{"SetupDiEnumDeviceInfo", true},
        TMissingCase{"SetupDiGetDeviceRegistryPropertyW", true},
        TMissingCase{"SetupDiOpenDevRegKey", true},
        TMissingCase{"SetupDiEnumDeviceInterfaces", true},
        TMissingCase{"SetupDiGetDeviceInterfaceDetailW", true},
        TMissingCase{"SetupDiCreateDeviceInfoList", true},
        TMissingCase{"SetupDiCreateDeviceInfoW", true}, TMissingCase{"SetupDiGetINFClassW", true},
        TMissingCase{"SetupDiSetDeviceRegistryPropertyW", true},
        TMissingCase{"SetupDiCallClassInstaller", true},
        TMissingCase{"SetupDiGetDeviceInstanceIdW", true},
        TMissingCase{"SetupDiRemoveDevice", false}, TMissingCase{"SetupDiUnremoveDevice", false},
        TMissingCase{"SetupDiOpenDeviceInfoW", false},
        TMissingCase{"SetupDiSetClassInstallParamsW", true},
        TMissingCase{"CM_Locate_DevNodeW", true},
        TMissingCase{"CM_Get_DevNode_Registry_PropertyW", true},
        TMissingCase{"CM_Get_Parent", true}, TMissingCase{"CM_Get_Device_ID_List_SizeW", true},
        TMissingCase{"CM_Get_Device_ID_ListW", true}, TMissingCase{"CM_Get_Child", true},
        TMissingCase{"CM_Get_Sibling", true}, TMissingCase{"CM_Request_Device_EjectW", false}),
    [](const testing::TestParamInfo<TMissingCase>& Info) { return std::string(Info.param.Name); });

// --- Device queries -----------------------------------------------------------------------------

TEST_F(SetupApi, ADeviceQueryFillsOneRecordPerDeviceFromItsPropertiesKeyAndInstance) {
    Fake.InstallSetupApi(true);
    TFakePnpDevice Uart = SerialPort(u"ACPI\\PNP0501\\1", u"COM1", u"Communications Port");
    Fake.AddPnpDevice(Uart);
    for (const char16_t* Id : {u"SERENUM\\PNP0F0C\\1", u"SERENUM\\ABC0001\\2"}) {
        TFakePnpDevice Child;
        Child.InstanceId = Id;
        Child.ClassGuid = GUID_DEVCLASS_MULTIFUNCTION;
        Child.Parent = Uart.InstanceId;
        Fake.AddPnpDevice(Child);
    }
    TFakePnpDevice NoKey = SerialPort(u"ROOT\\PORTS\\0000", u"", u"Virtual Port");
    NoKey.HardwareKey.reset();
    Fake.AddPnpDevice(NoKey);
    TFakePnpDevice NoPortName = SerialPort(u"PCI\\VEN_1415\\3&1", u"", u"PCI Serial Port");
    NoPortName.HardwareKey->erase(u"PortName");
    NoPortName.Properties[SPDRP_DRIVER] = u"{4d36e978-e325-11ce-bfc1-08002be10318}\\0004";
    Fake.AddPnpDevice(NoPortName);

    lx::TPnpDeviceList List;
    lx::EnumPnpDevices(&GUID_DEVCLASS_PORTS, false, true, List, false);
    ASSERT_EQ(List.size(), 3u);

    const lx::TPnpDevice& First = *List[0].Device;
    EXPECT_EQ(List[0].Text, u"{4d36e978-e325-11ce-bfc1-08002be10318}\\0003");
    EXPECT_EQ(First.Driver, List[0].Text);
    EXPECT_EQ(First.Service, u"Serial");
    EXPECT_EQ(First.NamePDO, u"\\Device\\0000004a");
    EXPECT_EQ(First.Description, u"Communications Port");
    EXPECT_EQ(First.Manufacturer, u"(Standard port types)");
    EXPECT_EQ(First.GuidClass, GUID_DEVCLASS_PORTS);
    EXPECT_EQ(First.RegKey,
              u"SYSTEM\\CurrentControlSet\\Enum\\ACPI\\PNP0501\\1\\Device Parameters");
    EXPECT_EQ(First.PortName, u"COM1");
    EXPECT_EQ(First.NameSymbolic, u"\\??\\ACPI\\PNP0501\\1");
    EXPECT_EQ(First.InstanceId, u"ACPI\\PNP0501\\1");
    EXPECT_EQ(First.DevInst, 1u);
    EXPECT_EQ(First.BusRelations, u"SERENUM\\PNP0F0C\\1;SERENUM\\ABC0001\\2");
    EXPECT_EQ(First.NameFriendly, u"");

    const lx::TPnpDevice& Second = *List[1].Device;
    EXPECT_EQ(Second.Description, u"Virtual Port");
    EXPECT_EQ(Second.RegKey, u"");
    EXPECT_EQ(Second.PortName, u"");
    EXPECT_EQ(Second.NameSymbolic, u"");
    EXPECT_EQ(Second.InstanceId, u"ROOT\\PORTS\\0000");
    EXPECT_EQ(Second.DevInst, 4u);
    EXPECT_EQ(Second.BusRelations, u"");

    const lx::TPnpDevice& Third = *List[2].Device;
    EXPECT_EQ(List[2].Text, u"{4d36e978-e325-11ce-bfc1-08002be10318}\\0004");
    EXPECT_NE(Third.RegKey, u"");
    EXPECT_EQ(Third.PortName, u"");
    EXPECT_EQ(Third.NameSymbolic, u"\\??\\PCI\\VEN_1415\\3&1");

    // The hardware key was opened as the enumeration asks for it.
    const auto Opens = Fake.Calls("SetupDiOpenDevRegKey");
    ASSERT_EQ(Opens.size(), 3u);
    EXPECT_EQ(std::vector<std::uintptr_t>(Opens[0].Args.begin() + 1, Opens[0].Args.end()),
              (std::vector<std::uintptr_t>{DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE}));
    ExpectNothingLeft();
}

TEST_F(SetupApi, PropertiesAndInstanceIdsLongerThan255CharactersReadAsEmpty) {
    Fake.InstallSetupApi(true);
    TFakePnpDevice Device = SerialPort(u"ACPI\\PNP0501\\1", u"COM1", u"");
    Device.Properties[SPDRP_DEVICEDESC] = std::u16string(256, u'd');
    Device.Properties[SPDRP_MFG] = std::u16string(255, u'm');
    Device.Properties.erase(SPDRP_SERVICE);
    Fake.AddPnpDevice(Device);
    TFakePnpDevice LongId = SerialPort(u"ACPI\\" + std::u16string(251, u'i'), u"COM2", u"Port");
    Fake.AddPnpDevice(LongId);

    lx::TPnpDeviceList List;
    lx::EnumPnpDevices(&GUID_DEVCLASS_PORTS, false, true, List, false);
    ASSERT_EQ(List.size(), 2u);
    EXPECT_EQ(List[0].Device->Description, u"");
    EXPECT_EQ(List[0].Device->Manufacturer, std::u16string(255, u'm'));
    EXPECT_EQ(List[0].Device->Service, u"");
    EXPECT_EQ(List[0].Device->InstanceId, u"ACPI\\PNP0501\\1");

    // 256 characters do not fit the instance buffer: no id, no node, no relations asked for.
    EXPECT_EQ(List[1].Device->InstanceId, u"");
    EXPECT_EQ(List[1].Device->DevInst, 0u);
    EXPECT_EQ(List[1].Device->PortName, u"COM2");
    EXPECT_EQ(Fake.CallCount("CM_Get_Device_ID_List_SizeW"), 1);

    // Every property read offers the same 512-byte buffer.
    for (const lxtest::TFakeCall& Call : Fake.Calls("SetupDiGetDeviceRegistryPropertyW")) {
        EXPECT_EQ(Call.Args[2], 512u);
    }
    ExpectNothingLeft();
}

TEST_F(SetupApi, AFailingClassQueryLeavesTheListAsItWas) {
    Fake.InstallSetupApi(true);
    Fake.AddPnpDevice(SerialPort(u"ACPI\\PNP0501\\1", u"COM1", u"Communications Port"));
    lx::TPnpDeviceList List;
    List.push_back({u"kept", std::make_unique<lx::TPnpDevice>()});
    Fake.ScriptNext("SetupDiGetClassDevsW", Fail(ERROR_INVALID_PARAMETER, -1));
    lx::EnumPnpDevices(&GUID_DEVCLASS_PORTS, false, true, List, false);
    ASSERT_EQ(List.size(), 1u);
    EXPECT_EQ(List[0].Text, u"kept");
    EXPECT_EQ(Fake.CallCount("SetupDiDestroyDeviceInfoList"), 0);
}

struct TFlagsCase {
    const char* Name;
    const GUID* Guid;
    bool PresentOnly;
    bool ByDeviceInfo;
    bool WithInterface;
    DWORD Flags;
    std::vector<std::u16string> Descriptions;
};

class QueryFlags : public SetupApi, public testing::WithParamInterface<TFlagsCase> {};

// The flags of the class query follow the arguments, and the records follow the flags.
TEST_P(QueryFlags, SelectTheDevices) {
    Fake.InstallSetupApi(true);
    TFakePnpDevice Attached = SerialPort(u"ACPI\\PNP0501\\1", u"COM1", u"Attached");
    Attached.Interfaces = {{GUID_DEVINTERFACE_COMPORT, u"\\\\?\\acpi#pnp0501#1#{86e0d1e0}"}};
    Fake.AddPnpDevice(Attached);
    TFakePnpDevice Unplugged = SerialPort(u"USB\\VID_0403&PID_6001\\A1", u"COM3", u"Unplugged");
    Unplugged.Present = false;
    Unplugged.Interfaces = {{GUID_DEVINTERFACE_COMPORT, u"\\\\?\\usb#vid_0403&pid_6001#a1"}};
    Fake.AddPnpDevice(Unplugged);
    TFakePnpDevice Modem = SerialPort(u"MDMGEN\\1", u"COM5", u"Modem");
    Modem.ClassGuid = GUID_DEVCLASS_MODEM;
    Fake.AddPnpDevice(Modem);

    const TFlagsCase& Case = GetParam();
    lx::TPnpDeviceList List;
    lx::EnumPnpDevices(Case.Guid, Case.PresentOnly, Case.ByDeviceInfo, List, Case.WithInterface);
    const auto Queries = Fake.Calls("SetupDiGetClassDevsW");
    ASSERT_EQ(Queries.size(), 1u);
    EXPECT_EQ(Queries[0].Args[0], Case.Flags);
    EXPECT_EQ(Queries[0].Args[1], Case.Guid != nullptr ? Case.Guid->Data1 : 0u);
    EXPECT_EQ(Queries[0].Text, u"");
    std::vector<std::u16string> Descriptions;
    for (const lx::TPnpEntry& Entry : List) {
        Descriptions.push_back(Entry.Device->Description);
    }
    EXPECT_EQ(Descriptions, Case.Descriptions);
    ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, QueryFlags,
    testing::Values(
        TFlagsCase{
            "PortsPresent", &GUID_DEVCLASS_PORTS, true, true, false, DIGCF_PRESENT, {u"Attached"}},
        TFlagsCase{
            "PortsAll", &GUID_DEVCLASS_PORTS, false, true, false, 0, {u"Attached", u"Unplugged"}},
        TFlagsCase{"EveryClass",
                   nullptr,
                   false,
                   true,
                   false,
                   DIGCF_ALLCLASSES,
                   {u"Attached", u"Unplugged", u"Modem"}},
        TFlagsCase{"InterfacesPresent",
                   &GUID_DEVINTERFACE_COMPORT,
                   true,
                   false,
                   true,
                   DIGCF_PRESENT | DIGCF_DEVICEINTERFACE,
                   {u"Attached"}},
        TFlagsCase{"InterfacesAll",
                   &GUID_DEVINTERFACE_COMPORT,
                   false,
                   false,
                   true,
                   DIGCF_DEVICEINTERFACE,
                   {u"Attached", u"Unplugged"}},
        TFlagsCase{"ModemInterfacesNone",
                   &GUID_DEVINTERFACE_MODEM,
                   false,
                   false,
                   true,
                   DIGCF_DEVICEINTERFACE,
                   {}}),
    [](const testing::TestParamInfo<TFlagsCase>& Info) { return std::string(Info.param.Name); });

// --- Interface queries --------------------------------------------------------------------------

TEST_F(SetupApi, AnInterfaceQueryGivesTheDevicePathAndTheDevicesPropertiesOnly) {
    Fake.InstallSetupApi(true);
    TFakePnpDevice Port =
        SerialPort(u"FTDIBUS\\VID_0403+PID_6001+A1A\\0000", u"COM3", u"USB Serial Port");
    const std::u16string Path =
        u"\\\\?\\FTDIBUS#VID_0403+PID_6001+A1A#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
    Port.Interfaces = {{GUID_DEVINTERFACE_COMPORT, Path}};
    Fake.AddPnpDevice(Port);
    Fake.AddPnpDevice(SerialPort(u"ACPI\\PNP0501\\1", u"COM1", u"No interface"));

    lx::TPnpDeviceList List;
    lx::EnumPnpDevices(&GUID_DEVINTERFACE_COMPORT, false, false, List, true);
    ASSERT_EQ(List.size(), 1u);
    const lx::TPnpDevice& Found = *List[0].Device;
    EXPECT_EQ(Found.NameSymbolic, Path);
    EXPECT_EQ(Found.Description, u"USB Serial Port");
    EXPECT_EQ(Found.Driver, List[0].Text);
    EXPECT_EQ(Found.Service, u"Serial");
    EXPECT_EQ(Found.Manufacturer, u"(Standard port types)");
    EXPECT_EQ(Found.NamePDO, u"\\Device\\0000004a");
    EXPECT_EQ(Found.GuidClass, GUID_DEVCLASS_PORTS);
    EXPECT_EQ(Found.RegKey, u"");
    EXPECT_EQ(Found.PortName, u"");
    EXPECT_EQ(Found.InstanceId, u"");
    EXPECT_EQ(Found.DevInst, 0u);
    EXPECT_EQ(Found.BusRelations, u"");
    EXPECT_EQ(Fake.CallCount("SetupDiOpenDevRegKey"), 0);

    // The size is asked for first, then the block is filled with the platform's record size.
    const auto Details = Fake.Calls("SetupDiGetDeviceInterfaceDetailW");
    ASSERT_EQ(Details.size(), 2u);
    EXPECT_EQ(Details[0].Args[1], 0u);
    EXPECT_EQ(Details[1].Args[1], 4u + (Path.size() + 1) * 2);
    EXPECT_EQ(Details[1].Args[2], sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
    for (const lxtest::TFakeCall& Call : Fake.Calls("SetupDiEnumDeviceInterfaces")) {
        EXPECT_EQ(Call.Args[3], sizeof(SP_DEVICE_INTERFACE_DATA));
    }
    ExpectNothingLeft();
}

TEST_F(SetupApi, AnInterfaceWhoseSizeQueryFailsOtherwiseIsSkipped) {
    Fake.InstallSetupApi(true);
    for (const char16_t* Name : {u"First", u"Second"}) {
        TFakePnpDevice Port = SerialPort(u"ACPI\\PNP0501\\" + std::u16string(Name), u"", Name);
        Port.Interfaces = {{GUID_DEVINTERFACE_COMPORT, u"\\\\?\\" + std::u16string(Name)}};
        Fake.AddPnpDevice(Port);
    }
    lxtest::TFakeResult NotInsufficient = Fail(ERROR_INVALID_PARAMETER);
    NotInsufficient.Transferred = 100;
    Fake.ScriptNext("SetupDiGetDeviceInterfaceDetailW", NotInsufficient);

    lx::TPnpDeviceList List;
    lx::EnumPnpDevices(&GUID_DEVINTERFACE_COMPORT, false, false, List, true);
    ASSERT_EQ(List.size(), 1u);
    EXPECT_EQ(List[0].Device->Description, u"Second");
    EXPECT_EQ(List[0].Device->NameSymbolic, u"\\\\?\\Second");
    ExpectNothingLeft();
}

TEST_F(SetupApi, ADeviceQueryWithInterfaceTakesTheSymbolicNameFromTheInterface) {
    Fake.InstallSetupApi(true);
    TFakePnpDevice Port = SerialPort(u"ACPI\\PNP0501\\1", u"COM1", u"Communications Port");
    Port.Interfaces = {{GUID_DEVINTERFACE_MODEM, u"\\\\?\\modem"},
                       {GUID_DEVCLASS_PORTS, u"\\\\?\\acpi#pnp0501#1#{4d36e978}"}};
    Fake.AddPnpDevice(Port);

    lx::TPnpDeviceList List;
    lx::EnumPnpDevices(&GUID_DEVCLASS_PORTS, false, true, List, true);
    ASSERT_EQ(List.size(), 1u);
    EXPECT_EQ(List[0].Device->NameSymbolic, u"\\\\?\\acpi#pnp0501#1#{4d36e978}");
    EXPECT_EQ(List[0].Device->PortName, u"COM1");
    EXPECT_EQ(List[0].Device->InstanceId, u"ACPI\\PNP0501\\1");
    ExpectNothingLeft();
}

// --- Related devices ----------------------------------------------------------------------------

TEST_F(SetupApi, GetDeviceIdListJoinsTheChildrenOrGivesNothing) {
    Fake.InstallSetupApi(true);
    Fake.AddPnpDevice(SerialPort(u"USB\\VID_0403&PID_6010\\X", u"", u"Dual"));
    for (const char16_t* Id :
         {u"USB\\VID_0403&PID_6010&MI_00\\X", u"USB\\VID_0403&PID_6010&MI_01\\X"}) {
        TFakePnpDevice Child;
        Child.InstanceId = Id;
        Child.Parent = u"USB\\VID_0403&PID_6010\\X";
        Fake.AddPnpDevice(Child);
    }
    EXPECT_EQ(lx::GetDeviceIdList(u"USB\\VID_0403&PID_6010\\X", u";", true),
              u"USB\\VID_0403&PID_6010&MI_00\\X;USB\\VID_0403&PID_6010&MI_01\\X");
    EXPECT_EQ(lx::GetDeviceIdList(u"USB\\VID_0403&PID_6010\\X", u", ", false),
              u"USB\\VID_0403&PID_6010&MI_00\\X, USB\\VID_0403&PID_6010&MI_01\\X");
    EXPECT_EQ(lx::GetDeviceIdList(u"USB\\VID_0403&PID_6010&MI_00\\X", u";", true), u"");
    EXPECT_EQ(lx::GetDeviceIdList(u"NO\\SUCH\\DEVICE", u";", true), u"");

    const auto Sizes = Fake.Calls("CM_Get_Device_ID_List_SizeW");
    ASSERT_EQ(Sizes.size(), 4u);
    EXPECT_EQ(Sizes[0].Args[0], CM_GETIDLIST_FILTER_BUSRELATIONS);
    EXPECT_EQ(Sizes[1].Args[0], CM_GETIDLIST_FILTER_REMOVALRELATIONS);
    const auto Lists = Fake.Calls("CM_Get_Device_ID_ListW");
    ASSERT_EQ(Lists.size(), 3u);
    EXPECT_EQ(Lists[0].Text, u"USB\\VID_0403&PID_6010\\X");
    // Both ids with their terminators, and the final NUL.
    const std::uintptr_t Length =
        2 * (std::u16string_view(u"USB\\VID_0403&PID_6010&MI_00\\X").size() + 1) + 1;
    EXPECT_EQ(Lists[0].Args,
              (std::vector<std::uintptr_t>{Length, CM_GETIDLIST_FILTER_BUSRELATIONS}));
}

TEST_F(SetupApi, GetDeviceIdListGivesNothingWhenTheListCannotBeRead) {
    Fake.InstallSetupApi(true);
    TFakePnpDevice Child;
    Child.InstanceId = u"B\\1\\1";
    Child.Parent = u"A\\1\\1";
    Fake.AddPnpDevice(SerialPort(u"A\\1\\1", u"", u"Parent"));
    Fake.AddPnpDevice(Child);

    lxtest::TFakeResult ZeroLength = Returns(CR_SUCCESS);
    Fake.ScriptNext("CM_Get_Device_ID_List_SizeW", ZeroLength);
    EXPECT_EQ(lx::GetDeviceIdList(u"A\\1\\1", u";", true), u"");
    Fake.ScriptNext("CM_Get_Device_ID_ListW", Returns(CR_BUFFER_SMALL));
    EXPECT_EQ(lx::GetDeviceIdList(u"A\\1\\1", u";", true), u"");
    EXPECT_EQ(Fake.CallCount("CM_Get_Device_ID_ListW"), 1);
    EXPECT_EQ(lx::GetDeviceIdList(u"A\\1\\1", u";", true), u"B\\1\\1");
}
