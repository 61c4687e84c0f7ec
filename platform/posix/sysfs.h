// The serial and parallel ports that the kernel shows in sysfs, with the devices they belong to,
// as Plug and Play nodes: an instance id that stays the same across replugging and restarts, a
// parent, and the texts the Setup API reports.
//
// Instance ids (always in capitals):
//   USB\VID_0403&PID_6001&MI_00\<serial number, else USB port path>[&<port number>]  a USB port
//   USB\VID_0403&PID_6001\<serial number, else USB port path>      the USB device it belongs to
// A serial number identifies a USB device only while no other attached device has the same
// vendor, product and serial number, as on Windows: cheap adapters often share one ("0001"), and
// those are told apart by the USB port they are plugged into.
//   <BUS>\<ID>\<device name>[&<tty name>]        a UART or parallel port: PNP\PNP0501\00:00,
//                                                PLATFORM\SERIAL8250\SERIAL8250&TTYS1,
//                                                PCI\VEN_8086&DEV_A13D\0000:00:16.3
// The tty or parport name is added only when one device serves several ports.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace winapi::posix {

// LXCOMM_SYSFS_ROOT, else /sys.
std::string SysfsRoot();

enum class TSysKind {
    Serial,   // a tty with hardware behind it
    Parallel, // a parallel port, parportN
    Usb       // a USB device or interface that a USB serial port belongs to
};

struct TSysNode {
    TSysKind Kind = TSysKind::Serial;
    std::u16string InstanceId;
    std::u16string ParentId; // empty: a child of the root
    std::string Name;        // ttyUSB0, ttyS0, parport0; empty for USB nodes
    std::string DeviceNode;  // /dev/ttyUSB0, /dev/parport0; empty for USB nodes
    std::string SysPath;     // the hardware device's folder
    int Number = 0;          // N of parportN
    std::u16string Description;
    std::u16string Manufacturer;
    std::u16string Service; // the kernel driver
    std::u16string Driver;  // the kernel module, else the driver
    // For a USB device with a serial number, its two possible instance ids, by serial number and
    // by USB port path; one of them is InstanceId. Empty for anything else.
    std::u16string SerialId;
    std::u16string LocationId;
    // For a USB port: the device's vendor and product ("0403:6001"), its serial number as the
    // device gives it, and where it is plugged in (the USB port path and interface, "1-2:1.0").
    std::string UsbVidPid;
    std::string SerialNumber;
    std::string Location;
};

// A sysfs attribute's text as the scan takes it: its first line without surrounding blanks.
std::string AttributeText(std::string_view Contents);

// Every port with hardware behind it (a legacy UART whose type is "unknown" is a phantom and is
// left out) and the USB devices and interfaces they belong to, ordered by instance id.
std::vector<TSysNode> ScanSysfs();

} // namespace winapi::posix
