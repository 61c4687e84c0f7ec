// Synthetic sysfs trees for tests of the native backend: device folders with their attributes
// and driver links as the kernel lays them out, and the class/tty and bus/parport links that
// point into them. Build one in TPortFolder::SysfsDir() (LXCOMM_SYSFS_ROOT).
#pragma once

#include <string>

namespace lxtest {

class TSysfsTree {
public:
    explicit TSysfsTree(std::string Root);

    const std::string& Root() const { return fRoot; }

    struct TUsbDevice {
        std::string PortPath; // the USB port path, e.g. 1-2, also the device's folder name
        std::string Vendor;   // idVendor, e.g. 0403
        std::string ProductId;
        std::string Serial; // empty: the device has no serial number
        std::string Product;
        std::string Manufacturer;
    };

    // A USB serial adapter of the usb-serial kind (FTDI): the port TtyName, driver ftdi_sio,
    // below interface 0 of the device.
    void AddUsbSerial(const TUsbDevice& Device, const std::string& TtyName,
                      const std::string& Driver = "ftdi_sio");
    // A CDC ACM device: the tty hangs off interface 0 (driver cdc_acm); interface 1 carries data.
    void AddAcm(const TUsbDevice& Device, const std::string& TtyName);
    // A 16550-style UART on the Plug and Play bus (PNP0501), behind the port device newer
    // kernels put between the UART and its tty. Type 0 is a phantom: no chip answered.
    void AddUart(const std::string& PnpName, const std::string& TtyName, int Type);
    // A legacy UART of the serial8250 platform device, as the kernel reserves them at boot.
    void AddLegacyUart(const std::string& TtyName, int Type);
    // A parallel port parportN on the Plug and Play bus (PNP0400).
    void AddParallel(const std::string& PnpName, int Number);
    // A terminal with no device behind it (virtual console, console).
    void AddVirtualTty(const std::string& TtyName);

    // Unplugs the USB device PortPath: its folders and the tty links into them go.
    void UnplugUsb(const std::string& PortPath);

private:
    std::string Folder(const std::string& Path) const;
    void Attribute(const std::string& Folder, const std::string& Name,
                   const std::string& Value) const;
    // Folder/driver -> bus/<Bus>/drivers/<Driver>, with its module link; Folder/subsystem too.
    void Bind(const std::string& Folder, const std::string& Bus, const std::string& Driver) const;
    std::string UsbDevice(const TUsbDevice& Device) const;
    std::string Interface(const std::string& UsbFolder, const TUsbDevice& Device, int Number,
                          const std::string& Driver) const;
    // The tty class device below Parent, linked from class/tty.
    std::string Tty(const std::string& Parent, const std::string& TtyName, bool WithDevice) const;

    std::string fRoot;
};

} // namespace lxtest
