// The port map: which device is the port COMn.
//
// - Every serial device that sysfs shows (sysfs.h) has a COM number of its own, kept per device
//   identity (its instance id) in the numbering file beside the port folder, so that an adapter
//   keeps its number across replugging and restarts, as Windows keeps it. A device seen for the
//   first time takes the lowest number that no link and no known device holds. A rebuild that
//   changes no number and no text leaves the file alone.
// - A folder of symbolic links named after the ports ("com9 -> /dev/pts/5") makes any device, a
//   pseudo-terminal included, a COM port. A link's number wins: a device reached through a link
//   is that port, and a device whose own number a link holds is reached meanwhile under the
//   lowest free number, without giving up its own.
//
// The numbering file (<port folder>.numbers) holds one line per device:
//   COM<n> TAB <instance id> TAB <device node> TAB <description> TAB <manufacturer> TAB
//   <service> TAB <driver>
// in UTF-8, with "%", tabs and line breaks written as %XX. It is replaced as a whole (a
// temporary file, synced, renamed over it), under an flock of <numbering file>.lock so that two
// programs numbering new devices at once do not hand out one number twice.
#pragma once

#include "sysfs.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winapi::posix {

enum class TPortOrigin {
    Link,     // a link of the port folder
    Saved,    // the device's own number, from the numbering file
    New,      // given to the device just now, and kept from now on
    Temporary // the device's own number is held by a link; this one stands in meanwhile
};

struct TPortLink {
    std::u16string Name;    // the port name in capitals, e.g. COM9
    std::string LinkPath;   // what is opened: the link, or a numbered device's node
    std::string DevicePath; // where it leads, made absolute, e.g. /dev/pts/5
    TPortOrigin Origin = TPortOrigin::Link;
    std::u16string InstanceId; // the sysfs device it leads to; empty for anything else
    std::u16string ObjectName; // its value name in SERIALCOMM, e.g. \Device\ttyUSB0; present ports
};

// A serial device the numbering file knows, attached now or not.
struct TKnownDevice {
    std::u16string InstanceId;
    int Number = 0;
    std::string DeviceNode;
    std::u16string Description;
    std::u16string Manufacturer;
    std::u16string Service;
    std::u16string Driver;
};

struct TPortMap {
    std::vector<TPortLink> Links;    // every link of the folder, ordered by name
    std::vector<TPortLink> Present;  // the ports there now: links, then devices by number
    std::vector<TKnownDevice> Known; // the numbering file
    std::vector<TSysNode> Devices;   // what sysfs shows now
};

// The map as it is now. It is made again only when a folder it comes from has changed (watched
// with inotify: the port folder and the one beside it, link targets' folders, /dev, /dev/pts and
// the sysfs tty and parport folders) or is older than a second, so that listing the ports many
// times a second costs little.
std::shared_ptr<const TPortMap> CurrentPortMap();

// LXCOMM_PORT_DIR, else $XDG_CONFIG_HOME/lxcomm/ports, else $HOME/.config/lxcomm/ports.
std::string PortFolder();
// The port folder's path followed by ".numbers".
std::string NumbersFile();
// Every link of the folder, ordered by name; a missing folder has none.
std::vector<TPortLink> ListPortLinks();
// The ports there now: links whose target is a character device or an attached sysfs device,
// then the numbered devices.
std::vector<TPortLink> ListPresentPorts();
// The port named Name, compared without regard to case: a link of that name, present or not,
// else a numbered device.
std::optional<TPortLink> FindPortLink(std::u16string_view Name);

// The devices of a numbering file's text; lines that are no device of ours are passed over.
std::vector<TKnownDevice> ParseNumbers(std::string_view Text);

// The user's configuration folder, $XDG_CONFIG_HOME or $HOME/.config.
std::string ConfigFolder();

} // namespace winapi::posix
