// The device-change monitor on Linux, for real: links to pseudo-terminals put into and taken out
// of the port folder, and devices plugged into a synthetic sysfs tree, while it runs.
#include "lxdevicemonitor.h"
#include "posix/portmap.h"
#include "pty.h"
#include "sysfs_tree.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

using namespace winapi;
using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

// One WM_DEVICECHANGE as the handler saw it.
struct TMessage {
    WPARAM Event;
    std::u16string Port; // empty for DBT_DEVNODES_CHANGED
    friend bool operator==(const TMessage&, const TMessage&) = default;
};

std::ostream& operator<<(std::ostream& Out, const TMessage& Message) {
    return Out << Message.Event << " " << std::string(Message.Port.begin(), Message.Port.end());
}

// Collects the messages from the monitor's thread.
class TRecorder {
public:
    lx::TDeviceChangeHandler Handler() {
        return [this](WPARAM Event, const DEV_BROADCAST_HDR* Header) { Record(Event, Header); };
    }

    // The messages that came within Timeout of now, once there are Count of them.
    std::vector<TMessage> WaitFor(std::size_t Count, std::chrono::milliseconds Timeout = 500ms) {
        std::unique_lock Lock(fLock);
        fChanged.wait_for(Lock, Timeout, [&] { return fMessages.size() >= Count; });
        return std::exchange(fMessages, {});
    }

    int BadRecords() const {
        std::lock_guard Lock(fLock);
        return fBadRecords;
    }

private:
    void Record(WPARAM Event, const DEV_BROADCAST_HDR* Header) {
        std::lock_guard Lock(fLock);
        TMessage Message{Event, {}};
        if (Event == DBT_DEVNODES_CHANGED) {
            fBadRecords += Header != nullptr ? 1 : 0;
        } else if (Header == nullptr || Header->dbch_devicetype != DBT_DEVTYP_PORT ||
                   Header->dbch_size < sizeof(DEV_BROADCAST_PORT_W)) {
            ++fBadRecords;
        } else {
            // The name runs from dbcp_name to its terminator, which dbcp_size includes.
            const auto* Bytes = reinterpret_cast<const BYTE*>(Header);
            const std::size_t Offset = offsetof(DEV_BROADCAST_PORT_W, dbcp_name);
            for (std::size_t At = Offset; At + 2 <= Header->dbch_size; At += 2) {
                WCHAR Char = 0;
                std::memcpy(&Char, Bytes + At, 2);
                if (Char == 0) {
                    fBadRecords += At + 2 == Header->dbch_size ? 0 : 1;
                    break;
                }
                Message.Port.push_back(Char);
            }
        }
        fMessages.push_back(std::move(Message));
        fChanged.notify_all();
    }

    mutable std::mutex fLock;
    std::condition_variable fChanged;
    std::vector<TMessage> fMessages;
    int fBadRecords = 0;
};

class DeviceMonitor : public testing::Test {
protected:
    // The folders come first and go last: the monitor's thread reads the environment they set.
    lxtest::TPortFolder Folder;
    lxtest::TSysfsTree Tree{Folder.SysfsDir()};
    TRecorder Recorder;
    lx::TDeviceChangeMonitor Monitor{Recorder.Handler()};
};

const TMessage Arrival9{DBT_DEVICEARRIVAL, u"COM9"};
const TMessage Removal9{DBT_DEVICEREMOVECOMPLETE, u"COM9"};

TEST_F(DeviceMonitor, ALinkedTerminalArrivesAndLeavesWithinHalfASecond) {
    lxtest::TPtyPair Pty;
    ASSERT_TRUE(Monitor.Start());
    ASSERT_TRUE(Monitor.Active());

    const TClock::time_point Linked = TClock::now();
    Folder.Link("COM9", Pty.SlavePath());
    EXPECT_EQ(Recorder.WaitFor(1), std::vector<TMessage>{Arrival9});
    EXPECT_LT(TClock::now() - Linked, 500ms);

    const TClock::time_point Unlinked = TClock::now();
    Folder.Unlink("COM9");
    EXPECT_EQ(Recorder.WaitFor(1), std::vector<TMessage>{Removal9});
    EXPECT_LT(TClock::now() - Unlinked, 500ms);
    EXPECT_EQ(Recorder.BadRecords(), 0);
}

TEST_F(DeviceMonitor, ATerminalThatClosesRemovesItsPort) {
    auto Pty = std::make_unique<lxtest::TPtyPair>();
    Folder.Link("COM9", Pty->SlavePath());
    ASSERT_TRUE(Monitor.Start());
    Pty.reset();
    // The kernel takes a closed terminal's node away in deferred work, which a loaded machine
    // can hold back for a while; the 500 ms promise is shown on links above, so this waits longer.
    EXPECT_EQ(Recorder.WaitFor(1, 1500ms), std::vector<TMessage>{Removal9});
}

