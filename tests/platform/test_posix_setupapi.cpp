// The Setup API, the configuration manager and the port map's numbering on the native backend,
// over synthetic sysfs trees: an FTDI adapter, a CDC ACM device, a UART and a phantom one, a
// parallel port, plus links in the port folder.
#include "lxwin32.h"
#include "lxwin32di.h"
#include "posix/portmap.h"
#include "pty.h"
#include "sysfs_tree.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using namespace winapi;
using lxtest::TSysfsTree;

std::string Narrow(const std::u16string& Text) {
    return std::string(Text.begin(), Text.end());
}

const TSysfsTree::TUsbDevice Ftdi{"1-2", "0403", "6001", "A6008ISP", "FT232R USB UART", "FTDI"};
const TSysfsTree::TUsbDevice Arduino{"1-3", "2341", "0043", "", "", "Arduino (www.arduino.cc)"};

constexpr std::u16string_view FtdiId = u"USB\\VID_0403&PID_6001&MI_00\\A6008ISP";
constexpr std::u16string_view ArduinoId = u"USB\\VID_2341&PID_0043&MI_00\\1-3";
constexpr std::u16string_view UartId = u"PNP\\PNP0501\\00:00";
constexpr std::u16string_view ParallelId = u"PNP\\PNP0400\\00:05";

class PosixSetupApi : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(&Api(), &NativeApi());
        lx::UnloadSetupApi();
    }
    void TearDown() override { lx::UnloadSetupApi(); }

    // The machine of most tests: every kind of port, a phantom UART and a virtual terminal.
    void BuildMachine() {
        Tree.AddUart("00:00", "ttyS0", 4);
        Tree.AddLegacyUart("ttyS1", 0);
        Tree.AddUsbSerial(Ftdi, "ttyUSB0");
        Tree.AddAcm(Arduino, "ttyACM0");
        Tree.AddParallel("00:05", 0);
        Tree.AddVirtualTty("tty1");
    }

    static lx::TPnpDeviceList Enum(const GUID* Guid, bool PresentOnly, bool ByDeviceInfo = true) {
        lx::TPnpDeviceList List;
        lx::EnumPnpDevices(Guid, PresentOnly, ByDeviceInfo, List, !ByDeviceInfo);
        return List;
    }

    static std::vector<std::u16string> Ids(const lx::TPnpDeviceList& List) {
        std::vector<std::u16string> Found;
        for (const lx::TPnpEntry& Entry : List) {
            Found.push_back(Entry.Device->InstanceId);
        }
        return Found;
    }

    static const lx::TPnpDevice& Record(const lx::TPnpDeviceList& List, std::u16string_view Id) {
        for (const lx::TPnpEntry& Entry : List) {
            if (Entry.Device->InstanceId == Id) {
                return *Entry.Device;
            }
        }
        throw std::runtime_error("no record " + Narrow(std::u16string(Id)));
    }

    // The port names of the present ports, by name: what the registry's port list shows.
    static std::vector<std::u16string> SerialComm() {
        lx::TPortList Ports;
        lx::EnumSerialPorts(Ports, true);
        std::vector<std::u16string> Entries;
        for (int Index = 0; Index < Ports.Count(); ++Index) {
            Entries.push_back(Ports.Strings(Index));
        }
        return Entries;
    }

    static std::u16string PortOf(std::u16string_view Id) {
        return Record(Enum(&GUID_DEVCLASS_PORTS, false), Id).PortName;
    }

    lxtest::TPortFolder Folder;
    TSysfsTree Tree{Folder.SysfsDir()};
};

// --- Records ------------------------------------------------------------------------------------

