// The simulator's entry in the port map: a link comN -> <device path> in the folder the serial
// library reads, so that the line shows up as COMn. The entry lives as long as the object.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace sim {

// LXCOMM_PORT_DIR, else $XDG_CONFIG_HOME/lxcomm/ports, else $HOME/.config/lxcomm/ports.
std::filesystem::path PortMapDir();

class TPortLink {
public:
    // Links Target as COM<Number>, or as the lowest free number when none is given. A free
    // number has no entry comN in the folder (in any case); a link whose target is gone, left by
    // a simulator that was killed, is removed and its number taken. The folder is created when
    // missing. FreshTarget says that Target was created just now (a new pseudo-terminal): a
    // link that already points to it was left by a killed simulator whose terminal had the same
    // number, and is removed as well. Throws TSimError.
    TPortLink(const std::filesystem::path& Dir, std::optional<unsigned> Number,
              const std::string& Target, bool FreshTarget);
    // Removes the link, unless someone has replaced it in the meantime.
    ~TPortLink();
    TPortLink(const TPortLink&) = delete;
    TPortLink& operator=(const TPortLink&) = delete;

    unsigned Number() const { return fNumber; }
    std::string ComName() const { return "COM" + std::to_string(fNumber); }
    const std::filesystem::path& Path() const { return fPath; }

private:
    std::filesystem::path fPath;
    std::string fTarget;
    unsigned fNumber = 0;
};

} // namespace sim
