// The serial port component's selection, device list and published properties against the fake
// OS (a registry port list and Plug and Play devices scripted to show every matching rule), and
// its stored configuration in the Linux registry store, including a writer killed mid-save.
#include "eventloop.h"
#include "fake_winapi.h"
#include "lxcomm.h"
#include "lxwin32di.h"
#include "pty.h"
#include "qtprint.h"
#include "recording_log.h"

#include <QMetaProperty>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using lxtest::TFakeApi;
using lxtest::TFakeApiScope;
using lxtest::TFakePnpDevice;
using lxtest::TRecordingLog;
using winapi::GUID_DEVCLASS_PORTS;

// One entry of the device list as a line: the text it is listed under, its Data and PortName.
std::vector<std::string> Listing(TlxBaseIO& Comm) {
    TlxDeviceEntries Entries;
    Comm.GetDeviceList(&Entries);
    std::vector<std::string> Lines;
    for (const TlxDeviceEntry& Entry : Entries) {
        Lines.push_back(QStringLiteral("%1 | %2 | %3")
                            .arg(Entry.Text)
                            .arg(Entry.Device->Data)
                            .arg(Entry.Device->PortName)
                            .toStdString());
    }
    return Lines;
}

// A port of the ports class: its description, and a hardware key holding PortName when given.
TFakePnpDevice PortDevice(std::u16string InstanceId, std::optional<std::u16string> PortName,
                          std::u16string Description, bool Present = true) {
    TFakePnpDevice Device;
    Device.InstanceId = std::move(InstanceId);
    Device.Present = Present;
    Device.Properties = {{winapi::SPDRP_DEVICEDESC, std::move(Description)},
                         {winapi::SPDRP_SERVICE, u"Serial"},
                         {winapi::SPDRP_DRIVER, u"{4d36e978-e325-11ce-bfc1-08002be10318}\\0001"},
                         {winapi::SPDRP_MFG, u"(Standard port types)"}};
    Device.HardwareKey.emplace();
    if (PortName) {
        (*Device.HardwareKey)[u"PortName"] = *PortName;
    }
    return Device;
}

// Records the notify codes a component sends.
class TSerialNotifyWatcher {
public:
    void Notified(QObject*, int Code) { Codes.push_back(Code); }
    std::vector<int> Codes;
};

class SerialCommOnFake : public testing::Test {
protected:
    void SetUp() override { lx::UnloadSetupApi(); }
    void TearDown() override { lx::UnloadSetupApi(); }

    void Watch(TlxComm& Comm) {
        Comm.NotifyAdd(TlxNotifyEvent::Bind<&TSerialNotifyWatcher::Notified>(&Watcher));
    }

    TFakeApi Fake;
    TFakeApiScope Scope{Fake};
    TSerialNotifyWatcher Watcher;
};

// --- Selection ----------------------------------------------------------------------------------

TEST_F(SerialCommOnFake, TheSelectionFollowsThePortNumberThroughTheList) {
    Fake.AddSerialComm(u"\\Device\\Serial0", u"COM1");
    Fake.AddSerialComm(u"\\Device\\Serial2", u"COM3");
    TlxComm Comm;
    EXPECT_EQ(Comm.ComPortNo(), 1);
    EXPECT_EQ(Comm.DeviceCount(), 0) << "nothing is listed before it is asked for";
    EXPECT_EQ(Comm.DeviceIndex(), -1) << "reading the index does not load the list";
    Comm.Update();
    EXPECT_EQ(Listing(Comm), (std::vector<std::string>{"COM1 | 1 | COM1", "COM3 | 3 | COM3"}));
    EXPECT_EQ(Comm.Device(1)->NamePDO, QStringLiteral("\\Device\\Serial2"));

    Comm.SetComPortNo(3);
    EXPECT_EQ(Comm.DeviceIndex(), 1);
    EXPECT_EQ(Comm.ComName(), QStringLiteral("COM3"));
    Comm.SetComPortNo(2);
    EXPECT_EQ(Comm.DeviceIndex(), -1);
    EXPECT_EQ(Comm.ComName(), QStringLiteral("COM2"));

    // A port that arrives below the selected one moves it down the list; the selection stays.
    Comm.SetComPortNo(3);
    Fake.AddSerialComm(u"\\Device\\Serial1", u"COM2");
    Watch(Comm);
    Comm.Update();
    EXPECT_EQ(Watcher.Codes, std::vector<int>{3});
    EXPECT_EQ(Comm.DeviceIndex(), 2);
    EXPECT_EQ(Comm.ComName(), QStringLiteral("COM3"));
}

