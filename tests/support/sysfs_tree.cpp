#include "sysfs_tree.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace lxtest {

namespace fs = std::filesystem;

namespace {

constexpr const char* UsbHost = "devices/pci0000:00/0000:00:14.0/usb1";

void Symlink(const std::string& Target, const std::string& Path) {
    fs::create_directories(fs::path(Path).parent_path());
    fs::create_symlink(Target, Path);
}

} // namespace

TSysfsTree::TSysfsTree(std::string Root) : fRoot(std::move(Root)) {
    for (const char* Path : {"class/tty", "bus/parport/devices", UsbHost}) {
        fs::create_directories(Folder(Path));
    }
}

std::string TSysfsTree::Folder(const std::string& Path) const {
    return fRoot + "/" + Path;
}

void TSysfsTree::Attribute(const std::string& Where, const std::string& Name,
                           const std::string& Value) const {
    fs::create_directories(Where);
    std::ofstream(Where + "/" + Name) << Value << "\n";
}

void TSysfsTree::Bind(const std::string& Where, const std::string& Bus,
                      const std::string& Driver) const {
    const std::string Drivers = Folder("bus/" + Bus + "/drivers/" + Driver);
    fs::create_directories(Drivers);
    if (!fs::exists(Drivers + "/module")) {
        fs::create_directories(Folder("module/" + Driver));
        Symlink(Folder("module/" + Driver), Drivers + "/module");
    }
    Symlink(Drivers, Where + "/driver");
    Symlink(Folder("bus/" + Bus), Where + "/subsystem");
}

std::string TSysfsTree::UsbDevice(const TUsbDevice& Device) const {
    const std::string Where = Folder(std::string(UsbHost) + "/" + Device.PortPath);
    Attribute(Where, "idVendor", Device.Vendor);
    Attribute(Where, "idProduct", Device.ProductId);
    for (const auto& [Name, Value] : {std::pair{"serial", Device.Serial},
                                      {"product", Device.Product},
                                      {"manufacturer", Device.Manufacturer}}) {
        if (!Value.empty()) {
            Attribute(Where, Name, Value);
        }
    }
    Bind(Where, "usb", "usb");
    return Where;
}

std::string TSysfsTree::Interface(const std::string& UsbFolder, const TUsbDevice& Device,
                                  int Number, const std::string& Driver) const {
    const std::string Where = UsbFolder + "/" + Device.PortPath + ":1." + std::to_string(Number);
    Attribute(Where, "bInterfaceNumber", "0" + std::to_string(Number));
    Bind(Where, "usb", Driver);
    return Where;
}

std::string TSysfsTree::Tty(const std::string& Parent, const std::string& TtyName,
                            bool WithDevice) const {
    const std::string Where = Parent + "/tty/" + TtyName;
    Attribute(Where, "dev", "188:0");
    if (WithDevice) {
        Symlink(Parent, Where + "/device");
    }
    Symlink(Folder("class/tty"), Where + "/subsystem");
    Symlink(Where, Folder("class/tty/" + TtyName));
    return Where;
}

void TSysfsTree::AddUsbSerial(const TUsbDevice& Device, const std::string& TtyName,
                              const std::string& Driver) {
    const std::string Usb = UsbDevice(Device);
    const std::string Port = Interface(Usb, Device, 0, Driver) + "/" + TtyName;
    Attribute(Port, "port_number", "0");
    Bind(Port, "usb-serial", Driver);
    Tty(Port, TtyName, true);
}

void TSysfsTree::AddAcm(const TUsbDevice& Device, const std::string& TtyName) {
    const std::string Usb = UsbDevice(Device);
    Tty(Interface(Usb, Device, 0, "cdc_acm"), TtyName, true);
    Interface(Usb, Device, 1, "cdc_acm");
}

void TSysfsTree::AddUart(const std::string& PnpName, const std::string& TtyName, int Type) {
    const std::string Pnp = Folder("devices/pnp0/" + PnpName);
    Attribute(Pnp, "id", "PNP0501");
    Bind(Pnp, "pnp", "serial");
    const std::string Port = Pnp + "/" + PnpName + ":0/" + PnpName + ":0.0";
    Bind(Pnp + "/" + PnpName + ":0", "serial-base", "ctrl");
    Bind(Port, "serial-base", "port");
    Attribute(Tty(Port, TtyName, true), "type", std::to_string(Type));
}

void TSysfsTree::AddLegacyUart(const std::string& TtyName, int Type) {
    const std::string Platform = Folder("devices/platform/serial8250");
    if (!fs::exists(Platform + "/driver")) {
        fs::create_directories(Platform);
        Bind(Platform, "platform", "serial8250");
    }
    Attribute(Tty(Platform, TtyName, true), "type", std::to_string(Type));
}

void TSysfsTree::AddParallel(const std::string& PnpName, int Number) {
    const std::string Pnp = Folder("devices/pnp0/" + PnpName);
    Attribute(Pnp, "id", "PNP0400");
    Bind(Pnp, "pnp", "parport_pc");
    const std::string Name = "parport" + std::to_string(Number);
    const std::string Port = Pnp + "/" + Name;
    fs::create_directories(Port);
    Symlink(Folder("bus/parport"), Port + "/subsystem");
    Symlink(Port, Folder("bus/parport/devices/" + Name));
}

void TSysfsTree::AddVirtualTty(const std::string& TtyName) {
    Tty(Folder("devices/virtual"), TtyName, false);
}

void TSysfsTree::UnplugUsb(const std::string& PortPath) {
    const std::string Where = Folder(std::string(UsbHost) + "/" + PortPath);
    for (const fs::directory_entry& Entry : fs::directory_iterator(Folder("class/tty"))) {
        std::error_code Error;
        const fs::path Target = fs::read_symlink(Entry.path(), Error);
        if (!Error && Target.string().rfind(Where + "/", 0) == 0) {
            fs::remove(Entry.path());
        }
    }
    fs::remove_all(Where);
}

} // namespace lxtest
