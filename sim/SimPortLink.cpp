#include "SimPortLink.h"

#include "SimError.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <unistd.h>

namespace sim {

namespace fs = std::filesystem;

namespace {

constexpr unsigned HighestPort = 255;

// N of an entry named comN in any case, or 0.
unsigned PortNumberOf(const std::string& Name) {
    if (Name.size() < 4 || Name.size() > 6)
        return 0;
    for (std::size_t i = 0; i < 3; ++i)
        if (std::tolower(static_cast<unsigned char>(Name[i])) != "com"[i])
            return 0;
    unsigned number = 0;
    for (std::size_t i = 3; i < Name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(Name[i])))
            return 0;
        number = number * 10 + unsigned(Name[i] - '0');
    }
    return number;
}

bool IsStaleLink(const fs::path& Entry, const std::string& FreshTarget) {
    std::error_code error;
    if (!fs::is_symlink(fs::symlink_status(Entry, error)))
        return false;
    if (!FreshTarget.empty() && fs::read_symlink(Entry, error) == FreshTarget && !error)
        return true;
    return !fs::exists(Entry, error) && !error;
}

// The numbers in use, after removing the stale links that held some.
std::set<unsigned> NumbersTaken(const fs::path& Dir, const std::string& FreshTarget) {
    std::set<unsigned> taken;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(Dir, error)) {
        const unsigned number = PortNumberOf(entry.path().filename().string());
        if (number == 0)
            continue;
        std::error_code removeError;
        if (!IsStaleLink(entry.path(), FreshTarget) || !fs::remove(entry.path(), removeError))
            taken.insert(number);
    }
    if (error)
        throw TSimError("cannot read the port map " + Dir.string() + ": " + error.message());
    return taken;
}

// The numbers the system's own serial devices keep in the numbering file beside the port folder
// (one line per device, "COM<n>" then a tab). Taking one of them would push that device onto a
// stand-in number while the simulator runs, so a simulator that picks its own number skips them.
void AddDeviceNumbers(const fs::path& Dir, std::set<unsigned>& Taken) {
    std::ifstream numbers(Dir.string() + ".numbers");
    std::string line;
    while (std::getline(numbers, line))
        if (const unsigned number = PortNumberOf(line.substr(0, line.find('\t'))))
            Taken.insert(number);
}

std::string Getenv(const char* Name) {
    const char* value = std::getenv(Name);
    return value ? value : "";
}

} // namespace

fs::path PortMapDir() {
    if (const std::string dir = Getenv("LXCOMM_PORT_DIR"); !dir.empty())
        return dir;
    if (const std::string config = Getenv("XDG_CONFIG_HOME"); !config.empty())
        return fs::path(config) / "lxcomm" / "ports";
    return fs::path(Getenv("HOME")) / ".config" / "lxcomm" / "ports";
}

TPortLink::TPortLink(const fs::path& Dir, std::optional<unsigned> Number, const std::string& Target,
                     bool FreshTarget)
    : fTarget(Target) {
    std::error_code error;
    fs::create_directories(Dir, error);
    if (error)
        throw TSimError("cannot create the port map " + Dir.string() + ": " + error.message());
    // Another simulator may take a number between the scan and the link; symlink() refuses an
    // existing name, so a lost race just moves on to the next number.
    for (;;) {
        std::set<unsigned> taken = NumbersTaken(Dir, FreshTarget ? Target : "");
        if (!Number)
            AddDeviceNumbers(Dir, taken);
        unsigned number = Number.value_or(1);
        while (!Number && taken.count(number))
            ++number;
        if (number > HighestPort)
            throw TSimError("no free COM number left in " + Dir.string());
        const fs::path path = Dir / ("com" + std::to_string(number));
        if (Number && taken.count(number))
            throw TSimError("COM" + std::to_string(number) + " is already in the port map (" +
                            path.string() + ")");
        if (symlink(Target.c_str(), path.c_str()) == 0) {
            fPath = path;
            fNumber = number;
            return;
        }
        if (errno != EEXIST || Number)
            throw TSimError("cannot link " + path.string() + ": " + std::strerror(errno));
    }
}

TPortLink::~TPortLink() {
    std::error_code error;
    if (fs::read_symlink(fPath, error) == fTarget && !error)
        fs::remove(fPath, error);
}

} // namespace sim