TEST_F(SerialCommOnFake, ComPortMapsTheFirstEightPortsAndEveryOtherNumberIsCOMxx) {
    TlxComm Comm;
    const std::pair<quint16, TComPort> Reads[] = {{1, cpCOM1},  {3, cpCOM3},   {8, cpCOM8},
                                                  {9, cpCOMxx}, {12, cpCOMxx}, {0, cpCOMxx}};
    for (const auto& [Number, Port] : Reads) {
        Comm.SetComPortNo(Number);
        EXPECT_EQ(Comm.ComPort(), Port) << Number;
    }
    Comm.SetComPortNo(12);
    Comm.SetComPort(cpCOMxx);
    EXPECT_EQ(Comm.ComPortNo(), 12) << "cpCOMxx names no port";
    Comm.SetComPort(cpCOM4);
    EXPECT_EQ(Comm.ComPortNo(), 4);
}

TEST_F(SerialCommOnFake, WritingThePortNumberReopensOnTheNewPortAndAlwaysNotifies) {
    Fake.AddSerialComm(u"\\Device\\Serial0", u"COM1");
    Fake.AddSerialComm(u"\\Device\\Serial2", u"COM3");
    Fake.AddDevice(u"\\\\?\\COM1");
    Fake.AddDevice(u"\\\\?\\COM3");
    TlxComm Comm;
    Comm.Update();
    Watch(Comm);
    Comm.SetComPortNo(1);
    EXPECT_EQ(Watcher.Codes, std::vector<int>{3}) << "the same number is announced as well";

    Comm.SetComPortNo(3);
    Comm.SetActive(true);
    ASSERT_TRUE(Comm.Active());
    Watcher.Codes.clear();
    Fake.ClearCalls();
    Comm.SetDeviceIndex(5);
    EXPECT_TRUE(Watcher.Codes.empty()) << "an index outside the list changes nothing";
    EXPECT_EQ(Comm.ComPortNo(), 3);

    Comm.SetDeviceIndex(0);
    EXPECT_EQ(Comm.ComPortNo(), 1);
    EXPECT_TRUE(Comm.Active());
    // Closed (1), opened on COM1 (2), then the selection announced (3).
    EXPECT_EQ(Watcher.Codes, (std::vector<int>{1, 2, 3}));
    ASSERT_EQ(Fake.Calls("CreateFileW").size(), 1u);
    EXPECT_EQ(Fake.Calls("CreateFileW")[0].Text, u"\\\\?\\COM1");
    Comm.SetActive(false);
}

TEST_F(SerialCommOnFake, AnExternalHandleIsUsedByExactlyOneOpen) {
    Fake.AddDevice(u"\\\\?\\COM2");
    Fake.AddDevice(u"\\\\?\\COM6");
    TlxComm Comm;
    Comm.SetComPortNo(2);
    Comm.SetExtHandle(nullptr);
    Comm.SetExtHandle(winapi::INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Comm.Active());
    EXPECT_EQ(Fake.CallCount("CreateFileW"), 0);

    const winapi::HANDLE Outside =
        Fake.CreateFileW(u"\\\\?\\COM6", 0, 0, nullptr, 0, winapi::FILE_FLAG_OVERLAPPED, nullptr);
    Fake.ClearCalls();
    Comm.SetExtHandle(Outside);
    EXPECT_TRUE(Comm.Active());
    EXPECT_EQ(Comm.Handle(), Outside);
    EXPECT_EQ(Fake.CallCount("CreateFileW"), 0);

    // Adopting another handle closes the first.
    const winapi::HANDLE Second =
        Fake.CreateFileW(u"\\\\?\\COM6", 0, 0, nullptr, 0, winapi::FILE_FLAG_OVERLAPPED, nullptr);
    Comm.SetExtHandle(Second);
    EXPECT_EQ(Comm.Handle(), Second);
    ASSERT_FALSE(Fake.Calls("CloseHandle").empty());

    Comm.SetActive(false);
    Fake.ClearCalls();
    Comm.SetActive(true);
    EXPECT_TRUE(Comm.Active());
    ASSERT_EQ(Fake.Calls("CreateFileW").size(), 1u);
    EXPECT_EQ(Fake.Calls("CreateFileW")[0].Text, u"\\\\?\\COM2");
    Comm.SetActive(false);
}

