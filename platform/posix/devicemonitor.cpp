// The device-change monitor on Linux. It watches, with inotify, the folders whose entries come
// and go with ports: the port folder (links added and removed) and the folder beside it (the
// port folder itself appearing), /dev (device nodes of plugged devices), /dev/pts (terminals a
// link may point to) and the sysfs tty and parport folders (synthetic trees; the real sysfs
// sends no inotify events). After a burst of events has settled it compares the port map with
// the one it saw before and reports the difference. A rescan every second catches what no
// watched folder shows, such as a link into a folder that is not watched.
//
// inotify rather than the kernel's uevent socket: a uevent says that a device appeared, not
// that its /dev node or the port folder's link is usable, and it reaches neither link changes
// nor containers without udev; every change that matters here ends in one of these folders.
#include "lxdevicemonitor.h"

#include "lasterror.h"
#include "portmap.h"
#include "sysfs.h"
#include "uniquefd.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <poll.h>
#include <set>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <thread>
#include <vector>

namespace lx {

using namespace winapi;
using namespace winapi::posix;

namespace {

// What inotify cannot see is found this often.
constexpr int RescanMilliseconds = 1000;
// Plugging a device is a burst of events; the comparison waits until it has been quiet this long.
constexpr int SettleMilliseconds = 50;
// A folder that never stops changing is compared at least after this many settling rounds.
constexpr int MaxSettleRounds = 5;

struct TSnapshot {
    std::map<std::u16string, std::string> Ports; // port name -> where it leads
    std::set<std::u16string> Devices;            // instance ids of what sysfs shows
};

TSnapshot Take() {
    const std::shared_ptr<const TPortMap> Map = CurrentPortMap();
    TSnapshot Snapshot;
    for (const TPortLink& Port : Map->Present) {
        Snapshot.Ports.emplace(Port.Name, Port.DevicePath);
    }
    for (const TSysNode& Device : Map->Devices) {
        Snapshot.Devices.insert(Device.InstanceId);
    }
    return Snapshot;
}

void Drain(int Fd) {
    alignas(inotify_event) char Buffer[4096];
    while (::read(Fd, Buffer, sizeof(Buffer)) > 0) {
    }
}

} // namespace

class TDeviceChangeMonitor::TImpl {
public:
    explicit TImpl(TDeviceChangeHandler Handler) : fHandler(std::move(Handler)) {}
    ~TImpl() { Stop(); }
    TImpl(const TImpl&) = delete;
    TImpl& operator=(const TImpl&) = delete;

    bool Start() {
        if (fThread.joinable()) {
            return true;
        }
        fInotify.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        fStop.Reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
        if (!fInotify.IsValid() || !fStop.IsValid()) {
            SetLastErrorFromErrno(errno, "the device-change monitor");
            fInotify.Reset();
            fStop.Reset();
            return false;
        }
        const std::string Folder = PortFolder();
        const std::string Sysfs = SysfsRoot();
        fFolders = {Folder,
                    std::filesystem::path(NumbersFile()).parent_path().string(),
                    Sysfs + "/class/tty",
                    Sysfs + "/bus/parport/devices",
                    "/dev",
                    "/dev/pts"};
        Watch();
        fLast = Take();
        fThread = std::thread(&TImpl::Run, this);
        return true;
    }

    void Stop() {
        if (!fThread.joinable()) {
            return;
        }
        const std::uint64_t One = 1;
        while (::write(fStop.Get(), &One, sizeof(One)) < 0 && errno == EINTR) {
        }
        fThread.join();
        fInotify.Reset();
        fStop.Reset();
    }

    bool Active() const { return fThread.joinable(); }

private:
    // A folder that does not exist yet (the port folder before its first link) is watched from
    // the moment it does: adding a watch again is harmless.
    void Watch() {
        constexpr std::uint32_t Mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                       IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
        for (const std::string& Folder : fFolders) {
            ::inotify_add_watch(fInotify.Get(), Folder.c_str(), Mask);
        }
    }

    // Waits for a change, or for the rescan period; false when asked to stop.
    bool WaitForChange() {
        pollfd Fds[2] = {{fInotify.Get(), POLLIN, 0}, {fStop.Get(), POLLIN, 0}};
        int Timeout = RescanMilliseconds;
        for (int Round = 0; Round <= MaxSettleRounds; ++Round) {
            const int Ready = ::poll(Fds, 2, Timeout);
            if (Ready < 0 && errno == EINTR) {
                continue;
            }
            if (Ready < 0 || (Fds[1].revents & POLLIN) != 0) {
                return false;
            }
            if (Ready == 0) {
                return true;
            }
            Drain(fInotify.Get());
            Timeout = SettleMilliseconds;
        }
        return true;
    }

    void Run() {
        while (WaitForChange()) {
            Watch();
            TSnapshot Now = Take();
            Report(fLast, Now);
            fLast = std::move(Now);
        }
    }

    // Removals first, so that a port that moved to another device is gone before it comes back.
    void Report(const TSnapshot& Before, const TSnapshot& After) const {
        for (const auto& [Name, Target] : Before.Ports) {
            const auto Found = After.Ports.find(Name);
            if (Found == After.Ports.end() || Found->second != Target) {
                SendPort(DBT_DEVICEREMOVECOMPLETE, Name);
            }
        }
        for (const auto& [Name, Target] : After.Ports) {
            const auto Found = Before.Ports.find(Name);
            if (Found == Before.Ports.end() || Found->second != Target) {
                SendPort(DBT_DEVICEARRIVAL, Name);
            }
        }
        if (Before.Devices != After.Devices) {
            fHandler(DBT_DEVNODES_CHANGED, nullptr);
        }
    }

    // The record as Windows lays it out: the header, then the NUL-terminated name.
    void SendPort(DWORD Event, const std::u16string& Name) const {
        constexpr std::size_t NameOffset = offsetof(DEV_BROADCAST_PORT_W, dbcp_name);
        const std::size_t Size = NameOffset + (Name.size() + 1) * sizeof(WCHAR);
        std::vector<std::uint32_t> Block((Size + sizeof(std::uint32_t) - 1) /
                                         sizeof(std::uint32_t));
        auto* Bytes = reinterpret_cast<BYTE*>(Block.data());
        const DEV_BROADCAST_HDR Header{DWORD(Size), DBT_DEVTYP_PORT, 0};
        std::memcpy(Bytes, &Header, sizeof(Header));
        std::memcpy(Bytes + NameOffset, Name.c_str(), (Name.size() + 1) * sizeof(WCHAR));
        fHandler(Event, reinterpret_cast<const DEV_BROADCAST_HDR*>(Bytes));
    }

    const TDeviceChangeHandler fHandler;
    TUniqueFd fInotify;
    TUniqueFd fStop;
    std::vector<std::string> fFolders;
    TSnapshot fLast; // the monitor thread's own once it runs
    std::thread fThread;
};

TDeviceChangeMonitor::TDeviceChangeMonitor(TDeviceChangeHandler Handler)
    : fImpl(std::make_unique<TImpl>(std::move(Handler))) {}

TDeviceChangeMonitor::~TDeviceChangeMonitor() = default;

bool TDeviceChangeMonitor::Start() {
    return fImpl->Start();
}

void TDeviceChangeMonitor::Stop() {
    fImpl->Stop();
}

bool TDeviceChangeMonitor::Active() const {
    return fImpl->Active();
}

} // namespace lx
