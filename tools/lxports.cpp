// lxports: what this system's serial library sees as ports, for users and for support. It shows
// the ports first as a serial port lister shows them (device, description, manufacturer, USB
// vendor:product, serial number, location, and where the COM number came from; --json gives
// just these, for scripts), then the port map (each COM number, where it leads and where the number came from), the registered
// port list (SERIALCOMM), the Plug and Play records of the ports class and of the COM port
// interface, and the serial component's device list in each EnumPorts mode, one block per device
// with its fields and where its number came from.
#include "lxcomm.h"
#include "lxsysutils.h"
#include "lxwin32.h"
#include "lxwin32di.h"
#include "posix/portmap.h"
#include "posix/registrystore.h"
#include "posix/sysfs.h"
#include "posix/textcodec.h"

#include <QString>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

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

// One port as a user looks for it.
struct TPortRow {
    std::string Port;
    std::string Device;    // what is opened
    std::string LeadsTo;   // where that leads
    std::string ValueName; // its name in the registered port list
    std::string Description;
    std::string Manufacturer;
    std::string UsbVidPid;
    std::string SerialNumber;
    std::string Location;
    std::string NumberFrom;
    std::string InstanceId;
};

std::vector<TPortRow> PortRows() {
    const auto Map = winapi::posix::CurrentPortMap();
    std::vector<TPortRow> Rows;
    for (const auto& Port : Map->Present) {
        TPortRow Row{ToUtf8(Port.Name), Port.LinkPath,    Port.DevicePath, ToUtf8(Port.ObjectName),
                     {},                {},               {},              {},
                     {},                Origin(Port),     ToUtf8(Port.InstanceId)};
        const auto Node = std::find_if(Map->Devices.begin(), Map->Devices.end(),
                                       [&](const auto& D) { return D.InstanceId == Port.InstanceId; });
        if (!Port.InstanceId.empty() && Node != Map->Devices.end()) {
            Row.Description = ToUtf8(Node->Description);
            Row.Manufacturer = ToUtf8(Node->Manufacturer);
            Row.UsbVidPid = Node->UsbVidPid;
            Row.SerialNumber = Node->SerialNumber;
            Row.Location = Node->Location;
        } else {
            Row.Description = Port.DevicePath.rfind("/dev/pts/", 0) == 0 ? "Pseudo-terminal"
                                                                         : "Linked port";
        }
        Rows.push_back(std::move(Row));
    }
    return Rows;
}

void ShowPorts() {
    std::printf("Ports\n\n");
    for (const TPortRow& Row : PortRows()) {
        std::printf("%s\n", Row.Port.c_str());
        Line("Device", Row.Device);
        Line("Leads to", Row.LeadsTo != Row.Device ? Row.LeadsTo : std::string());
        Line("Description", Row.Description);
        Line("Manufacturer", Row.Manufacturer);
        Line("USB", Row.UsbVidPid);
        Line("Serial number", Row.SerialNumber);
        Line("Location", Row.Location);
        Line("Number from", Row.NumberFrom);
        Line("Registered as", Row.ValueName);
        std::printf("\n");
    }
}

std::string Json(const std::string& Text) {
    std::string Out = "\"";
    for (const char Char : Text) {
        const auto Byte = static_cast<unsigned char>(Char);
        if (Char == '"' || Char == '\\') {
            Out += {'\\', Char};
        } else if (Byte < 0x20) {
            char Escaped[8];
            std::snprintf(Escaped, sizeof(Escaped), "\\u%04x", Byte);
            Out += Escaped;
        } else {
            Out.push_back(Char);
        }
    }
    return Out + "\"";
}

