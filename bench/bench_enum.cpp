// bench-enum: what rebuilding the serial component's port list costs. The operator panel rebuilds
// its monitoring component's list (epQuickAll) every 100 ms while it is connected, so this is paid
// ten times a second. Measured with 32 ports (pseudo-terminals linked into a temporary port
// folder, an empty sysfs tree so that only they count), against libserialport's sp_list_ports
// on this machine's own ports, the usual way for a Linux program to list serial ports.
#include "lxcomm.h"

#include <libserialport.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;

constexpr int PortCount = 32;
constexpr int WarmUpRuns = 50;
constexpr int MeasuredRuns = 2001;

// The median of Runs calls of Step, in microseconds.
double MedianMicroseconds(const std::function<void()>& Step) {
    for (int Run = 0; Run < WarmUpRuns; ++Run) {
        Step();
    }
    std::vector<double> Samples;
    Samples.reserve(MeasuredRuns);
    for (int Run = 0; Run < MeasuredRuns; ++Run) {
        const TClock::time_point Start = TClock::now();
        Step();
        Samples.push_back(std::chrono::duration<double, std::micro>(TClock::now() - Start).count());
    }
    std::nth_element(Samples.begin(), Samples.begin() + MeasuredRuns / 2, Samples.end());
    return Samples[MeasuredRuns / 2];
}

// A temporary port folder with PortCount pseudo-terminals linked as COM1..COM32, and the
// library's folders pointed at it for the program's life.
class TPortSetup {
public:
    TPortSetup() {
        char Template[] = "/tmp/bench-enum-XXXXXX";
        if (::mkdtemp(Template) == nullptr) {
            throw std::runtime_error("no temporary folder");
        }
        fRoot = Template;
        for (const char* Folder : {"ports", "sys", "registry"}) {
            fs::create_directories(fRoot / Folder);
        }
        ::setenv("LXCOMM_PORT_DIR", (fRoot / "ports").c_str(), 1);
        ::setenv("LXCOMM_SYSFS_ROOT", (fRoot / "sys").c_str(), 1);
        ::setenv("LXCOMM_REGISTRY_DIR", (fRoot / "registry").c_str(), 1);
        for (int Number = 1; Number <= PortCount; ++Number) {
            const int Master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (Master < 0 || ::grantpt(Master) != 0 || ::unlockpt(Master) != 0) {
                throw std::runtime_error("no pseudo-terminal");
            }
            fMasters.push_back(Master);
            fs::create_symlink(::ptsname(Master),
                               fRoot / "ports" / ("com" + std::to_string(Number)));
        }
    }
    ~TPortSetup() {
        for (const int Master : fMasters) {
            ::close(Master);
        }
        std::error_code Ignored;
        fs::remove_all(fRoot, Ignored);
    }
    TPortSetup(const TPortSetup&) = delete;
    TPortSetup& operator=(const TPortSetup&) = delete;

private:
    fs::path fRoot;
    std::vector<int> fMasters;
};

int ListWithLibserialport() {
    sp_port** Ports = nullptr;
    if (sp_list_ports(&Ports) != SP_OK) {
        return -1;
    }
    int Count = 0;
    while (Ports[Count] != nullptr) {
        ++Count;
    }
    sp_free_port_list(Ports);
    return Count;
}

} // namespace

int main() {
    try {
        const TPortSetup Setup;
        TlxComm Comm;
        Comm.Update();
        if (Comm.DeviceCount() != PortCount) {
            std::fprintf(stderr, "bench-enum: %d ports listed, %d expected\n", Comm.DeviceCount(),
                         PortCount);
            return 1;
        }
        const double Update = MedianMicroseconds([&] { Comm.Update(); });
        const int Listed = ListWithLibserialport();
        const double Libserialport = MedianMicroseconds([] { ListWithLibserialport(); });

        std::printf("Update in epQuickAll, %d ports listed: median %.1f us over %d runs\n",
                    Comm.DeviceCount(), Update, MeasuredRuns);
        std::printf("libserialport sp_list_ports, %d ports of this machine listed: median %.1f us "
                    "over %d runs\n",
                    Listed, Libserialport, MeasuredRuns);
        std::printf("metric enum_update_us %.1f\n", Update);
        std::printf("metric enum_ratio_vs_libserialport %.3f\n", Update / Libserialport);
        return 0;
    } catch (const std::exception& Error) {
        std::fprintf(stderr, "bench-enum: %s\n", Error.what());
        return 1;
    }
}
