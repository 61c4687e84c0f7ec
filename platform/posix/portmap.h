// The port map: which device is the port COMn. A folder of symbolic links named after the ports
// ("com9 -> /dev/pts/5") makes any device, a pseudo-terminal included, a COM port.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winapi::posix {

struct TPortLink {
    std::u16string Name;    // the port name in capitals, e.g. COM9
    std::string LinkPath;   // the link itself, what is opened
    std::string DevicePath; // where it points, made absolute, e.g. /dev/pts/5
};

// LXCOMM_PORT_DIR, else $XDG_CONFIG_HOME/lxcomm/ports, else $HOME/.config/lxcomm/ports.
std::string PortFolder();
// Every link of the folder, ordered by name; a missing folder has none.
std::vector<TPortLink> ListPortLinks();
// The links whose target is a character device that exists now.
std::vector<TPortLink> ListPresentPorts();
// The link named Name, compared without regard to case.
std::optional<TPortLink> FindPortLink(std::u16string_view Name);

// The user's configuration folder, $XDG_CONFIG_HOME or $HOME/.config.
std::string ConfigFolder();

} // namespace winapi::posix
