// TlxCustomSerialComm: port selection, the device list of the system's serial ports, opening a
// port by name, the stored port configuration, and the two line-level checks.
#include "lxcomm.h"
#include "lxconfigrecord.h"
#include "lxsysutils.h"
#include "lxwin32.h"
#include "lxwin32di.h"

#include <iterator>
#include <memory>

namespace {

using winapi::BYTE;
using winapi::DWORD;
using winapi::HKEY;

const QString SaveError = QStringLiteral("Error on save config information from registry");
const QString LoadError = QStringLiteral("Error on load config information from registry");
const QString ConnectError = QStringLiteral("Device Connect Initialization Error");

// Ports not named COMn are numbered from here up, in the order Plug and Play lists them.
constexpr int NonComPortBase = 4096;

// DSR and every byte of the identification must come within this time.
constexpr DWORD SignalWaitMs = 200;
// The pauses between the line changes that wake an external Plug and Play device.
constexpr DWORD WakeUpPauseMs = 200;
// The begin and end bytes of an identification, for 6-bit and 7-bit devices.
constexpr char BeginPnp6 = 0x08;
constexpr char EndPnp6 = 0x09;
constexpr char BeginPnp7 = 0x28;
constexpr char EndPnp7 = 0x29;

// The Plug and Play queries that enrich the port list, in the order their entries are matched:
// modems and COM ports by interface, then the setup classes that hold serial ports.
struct TPnpQuery {
    const winapi::GUID* Guid;
    bool ByInterface;
};
const TPnpQuery PnpQueries[] = {
    {&winapi::GUID_DEVINTERFACE_MODEM, true},
    {&winapi::GUID_DEVINTERFACE_COMPORT, true},
    {&winapi::GUID_DEVINTERFACE_SERENUM_BUS_ENUMERATOR, true},
    {&winapi::GUID_DEVCLASS_PORTS, false},
    {&winapi::GUID_DEVCLASS_INFRARED, false},
    {&winapi::GUID_DEVCLASS_ADAPTER, false},
    {&winapi::GUID_DEVCLASS_BLUETOOTH, false},
    {&winapi::GUID_DEVCLASS_MODEM, false},
    {&winapi::GUID_DEVCLASS_MULTIFUNCTION, false},
    {&winapi::GUID_DEVCLASS_MULTIPORTSERIAL, false},
    {&winapi::GUID_DEVCLASS_LEGACYDRIVER, false},
};

QString Text(const std::u16string& Value) {
    return QString::fromStdU16String(Value);
}

// Without the blanks and control characters at either end, as registry texts are read.
QString Trimmed(const QString& Value) {
    qsizetype First = 0;
    qsizetype Last = Value.size();
    while (First < Last && Value[First].unicode() <= 0x20) {
        ++First;
    }
    while (Last > First && Value[Last - 1].unicode() <= 0x20) {
        --Last;
    }
    return Value.mid(First, Last - First);
}

// A decimal integer with an optional sign and nothing else around it, or Default.
int IntegerOr(const QString& Value, int Default) {
    bool Converted = false;
    const int Number = Value.toInt(&Converted, 10);
    const bool Plain =
        !Value.isEmpty() && Value.front().unicode() > 0x20 && Value.back().unicode() > 0x20;
    return Converted && Plain ? Number : Default;
}

// A text up to its first NUL: a registry text stored with extra terminators carries them.
QString UpToNul(const QString& Value) {
    return Value.left(Value.indexOf(QChar(0)));
}

void AppendDescription(TlxDevice& Device) {
    if (!Device.Description.isEmpty()) {
        Device.NameFriendly += QStringLiteral(" (") + Device.Description + QStringLiteral(")");
    }
}

void TakeTexts(TlxDevice& Device, const lx::TPnpDevice& Entry) {
    Device.Service = Text(Entry.Service);
    Device.Description = Text(Entry.Description);
    Device.Driver = Text(Entry.Driver);
    Device.Manufacturer = Text(Entry.Manufacturer);
    Device.RegKey = Text(Entry.RegKey);
}

// The first entry whose PortName is the port's name (in any case), or else whose Description
// names the port in parentheses, as a friendly name does.
lx::TPnpDeviceList::iterator FindEntryOf(lx::TPnpDeviceList& Pnp, const QString& PortName) {
    const std::u16string Name = PortName.toStdU16String();
    const std::u16string InParentheses = u"(" + Name + u")";
    for (auto Entry = Pnp.begin(); Entry != Pnp.end(); ++Entry) {
        if (PortName.compare(Text(Entry->Device->PortName), Qt::CaseInsensitive) == 0) {
            return Entry;
        }
    }
    for (auto Entry = Pnp.begin(); Entry != Pnp.end(); ++Entry) {
        if (Entry->Device->Description.find(InParentheses) != std::u16string::npos) {
            return Entry;
        }
    }
    return Pnp.end();
}

// A registered port takes the Plug and Play entry's data. An entry found by its description alone
// may have no port name; the registered name is kept then, as an empty one could not be opened.
void TakeEntry(TlxDevice& Device, const lx::TPnpDevice& Entry) {
    TakeTexts(Device, Entry);
    Device.DevInst = Entry.DevInst;
    Device.InstanceId = Text(Entry.InstanceId);
    const QString PortName = Trimmed(Text(Entry.PortName));
    if (!PortName.isEmpty()) {
        Device.PortName = PortName;
    }
    AppendDescription(Device);
}

void LoadPnpDevices(lx::TPnpDeviceList& Pnp, bool PresentOnly) {
    for (const TPnpQuery& Query : PnpQueries) {
        lx::EnumPnpDevices(Query.Guid, PresentOnly, !Query.ByInterface, Pnp, Query.ByInterface);
    }
}

// The list refuses a second entry with the same Data; the refused entry is released here.
void InsertOrFree(TlxBaseIO& IO, std::unique_ptr<TlxDevice> Device) {
    if (IO.InsertDevice(Device.get()) >= 0) {
        Device.release();
    }
}

// The ports the registry lists, each enriched with (and taken out of Pnp) the first Plug and Play
// entry that matches it.
void ListRegisteredPorts(TlxBaseIO& IO, TlxEnumPorts Mode, const lx::TPortList& Ports,
                         lx::TPnpDeviceList& Pnp) {
    for (int Index = 0; Index < Ports.Count(); ++Index) {
        const std::u16string& Listed = Ports.Strings(Index);
        const QString Name = Trimmed(Text(Listed.substr(0, Listed.find(u'='))));
        auto Device = std::make_unique<TlxDevice>();
        Device->NameFriendly = Name;
        Device->NameDeviceDos = Name;
        Device->NamePDO = Text(Ports.Values(Name.toStdU16String()));
        Device->Data = Ports.Tag(Index);
        Device->PortName = Name;
        if (Mode != epQuickAll) {
            const bool Compared = !Pnp.empty();
            const auto Entry = FindEntryOf(Pnp, Device->NameDeviceDos);
            if (Entry != Pnp.end()) {
                TakeEntry(*Device, *Entry->Device);
                Pnp.erase(Entry);
            } else if (Compared && Mode == epFullPresent) {
                // Registered, but no device is attached behind it.
                continue;
            }
        }
        InsertOrFree(IO, std::move(Device));
    }
}

// The Plug and Play entries no registered port took that name a serial port.
void ListPnpOnlyPorts(TlxBaseIO& IO, const lx::TPortList& Ports, const lx::TPnpDeviceList& Pnp) {
    int Counter = NonComPortBase;
    for (const lx::TPnpEntry& Entry : Pnp) {
        const QString PortName = Text(Entry.Device->PortName);
        if (PortName.isEmpty() || PortName.startsWith(QLatin1String("LPT"))) {
            continue;
        }
        auto Device = std::make_unique<TlxDevice>();
        Device->NameFriendly = UpToNul(PortName);
        Device->NameDeviceDos = Device->NameFriendly;
        Device->NamePDO = Text(Ports.Values(Device->NameFriendly.toStdU16String()));
        Device->Data = PortName.startsWith(QLatin1String("COM"))
                           ? IntegerOr(Device->NameFriendly.mid(3), 0)
                           : ++Counter;
        TakeTexts(*Device, *Entry.Device);
        AppendDescription(*Device);
        Device->PortName = Trimmed(PortName);
        InsertOrFree(IO, std::move(Device));
    }
}

// Closes the key when the scope ends, also when a fatal error is raised.
class TRegistryKey {
public:
    TRegistryKey() = default;
    ~TRegistryKey() {
        if (fKey != nullptr) {
            winapi::Api().RegCloseKey(fKey);
        }
    }
    TRegistryKey(const TRegistryKey&) = delete;
    TRegistryKey& operator=(const TRegistryKey&) = delete;