// --- The device list ----------------------------------------------------------------------------

class SerialCommLists : public SerialCommOnFake {
protected:
    // COM1 and COM3 are registered and known to Plug and Play; COM5 is registered only; COM7
    // (twice, not attached), LPT1 and CNCA0 are known to Plug and Play only.
    void SetUp() override {
        SerialCommOnFake::SetUp();
        Fake.AddSerialComm(u"\\Device\\Serial0", u"COM1");
        Fake.AddSerialComm(u"\\Device\\VCP0", u"COM3");
        Fake.AddSerialComm(u"\\Device\\Serial4", u"COM5");
        Fake.InstallSetupApi();
        // Found by its description alone: its hardware key has no port name.
        Fake.AddPnpDevice(
            PortDevice(u"ACPI\\PNP0501\\1", std::nullopt, u"Communications Port (COM1)"));
        Fake.AddPnpDevice(PortDevice(u"FTDIBUS\\A6008ISP\\0000", u"com3", u"USB Serial Port"));
        Fake.AddPnpDevice(PortDevice(u"BTHENUM\\LINK\\1", u"COM7", u"Bluetooth Link", false));
        Fake.AddPnpDevice(PortDevice(u"BTHENUM\\LINK\\2", u"COM7", u"Bluetooth Link 2", false));
        Fake.AddPnpDevice(PortDevice(u"ACPI\\PNP0400\\1", u"LPT1", u"Printer Port"));
        Fake.AddPnpDevice(PortDevice(u"EMULATOR\\PAIR\\0", u"CNCA0", u"Virtual serial port"));
    }

    std::vector<std::string> ListIn(TlxEnumPorts Mode) {
        TlxComm Comm;
        Comm.SetEnumPorts(Mode);
        Comm.Update();
        return Listing(Comm);
    }
};

TEST_F(SerialCommLists, QuickAllListsTheRegisteredPortsWithoutAskingPlugAndPlay) {
    EXPECT_EQ(ListIn(epQuickAll),
              (std::vector<std::string>{"COM1 | 1 | COM1", "COM3 | 3 | COM3", "COM5 | 5 | COM5"}));
    EXPECT_EQ(Fake.CallCount("LoadLibraryW"), 0);
}

TEST_F(SerialCommLists, FullInfoAddsThePlugAndPlayDataAndThePortsOnlyPlugAndPlayKnows) {
    EXPECT_EQ(ListIn(epFullInfo), (std::vector<std::string>{
                                      // The registered name stays where the matched entry has none.
                                      "COM1 (Communications Port (COM1)) | 1 | COM1",
                                      "COM3 (USB Serial Port) | 3 | com3",
                                      "COM5 | 5 | COM5",
                                      // The second claim on COM7 is refused; LPT1 is never listed.
                                      "COM7 (Bluetooth Link) | 7 | COM7",
                                      "CNCA0 (Virtual serial port) | 4097 | CNCA0",
                                  }));
    EXPECT_EQ(Fake.OpenDeviceInfoSets(), 0);
}

