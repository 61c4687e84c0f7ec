// lxports: what this system's serial library sees as ports, for users and for support. It shows
// the port map (each COM number, where it leads and where the number came from), the registered
// port list (SERIALCOMM) and the Plug and Play records of the ports class and of the COM port
// interface, one block per device with its fields.
#include "lxsysutils.h"
#include "lxwin32.h"
#include "lxwin32di.h"
#include "posix/portmap.h"
#include "posix/registrystore.h"
#include "posix/sysfs.h"
#include "posix/textcodec.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

namespace {

using winapi::posix::ToUtf8;

void Line(const char* Label, const std::string& Value) {
    if (!Value.empty()) {
        std::printf("  %-16s %s\n", Label, Value.c_str());
    }
}

void Line(const char* Label, const std::u16string& Value) {
    Line(Label, ToUtf8(Value));
}

std::string Origin(const winapi::posix::TPortLink& Port) {
    using winapi::posix::TPortOrigin;
    switch (Port.Origin) {
    case TPortOrigin::Link:
        return "link " + Port.LinkPath;
    case TPortOrigin::Saved:
        return "saved number of this device";
    case TPortOrigin::New:
        return "new number, saved for this device from now on";
    case TPortOrigin::Temporary:
        return "temporary: a link holds this device's saved number";
    }
    return {};
}

void ShowPortMap() {
    const auto Map = winapi::posix::CurrentPortMap();
    std::printf("Port map\n");
    Line("Port folder", winapi::posix::PortFolder());
    Line("Numbering file", winapi::posix::NumbersFile());
    Line("Sysfs", winapi::posix::SysfsRoot());
    Line("Registry", winapi::posix::TRegistry::StoreFolder());
    std::printf("\n");
    for (const auto& Port : Map->Present) {
        std::printf("%s\n", ToUtf8(Port.Name).c_str());
        Line("Leads to", Port.DevicePath);
        Line("Number from", Origin(Port));
        Line("Device", Port.InstanceId);
        std::printf("\n");
    }
    for (const auto& Link : Map->Links) {
        const bool Present = std::any_of(Map->Present.begin(), Map->Present.end(),
                                         [&](const auto& Port) { return Port.Name == Link.Name; });
        if (!Present) {
            std::printf("%s (not there: %s does not exist)\n\n", ToUtf8(Link.Name).c_str(),
                        Link.DevicePath.c_str());
        }
    }
}

void ShowSerialComm() {
    std::printf("Registered ports (HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM)\n");
    lx::TPortList Ports;
    lx::EnumSerialPorts(Ports, true);
    for (int Index = 0; Index < Ports.Count(); ++Index) {
        std::printf("  %s\n", ToUtf8(Ports.Strings(Index)).c_str());
    }
    std::printf("\n");
}

void ShowDevice(const lx::TPnpDevice& Device, const char* Presence) {
    std::printf("%s\n",
                ToUtf8(Device.PortName.empty() ? Device.NameSymbolic : Device.PortName).c_str());
    Line("Present", std::string(Presence));
    Line("Description", Device.Description);
    Line("Manufacturer", Device.Manufacturer);
    Line("Service", Device.Service);
    Line("Driver", Device.Driver);
    Line("Instance id", Device.InstanceId);
    Line("Physical device", Device.NamePDO);
    Line("Hardware key",
         Device.RegKey.empty() ? std::u16string() : u"HKEY_LOCAL_MACHINE\\" + Device.RegKey);
    Line("Symbolic name", Device.NameSymbolic);
    Line("Bus relations", Device.BusRelations);
    std::printf("\n");
}

void ShowPlugAndPlay() {
    if (!lx::LoadSetupApi()) {
        std::printf("Plug and Play: the Setup API cannot be loaded: %s\n\n",
                    ToUtf8(lx::GetLastErrorText()).c_str());
        return;
    }
    lx::TPnpDeviceList Present;
    lx::EnumPnpDevices(&winapi::GUID_DEVCLASS_PORTS, true, true, Present, false);
    std::set<std::u16string> PresentIds;
    for (const lx::TPnpEntry& Entry : Present) {
        PresentIds.insert(Entry.Device->InstanceId);
    }
    lx::TPnpDeviceList All;
    lx::EnumPnpDevices(&winapi::GUID_DEVCLASS_PORTS, false, true, All, false);
    std::printf("Plug and Play: ports class (GUID_DEVCLASS_PORTS)\n\n");
    for (const lx::TPnpEntry& Entry : All) {
        ShowDevice(*Entry.Device, PresentIds.count(Entry.Device->InstanceId) != 0 ? "yes" : "no");
    }
    lx::TPnpDeviceList Interfaces;
    lx::EnumPnpDevices(&winapi::GUID_DEVINTERFACE_COMPORT, true, false, Interfaces, true);
    std::printf("Plug and Play: COM port interfaces (GUID_DEVINTERFACE_COMPORT), present\n\n");
    for (const lx::TPnpEntry& Entry : Interfaces) {
        ShowDevice(*Entry.Device, "yes");
    }
}

} // namespace

int main(int Argc, char** Argv) {
    if (Argc > 1) {
        const bool Help = std::strcmp(Argv[1], "--help") == 0 || std::strcmp(Argv[1], "-h") == 0;
        std::fprintf(Help ? stdout : stderr,
                     "usage: lxports\n"
                     "Lists the serial ports as the serial library sees them: the port map, the\n"
                     "registered ports and the Plug and Play records. The folders come from\n"
                     "LXCOMM_PORT_DIR, LXCOMM_SYSFS_ROOT and LXCOMM_REGISTRY_DIR.\n");
        return Help ? 0 : 2;
    }
    ShowPortMap();
    ShowSerialComm();
    ShowPlugAndPlay();
    return 0;
}