    // Opens Root\Path with full access, creating it if missing.
    bool OpenOrCreate(HKEY Root, const QString& Path) {
        const std::u16string SubKey = Path.toStdU16String();
        return winapi::Api().RegCreateKeyExW(
                   Root, SubKey.c_str(), 0, nullptr, winapi::REG_OPTION_NON_VOLATILE,
                   winapi::KEY_ALL_ACCESS, nullptr, &fKey, nullptr) == winapi::ERROR_SUCCESS;
    }
    HKEY Get() const { return fKey; }

private:
    HKEY fKey = nullptr;
};

// A value's bytes are read as binary data unless the registry says they are a text or a number.
bool IsBinaryData(DWORD Type) {
    return Type != winapi::REG_SZ && Type != winapi::REG_EXPAND_SZ && Type != winapi::REG_DWORD;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Creation

TlxCustomSerialComm::TlxCustomSerialComm(QObject* AOwner) : TlxCustomComm(AOwner) {
    sLogPrefix = QStringLiteral("lxComm: ");
    // The settings no property controls come from the system's defaults; the result is not
    // examined, so without a COM1 the values below fill the record alone.
    winapi::Api().GetDefaultCommConfigW(u"COM1", &CommCfg, &CommCfg.dwSize);
    SetComPort(cpCOM1);
    SetBaudRate(19200);
    SetByteSize(8);
    SetParity(pNone);
    SetStopBits(sbOne);
    SetStreamProtocol(spHardware);
    SetEventChar(0);
}

TlxCustomSerialComm::~TlxCustomSerialComm() {
    DestroyComm();
}

// ---------------------------------------------------------------------------------------------
// Port selection

void TlxCustomSerialComm::SetComPortNo(quint16 Value) {
    const bool WasActive = Active();
    SetActive(false);
    fComPortNo = Value;
    SetActive(WasActive);
    DoNotify(3);
}

// Port 0 names none of COM1..COM8, so it reads as the "other port" value.
TComPort TlxCustomSerialComm::ComPort() const {
    if (fComPortNo == 0 || fComPortNo > cpCOMxx) {
        return cpCOMxx;
    }
    return static_cast<TComPort>(fComPortNo - 1);
}

void TlxCustomSerialComm::SetComPort(TComPort Value) {
    if (Value != cpCOMxx) {
        SetComPortNo(static_cast<quint16>(Value + 1));
    }
}

void TlxCustomSerialComm::SetExtHandle(winapi::HANDLE aHandle) {
    if (aHandle == nullptr || aHandle == winapi::INVALID_HANDLE_VALUE) {
        return;
    }
    if (IsOpen()) {
        DoClose();
    }
    fExtHandle = aHandle;
    DoOpen();
}

winapi::HANDLE TlxCustomSerialComm::CreateHandle() {
    winapi::HANDLE Handle = fExtHandle;
    if (Handle == nullptr) {
        Handle = lx::OpenDeviceOverlapped(TlxCustomSerialComm::GetComName().toStdU16String());
    }
    fExtHandle = nullptr;
    return Handle;
}

void TlxCustomSerialComm::SetDeviceIndex(int Value) {
    if (Value >= 0 && Value < DeviceCount()) {
        SetComPortNo(static_cast<quint16>(Device(Value)->Data & 0xFFFF));
    }
}

int TlxCustomSerialComm::GetDeviceIndex() const {
    return IndexOfDeviceData(fComPortNo);
}

QString TlxCustomSerialComm::GetComName() const {
    const int Index = GetDeviceIndex();
    if (Index >= 0) {
        return Device(Index)->PortName;
    }
    return QStringLiteral("COM%1").arg(fComPortNo);
}

// ---------------------------------------------------------------------------------------------
// The device list

void TlxCustomSerialComm::Update() {
    ClearDevices();
    GetDeviceList(nullptr);
    TlxCustomComm::Update();
}

void TlxCustomSerialComm::DeviceListLoad() {
    lx::TPortList Ports;
    lx::EnumSerialPorts(Ports, true);
    lx::TPnpDeviceList Pnp;
    if (fEnumPorts != epQuickAll) {
        LoadPnpDevices(Pnp, fEnumPorts == epFullPresent);
    }
    ListRegisteredPorts(*this, fEnumPorts, Ports, Pnp);
    if (fEnumPorts != epQuickAll) {
        ListPnpOnlyPorts(*this, Ports, Pnp);
    }
}

// ---------------------------------------------------------------------------------------------
// The stored configuration

void TlxCustomSerialComm::SaveConfig(winapi::HKEY Root, const QString& Key, const QString& Name) {
    const TlxConfigRecord Record = EncodeConfigRecord(
        {static_cast<BYTE>(fComPortNo & 0xFF), CommCfg.dcb, CommTimeouts()});
    TRegistryKey Opened;
    const std::u16string ValueName = Name.toStdU16String();
    if (!Opened.OpenOrCreate(Root, Key) ||
        winapi::Api().RegSetValueExW(Opened.Get(), ValueName.c_str(), 0, winapi::REG_BINARY,
                                     Record.data(), ConfigRecordSize) != winapi::ERROR_SUCCESS) {
        DoFatalError(1, 0, SaveError, false);
        return;
    }
    LogMessage(dlDetail, QStringLiteral("Configuration was saved"));
}

void TlxCustomSerialComm::LoadConfig(winapi::HKEY Root, const QString& Key, const QString& Name) {
    TRegistryKey Opened;
    if (!Opened.OpenOrCreate(Root, Key)) {
        DoFatalError(1, 0, LoadError, false);
        return;
    }
    const std::u16string ValueName = Name.toStdU16String();
    DWORD Type = 0;
    DWORD Size = 0;
    // A value that is missing or of another size is no record of ours, and one with settings no
    // port can have was not written by us: nothing is applied.
    if (winapi::Api().RegQueryValueExW(Opened.Get(), ValueName.c_str(), nullptr, &Type, nullptr,
                                       &Size) == winapi::ERROR_SUCCESS &&
        Size == ConfigRecordSize) {
        TlxConfigRecord Record{};
        if (!IsBinaryData(Type) ||
            winapi::Api().RegQueryValueExW(Opened.Get(), ValueName.c_str(), nullptr, &Type,
                                           Record.data(), &Size) != winapi::ERROR_SUCCESS ||
            Size != ConfigRecordSize) {
            DoFatalError(1, 0, LoadError, false);
            return;
        }
        if (const std::optional<TlxStoredConfig> Stored = DecodeConfigRecord(Record)) {
            SetComPortNo(Stored->PortNo);
            CommCfg.dcb = Stored->Dcb;
            ApplyDCB();
            ApplyTimeouts(Stored->Timeouts);
        }
    }
    LogMessage(dlDetail, QStringLiteral("Configuration was loaded"));
}

// ---------------------------------------------------------------------------------------------
// Line-level checks

void TlxCustomSerialComm::InitDeviceConnect() {
    if (!IsOpen()) {
        return;
    }
    ClearDeviceBuffers();
    SetStateDTR(true);
    SetStateRTS(false);
    if (WaitForSignal(msDSR, SignalWaitMs)) {
        SetStateRTS(true);
        LogMessage(dlDetail, QStringLiteral("The device connection was succesful tested"));
    } else {
        DoFatalError(1, 0, ConnectError, false);
    }
}

QString TlxCustomSerialComm::GetPNPDeviceString() {
    const bool WasActive = Active();
    SetActive(true);
    if (!IsOpen()) {
        return {};
    }
    ClearDeviceBuffers();
    SetStateDTR(true);
    SetStateRTS(false);
    if (!WaitForSignal(msDSR, SignalWaitMs)) {
        SetActive(WasActive);
        DoFatalError(1, 0, ConnectError, false);
        return {};
    }
    ApplyDCB();
    winapi::DCB Saved = CommCfg.dcb;
    const TTraceStates SavedTraceStates = TraceStates();
    // Devices identify themselves at 1200 baud, 7 data bits, no parity, one stop bit.
    winapi::DCB Identification = Saved;
    Identification.BaudRate = 1200;
    Identification.ByteSize = 7;
    Identification.Parity = pNone;
    Identification.StopBits = sbOne;
    winapi::Api().SetCommState(fHandle, &Identification);
    SetTraceStates({});
    const QString Result = ReadPnpId();
    winapi::Api().SetCommState(fHandle, &Saved);
    SetTraceStates(SavedTraceStates);
    SetActive(false);
    SetActive(WasActive);
    return Result;
}

// Dropping DTR and RTS and raising them again makes an external Plug and Play device send its
// identification; a second try covers a device that missed the first.
bool TlxCustomSerialComm::AwaitPnpAnswer() {
    SetStateDTR(false);
    SetStateRTS(false);
    winapi::Api().Sleep(WakeUpPauseMs);
    SetStateDTR(true);
    winapi::Api().Sleep(WakeUpPauseMs);
    SetStateRTS(true);
    if (WaitForBytes(1, SignalWaitMs)) {
        return true;
    }
    SetStateDTR(false);
    SetStateRTS(false);
    winapi::Api().Sleep(WakeUpPauseMs);
    SetStateDTR(true);
    SetStateRTS(true);
    return WaitForBytes(1, SignalWaitMs);
}

QString TlxCustomSerialComm::ReadPnpId() {
    if (!AwaitPnpAnswer()) {
        return {};
    }
    char Byte = 0;
    Read(&Byte, 1);
    char End = 0;
    if (Byte == BeginPnp6) {
        End = EndPnp6;
    } else if (Byte == BeginPnp7) {
        End = EndPnp7;
    } else {
        return {};
    }
    QString Result(QChar(static_cast<uchar>(Byte)));
    while (Result.size() < PnpIdMaxLength && WaitForBytes(1, SignalWaitMs)) {
        Read(&Byte, 1);
        Result += QChar(static_cast<uchar>(Byte));
        if (Byte == End) {
            break;
        }
    }
    return Result;
}
