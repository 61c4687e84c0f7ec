#include "sysfs.h"

#include "textcodec.h"
#include "uniquefd.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace winapi::posix {

namespace {

namespace fs = std::filesystem;

// What a driver's ports are called when the device itself does not say.
struct TDriverText {
    const char* Driver;
    const char* Description;
    const char* Manufacturer;
};

constexpr TDriverText DriverTexts[] = {
    {"ftdi_sio", "USB Serial Port", "FTDI"},
    {"cdc_acm", "USB Serial Device", ""},
    {"pl2303", "Prolific USB-to-Serial Comm Port", "Prolific"},
    {"cp210x", "CP210x USB to UART Bridge", "Silicon Labs"},
    {"ch341", "USB-SERIAL CH340", "wch.cn"},
    {"parport_pc", "Printer Port", "(Standard port types)"},
};

const TDriverText* DriverText(const std::string& Driver) {
    for (const TDriverText& Text : DriverTexts) {
        if (Driver == Text.Driver) {
            return &Text;
        }
    }
    return nullptr;
}

// The first line of a sysfs attribute, without surrounding blanks; empty when it is missing.
std::string ReadAttribute(const std::string& Path) {
    TUniqueFd Fd(::open(Path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!Fd.IsValid()) {
        return {};
    }
    char Buffer[512];
    const ssize_t Got = ::read(Fd.Get(), Buffer, sizeof(Buffer));
    if (Got <= 0) {
        return {};
    }
    return AttributeText(std::string_view(Buffer, std::size_t(Got)));
}

bool Exists(const std::string& Path) {
    struct stat Status {};
    return ::lstat(Path.c_str(), &Status) == 0;
}

// The last component of where the link Path points: a device's driver, subsystem or module.
std::string LinkName(const std::string& Path) {
    std::error_code Error;
    const fs::path Target = fs::read_symlink(Path, Error);
    return Error ? std::string() : Target.filename().string();
}

std::string Canonical(const std::string& Path) {
    std::error_code Error;
    const fs::path Resolved = fs::canonical(Path, Error);
    return Error ? std::string() : Resolved.string();
}

std::string Parent(const std::string& Path) {
    return fs::path(Path).parent_path().string();
}

std::string Base(const std::string& Path) {
    return fs::path(Path).filename().string();
}

std::string Upper(std::string Text) {
    std::transform(Text.begin(), Text.end(), Text.begin(),
                   [](unsigned char Char) { return char(std::toupper(Char)); });
    return Text;
}

// Instance ids separate their parts with backslashes; none may appear inside a part.
std::string IdPart(std::string Text) {
    std::replace(Text.begin(), Text.end(), '\\', '_');
    return Upper(std::move(Text));
}

std::string HexId(const std::string& Path) {
    std::string Value = ReadAttribute(Path);
    if (Value.rfind("0x", 0) == 0) {
        Value.erase(0, 2);
    }
    return Upper(Value);
}

struct TDriver {
    std::string Service;
    std::string Module;
};

TDriver DriverOf(const std::string& Device) {
    TDriver Driver{LinkName(Device + "/driver"), LinkName(Device + "/driver/module")};
    if (Driver.Module.empty()) {
        Driver.Module = Driver.Service;
    }
    return Driver;
}

// A port as found, before its instance id is made.
struct TFound {
    TSysKind Kind;
    std::string Name;
    std::string Device;   // what the port's "device" link names
    std::string Hardware; // the device that gives the port its identity
};

struct TUsb {
    std::string Interface;
    std::string Device;
};

// The USB interface and device above Device, if it hangs off USB.
TUsb FindUsb(const std::string& Device, const std::string& Root) {
    TUsb Usb;
    for (std::string Path = Device; Path.size() > Root.size(); Path = Parent(Path)) {
        if (Usb.Interface.empty() && Exists(Path + "/bInterfaceNumber")) {
            Usb.Interface = Path;
        } else if (Exists(Path + "/idVendor")) {
            Usb.Device = Path;
            break;
        }
    }
    return Usb;
}

// A 16550-style port the kernel reserved but found no chip for.
bool IsPhantomUart(const std::string& TtyFolder) {
    return ReadAttribute(TtyFolder + "/type") == "0";
}

std::vector<TFound> FindPorts(const std::string& Root) {
    std::vector<TFound> Found;
    std::error_code Error;
    const std::string Ttys = Root + "/class/tty";
    for (fs::directory_iterator It(Ttys, Error), End; !Error && It != End; It.increment(Error)) {
        const std::string Name = It->path().filename().string();
        const std::string Folder = Ttys + "/" + Name;
        // Virtual terminals, consoles and pseudo-terminals have no device behind them.
        if (!Exists(Folder + "/device") || IsPhantomUart(Folder)) {
            continue;
        }
        const std::string Device = Canonical(Folder + "/device");
        std::string Hardware = Device;
        // Newer kernels put a port device of their own between the UART and its tty.
        while (!Hardware.empty() && LinkName(Hardware + "/subsystem") == "serial-base") {
            Hardware = Parent(Hardware);
        }
        if (!Device.empty()) {
            Found.push_back({TSysKind::Serial, Name, Device, Hardware});
        }
    }
    const std::string Parports = Root + "/bus/parport/devices";
    std::error_code ParportError;
    for (fs::directory_iterator It(Parports, ParportError), End; !ParportError && It != End;
         It.increment(ParportError)) {
        const std::string Name = It->path().filename().string();
        if (Name.rfind("parport", 0) != 0 || Name.size() == 7 ||
            !std::all_of(Name.begin() + 7, Name.end(),
                         [](char C) { return C >= '0' && C <= '9'; })) {
            continue;
        }
        const std::string Device = Canonical(Parports + "/" + Name);
        if (!Device.empty()) {
            Found.push_back({TSysKind::Parallel, Name, Device, Parent(Device)});
        }
    }
    return Found;
}

// <BUS>\<ID> of a device that is not on USB.
std::string BusAndId(const std::string& Hardware) {
    const std::string Bus = LinkName(Hardware + "/subsystem");
    std::string DeviceId;
    if (Bus == "pnp") {
        DeviceId = ReadAttribute(Hardware + "/id");
    } else if (Bus == "pci") {
        DeviceId = "VEN_" + HexId(Hardware + "/vendor") + "&DEV_" + HexId(Hardware + "/device");
    }
    if (DeviceId.empty()) {
        DeviceId = LinkName(Hardware + "/driver");
    }
    if (DeviceId.empty()) {
        DeviceId = Base(Hardware);
    }
    return IdPart(Bus.empty() ? "ROOT" : Bus) + "\\" + IdPart(DeviceId);
}

// How a USB device is named in instance ids: by its serial number, or by its USB port path when
// it has none or shares it with another attached device of the same make.
enum class TUsbName { BySerial, ByLocation };

bool HasSerial(const std::string& UsbDevice) {
    return !ReadAttribute(UsbDevice + "/serial").empty();
}

std::string UsbIdent(const std::string& UsbDevice, TUsbName Naming) {
    const std::string Serial = ReadAttribute(UsbDevice + "/serial");
    return IdPart(Serial.empty() || Naming == TUsbName::ByLocation ? Base(UsbDevice) : Serial);
}

std::string UsbVidPid(const std::string& UsbDevice) {
    return "USB\\VID_" + HexId(UsbDevice + "/idVendor") + "&PID_" + HexId(UsbDevice + "/idProduct");
}

std::string UsbDeviceId(const std::string& UsbDevice, TUsbName Naming) {
    return UsbVidPid(UsbDevice) + "\\" + UsbIdent(UsbDevice, Naming);
}

std::string InterfaceId(const std::string& UsbDevice, const std::string& Interface,
                        TUsbName Naming) {
    return UsbVidPid(UsbDevice) + "&MI_" + IdPart(ReadAttribute(Interface + "/bInterfaceNumber")) +
           "\\" + UsbIdent(UsbDevice, Naming);
}

// The USB devices that must be named by their port path: those whose vendor, product and serial
// number another attached device has too.
std::set<std::string> SharedSerials(const std::vector<std::string>& UsbDevices) {
    std::map<std::string, std::vector<std::string>> DevicesOfId;
    for (const std::string& UsbDevice : UsbDevices) {
        if (HasSerial(UsbDevice)) {
            DevicesOfId[UsbDeviceId(UsbDevice, TUsbName::BySerial)].push_back(UsbDevice);
        }
    }
    std::set<std::string> Shared;
    for (const auto& [Id, Devices] : DevicesOfId) {
        if (Devices.size() > 1) {
            Shared.insert(Devices.begin(), Devices.end());
        }
    }
    return Shared;
}

TSysNode UsbDeviceNode(const std::string& UsbDevice, TUsbName Naming) {
    TSysNode Node;
    Node.Kind = TSysKind::Usb;
    Node.InstanceId = FromUtf8(UsbDeviceId(UsbDevice, Naming));
    Node.SysPath = UsbDevice;
    const std::string Product = ReadAttribute(UsbDevice + "/product");
    Node.Description = FromUtf8(Product.empty() ? "USB Composite Device" : Product);
    Node.Manufacturer = FromUtf8(ReadAttribute(UsbDevice + "/manufacturer"));
    const TDriver Driver = DriverOf(UsbDevice);
    Node.Service = FromUtf8(Driver.Service);
    Node.Driver = FromUtf8(Driver.Module);
    return Node;
}

// The interfaces of a USB device: the folders below it that carry an interface number.
void AddUsbInterfaces(const std::string& UsbDevice, TUsbName Naming,
                      const std::u16string& ParentId, std::vector<TSysNode>& Nodes) {
    std::error_code Error;
    for (fs::directory_iterator It(UsbDevice, Error), End; !Error && It != End;
         It.increment(Error)) {
        const std::string Interface = It->path().string();
        if (!Exists(Interface + "/bInterfaceNumber")) {
            continue;
        }
        TSysNode Node;
        Node.Kind = TSysKind::Usb;
        Node.InstanceId = FromUtf8(InterfaceId(UsbDevice, Interface, Naming));
        Node.ParentId = ParentId;
        Node.SysPath = Interface;
        Node.Description = u"USB Interface";
        const TDriver Driver = DriverOf(Interface);
        Node.Service = FromUtf8(Driver.Service);
        Node.Driver = FromUtf8(Driver.Module);
        Nodes.push_back(std::move(Node));
    }
}

// The instance id of a USB port named one way or the other.
std::string UsbPortId(const TFound& Port, const TUsb& Usb, TUsbName Naming) {
    std::string Id = InterfaceId(Usb.Device, Usb.Interface, Naming);
    // A driver that serves several ports on one interface numbers them.
    const std::string PortNumber = ReadAttribute(Port.Device + "/port_number");
    if (!PortNumber.empty() && PortNumber != "0") {
        Id += "&" + IdPart(PortNumber);
    }
    return Id;
}

TSysNode PortNode(const TFound& Port, const TUsb& Usb, bool Shared, TUsbName Naming) {
    TSysNode Node;
    Node.Kind = Port.Kind;
    Node.Name = Port.Name;
    Node.SysPath = Port.Hardware;
    const TDriver Driver = DriverOf(Usb.Device.empty() ? Port.Hardware : Port.Device);
    Node.Service = FromUtf8(Driver.Service);
    Node.Driver = FromUtf8(Driver.Module);
    const TDriverText* Text = DriverText(Driver.Service);
    if (Port.Kind == TSysKind::Parallel) {
        const std::string Digits = Port.Name.substr(7);
        Node.Number = std::atoi(Digits.c_str());
        Node.DeviceNode = "/dev/parport" + Digits;
    } else {
        Node.DeviceNode = "/dev/" + Port.Name;
    }
    if (!Usb.Device.empty()) {
        Node.InstanceId = FromUtf8(UsbPortId(Port, Usb, Naming));
        if (HasSerial(Usb.Device)) {
            Node.SerialId = FromUtf8(UsbPortId(Port, Usb, TUsbName::BySerial));
            Node.LocationId = FromUtf8(UsbPortId(Port, Usb, TUsbName::ByLocation));
        }
        Node.ParentId = FromUtf8(UsbDeviceId(Usb.Device, Naming));
        Node.UsbVidPid = ReadAttribute(Usb.Device + "/idVendor") + ":" +
                         ReadAttribute(Usb.Device + "/idProduct");
        Node.SerialNumber = ReadAttribute(Usb.Device + "/serial");
        Node.Location = Base(Usb.Interface.empty() ? Usb.Device : Usb.Interface);
        const std::string Product = ReadAttribute(Usb.Device + "/product");
        const std::string Maker = ReadAttribute(Usb.Device + "/manufacturer");
        Node.Description = FromUtf8(!Product.empty() ? Product
                                    : Text           ? Text->Description
                                                     : "USB Serial Port");
        Node.Manufacturer = FromUtf8(!Maker.empty() ? Maker : Text ? Text->Manufacturer : "");
        return Node;
    }
    std::string Id = BusAndId(Port.Hardware) + "\\" + IdPart(Base(Port.Hardware));
    if (Shared) {
        Id += "&" + IdPart(Port.Name);
    }
    Node.InstanceId = FromUtf8(Id);
    const char* Fallback = Port.Kind == TSysKind::Parallel ? "Printer Port" : "Communications Port";
    Node.Description = FromUtf8(Text != nullptr ? Text->Description : Fallback);
    Node.Manufacturer = u"(Standard port types)";
    return Node;
}

} // namespace

std::string SysfsRoot() {
    const char* Root = std::getenv("LXCOMM_SYSFS_ROOT");
    std::string Folder = Root != nullptr && *Root != 0 ? Root : "/sys";
    // The scan compares resolved paths with the root: resolve it as well.
    const std::string Resolved = Canonical(Folder);
    return Resolved.empty() ? Folder : Resolved;
}

std::string AttributeText(std::string_view Contents) {
    std::string_view Text = Contents.substr(0, Contents.find('\n'));
    const auto Blank = [](unsigned char Char) { return std::isspace(Char) != 0; };
    while (!Text.empty() && Blank(Text.back())) {
        Text.remove_suffix(1);
    }
    while (!Text.empty() && Blank(Text.front())) {
        Text.remove_prefix(1);
    }
    return std::string(Text);
}

std::vector<TSysNode> ScanSysfs() {
    const std::string Root = SysfsRoot();
    const std::vector<TFound> Ports = FindPorts(Root);
    std::map<std::string, int> PortsOfHardware;
    std::vector<TUsb> UsbOfPort;
    std::vector<std::string> UsbDevices;
    for (const TFound& Port : Ports) {
        ++PortsOfHardware[Port.Hardware];
        UsbOfPort.push_back(Port.Kind == TSysKind::Serial ? FindUsb(Port.Device, Root) : TUsb{});
        const std::string& UsbDevice = UsbOfPort.back().Device;
        if (!UsbDevice.empty() &&
            std::find(UsbDevices.begin(), UsbDevices.end(), UsbDevice) == UsbDevices.end()) {
            UsbDevices.push_back(UsbDevice);
        }
    }
    const std::set<std::string> Shared = SharedSerials(UsbDevices);
    const auto NamingOf = [&](const std::string& UsbDevice) {
        return Shared.count(UsbDevice) != 0 ? TUsbName::ByLocation : TUsbName::BySerial;
    };
    std::vector<TSysNode> Nodes;
    for (std::size_t Index = 0; Index < Ports.size(); ++Index) {
        const TFound& Port = Ports[Index];
        const TUsb& Usb = UsbOfPort[Index];
        Nodes.push_back(
            PortNode(Port, Usb, PortsOfHardware[Port.Hardware] > 1, NamingOf(Usb.Device)));
    }
    // The USB devices and their interfaces, except the interfaces that are ports themselves.
    std::set<std::u16string> PortIds;
    for (const TSysNode& Node : Nodes) {
        PortIds.insert(Node.InstanceId);
    }
    std::vector<TSysNode> UsbNodes;
    for (const std::string& UsbDevice : UsbDevices) {
        TSysNode Device = UsbDeviceNode(UsbDevice, NamingOf(UsbDevice));
        AddUsbInterfaces(UsbDevice, NamingOf(UsbDevice), Device.InstanceId, UsbNodes);
        UsbNodes.push_back(std::move(Device));
    }
    for (TSysNode& Node : UsbNodes) {
        if (PortIds.count(Node.InstanceId) == 0) {
            Nodes.push_back(std::move(Node));
        }
    }
    std::sort(Nodes.begin(), Nodes.end(),
              [](const TSysNode& A, const TSysNode& B) { return A.InstanceId < B.InstanceId; });
    return Nodes;
}

} // namespace winapi::posix
