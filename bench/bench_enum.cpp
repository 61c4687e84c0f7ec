// bench-enum: what rebuilding the serial component's port list costs, next to libserialport doing
// the same work. The operator panel rebuilds its monitoring component's list (epQuickAll) every
// 100 ms while it is connected, so this is paid ten times a second.
//
// - Quick listing: Update in epQuickAll on this machine's own ports (the real sysfs, no links)
//   against sp_list_ports on the same ports.
// - Cost per port: Update in epQuickAll with 32 pseudo-terminals linked into the port folder
//   (and an empty sysfs tree, so that only they count), divided by 32.
// - Full listing: Update in epFullPresent, with the Plug and Play data, on this machine's own
//   ports against sp_list_ports plus each port's USB description, manufacturer, product, serial
//   number and vendor:product.
// Medians over many runs, with the context switches per run beside them (getrusage). The port map
// behind the listing is kept between calls (it is made again when a watched folder changes, and
// once a second); what making it costs is shown beside the 32 linked ports.
#include "lxcomm.h"

#include <libserialport.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;

constexpr int LinkedPorts = 32;
constexpr int WarmUpRuns = 50;
constexpr int MeasuredRuns = 2001;

struct TMeasure {
    double MedianUs = 0;
    double SwitchesPerRun = 0; // voluntary and involuntary context switches
};

long ContextSwitches() {
    rusage Usage{};
    ::getrusage(RUSAGE_SELF, &Usage);
    return Usage.ru_nvcsw + Usage.ru_nivcsw;
}

TMeasure Measure(const std::function<void()>& Step) {
    for (int Run = 0; Run < WarmUpRuns; ++Run) {
        Step();
    }
    std::vector<double> Samples;
    Samples.reserve(MeasuredRuns);
    const long Switches = ContextSwitches();
    for (int Run = 0; Run < MeasuredRuns; ++Run) {
        const TClock::time_point Start = TClock::now();
        Step();
        Samples.push_back(std::chrono::duration<double, std::micro>(TClock::now() - Start).count());
    }
    const double SwitchesPerRun = double(ContextSwitches() - Switches) / MeasuredRuns;
    std::nth_element(Samples.begin(), Samples.begin() + MeasuredRuns / 2, Samples.end());
    return {Samples[MeasuredRuns / 2], SwitchesPerRun};
}

// The library's folders in a temporary folder for the program's life: an empty port folder and
// a private registry and numbering file, so that nothing of the user's is read or written.
class TFolders {
public:
    TFolders() {
        char Template[] = "/tmp/bench-enum-XXXXXX";
        if (::mkdtemp(Template) == nullptr) {
            throw std::runtime_error("no temporary folder");
        }
        fRoot = Template;
        for (const char* Folder : {"ports", "sys", "registry"}) {
            fs::create_directories(fRoot / Folder);
        }
        ::setenv("LXCOMM_PORT_DIR", (fRoot / "ports").c_str(), 1);
        ::setenv("LXCOMM_REGISTRY_DIR", (fRoot / "registry").c_str(), 1);
        ::unsetenv("LXCOMM_SYSFS_ROOT");
    }
    ~TFolders() {
        for (const int Master : fMasters) {
            ::close(Master);
        }
        std::error_code Ignored;
        fs::remove_all(fRoot, Ignored);
    }
    TFolders(const TFolders&) = delete;
    TFolders& operator=(const TFolders&) = delete;

    // Count pseudo-terminals linked as COM1.., with an empty sysfs tree instead of the machine's.
    void LinkTerminals(int Count) {
        ::setenv("LXCOMM_SYSFS_ROOT", (fRoot / "sys").c_str(), 1);
        for (int Number = 1; Number <= Count; ++Number) {
            const int Master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (Master < 0 || ::grantpt(Master) != 0 || ::unlockpt(Master) != 0) {
                throw std::runtime_error("no pseudo-terminal");
            }
            fMasters.push_back(Master);
            fs::create_symlink(::ptsname(Master),
                               fRoot / "ports" / ("com" + std::to_string(Number)));
        }
    }

private:
    fs::path fRoot;
    std::vector<int> fMasters;
};

