// The serial port component's device list on this system's own backend, over a synthetic sysfs
// tree and a port folder (an FTDI adapter, a CDC ACM device, a UART and a phantom one, a parallel
// port, a device seen before and unplugged, linked pseudo-terminals), and device changes reaching
// the component on the main thread while the notifier runs.
#include "eventloop.h"
#include "lxcomm.h"
#include "lxdevicechange.h"
#include "lxwin32di.h"
#include "pty.h"
#include "qtprint.h"
#include "sysfs_tree.h"

#include <QCoreApplication>
#include <QThread>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

using lxtest::RunUntil;
using lxtest::TPortFolder;
using lxtest::TPtyPair;
using lxtest::TSysfsTree;

constexpr int WaitMs = 2000;

// Without a product string the adapter is described by its driver, as Windows does.
const TSysfsTree::TUsbDevice Ftdi{"1-2", "0403", "6001", "A6008ISP", "", "FTDI"};
const TSysfsTree::TUsbDevice Arduino{"1-3", "2341", "0043", "", "", "Arduino (www.arduino.cc)"};

std::vector<std::string> Listing(TlxBaseIO& Comm) {
    TlxDeviceEntries Entries;
    Comm.GetDeviceList(&Entries);
    std::vector<std::string> Lines;
    for (const TlxDeviceEntry& Entry : Entries) {
        Lines.push_back(QStringLiteral("%1 | %2 | %3")
                            .arg(Entry.Text)
                            .arg(Entry.Device->Data)
                            .arg(Entry.Device->NamePDO)
                            .toStdString());
    }
    return Lines;
}

class SerialCommPorts : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(&winapi::Api(), &winapi::NativeApi());
        lx::UnloadSetupApi();
    }
    void TearDown() override { lx::UnloadSetupApi(); }

    // The machine: numbers as an earlier run left them (COM7 is an adapter seen then and not
    // plugged in now), two pseudo-terminals linked as COM9 and as CNCA0 (a name that is no COMn).
    void BuildMachine() {
        std::ofstream(Folder.PortDir() + ".numbers")
            << "COM1\tPNP\\PNP0501\\00:00\t/dev/ttyS0\tCommunications Port\t"
               "(Standard port types)\tserial\tserial\n"
               "COM3\tUSB\\VID_0403&PID_6001&MI_00\\A6008ISP\t/dev/ttyUSB0\tUSB Serial Port\t"
               "FTDI\tftdi_sio\tftdi_sio\n"
               "COM4\tUSB\\VID_2341&PID_0043&MI_00\\1-3\t/dev/ttyACM0\tUSB Serial Device\t"
               "Arduino (www.arduino.cc)\tcdc_acm\tcdc_acm\n"
               "COM7\tUSB\\VID_067B&PID_2303&MI_00\\1-4\t/dev/ttyUSB1\tUSB-Serial Controller\t"
               "Prolific\tpl2303\tpl2303\n";
        Tree.AddUart("00:00", "ttyS0", 4);
        Tree.AddLegacyUart("ttyS1", 0);
        Tree.AddUsbSerial(Ftdi, "ttyUSB0");
        Tree.AddAcm(Arduino, "ttyACM0");
        Tree.AddParallel("00:05", 0);
        Folder.Link("COM9", Terminal.SlavePath());
        Folder.Link("CNCA0", Emulated.SlavePath());
    }

    std::vector<std::string> ListIn(TlxEnumPorts Mode) {
        TlxComm Comm;
        Comm.SetEnumPorts(Mode);
        Comm.Update();
        return Listing(Comm);
    }

    TPortFolder Folder;
    TSysfsTree Tree{Folder.SysfsDir()};
    TPtyPair Terminal;
    TPtyPair Emulated;
};

TEST_F(SerialCommPorts, EachModeListsWhatTheRulesGive) {
    BuildMachine();
    // The registered name of a port is its device node under \\Device, never its path.
    const std::string Pts = "\\Device\\pts" + Terminal.SlavePath().substr(std::string("/dev/pts/").size());
    // The registered ports only; the phantom UART and the parallel port are none of them.
    EXPECT_EQ(ListIn(epQuickAll), (std::vector<std::string>{
                                      "COM1 | 1 | \\Device\\ttyS0",
                                      "COM3 | 3 | \\Device\\ttyUSB0",
                                      "COM4 | 4 | \\Device\\ttyACM0",
                                      "COM9 | 9 | " + Pts,
                                  }));
    // With the Plug and Play texts, the adapter seen before, and the linked port whose name is no
    // COMn; LPT1 is never listed.
    EXPECT_EQ(ListIn(epFullInfo), (std::vector<std::string>{
                                      "COM1 (Communications Port) | 1 | \\Device\\ttyS0",
                                      "COM3 (USB Serial Port) | 3 | \\Device\\ttyUSB0",
                                      "COM4 (USB Serial Device) | 4 | \\Device\\ttyACM0",
                                      "COM7 (USB-Serial Controller) | 7 | ",
                                      "COM9 (Pseudo-terminal) | 9 | " + Pts,
                                      "CNCA0 (Pseudo-terminal) | 4097 | ",
                                  }));
    // Only what is attached now.
    EXPECT_EQ(ListIn(epFullPresent), (std::vector<std::string>{
                                         "COM1 (Communications Port) | 1 | \\Device\\ttyS0",
                                         "COM3 (USB Serial Port) | 3 | \\Device\\ttyUSB0",
                                         "COM4 (USB Serial Device) | 4 | \\Device\\ttyACM0",
                                         "COM9 (Pseudo-terminal) | 9 | " + Pts,
                                         "CNCA0 (Pseudo-terminal) | 4097 | ",
                                     }));
}

