// Plug and Play enumeration through the system's device installation services: SetupAPI.dll and
// the configuration manager (cfgmgr32.dll, or SetupAPI.dll where that exports it). Both are
// loaded and bound by name on first use, so a system without them still runs: every failure here
// only means fewer records, never an error.
#pragma once

#include "winapi.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace lx {

// One device as the enumeration finds it. The fields are those of the component layer's device
// record, which is made from this one; texts are empty and numbers 0 where nothing was found.
struct TPnpDevice {
    std::uintptr_t Handle = 0;
    std::uintptr_t DevInst = 0;
    std::int32_t Data = 0;
    std::int32_t DataEx = 0;
    std::u16string NameFriendly;
    std::u16string NamePDO;
    std::u16string NameDeviceDos;
    std::u16string NameSymbolic;
    std::u16string RegKey;
    std::u16string Description;
    std::u16string Service;
    std::u16string Driver;
    std::u16string InstanceId;
    // Instance ids of the device's children, joined with ";".
    std::u16string BusRelations;
    std::u16string PortName;
    std::u16string Manufacturer;
    std::u16string SerialNumber;
    winapi::GUID GuidClass{};
};

// An entry of the result list: the device's Driver text and the device, which the list owns.
struct TPnpEntry {
    std::u16string Text;
    std::unique_ptr<TPnpDevice> Device;
};
using TPnpDeviceList = std::vector<TPnpEntry>;

// Loads SetupAPI.dll (and cfgmgr32.dll when SetupAPI.dll does not export the configuration
// manager) and binds the entry points. True when every required one was found; otherwise both
// libraries are released again and the next call tries anew.
bool LoadSetupApi();

// Appends one record per device of the setup class Guid (ByDeviceInfo) or per device interface
// of the interface class Guid (not ByDeviceInfo); a null Guid means every class. PresentOnly
// leaves out devices that are not attached now; WithInterface adds the device path of the first
// interface of Guid to a device query and must be set for an interface query.
void EnumPnpDevices(const winapi::GUID* Guid, bool PresentOnly, bool ByDeviceInfo,
                    TPnpDeviceList& List, bool WithInterface);

// A text property (SPDRP_*) of a device of Set; empty when it is missing, is not text that fits
// 255 characters, or the services are not there.
std::u16string GetDeviceRegistryString(winapi::HDEVINFO Set, const winapi::SP_DEVINFO_DATA& DevInfo,
                                       winapi::DWORD Property);

// The instance ids related to the device Filter, joined by Separator: its children
// (BusRelations) or the devices removed with it; empty when there are none.
std::u16string GetDeviceIdList(std::u16string_view Filter, std::u16string_view Separator,
                               bool BusRelations);

// Releases the libraries and forgets the bound entry points: what program end does, and what a
// test does to start from nothing.
void UnloadSetupApi();

} // namespace lx