// The ports libserialport lists; with Described, each port's USB texts and ids are read too.
int ListWithLibserialport(bool Described) {
    sp_port** Ports = nullptr;
    if (sp_list_ports(&Ports) != SP_OK) {
        return -1;
    }
    int Count = 0;
    for (; Ports[Count] != nullptr; ++Count) {
        if (Described) {
            sp_port* Port = Ports[Count];
            int Vendor = 0;
            int Product = 0;
            volatile const char* Texts[] = {
                sp_get_port_description(Port), sp_get_port_usb_manufacturer(Port),
                sp_get_port_usb_product(Port), sp_get_port_usb_serial(Port)};
            (void)Texts;
            sp_get_port_usb_vid_pid(Port, &Vendor, &Product);
        }
    }
    sp_free_port_list(Ports);
    return Count;
}

int Listed(TlxEnumPorts Mode) {
    TlxComm Comm;
    Comm.SetEnumPorts(Mode);
    Comm.Update();
    return Comm.DeviceCount();
}

void Report(const char* What, int Ports, const TMeasure& Result) {
    std::printf("%-58s %3d ports: median %8.1f us, %.2f context switches per run\n", What, Ports,
                Result.MedianUs, Result.SwitchesPerRun);
}

} // namespace

int main() {
    try {
        TFolders Folders;
        TlxComm Quick;
        TlxComm Full;
        Full.SetEnumPorts(epFullPresent);

        const TMeasure QuickOwn = Measure([&] { Quick.Update(); });
        const TMeasure SpList = Measure([] { ListWithLibserialport(false); });
        const TMeasure FullOwn = Measure([&] { Full.Update(); });
        const TMeasure SpDescribed = Measure([] { ListWithLibserialport(true); });
        const int OwnPorts = Listed(epQuickAll);
        const int FullPorts = Listed(epFullPresent);
        const int SpPorts = ListWithLibserialport(false);

        Folders.LinkTerminals(LinkedPorts);
        if (Listed(epQuickAll) != LinkedPorts) {
            std::fprintf(stderr, "bench-enum: %d ports listed, %d linked\n", Listed(epQuickAll),
                         LinkedPorts);
            return 1;
        }
        const TMeasure Linked = Measure([&] { Quick.Update(); });
        // The port map is kept and made again when a watched folder changes or once a second;
        // naming the port folder in two ways by turns makes it be made again on every run.
        const std::string Folder = ::getenv("LXCOMM_PORT_DIR");
        bool Slash = false;
        const TMeasure Rebuilt = Measure([&] {
            Slash = !Slash;
            ::setenv("LXCOMM_PORT_DIR", (Slash ? Folder + "/" : Folder).c_str(), 1);
            Quick.Update();
        });

        std::printf("This machine's own ports\n");
        Report("  Update, epQuickAll", OwnPorts, QuickOwn);
        Report("  libserialport sp_list_ports", SpPorts, SpList);
        Report("  Update, epFullPresent (Plug and Play data)", FullPorts, FullOwn);
        Report("  libserialport sp_list_ports with the USB descriptions", SpPorts, SpDescribed);
        std::printf("Linked pseudo-terminals\n");
        Report("  Update, epQuickAll", LinkedPorts, Linked);
        Report("  Update, epQuickAll, the port map made again each time", LinkedPorts, Rebuilt);
        std::printf("metric enum_update_us %.1f\n", QuickOwn.MedianUs);
        std::printf("metric enum_ratio_vs_libserialport %.3f\n", QuickOwn.MedianUs / SpList.MedianUs);
        std::printf("metric enum_us_per_port %.2f\n", Linked.MedianUs / LinkedPorts);
        std::printf("metric enum_full_ratio_vs_libserialport %.3f\n",
                    FullOwn.MedianUs / SpDescribed.MedianUs);
        return 0;
    } catch (const std::exception& Error) {
        std::fprintf(stderr, "bench-enum: %s\n", Error.what());
        return 1;
    }
}