TEST_F(SerialCommPorts, ARepluggedAdapterComesBackUnderItsNumberAndTheSelectionFollows) {
    BuildMachine();
    TlxComm Comm;
    Comm.SetEnumPorts(epFullPresent);
    Comm.SetComPortNo(3);
    Comm.Update();
    EXPECT_EQ(Comm.DeviceIndex(), 1);

    Tree.UnplugUsb(Ftdi.PortPath);
    Comm.Update();
    EXPECT_EQ(Comm.DeviceIndex(), -1);
    EXPECT_EQ(Comm.ComName(), QStringLiteral("COM3"));

    Tree.AddUsbSerial(Ftdi, "ttyUSB0");
    Comm.Update();
    ASSERT_EQ(Comm.DeviceIndex(), 1);
    EXPECT_EQ(Comm.Device(1)->NameFriendly, QStringLiteral("COM3 (USB Serial Port)"));
    EXPECT_EQ(Comm.Device(1)->InstanceId, QStringLiteral("USB\\VID_0403&PID_6001&MI_00\\A6008ISP"));
}

TEST_F(SerialCommPorts, ASelectedLinkedTerminalOpensByItsListedName) {
    BuildMachine();
    TlxComm Comm;
    Comm.SetEnumPorts(epFullInfo);
    Comm.Update();
    Comm.SetDeviceIndex(5);
    EXPECT_EQ(Comm.ComPortNo(), 4097);
    EXPECT_EQ(Comm.ComName(), QStringLiteral("CNCA0"));
    Comm.SetActive(true);
    EXPECT_TRUE(Comm.Active());
    Comm.SendString("ping");
    EXPECT_EQ(Emulated.Read(4), "ping");
    Comm.SetActive(false);
}

// --- Device changes -----------------------------------------------------------------------------

// One message as a receiver saw it.
struct TSeenChange {
    winapi::WPARAM Event;
    QString Port;
    bool OnMainThread;
};

std::vector<std::pair<winapi::WPARAM, QString>> Events(const std::vector<TSeenChange>& Seen) {
    std::vector<std::pair<winapi::WPARAM, QString>> Found;
    for (const TSeenChange& Change : Seen) {
        Found.emplace_back(Change.Event, Change.Port);
    }
    return Found;
}

TSeenChange Describe(const winapi::MSG& Msg) {
    QString Port;
    const auto* Header = reinterpret_cast<const winapi::DEV_BROADCAST_HDR*>(Msg.lParam);
    if (Header != nullptr && Header->dbch_devicetype == winapi::DBT_DEVTYP_PORT) {
        Port = QString::fromUtf16(
            reinterpret_cast<const winapi::DEV_BROADCAST_PORT_W*>(Header)->dbcp_name);
    }
    return {Msg.wParam, Port, QThread::currentThread() == QCoreApplication::instance()->thread()};
}

TEST_F(SerialCommPorts, ALinkedTerminalArrivesAndLeavesWhileTheNotifierRuns) {
    TlxComm Comm;
    Comm.Update();
    ASSERT_EQ(Comm.DeviceCount(), 0);
    TlxDeviceChangeNotifier Notifier;
    std::vector<TSeenChange> Seen;
    QObject Window;
    Notifier.AddReceiver(&Window, [&](const winapi::MSG& Msg) { Seen.push_back(Describe(Msg)); });
    Notifier.AddReceiver(&Comm);
    // A receiver whose object is gone is not called.
    int Late = 0;
    auto Gone = std::make_unique<QObject>();
    Notifier.AddReceiver(Gone.get(), [&](const winapi::MSG&) { ++Late; });
    Gone.reset();
    ASSERT_TRUE(Notifier.Start());

    TPtyPair Pty;
    Folder.Link("COM5", Pty.SlavePath());
    ASSERT_TRUE(RunUntil([&] { return Comm.DeviceCount() == 1; }, WaitMs));
    EXPECT_EQ(Comm.Device(0)->NameFriendly, QStringLiteral("COM5"));
    ASSERT_FALSE(Seen.empty());
    EXPECT_EQ(Events(Seen), (std::vector<std::pair<winapi::WPARAM, QString>>{
                                {winapi::DBT_DEVICEARRIVAL, QStringLiteral("COM5")}}));
    EXPECT_TRUE(Seen[0].OnMainThread);

    Seen.clear();
    Folder.Unlink("COM5");
    ASSERT_TRUE(RunUntil([&] { return Comm.DeviceCount() == 0; }, WaitMs));
    EXPECT_EQ(Events(Seen), (std::vector<std::pair<winapi::WPARAM, QString>>{
                                {winapi::DBT_DEVICEREMOVECOMPLETE, QStringLiteral("COM5")}}));
    EXPECT_EQ(Late, 0);

    // Once stopped, nothing more is delivered.
    Notifier.Stop();
    Seen.clear();
    Folder.Link("COM6", Pty.SlavePath());
    lxtest::RunFor(300);
    EXPECT_TRUE(Seen.empty());
}

} // namespace