TEST_F(DeviceMonitor, APluggedAdapterBringsItsPortAndADeviceChange) {
    ASSERT_TRUE(Monitor.Start());
    const lxtest::TSysfsTree::TUsbDevice Adapter{"1-2", "0403", "6001", "A1", "", ""};
    Tree.AddUsbSerial(Adapter, "ttyUSB0");
    EXPECT_EQ(Recorder.WaitFor(2),
              (std::vector<TMessage>{{DBT_DEVICEARRIVAL, u"COM1"}, {DBT_DEVNODES_CHANGED, u""}}));
    Tree.UnplugUsb("1-2");
    EXPECT_EQ(Recorder.WaitFor(2), (std::vector<TMessage>{{DBT_DEVICEREMOVECOMPLETE, u"COM1"},
                                                          {DBT_DEVNODES_CHANGED, u""}}));
    EXPECT_EQ(Recorder.BadRecords(), 0);
}

// How often the numbering file is replaced (each write renames a new file over it) in Period.
int NumberingWrites(std::chrono::milliseconds Period) {
    const std::filesystem::path File = winapi::posix::NumbersFile();
    const int Fd = ::inotify_init1(IN_CLOEXEC);
    EXPECT_GE(::inotify_add_watch(Fd, File.parent_path().c_str(), IN_MOVED_TO), 0);
    int Writes = 0;
    const TClock::time_point End = TClock::now() + Period;
    for (TClock::time_point Now = TClock::now(); Now < End; Now = TClock::now()) {
        pollfd Poll{Fd, POLLIN, 0};
        const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(End - Now);
        if (::poll(&Poll, 1, int(Left.count()) + 1) <= 0) {
            continue;
        }
        alignas(inotify_event) char Buffer[4096];
        const ssize_t Got = ::read(Fd, Buffer, sizeof(Buffer));
        for (ssize_t At = 0; At < Got;) {
            const auto* Event = reinterpret_cast<const inotify_event*>(Buffer + At);
            Writes += Event->len > 0 && File.filename() == Event->name ? 1 : 0;
            At += ssize_t(sizeof(inotify_event) + Event->len);
        }
    }
    ::close(Fd);
    return Writes;
}

// Two adapters with one serial number used to take turns at one number, so that every rescan
// wrote the numbering file again; a monitor with nothing to report writes nothing.
TEST_F(DeviceMonitor, AnIdleMonitorNeverWritesTheNumberingFile) {
    const lxtest::TSysfsTree::TUsbDevice Adapter{"1-2", "0403", "6001", "0001", "", ""};
    lxtest::TSysfsTree::TUsbDevice Twin = Adapter;
    Twin.PortPath = "1-3";
    Tree.AddUsbSerial(Adapter, "ttyUSB0");
    Tree.AddUsbSerial(Twin, "ttyUSB1");
    ASSERT_TRUE(Monitor.Start());
    EXPECT_EQ(NumberingWrites(10s), 0);
    Monitor.Stop();
}

TEST_F(DeviceMonitor, APortFolderMadeAfterTheStartIsWatchedToo) {
    const std::string Later = Folder.Root() + "/later-ports";
    ::setenv("LXCOMM_PORT_DIR", Later.c_str(), 1);
    ASSERT_TRUE(Monitor.Start());
    lxtest::TPtyPair Pty;
    std::filesystem::create_directory(Later);
    std::filesystem::create_symlink(Pty.SlavePath(), Later + "/com9");
    EXPECT_EQ(Recorder.WaitFor(1), std::vector<TMessage>{Arrival9});
    Monitor.Stop();
}

TEST_F(DeviceMonitor, StopEndsTheThreadAndNothingIsReportedAfterIt) {
    lxtest::TPtyPair Pty;
    ASSERT_TRUE(Monitor.Start());
    EXPECT_TRUE(Monitor.Start()); // running already: nothing more
    Monitor.Stop();
    EXPECT_FALSE(Monitor.Active());
    Folder.Link("COM9", Pty.SlavePath());
    EXPECT_TRUE(Recorder.WaitFor(1, 300ms).empty());

    // Started again, it takes the ports there now as its starting point.
    ASSERT_TRUE(Monitor.Start());
    Folder.Unlink("COM9");
    EXPECT_EQ(Recorder.WaitFor(1), std::vector<TMessage>{Removal9});
}

} // namespace