TEST_F(SerialCommLists, TheEntriesCarryTheRecordsOfTheirSource) {
    TlxComm Comm;
    Comm.SetEnumPorts(epFullInfo);
    Comm.Update();
    ASSERT_EQ(Comm.DeviceCount(), 5);
    const TlxDevice& Registered = *Comm.Device(1);
    EXPECT_EQ(Registered.NameDeviceDos, QStringLiteral("COM3"));
    EXPECT_EQ(Registered.NamePDO, QStringLiteral("\\Device\\VCP0"));
    EXPECT_EQ(Registered.Description, QStringLiteral("USB Serial Port"));
    EXPECT_EQ(Registered.Service, QStringLiteral("Serial"));
    EXPECT_EQ(Registered.Manufacturer, QStringLiteral("(Standard port types)"));
    EXPECT_EQ(Registered.InstanceId, QStringLiteral("FTDIBUS\\A6008ISP\\0000"));
    EXPECT_NE(Registered.DevInst, 0u);
    EXPECT_TRUE(
        Registered.RegKey.endsWith(QStringLiteral("FTDIBUS\\A6008ISP\\0000\\Device Parameters")))
        << Registered.RegKey.toStdString();

    const TlxDevice& PnpOnly = *Comm.Device(4);
    EXPECT_EQ(PnpOnly.NameDeviceDos, QStringLiteral("CNCA0"));
    EXPECT_EQ(PnpOnly.NamePDO, QString());
    EXPECT_EQ(PnpOnly.InstanceId, QString()) << "a port known only to Plug and Play has no node";
    EXPECT_EQ(PnpOnly.DevInst, 0u);
    EXPECT_EQ(PnpOnly.Description, QStringLiteral("Virtual serial port"));

    // Opening a listed port goes by its PortName.
    Fake.AddDevice(u"\\\\?\\com3");
    Comm.SetComPortNo(3);
    Comm.SetActive(true);
    EXPECT_TRUE(Comm.Active());
    Comm.SetActive(false);
}

TEST_F(SerialCommLists, FullPresentLeavesOutRegisteredPortsWithoutAnAttachedDevice) {
    EXPECT_EQ(ListIn(epFullPresent), (std::vector<std::string>{
                                         "COM1 (Communications Port (COM1)) | 1 | COM1",
                                         "COM3 (USB Serial Port) | 3 | com3",
                                         "CNCA0 (Virtual serial port) | 4097 | CNCA0",
                                     }));
}

TEST_F(SerialCommOnFake, APortExaminedOnceThePresentEntriesAreUsedUpStaysListed) {
    // Only COM1's device is attached: COM3 and COM5 meet an empty list and are not filtered.
    Fake.AddSerialComm(u"\\Device\\Serial0", u"COM1");
    Fake.AddSerialComm(u"\\Device\\Serial2", u"COM3");
    Fake.AddSerialComm(u"\\Device\\Serial4", u"COM5");
    Fake.InstallSetupApi();
    Fake.AddPnpDevice(PortDevice(u"ACPI\\PNP0501\\1", u"COM1", u"Communications Port"));
    TlxComm Comm;
    Comm.SetEnumPorts(epFullPresent);
    Comm.Update();
    EXPECT_EQ(Listing(Comm), (std::vector<std::string>{"COM1 (Communications Port) | 1 | COM1",
                                                       "COM3 | 3 | COM3", "COM5 | 5 | COM5"}));
}

TEST_F(SerialCommLists, WithoutTheSetupApiEveryModeListsTheRegisteredPorts) {
    Fake.SetExport(u"SetupAPI.dll", "SetupDiGetClassDevsW", nullptr);
    for (const TlxEnumPorts Mode : {epFullInfo, epFullPresent}) {
        EXPECT_EQ(ListIn(Mode), (std::vector<std::string>{"COM1 | 1 | COM1", "COM3 | 3 | COM3",
                                                          "COM5 | 5 | COM5"}))
            << Mode;
    }
}

// --- Published properties -----------------------------------------------------------------------

TEST_F(SerialCommOnFake, TlxCommPublishesItsSettingsInTheirStoredOrder) {
    TlxComm Comm;
    const QMetaObject& Meta = *Comm.metaObject();
    QStringList Stored;
    QStringList RunTime;
    for (int Index = Meta.propertyOffset(); Index < Meta.propertyCount(); ++Index) {
        const QMetaProperty Property = Meta.property(Index);
        (Property.isStored() ? Stored : RunTime) << QString::fromLatin1(Property.name());
    }
    EXPECT_EQ(
        Stored.join(' ').toStdString(),
        "Name Log OnFatalError Active BaudRate Parity StopBits ByteSize ComPortNo ComPort "
        "TraceStates ModemSignals EventChar StreamProtocol DataProcessor BufferInSize "
        "BufferOutSize TimeoutRead TimeoutWrite RS485Mode EnumPorts UseMainThread "
        "KeepConnection Terminal TerminalUsage TerminalEcho MonitorCTS MonitorDSR MonitorRLSD "
        "MonitorRing OnAfterReceive OnAfterSend OnTraceState OnCommError OnClose");
    EXPECT_EQ(RunTime.join(' ').toStdString(),
              "ComName ReadyForRead NotYetSend CommProp TotalReceived TotalSent Handle");

    // Written by name, as stored properties are applied.
    EXPECT_TRUE(Comm.setProperty("BaudRate", 9600u));
    EXPECT_TRUE(Comm.setProperty("ComPortNo", QVariant::fromValue<quint16>(4)));
    EXPECT_TRUE(Comm.setProperty("EnumPorts", QVariant::fromValue(epFullPresent)));
    EXPECT_EQ(Comm.BaudRate(), 9600u);
    EXPECT_EQ(Comm.ComPort(), cpCOM4);
    EXPECT_EQ(Comm.EnumPorts(), epFullPresent);
    EXPECT_EQ(Comm.property("ComName").toString(), QStringLiteral("COM4"));
}