// The ports as a JSON array, one object per port; absent texts are empty strings.
void ShowPortsJson() {
    std::printf("[");
    const char* Separator = "";
    for (const TPortRow& Row : PortRows()) {
        std::printf("%s\n  {", Separator);
        const std::pair<const char*, const std::string*> Fields[] = {
            {"port", &Row.Port},
            {"device", &Row.Device},
            {"leads_to", &Row.LeadsTo},
            {"registered_as", &Row.ValueName},
            {"description", &Row.Description},
            {"manufacturer", &Row.Manufacturer},
            {"usb_vid_pid", &Row.UsbVidPid},
            {"serial_number", &Row.SerialNumber},
            {"location", &Row.Location},
            {"number_from", &Row.NumberFrom},
            {"instance_id", &Row.InstanceId}};
        const char* Comma = "";
        for (const auto& [Key, Value] : Fields) {
            std::printf("%s\"%s\": %s", Comma, Key, Json(*Value).c_str());
            Comma = ", ";
        }
        std::printf("}");
        Separator = ",";
    }
    std::printf("\n]\n");
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

// Where a listed device's number (its Data) came from.
std::string NumberSource(const TlxDevice& Device, const lx::TPortList& Registered,
                         const winapi::posix::TPortMap& Map) {
    const std::u16string Name = Device.NameDeviceDos.toStdU16String();
    if (!Device.NameDeviceDos.startsWith(QLatin1String("COM"))) {
        return "not a COM name: numbered from 4097 up in the order Plug and Play lists them";
    }
    if (Registered.IndexOfName(Name) >= 0) {
        for (const auto& Port : Map.Present) {
            if (Port.Name == Name) {
                return "registered port list; " + Origin(Port);
            }
        }
        return "registered port list";
    }
    for (const auto& Known : Map.Known) {
        if (Known.Number == Device.Data) {
            return "Plug and Play only: the saved number of " + ToUtf8(Known.InstanceId) +
                   ", not attached now";
        }
    }
    return "Plug and Play only: the port name of its record";
}

void ShowComponentList(TlxEnumPorts Mode, const char* ModeName, const char* Meaning) {
    TlxComm Comm;
    Comm.SetEnumPorts(Mode);
    Comm.Update();
    lx::TPortList Registered;
    lx::EnumSerialPorts(Registered, true);
    const auto Map = winapi::posix::CurrentPortMap();
    std::printf("Serial component's device list, %s (%s)\n\n", ModeName, Meaning);
    for (int Index = 0; Index < Comm.DeviceCount(); ++Index) {
        const TlxDevice& Device = *Comm.Device(Index);
        std::printf("%s\n", Device.NameFriendly.toStdString().c_str());
        Line("Data", std::to_string(Device.Data));
        Line("Number from", NumberSource(Device, Registered, *Map));
        Line("Port name", Device.PortName.toStdString());
        Line("Device", Device.NamePDO.toStdString());
        Line("Description", Device.Description.toStdString());
        Line("Manufacturer", Device.Manufacturer.toStdString());
        Line("Service", Device.Service.toStdString());
        Line("Driver", Device.Driver.toStdString());
        Line("Instance id", Device.InstanceId.toStdString());
        Line("Hardware key", Device.RegKey.isEmpty()
                                 ? std::string()
                                 : "HKEY_LOCAL_MACHINE\\" + Device.RegKey.toStdString());
        std::printf("\n");
    }
    if (Comm.DeviceCount() == 0) {
        std::printf("  (no ports)\n\n");
    }
}

void ShowComponentLists() {
    ShowComponentList(epQuickAll, "epQuickAll", "the registered ports");
    ShowComponentList(epFullInfo, "epFullInfo",
                      "with Plug and Play data and the ports only Plug and Play knows");
    ShowComponentList(epFullPresent, "epFullPresent", "the same, attached devices only");
}

} // namespace

int main(int Argc, char** Argv) {
    const bool AsJson = Argc == 2 && std::strcmp(Argv[1], "--json") == 0;
    if (Argc > 1 && !AsJson) {
        const bool Help = std::strcmp(Argv[1], "--help") == 0 || std::strcmp(Argv[1], "-h") == 0;
        std::fprintf(Help ? stdout : stderr,
                     "usage: lxports [--json]\n"
                     "Lists the serial ports as the serial library sees them: each port with its\n"
                     "device, description, manufacturer, USB vendor:product, serial number,\n"
                     "location and where its COM number came from; then the port map, the\n"
                     "registered ports, the Plug and Play records and the serial component's\n"
                     "device list in each enumeration mode. --json prints the ports only, as a\n"
                     "JSON array. The folders come from LXCOMM_PORT_DIR, LXCOMM_SYSFS_ROOT and\n"
                     "LXCOMM_REGISTRY_DIR.\n");
        return Help ? 0 : 2;
    }
    if (AsJson) {
        ShowPortsJson();
        return 0;
    }
    ShowPorts();
    ShowPortMap();
    ShowSerialComm();
    ShowPlugAndPlay();
    ShowComponentLists();
    return 0;
}