TEST_F(PosixSetupApi, ThePortsClassListsThePortsWithHardwareBehindThem) {
    BuildMachine();
    ASSERT_TRUE(lx::LoadSetupApi());
    const lx::TPnpDeviceList List = Enum(&GUID_DEVCLASS_PORTS, true);
    // The phantom UART and the virtual terminal are not there; the parallel port is.
    EXPECT_EQ(Ids(List),
              (std::vector<std::u16string>{std::u16string(ParallelId), std::u16string(UartId),
                                           std::u16string(FtdiId), std::u16string(ArduinoId)}));

    const lx::TPnpDevice& Adapter = Record(List, FtdiId);
    EXPECT_EQ(Adapter.PortName, u"COM2");
    EXPECT_EQ(Adapter.Description, u"FT232R USB UART");
    EXPECT_EQ(Adapter.Manufacturer, u"FTDI");
    EXPECT_EQ(Adapter.Service, u"ftdi_sio");
    EXPECT_EQ(Adapter.Driver, u"ftdi_sio");
    EXPECT_EQ(Adapter.GuidClass, GUID_DEVCLASS_PORTS);
    EXPECT_NE(Adapter.DevInst, 0u);
    EXPECT_EQ(Adapter.RegKey, u"SYSTEM\\CurrentControlSet\\Enum\\" + std::u16string(FtdiId) +
                                  u"\\Device Parameters");
    EXPECT_EQ(Adapter.NameSymbolic, u"\\??\\USB#VID_0403&PID_6001&MI_00#A6008ISP#"
                                    u"{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
    EXPECT_TRUE(Narrow(Adapter.NamePDO).ends_with("/usb1/1-2/1-2:1.0/ttyUSB0"))
        << Narrow(Adapter.NamePDO);
    EXPECT_EQ(Adapter.BusRelations, u"");

    // Without a product string the driver names the device.
    const lx::TPnpDevice& Acm = Record(List, ArduinoId);
    EXPECT_EQ(Acm.PortName, u"COM3");
    EXPECT_EQ(Acm.Description, u"USB Serial Device");
    EXPECT_EQ(Acm.Manufacturer, u"Arduino (www.arduino.cc)");
    EXPECT_EQ(Acm.Service, u"cdc_acm");

    const lx::TPnpDevice& Uart = Record(List, UartId);
    EXPECT_EQ(Uart.PortName, u"COM1");
    EXPECT_EQ(Uart.Description, u"Communications Port");
    EXPECT_EQ(Uart.Manufacturer, u"(Standard port types)");
    EXPECT_EQ(Uart.Service, u"serial");

    const lx::TPnpDevice& Parallel = Record(List, ParallelId);
    EXPECT_EQ(Parallel.PortName, u"LPT1");
    EXPECT_EQ(Parallel.Description, u"Printer Port");
    EXPECT_EQ(Parallel.Service, u"parport_pc");

    EXPECT_EQ(SerialComm(), (std::vector<std::u16string>{u"COM1=\\Device\\ttyS0", u"COM2=\\Device\\ttyUSB0",
                                                         u"COM3=\\Device\\ttyACM0"}));
}

TEST_F(PosixSetupApi, TheHardwareKeyHoldsThePortNameAndIsNamedLikeAWindowsEnumKey) {
    BuildMachine();
    const lx::TPnpDeviceList List = Enum(&GUID_DEVCLASS_PORTS, true);
    const lx::TPnpDevice& Adapter = Record(List, FtdiId);
    HKEY Key = nullptr;
    ASSERT_EQ(Api().RegOpenKeyExW(HKEY_LOCAL_MACHINE, Adapter.RegKey.c_str(), 0, KEY_READ, &Key),
              LSTATUS(ERROR_SUCCESS));
    WCHAR Port[16] = {};
    DWORD Type = 0;
    DWORD Size = sizeof(Port);
    ASSERT_EQ(Api().RegQueryValueExW(Key, u"PortName", nullptr, &Type,
                                     reinterpret_cast<BYTE*>(Port), &Size),
              LSTATUS(ERROR_SUCCESS));
    EXPECT_EQ(Type, REG_SZ);
    EXPECT_EQ(std::u16string(Port, Size / 2), std::u16string(u"COM2\0", 5));
    std::u16string Path;
    lx::GetRegistryKeyPath(Key, nullptr, Path);
    EXPECT_EQ(Path, u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" +
                        std::u16string(FtdiId) + u"\\Device Parameters");
    Api().RegCloseKey(Key);
}

TEST_F(PosixSetupApi, AnInterfaceQueryListsTheSerialPortsByTheirDevicePaths) {
    BuildMachine();
    const lx::TPnpDeviceList List = Enum(&GUID_DEVINTERFACE_COMPORT, true, false);
    ASSERT_EQ(List.size(), 3u);
    for (const lx::TPnpEntry& Entry : List) {
        EXPECT_TRUE(Entry.Device->NameSymbolic.starts_with(u"\\\\?\\"));
        EXPECT_TRUE(
            Entry.Device->NameSymbolic.ends_with(u"#{86e0d1e0-8089-11d0-9ce4-08003e301f73}"));
        EXPECT_EQ(Entry.Device->PortName, u"");
        EXPECT_EQ(Entry.Device->InstanceId, u"");
        EXPECT_EQ(Entry.Text, Entry.Device->Driver);
    }
    EXPECT_EQ(List[0].Device->NameSymbolic,
              u"\\\\?\\PNP#PNP0501#00:00#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
    EXPECT_EQ(List[1].Device->Description, u"FT232R USB UART");
}

TEST_F(PosixSetupApi, ClassesWithoutACounterpartHereListNothingAndEveryClassListsTheUsbNodesToo) {
    BuildMachine();
    EXPECT_TRUE(Enum(&GUID_DEVINTERFACE_MODEM, false, false).empty());
    EXPECT_TRUE(Enum(&GUID_DEVINTERFACE_SERENUM_BUS_ENUMERATOR, false, false).empty());
    for (const GUID* Class :
         {&GUID_DEVCLASS_INFRARED, &GUID_DEVCLASS_ADAPTER, &GUID_DEVCLASS_BLUETOOTH,
          &GUID_DEVCLASS_MODEM, &GUID_DEVCLASS_MULTIFUNCTION, &GUID_DEVCLASS_MULTIPORTSERIAL,
          &GUID_DEVCLASS_LEGACYDRIVER}) {
        EXPECT_TRUE(Enum(Class, false).empty()) << Class->Data1;
    }
    // Four ports, two USB devices and the ACM device's data interface.
    const lx::TPnpDeviceList Everything = Enum(nullptr, true);
    EXPECT_EQ(Everything.size(), 7u);
    EXPECT_EQ(Record(Everything, u"USB\\VID_0403&PID_6001\\A6008ISP").Description,
              u"FT232R USB UART");
}

TEST_F(PosixSetupApi, TheConfigurationManagerGivesAUsbDevicesChildrenAndWalksTheTree) {
    BuildMachine();
    EXPECT_EQ(lx::GetDeviceIdList(u"USB\\VID_2341&PID_0043\\1-3", u";", true),
              u"USB\\VID_2341&PID_0043&MI_00\\1-3;USB\\VID_2341&PID_0043&MI_01\\1-3");
    EXPECT_EQ(lx::GetDeviceIdList(ArduinoId, u";", true), u"");

    const HMODULE CfgMgr = Api().LoadLibraryW(u"cfgmgr32.dll");
    ASSERT_NE(CfgMgr, nullptr);
    const auto Locate =
        ProcAs<PFN_CM_Locate_DevNodeW>(Api().GetProcAddress(CfgMgr, "CM_Locate_DevNodeW"));
    const auto Parent = ProcAs<PFN_CM_Get_Relative>(Api().GetProcAddress(CfgMgr, "CM_Get_Parent"));
    const auto Child = ProcAs<PFN_CM_Get_Relative>(Api().GetProcAddress(CfgMgr, "CM_Get_Child"));
    const auto Sibling =
        ProcAs<PFN_CM_Get_Relative>(Api().GetProcAddress(CfgMgr, "CM_Get_Sibling"));
    ASSERT_TRUE(Locate && Parent && Child && Sibling);
    EXPECT_EQ(Api().GetProcAddress(CfgMgr, "SetupDiGetClassDevsW"), nullptr);

    DEVINST Port = 0, Device = 0, First = 0, Next = 0, Root = 0;
    ASSERT_EQ(Locate(&Port, ArduinoId.data(), CM_LOCATE_DEVNODE_NORMAL), CR_SUCCESS);
    ASSERT_EQ(Parent(&Device, Port, 0), CR_SUCCESS);
    DEVINST Expected = 0;
    ASSERT_EQ(Locate(&Expected, u"USB\\VID_2341&PID_0043\\1-3", 0), CR_SUCCESS);
    EXPECT_EQ(Device, Expected);
    ASSERT_EQ(Child(&First, Device, 0), CR_SUCCESS);
    EXPECT_EQ(First, Port);
    ASSERT_EQ(Sibling(&Next, First, 0), CR_SUCCESS);
    EXPECT_EQ(Sibling(&Next, Next, 0), CR_NO_SUCH_DEVNODE);
    ASSERT_EQ(Parent(&Root, Device, 0), CR_SUCCESS);
    EXPECT_EQ(Locate(&Expected, nullptr, 0), CR_SUCCESS);
    EXPECT_EQ(Root, Expected);
    EXPECT_EQ(Parent(&Root, Root, 0), CR_NO_SUCH_DEVNODE);

    // An unplugged device is a phantom: found only when asked for one.
    Tree.UnplugUsb("1-2");
    EXPECT_EQ(Locate(&Expected, FtdiId.data(), CM_LOCATE_DEVNODE_NORMAL), CR_NO_SUCH_DEVNODE);
    EXPECT_EQ(Locate(&Expected, FtdiId.data(), CM_LOCATE_DEVNODE_PHANTOM), CR_SUCCESS);
    Api().FreeLibrary(CfgMgr);
}

// --- Presence and numbering ---------------------------------------------------------------------

TEST_F(PosixSetupApi, AnUnpluggedAdapterIsNotPresentAndGetsItsNumberBackWhenReplugged) {
    BuildMachine();
    EXPECT_EQ(PortOf(FtdiId), u"COM2");

    Tree.UnplugUsb("1-2");
    EXPECT_EQ(Ids(Enum(&GUID_DEVCLASS_PORTS, true)).size(), 3u);
    const lx::TPnpDeviceList All = Enum(&GUID_DEVCLASS_PORTS, false);
    ASSERT_EQ(All.size(), 4u);
    const lx::TPnpDevice& Gone = Record(All, FtdiId);
    EXPECT_EQ(Gone.PortName, u"COM2");
    EXPECT_EQ(Gone.Description, u"FT232R USB UART");
    EXPECT_EQ(SerialComm(),
              (std::vector<std::u16string>{u"COM1=\\Device\\ttyS0", u"COM3=\\Device\\ttyACM0"}));

    // A new adapter takes the lowest number nobody holds, not the absent adapter's.
    TSysfsTree::TUsbDevice Other = Ftdi;
    Other.PortPath = "1-4";
    Other.Serial = "B0001";
    Tree.AddUsbSerial(Other, "ttyUSB0");
    EXPECT_EQ(PortOf(u"USB\\VID_0403&PID_6001&MI_00\\B0001"), u"COM4");

    // The first adapter comes back in another socket, under another tty name: still COM2.
    TSysfsTree::TUsbDevice Moved = Ftdi;
    Moved.PortPath = "1-5";
    Tree.AddUsbSerial(Moved, "ttyUSB1");
    EXPECT_EQ(PortOf(FtdiId), u"COM2");
    EXPECT_EQ(SerialComm(),
              (std::vector<std::u16string>{u"COM1=\\Device\\ttyS0", u"COM2=\\Device\\ttyUSB1",
                                           u"COM3=\\Device\\ttyACM0", u"COM4=\\Device\\ttyUSB0"}));

    // A device without a serial number is known by its socket.
    Tree.UnplugUsb("1-3");
    EXPECT_EQ(SerialComm().size(), 3u);
    Tree.AddAcm(Arduino, "ttyACM0");
    EXPECT_EQ(PortOf(ArduinoId), u"COM3");
}

// Cheap adapters often share one serial number. Each must have a number of its own that opens it
// and that it keeps whichever of them is unplugged and plugged again; and a rebuild of the map
// that changes nothing must not write the numbering file again.
TEST_F(PosixSetupApi, AdaptersSharingASerialNumberHaveANumberEachAndKeepIt) {
    const TSysfsTree::TUsbDevice Cheap{"1-2", "0403", "6001", "0001", "", ""};
    TSysfsTree::TUsbDevice Twin = Cheap;
    Twin.PortPath = "1-3";
    const auto Ports = [] {
        std::map<std::u16string, std::string> Opens;
        for (const winapi::posix::TPortLink& Port : winapi::posix::ListPresentPorts()) {
            Opens.emplace(Port.Name, Port.LinkPath);
        }
        return Opens;
    };
    using TPorts = std::map<std::u16string, std::string>;
    struct stat Before {};
    const auto Rewritten = [&] {
        // Anything in the port folder makes the map be built again.
        std::ofstream(Folder.PortDir() + "/poke-" + std::to_string(Before.st_ino)) << "x";
        Ports();
        struct stat After {};
        EXPECT_EQ(::stat(winapi::posix::NumbersFile().c_str(), &After), 0);
        const bool Changed = After.st_ino != Before.st_ino;
        Before = After;
        return Changed;
    };

    Tree.AddUsbSerial(Cheap, "ttyUSB0");
    EXPECT_EQ(Ports(), (TPorts{{u"COM1", "/dev/ttyUSB0"}}));
    EXPECT_TRUE(Rewritten());
    Tree.AddUsbSerial(Twin, "ttyUSB1");
    EXPECT_EQ(Ports(), (TPorts{{u"COM1", "/dev/ttyUSB0"}, {u"COM2", "/dev/ttyUSB1"}}));
    EXPECT_TRUE(Rewritten());
    EXPECT_FALSE(Rewritten());
    EXPECT_FALSE(Rewritten());
    // Both are told apart by the socket they are plugged into.
    EXPECT_EQ(PortOf(u"USB\\VID_0403&PID_6001&MI_00\\1-2"), u"COM1");
    EXPECT_EQ(PortOf(u"USB\\VID_0403&PID_6001&MI_00\\1-3"), u"COM2");

    Tree.UnplugUsb("1-2");
    EXPECT_EQ(Ports(), (TPorts{{u"COM2", "/dev/ttyUSB1"}}));
    Tree.AddUsbSerial(Cheap, "ttyUSB0");
    EXPECT_EQ(Ports(), (TPorts{{u"COM1", "/dev/ttyUSB0"}, {u"COM2", "/dev/ttyUSB1"}}));
    Tree.UnplugUsb("1-3");
    EXPECT_EQ(Ports(), (TPorts{{u"COM1", "/dev/ttyUSB0"}}));
    Tree.AddUsbSerial(Twin, "ttyUSB2");
    EXPECT_EQ(Ports(), (TPorts{{u"COM1", "/dev/ttyUSB0"}, {u"COM2", "/dev/ttyUSB2"}}));
    Rewritten();
    EXPECT_FALSE(Rewritten());
}

#ifdef LXPORTS_PROGRAM
// lxports --json, for scripts: each port with what a serial port lister shows of it.
TEST_F(PosixSetupApi, LxportsGivesEachPortWithItsUsbDataAsJson) {
    Tree.AddUsbSerial(Ftdi, "ttyUSB0");
    FILE* Pipe = ::popen(LXPORTS_PROGRAM " --json", "r");
    ASSERT_NE(Pipe, nullptr);
    std::string Output;
    char Chunk[4096];
    for (std::size_t Got; (Got = std::fread(Chunk, 1, sizeof(Chunk), Pipe)) > 0;) {
        Output.append(Chunk, Got);
    }
    EXPECT_EQ(::pclose(Pipe), 0);
    EXPECT_EQ(Output, "[\n  {\"port\": \"COM1\", \"device\": \"/dev/ttyUSB0\", "
                      "\"leads_to\": \"/dev/ttyUSB0\", \"registered_as\": \"\\\\Device\\\\ttyUSB0\", "
                      "\"description\": \"FT232R USB UART\", \"manufacturer\": \"FTDI\", "
                      "\"usb_vid_pid\": \"0403:6001\", \"serial_number\": \"A6008ISP\", "
                      "\"location\": \"1-2:1.0\", "
                      "\"number_from\": \"new number, saved for this device from now on\", "
                      "\"instance_id\": \"USB\\\\VID_0403&PID_6001&MI_00\\\\A6008ISP\"}\n]\n");
}
#endif

TEST_F(PosixSetupApi, NumbersComeFromTheNumberingFileAfterARestart) {
    // Plugged in this order, the adapter gets COM2, although it sorts first.
    Tree.AddAcm(Arduino, "ttyACM0");
    EXPECT_EQ(SerialComm(), std::vector<std::u16string>{u"COM1=\\Device\\ttyACM0"});
    Tree.AddUsbSerial(Ftdi, "ttyUSB0");
    EXPECT_EQ(SerialComm(),
              (std::vector<std::u16string>{u"COM1=\\Device\\ttyACM0", u"COM2=\\Device\\ttyUSB0"}));

    std::ifstream File(winapi::posix::NumbersFile());
    std::stringstream Text;
    Text << File.rdbuf();
    EXPECT_NE(Text.str().find("COM2\tUSB\\VID_0403&PID_6001&MI_00\\A6008ISP\t/dev/ttyUSB0\t"
                              "FT232R USB UART\tFTDI\tftdi_sio\tftdi_sio\n"),
              std::string::npos)
        << Text.str();

    // A program starting now knows only the file: another name for the same tree makes the
    // port map start from nothing, as a new process would.
    const std::string Alias = Folder.Root() + "/sys-alias";
    std::filesystem::create_directory_symlink(Folder.SysfsDir(), Alias);
    ::setenv("LXCOMM_SYSFS_ROOT", Alias.c_str(), 1);
    EXPECT_EQ(SerialComm(),
              (std::vector<std::u16string>{u"COM1=\\Device\\ttyACM0", u"COM2=\\Device\\ttyUSB0"}));
    const auto Map = winapi::posix::CurrentPortMap();
    ASSERT_EQ(Map->Present.size(), 2u);
    EXPECT_EQ(Map->Present[1].Origin, winapi::posix::TPortOrigin::Saved);
}

TEST_F(PosixSetupApi, AHandEditedNumberingFileCannotGiveOneNumberToTwoDevices) {
    // Comments and foreign lines are passed over, and of two lines claiming COM5 the first wins.
    std::ofstream(winapi::posix::NumbersFile())
        << "# kept by hand\n"
        << "not a line of ours\n"
        << "COM5\tUSB\\VID_2341&PID_0043&MI_00\\1-3\t/dev/ttyACM0\tA\tB\tC\tD\n"
        << "COM5\tUSB\\VID_0403&PID_6001&MI_00\\A6008ISP\t/dev/ttyUSB0\tX\tY\tZ\tW\n"
        << "COM7\tUSB\\VID_1A86&PID_7523&MI_00\\1-9\t/dev/"
           "ttyUSB9\tBoard%09100%25\tQ\tch341\tch341\n"
        << "COM2\ttorn";
    Tree.AddUsbSerial(Ftdi, "ttyUSB0");
    Tree.AddAcm(Arduino, "ttyACM0");
    EXPECT_EQ(SerialComm(),
              (std::vector<std::u16string>{u"COM1=\\Device\\ttyUSB0", u"COM5=\\Device\\ttyACM0"}));

    // A device that is away is listed with the texts the file keeps, escapes undone.
    const lx::TPnpDeviceList List = Enum(&GUID_DEVCLASS_PORTS, false);
    const lx::TPnpDevice& Away = Record(List, u"USB\\VID_1A86&PID_7523&MI_00\\1-9");
    EXPECT_EQ(Away.PortName, u"COM7");
    EXPECT_EQ(Away.Description, u"Board\t100%");
    EXPECT_EQ(Away.Service, u"ch341");
    EXPECT_EQ(Enum(&GUID_DEVCLASS_PORTS, true).size(), 2u);
}

TEST_F(PosixSetupApi, LinksOverrideTheNumberingAndADisplacedDeviceKeepsItsOwnNumber) {
    using winapi::posix::TPortOrigin;
    BuildMachine();
    EXPECT_EQ(PortOf(UartId), u"COM1");

    // The adapter reached through a link is that port; the UART, whose COM1 a terminal's link
    // now holds, stands in under the lowest free number meanwhile.
    lxtest::TPtyPair Pty;
    Folder.Link("COM7", "/dev/ttyUSB0");
    Folder.Link("COM1", Pty.SlavePath());
    const auto Map = winapi::posix::CurrentPortMap();
    std::vector<std::pair<std::u16string, TPortOrigin>> Ports;
    for (const auto& Port : Map->Present) {
        Ports.emplace_back(Port.Name, Port.Origin);
    }
    EXPECT_EQ(Ports, (std::vector<std::pair<std::u16string, TPortOrigin>>{
                         {u"COM1", TPortOrigin::Link},
                         {u"COM7", TPortOrigin::Link},
                         {u"COM3", TPortOrigin::Saved},
                         {u"COM4", TPortOrigin::Temporary}}));
    EXPECT_EQ(Map->Present[1].InstanceId, FtdiId);

    const lx::TPnpDeviceList List = Enum(&GUID_DEVCLASS_PORTS, true);
    EXPECT_EQ(Record(List, FtdiId).PortName, u"COM7");
    EXPECT_EQ(Record(List, UartId).PortName, u"COM4");
    const lx::TPnpDevice& Terminal = Record(List, u"LXCOMM\\PORTLINK\\COM1");
    EXPECT_EQ(Terminal.PortName, u"COM1");
    EXPECT_EQ(Terminal.Description, u"Pseudo-terminal");
    EXPECT_EQ(Narrow(Terminal.NamePDO), Pty.SlavePath());

    Folder.Unlink("COM7");
    Folder.Unlink("COM1");
    EXPECT_EQ(PortOf(FtdiId), u"COM2");
    EXPECT_EQ(PortOf(UartId), u"COM1");
}

TEST_F(PosixSetupApi, ALinkedTerminalIsAPresentPortOnlyWhileItIsOpen) {
    auto Pty = std::make_unique<lxtest::TPtyPair>();
    Folder.Link("COM9", Pty->SlavePath());
    ASSERT_EQ(Ids(Enum(&GUID_DEVCLASS_PORTS, true)),
              std::vector<std::u16string>{u"LXCOMM\\PORTLINK\\COM9"});
    Pty.reset();
    EXPECT_TRUE(Enum(&GUID_DEVCLASS_PORTS, true).empty());
    EXPECT_EQ(Ids(Enum(&GUID_DEVCLASS_PORTS, false)),
              std::vector<std::u16string>{u"LXCOMM\\PORTLINK\\COM9"});
}

} // namespace