TEST_F(SerialCommOnFake, ANewComponentHoldsThePortDefaults) {
    TlxComm Comm;
    EXPECT_EQ(Comm.ComPortNo(), 1);
    EXPECT_EQ(Comm.ComPort(), cpCOM1);
    EXPECT_EQ(Comm.EnumPorts(), epQuickAll);
    EXPECT_EQ(Comm.BaudRate(), 19200u);
    EXPECT_EQ(Comm.ByteSize(), 8);
    EXPECT_EQ(Comm.Parity(), pNone);
    EXPECT_EQ(Comm.StopBits(), sbOne);
    EXPECT_EQ(Comm.StreamProtocol(), spHardware);
    EXPECT_EQ(Comm.EventChar(), 0);
    ASSERT_FALSE(Fake.Calls("GetDefaultCommConfigW").empty());
    EXPECT_EQ(Fake.Calls("GetDefaultCommConfigW")[0].Text, u"COM1");
}

// --- The stored configuration
// ---------------------------------------------------------------------

const QString ConfigKey = QStringLiteral("Software\\Bench\\Panel");
const QString ConfigValue = QStringLiteral("Port settings");
const QString LoadError = QStringLiteral("Error on load config information from registry");

// A component whose every stored setting differs from a new one's.
void ConfigureDistinctly(TlxComm& Comm, quint16 Port, quint32 Baud) {
    Comm.SetComPortNo(Port);
    Comm.SetBaudRate(Baud);
    Comm.SetByteSize(7);
    Comm.SetParity(pEven);
    Comm.SetStopBits(sbTwo);
    Comm.SetEventChar(u'x');
    Comm.SetStreamProtocol(spXonXoff);
    Comm.SetTimeoutRead(Baud / 100);
    Comm.SetTimeoutWrite(Baud / 10);
}

// The value as the store holds it: type and bytes.
std::optional<std::pair<winapi::DWORD, std::vector<winapi::BYTE>>> StoredValue() {
    winapi::HKEY Key = nullptr;
    const std::u16string Path = ConfigKey.toStdU16String();
    const std::u16string Name = ConfigValue.toStdU16String();
    if (winapi::Api().RegOpenKeyExW(winapi::HKEY_CURRENT_USER, Path.c_str(), 0,
                                    winapi::KEY_QUERY_VALUE, &Key) != winapi::ERROR_SUCCESS) {
        return std::nullopt;
    }
    winapi::DWORD Type = 0;
    winapi::DWORD Size = 256;
    std::vector<winapi::BYTE> Data(Size);
    const auto Status =
        winapi::Api().RegQueryValueExW(Key, Name.c_str(), nullptr, &Type, Data.data(), &Size);
    winapi::Api().RegCloseKey(Key);
    if (Status != winapi::ERROR_SUCCESS) {
        return std::nullopt;
    }
    Data.resize(Size);
    return std::make_pair(Type, Data);
}

void StoreValue(winapi::DWORD Type, const std::vector<winapi::BYTE>& Data) {
    winapi::HKEY Key = nullptr;
    const std::u16string Path = ConfigKey.toStdU16String();
    const std::u16string Name = ConfigValue.toStdU16String();
    ASSERT_EQ(winapi::Api().RegCreateKeyExW(winapi::HKEY_CURRENT_USER, Path.c_str(), 0, nullptr, 0,
                                            winapi::KEY_ALL_ACCESS, nullptr, &Key, nullptr),
              winapi::ERROR_SUCCESS);
    EXPECT_EQ(winapi::Api().RegSetValueExW(Key, Name.c_str(), 0, Type, Data.data(),
                                           winapi::DWORD(Data.size())),
              winapi::ERROR_SUCCESS);
    winapi::Api().RegCloseKey(Key);
}

