// "SetupAPI.dll" and "cfgmgr32.dll" on Linux: the Setup API and configuration manager entry
// points that the Plug and Play enumeration binds, answering from the port map and sysfs.
//
// The devices:
// - every port sysfs shows (sysfs.h), present; class Ports, PortName its COM name from the port
//   map (or LPTn for a parallel port); a serial port exposes a GUID_DEVINTERFACE_COMPORT
//   interface;
// - every serial device the numbering file knows that is not attached now, not present, with the
//   texts it had when it was last seen;
// - every link of the port folder that leads to no sysfs device (a pseudo-terminal, say), as the
//   port LXCOMM\PORTLINK\<name>, present while its target is there;
// - the USB devices and interfaces that USB serial ports belong to, class USB, present.
// Their parents form the configuration manager's tree under HTREE\ROOT\0. Setup classes with no
// counterpart here (modems, infrared, multiport cards, ...) have no devices.
//
// A device's hardware key (SetupDiOpenDevRegKey, DIREG_DEV) is the registry key
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\<instance id>\Device Parameters of the
// native backend's registry. Opening it writes "PortName" and, for a serial port,
// "SymbolicName" there (only when they changed), so the key stays behind for a device that is
// unplugged, as on Windows, and reads like any other key.
//
// Device information sets and device nodes are those of the native backend, whichever backend
// a caller has in force.
#pragma once

#include "winapi.h"

namespace winapi::posix {

// The entry point Name of "SetupAPI.dll", which has the configuration manager's as well, or of
// "cfgmgr32.dll" (ConfigurationManagerOnly); null for a name the module does not have.
FARPROC SetupApiExport(LPCSTR Name, bool ConfigurationManagerOnly);

} // namespace winapi::posix