// The component with its line settings record in view.
class TConfigComm : public TlxComm {
public:
    using TlxComm::TlxComm;
    const winapi::DCB& Dcb() const { return CommCfg.dcb; }
};

// On the native backend with a private registry store and no ports of the machine.
class SerialCommConfig : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(&winapi::Api(), &winapi::NativeApi()); }

    lxtest::TPortFolder Folder;
    TRecordingLog Log;
};

TEST_F(SerialCommConfig, LoadingWhatWasSavedRestoresPortSettingsAndTimeouts) {
    TConfigComm Saved;
    Saved.SetLog(&Log);
    ConfigureDistinctly(Saved, 300, 57600);
    Saved.SaveConfig(winapi::HKEY_CURRENT_USER, ConfigKey, ConfigValue);
    EXPECT_EQ(Log.Texts(), QStringList{QStringLiteral("lxComm: Configuration was saved")});
    EXPECT_EQ(Log.Lines().back().Level, dlDetail);

    const auto Stored = StoredValue();
    ASSERT_TRUE(Stored.has_value());
    EXPECT_EQ(Stored->first, winapi::REG_BINARY);
    ASSERT_EQ(Stored->second.size(), 49u);
    EXPECT_EQ(Stored->second[0], 300 & 0xFF);
    EXPECT_EQ(std::memcmp(&Stored->second[1], &Saved.Dcb(), sizeof(winapi::DCB)), 0);

    TConfigComm Loaded;
    Loaded.SetLog(&Log);
    Loaded.SetStreamProtocol(spHardware);
    Loaded.LoadConfig(winapi::HKEY_CURRENT_USER, ConfigKey, ConfigValue);
    EXPECT_EQ(Log.Texts().last(), QStringLiteral("lxComm: Configuration was loaded"));
    EXPECT_EQ(Loaded.ComPortNo(), 300 & 0xFF) << "one byte holds the port number";
    EXPECT_EQ(Loaded.BaudRate(), 57600u);
    EXPECT_EQ(Loaded.ByteSize(), 7);
    EXPECT_EQ(Loaded.Parity(), pEven);
    EXPECT_EQ(Loaded.StopBits(), sbTwo);
    EXPECT_EQ(Loaded.EventChar(), u'x');
    EXPECT_EQ(Loaded.TimeoutRead(), 576u);
    EXPECT_EQ(Loaded.TimeoutWrite(), 5760u);
    // The record's DCB, with the flow-control bits of the loading component's own protocol.
    winapi::DCB Expected = Saved.Dcb();
    Expected.Flags = (Expected.Flags & 0x4CEA) | 0x2015;
    EXPECT_EQ(std::memcmp(&Loaded.Dcb(), &Expected, sizeof(winapi::DCB)), 0);
    EXPECT_EQ(Loaded.StreamProtocol(), spHardware);
}

TEST_F(SerialCommConfig, OnlyA49ByteBinaryValueIsAppliedAndATextOfThatSizeIsAnError) {
    struct TCase {
        const char* What;
        std::optional<winapi::DWORD> Type; // unset: no value at all
        std::size_t Size;
        bool Fails;
    };
    const TCase Cases[] = {
        {"missing", std::nullopt, 0, false},
        {"48 bytes", winapi::REG_BINARY, 48, false},
        {"50 bytes", winapi::REG_BINARY, 50, false},
        {"49-byte text", winapi::REG_SZ, 49, true},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.What);
        lxtest::TPortFolder Fresh;
        if (Case.Type) {
            // Port 5 and a DCB of 0xFF bytes: applying any of it would show.
            std::vector<winapi::BYTE> Data(Case.Size, 0xFF);
            Data[0] = 5;
            StoreValue(*Case.Type, Data);
        }
        TRecordingLog CaseLog;
        TConfigComm Comm;
        Comm.SetLog(&CaseLog);
        const winapi::DCB Before = Comm.Dcb();
        if (Case.Fails) {
            try {
                Comm.LoadConfig(winapi::HKEY_CURRENT_USER, ConfigKey, ConfigValue);
                ADD_FAILURE() << "no error";
            } catch (const ElxError& Error) {
                EXPECT_EQ(QString::fromUtf8(Error.what()), LoadError);
            }
            EXPECT_EQ(CaseLog.Texts(), QStringList{QStringLiteral(
                                           "Fatal Error: 1, 0, Error on load config information "
                                           "from registry")});
        } else {
            Comm.LoadConfig(winapi::HKEY_CURRENT_USER, ConfigKey, ConfigValue);
            EXPECT_EQ(CaseLog.Texts(),
                      QStringList{QStringLiteral("lxComm: Configuration was loaded")});
        }
        EXPECT_EQ(Comm.ComPortNo(), 1);
        EXPECT_EQ(std::memcmp(&Comm.Dcb(), &Before, sizeof(winapi::DCB)), 0);
        EXPECT_EQ(Comm.TimeoutRead(), 0u);
    }
}

// The store is a file anyone may edit: a record whose line settings no port can have is passed
// over like one of the wrong size, and the edges of what a port can have are taken.
TEST_F(SerialCommConfig, ARecordWithImpossibleLineSettingsIsNotApplied) {
    struct TCase {
        const char* What;
        std::size_t Offset; // in the record: 1 + the DCB field's offset
        winapi::BYTE Value;
        bool Applied;
    };
    const TCase Cases[] = {
        {"4 data bits", 1 + offsetof(winapi::DCB, ByteSize), 4, false},
        {"9 data bits", 1 + offsetof(winapi::DCB, ByteSize), 9, false},
        {"parity 5", 1 + offsetof(winapi::DCB, Parity), 5, false},
        {"stop bits 3", 1 + offsetof(winapi::DCB, StopBits), 3, false},
        {"stop bits 0xFF", 1 + offsetof(winapi::DCB, StopBits), 0xFF, false},
        {"5 data bits", 1 + offsetof(winapi::DCB, ByteSize), 5, true},
        {"space parity", 1 + offsetof(winapi::DCB, Parity), winapi::SPACEPARITY, true},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.What);
        lxtest::TPortFolder Fresh;
        TConfigComm Saved;
        ConfigureDistinctly(Saved, 9, 38400);
        Saved.SaveConfig(winapi::HKEY_CURRENT_USER, ConfigKey, ConfigValue);
        std::vector<winapi::BYTE> Record = StoredValue().value().second;
        Record[Case.Offset] = Case.Value;
        StoreValue(winapi::REG_BINARY, Record);

        TRecordingLog CaseLog;
        TConfigComm Comm;
        Comm.SetLog(&CaseLog);
        Comm.LoadConfig(winapi::HKEY_CURRENT_USER, ConfigKey, ConfigValue);
        EXPECT_EQ(CaseLog.Texts(), QStringList{QStringLiteral("lxComm: Configuration was loaded")});
        EXPECT_EQ(Comm.ComPortNo(), Case.Applied ? 9 : 1);
        EXPECT_EQ(Comm.BaudRate(), Case.Applied ? 38400u : 19200u);
    }
}

TEST_F(SerialCommConfig, ARegistryFailureIsAFatalErrorThatTheHandlerMayVeto) {
    // This system's registry has no HKEY_USERS: every operation on it fails.
    TlxComm Comm;
    EXPECT_THROW(Comm.SaveConfig(winapi::HKEY_USERS, ConfigKey, ConfigValue), ElxError);
    EXPECT_THROW(Comm.LoadConfig(winapi::HKEY_USERS, ConfigKey, ConfigValue), ElxError);

    struct TSerialVeto {
        void Fatal(QObject*, quint32, quint32, const QString& Message, bool& Raise) {
            Messages << Message;
            Raise = false;
        }
        QStringList Messages;
    } Veto;
    Comm.SetOnFatalError(TOnFatalErrorEvent::Bind<&TSerialVeto::Fatal>(&Veto));
    Comm.SaveConfig(winapi::HKEY_USERS, ConfigKey, ConfigValue);
    Comm.LoadConfig(winapi::HKEY_USERS, ConfigKey, ConfigValue);
    EXPECT_EQ(
        Veto.Messages,
        (QStringList{QStringLiteral("Error on save config information from registry"), LoadError}));
}

// --- A writer killed while it saves --------------------------------------------------------------

// Set in a child process of the test below: the descriptor it reports its first save on.
constexpr const char* SaverPipeVariable = "LXSERIALCOMM_SAVER_PIPE";

// Two records that differ in every part of the value.
void ConfigureSaver(TlxComm& Comm, bool Second) {
    ConfigureDistinctly(Comm, Second ? 7 : 201, Second ? 115200 : 4800);
    Comm.SetParity(Second ? pOdd : pMark);
    Comm.SetEventChar(Second ? u'#' : u'~');
}

// Not a test of its own: the child that the test below starts and kills. Saves the two records
// in turn for ever.
TEST(SerialCommSaver, DISABLED_SavesUntilKilled) {
    const char* Pipe = std::getenv(SaverPipeVariable);
    if (Pipe == nullptr) {
        GTEST_SKIP() << "run by KillingTheWriterNeverLeavesATornRecord";
    }
    TlxComm First;
    TlxComm Second;
    ConfigureSaver(First, false);
    ConfigureSaver(Second, true);
    First.SaveConfig(winapi::HKEY_CURRENT_USER, ConfigKey, ConfigValue);
    const char Ready = 'R';
    ASSERT_EQ(::write(std::atoi(Pipe), &Ready, 1), 1);
    for (;;) {
        Second.SaveConfig(winapi::HKEY_CURRENT_USER, ConfigKey, ConfigValue);
        First.SaveConfig(winapi::HKEY_CURRENT_USER, ConfigKey, ConfigValue);
    }
}

TEST_F(SerialCommConfig, KillingTheWriterNeverLeavesATornRecord) {
    // The two records as the saver writes them.
    std::vector<std::vector<winapi::BYTE>> Records;
    for (const bool Second : {false, true}) {
        lxtest::TPortFolder Scratch;
        TlxComm Comm;
        ConfigureSaver(Comm, Second);
        Comm.SaveConfig(winapi::HKEY_CURRENT_USER, ConfigKey, ConfigValue);
        Records.push_back(StoredValue().value().second);
    }
    ASSERT_NE(Records[0], Records[1]);

    std::mt19937 Random(4610);
    std::uniform_int_distribution<int> DelayUs(0, 20000);
    const std::string Filter = "--gtest_filter=SerialCommSaver.DISABLED_SavesUntilKilled";
    for (int Round = 0; Round < 25; ++Round) {
        int Fds[2];
        ASSERT_EQ(::pipe(Fds), 0);
        const std::string PipeText = std::to_string(Fds[1]);
        ::setenv(SaverPipeVariable, PipeText.c_str(), 1);
        const pid_t Child = ::fork();
        if (Child == 0) {
            // Quiet: the saver's own test report is of no interest.
            const int Null = ::open("/dev/null", O_WRONLY);
            ::dup2(Null, STDOUT_FILENO);
            ::dup2(Null, STDERR_FILENO);
            ::execl("/proc/self/exe", "saver", Filter.c_str(), "--gtest_also_run_disabled_tests",
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::unsetenv(SaverPipeVariable);
        ::close(Fds[1]);
        ASSERT_GT(Child, 0);
        char Ready = 0;
        const bool Started = ::read(Fds[0], &Ready, 1) == 1;
        ::close(Fds[0]);
        if (Started) {
            ::usleep(useconds_t(DelayUs(Random)));
        }
        ::kill(Child, SIGKILL);
        int Status = 0;
        ::waitpid(Child, &Status, 0);
        ASSERT_TRUE(Started) << "the saver did not start";
        ASSERT_TRUE(WIFSIGNALED(Status));

        const auto Stored = StoredValue();
        ASSERT_TRUE(Stored.has_value()) << "round " << Round;
        EXPECT_EQ(Stored->first, winapi::REG_BINARY);
        EXPECT_TRUE(Stored->second == Records[0] || Stored->second == Records[1])
            << "round " << Round << ": a torn record of " << Stored->second.size() << " bytes";
        TlxComm Reader;
        Reader.LoadConfig(winapi::HKEY_CURRENT_USER, ConfigKey, ConfigValue);
        EXPECT_TRUE(Reader.ComPortNo() == 201 || Reader.ComPortNo() == 7);
    }
}

} // namespace
