#include "portmap.h"

#include "textcodec.h"
#include "uniquefd.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <pwd.h>
#include <set>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace winapi::posix {

namespace {

namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;

std::string Environment(const char* Name) {
    const char* Value = std::getenv(Name);
    return Value != nullptr ? std::string(Value) : std::string();
}

std::string HomeFolder() {
    std::string Home = Environment("HOME");
    if (!Home.empty()) {
        return Home;
    }
    passwd Entry{};
    passwd* Result = nullptr;
    char Buffer[4096];
    if (getpwuid_r(getuid(), &Entry, Buffer, sizeof(Buffer), &Result) == 0 && Result != nullptr) {
        return Result->pw_dir;
    }
    return "/";
}

std::u16string UpperCase(std::u16string Text) {
    std::transform(Text.begin(), Text.end(), Text.begin(), FoldCase);
    return Text;
}

// ---------------------------------------------------------------------------------------------
// Links

std::optional<TPortLink> ReadLink(const fs::directory_entry& Entry) {
    std::error_code Error;
    if (!Entry.is_symlink(Error)) {
        return std::nullopt;
    }
    fs::path Target = fs::read_symlink(Entry.path(), Error);
    if (Error) {
        return std::nullopt;
    }
    if (Target.is_relative()) {
        Target = (Entry.path().parent_path() / Target).lexically_normal();
    }
    return TPortLink{UpperCase(FromUtf8(Entry.path().filename().string())),
                     Entry.path().string(),
                     Target.string(),
                     TPortOrigin::Link,
                     {},
                     {}};
}

std::vector<TPortLink> ReadLinks(const std::string& Folder) {
    std::vector<TPortLink> Links;
    std::error_code Error;
    for (fs::directory_iterator It(Folder, Error), End; !Error && It != End; It.increment(Error)) {
        if (std::optional<TPortLink> Link = ReadLink(*It)) {
            Links.push_back(std::move(*Link));
        }
    }
    std::sort(Links.begin(), Links.end(),
              [](const TPortLink& A, const TPortLink& B) { return A.LinkPath < B.LinkPath; });
    return Links;
}

bool IsCharacterDevice(const std::string& Path) {
    struct stat Status {};
    return ::stat(Path.c_str(), &Status) == 0 && S_ISCHR(Status.st_mode);
}

// n of "COMn"; 0 for any other name.
int ComNumber(std::u16string_view Name) {
    if (Name.size() < 4 || Name.size() > 8 || !SameName(Name.substr(0, 3), u"COM")) {
        return 0;
    }
    int Number = 0;
    for (char16_t Char : Name.substr(3)) {
        if (Char < u'0' || Char > u'9') {
            return 0;
        }
        Number = Number * 10 + (Char - u'0');
    }
    return Number;
}

std::u16string ComName(int Number) {
    return u"COM" + FromUtf8(std::to_string(Number));
}

// Where a path leads, through every link on the way, as far as it exists.
std::string Resolved(const std::string& Path) {
    std::error_code Error;
    const fs::path Result = fs::weakly_canonical(Path, Error);
    return Error ? Path : Result.string();
}

// ---------------------------------------------------------------------------------------------
// The numbering file

std::string Escape(std::string_view Text) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string Out;
    for (const char Char : Text) {
        const auto Byte = static_cast<unsigned char>(Char);
        if (Char == '%' || Char == '\t' || Char == '\n' || Char == '\r') {
            Out += {'%', Hex[Byte >> 4], Hex[Byte & 0xF]};
        } else {
            Out.push_back(Char);
        }
    }
    return Out;
}

int HexDigit(char Char) {
    if (Char >= '0' && Char <= '9') {
        return Char - '0';
    }
    if (Char >= 'A' && Char <= 'F') {
        return Char - 'A' + 10;
    }
    return -1;
}

std::string Unescape(std::string_view Text) {
    std::string Out;
    for (std::size_t Index = 0; Index < Text.size(); ++Index) {
        const int High = Index + 2 < Text.size() ? HexDigit(Text[Index + 1]) : -1;
        const int Low = Index + 2 < Text.size() ? HexDigit(Text[Index + 2]) : -1;
        if (Text[Index] == '%' && High >= 0 && Low >= 0) {
            Out.push_back(char(High * 16 + Low));
            Index += 2;
        } else {
            Out.push_back(Text[Index]);
        }
    }
    return Out;
}

std::vector<std::string> SplitTabs(std::string_view Line) {
    std::vector<std::string> Fields;
    for (;;) {
        const std::size_t Tab = Line.find('\t');
        Fields.push_back(Unescape(Line.substr(0, Tab)));
        if (Tab == std::string_view::npos) {
            return Fields;
        }
        Line.remove_prefix(Tab + 1);
    }
}

bool ReadAll(const std::string& Path, std::string& Text) {
    TUniqueFd Fd(::open(Path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!Fd.IsValid()) {
        return false;
    }
    char Chunk[4096];
    for (;;) {
        const ssize_t Got = ::read(Fd.Get(), Chunk, sizeof(Chunk));
        if (Got < 0 && errno == EINTR) {
            continue;
        }
        if (Got <= 0) {
            return Got == 0;
        }
        Text.append(Chunk, std::size_t(Got));
    }
}

std::vector<TKnownDevice> ReadNumbers(const std::string& Path) {
    std::string Text;
    return ReadAll(Path, Text) ? ParseNumbers(Text) : std::vector<TKnownDevice>();
}

bool WriteAll(int Fd, std::string_view Bytes) {
    while (!Bytes.empty()) {
        const ssize_t Put = ::write(Fd, Bytes.data(), Bytes.size());
        if (Put < 0 && errno == EINTR) {
            continue;
        }
        if (Put <= 0) {
            return false;
        }
        Bytes.remove_prefix(std::size_t(Put));
    }
    return true;
}

// Replaces the file as a whole: readers see the old numbers or the new ones, never a mixture.
void WriteNumbers(const std::string& Path, const std::vector<TKnownDevice>& Known) {
    std::string Text = "# COM numbers of the serial devices seen on this system: number, "
                       "instance id, device, description, manufacturer, service, driver\n";
    for (const TKnownDevice& Device : Known) {
        Text += "COM" + std::to_string(Device.Number);
        for (const std::string& Field :
             {ToUtf8(Device.InstanceId), Device.DeviceNode, ToUtf8(Device.Description),
              ToUtf8(Device.Manufacturer), ToUtf8(Device.Service), ToUtf8(Device.Driver)}) {
            Text += "\t" + Escape(Field);
        }
        Text += "\n";
    }
    static std::atomic<unsigned> Counter{0};
    const std::string Temp =
        Path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(++Counter);
    TUniqueFd Fd(::open(Temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!Fd.IsValid()) {
        return;
    }
    const bool Written = WriteAll(Fd.Get(), Text) && ::fsync(Fd.Get()) == 0;
    Fd.Reset();
    if (!Written || ::rename(Temp.c_str(), Path.c_str()) != 0) {
        ::unlink(Temp.c_str());
        return;
    }
    TUniqueFd Folder(
        ::open(fs::path(Path).parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (Folder.IsValid()) {
        ::fsync(Folder.Get());
    }
}

// Holds the numbering file's lock while it lives; without the lock (a read-only folder) the
// numbers are still handed out, for this program only.
class TNumbersLock {
public:
    explicit TNumbersLock(const std::string& NumbersPath) {
        std::error_code Error;
        fs::create_directories(fs::path(NumbersPath).parent_path(), Error);
        fFd.Reset(::open((NumbersPath + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
        while (fFd.IsValid() && ::flock(fFd.Get(), LOCK_EX) != 0 && errno == EINTR) {
        }
    }

private:
    TUniqueFd fFd;
};

// ---------------------------------------------------------------------------------------------
// Numbering

bool SameDevice(const TKnownDevice& Known, const TSysNode& Node) {
    return Known.DeviceNode == Node.DeviceNode && Known.Description == Node.Description &&
           Known.Manufacturer == Node.Manufacturer && Known.Service == Node.Service &&
           Known.Driver == Node.Driver;
}

void Describe(TKnownDevice& Known, const TSysNode& Node) {
    Known.DeviceNode = Node.DeviceNode;
    Known.Description = Node.Description;
    Known.Manufacturer = Node.Manufacturer;
    Known.Service = Node.Service;
    Known.Driver = Node.Driver;
}

int LowestFree(std::set<int>& Used) {
    int Number = 1;
    while (Used.count(Number) != 0) {
        ++Number;
    }
    Used.insert(Number);
    return Number;
}

TPortLink NumberedPort(const TSysNode& Node, int Number, TPortOrigin Origin) {
    return {ComName(Number), Node.DeviceNode, Node.DeviceNode, Origin, Node.InstanceId, {}};
}

// The SERIALCOMM value names, \Device\<node> as on Windows: the device node's name below /dev
// (ttyUSB0, pts5) where it is short and unique, else \Device\Serial<k>. The device's path can be
// of any length, while a program listing the ports reads names of up to 129 characters only.
void NameDeviceObjects(std::vector<TPortLink>& Ports) {
    constexpr std::size_t LongestNode = 32;
    std::set<std::u16string> Taken;
    for (TPortLink& Port : Ports) {
        const fs::path Device = Resolved(Port.DevicePath);
        const fs::path Below = Device.lexically_relative("/dev");
        std::string Node = !Below.empty() && *Below.begin() != ".." ? Below.string()
                                                                    : Device.filename().string();
        Node.erase(std::remove(Node.begin(), Node.end(), '/'), Node.end());
        std::u16string Name = u"\\Device\\" + FromUtf8(Node);
        for (int Index = 0; Node.empty() || Node.size() > LongestNode || Taken.count(Name) != 0;
             ++Index) {
            Node = "Serial" + std::to_string(Index);
            Name = u"\\Device\\" + FromUtf8(Node);
        }
        Taken.insert(Name);
        Port.ObjectName = std::move(Name);
    }
}

// The known devices that the attached ones are, each known device taken by one at most.
class TKnownClaims {
public:
    explicit TKnownClaims(std::vector<TKnownDevice>& Known) : fKnown(Known) {}

    TKnownDevice* ById(const std::u16string& Id) {
        for (TKnownDevice& Device : fKnown) {
            if (!Id.empty() && Device.InstanceId == Id && fClaimed.insert(&Device).second) {
                return &Device;
            }
        }
        return nullptr;
    }

    // A device seen by its serial number before another one with the same serial number came:
    // the one still on the device node it had keeps the number, known from now on by its USB
    // port path; failing that, the first one asking.
    TKnownDevice* BySerial(const TSysNode& Node, bool SameNodeOnly) {
        if (Node.SerialId.empty() || Node.SerialId == Node.InstanceId) {
            return nullptr;
        }
        for (TKnownDevice& Device : fKnown) {
            if (Device.InstanceId == Node.SerialId && fClaimed.count(&Device) == 0 &&
                (!SameNodeOnly || Device.DeviceNode == Node.DeviceNode)) {
                fClaimed.insert(&Device);
                Device.InstanceId = Node.InstanceId;
                return &Device;
            }
        }
        return nullptr;
    }

private:
    std::vector<TKnownDevice>& fKnown;
    std::set<const TKnownDevice*> fClaimed;
};

// The numbers the attached devices are known by, in the order of Nodes. A device is known by its
// instance id, else by its USB port path (it was numbered while it shared its serial number),
// else by its serial number (it was numbered before it shared it); null for a new device.
std::vector<TKnownDevice*> FindKnown(std::vector<TKnownDevice>& Known,
                                     const std::vector<const TSysNode*>& Nodes, bool& Changed) {
    TKnownClaims Claims(Known);
    std::vector<TKnownDevice*> Found(Nodes.size(), nullptr);
    for (std::size_t Index = 0; Index < Nodes.size(); ++Index) {
        Found[Index] = Claims.ById(Nodes[Index]->InstanceId);
    }
    for (std::size_t Index = 0; Index < Nodes.size(); ++Index) {
        if (Found[Index] == nullptr && Nodes[Index]->LocationId != Nodes[Index]->InstanceId) {
            Found[Index] = Claims.ById(Nodes[Index]->LocationId);
        }
    }
    for (const bool SameNodeOnly : {true, false}) {
        for (std::size_t Index = 0; Index < Nodes.size(); ++Index) {
            if (Found[Index] == nullptr) {
                Found[Index] = Claims.BySerial(*Nodes[Index], SameNodeOnly);
                Changed = Changed || Found[Index] != nullptr;
            }
        }
    }
    return Found;
}

// Fills Map.Present from the links, the devices and the known numbers, numbering new devices
// into Map.Known. True when Map.Known changed and should be saved.
bool Assign(TPortMap& Map) {
    Map.Present.clear();
    std::map<std::string, std::u16string> DeviceOfNode;
    for (const TSysNode& Node : Map.Devices) {
        if (Node.Kind == TSysKind::Serial) {
            DeviceOfNode[Resolved(Node.DeviceNode)] = Node.InstanceId;
        }
    }
    std::set<int> LinkNumbers;
    std::set<std::u16string> Reached;
    for (TPortLink& Link : Map.Links) {
        if (const int Number = ComNumber(Link.Name); Number != 0) {
            LinkNumbers.insert(Number);
        }
        const auto Device = DeviceOfNode.find(Resolved(Link.DevicePath));
        Link.InstanceId = Device != DeviceOfNode.end() ? Device->second : std::u16string();
        if (!Link.InstanceId.empty()) {
            Reached.insert(Link.InstanceId);
        }
        if (!Link.InstanceId.empty() || IsCharacterDevice(Link.LinkPath)) {
            Map.Present.push_back(Link);
        }
    }
    std::vector<const TSysNode*> Numbered;
    for (const TSysNode& Node : Map.Devices) {
        if (Node.Kind == TSysKind::Serial && Reached.count(Node.InstanceId) == 0) {
            Numbered.push_back(&Node);
        }
    }
    bool Changed = false;
    const std::vector<TKnownDevice*> Known = FindKnown(Map.Known, Numbered, Changed);
    std::set<int> Used = LinkNumbers;
    for (const TKnownDevice& Device : Map.Known) {
        Used.insert(Device.Number);
    }
    std::vector<const TSysNode*> Displaced;
    std::vector<const TSysNode*> Unknown;
    const std::size_t Linked = Map.Present.size();
    for (std::size_t Index = 0; Index < Numbered.size(); ++Index) {
        const TSysNode& Node = *Numbered[Index];
        if (Known[Index] == nullptr) {
            Unknown.push_back(&Node);
            continue;
        }
        if (!SameDevice(*Known[Index], Node)) {
            Describe(*Known[Index], Node);
            Changed = true;
        }
        if (LinkNumbers.count(Known[Index]->Number) != 0) {
            Displaced.push_back(&Node);
        } else {
            Map.Present.push_back(NumberedPort(Node, Known[Index]->Number, TPortOrigin::Saved));
        }
    }
    for (const TSysNode* Node : Displaced) {
        Map.Present.push_back(NumberedPort(*Node, LowestFree(Used), TPortOrigin::Temporary));
    }
    for (const TSysNode* Node : Unknown) {
        TKnownDevice Device{Node->InstanceId, LowestFree(Used), {}, {}, {}, {}, {}};
        Describe(Device, *Node);
        Map.Present.push_back(NumberedPort(*Node, Device.Number, TPortOrigin::New));
        Map.Known.push_back(std::move(Device));
        Changed = true;
    }
    std::sort(Map.Present.begin() + std::ptrdiff_t(Linked), Map.Present.end(),
              [](const TPortLink& A, const TPortLink& B) {
                  return ComNumber(A.Name) < ComNumber(B.Name);
              });
    NameDeviceObjects(Map.Present);
    return Changed;
}

// ---------------------------------------------------------------------------------------------
// The cache

// Tells whether anything happened in the watched folders since it was last asked.
class TFolderWatch {
public:
    TFolderWatch() : fFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

    bool Works() const { return fFd.IsValid(); }

    // Adding a folder again is harmless: inotify keeps one watch per folder.
    void Watch(const std::string& Folder) {
        constexpr uint32_t Mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB |
                                  IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;
        if (fFd.IsValid()) {
            ::inotify_add_watch(fFd.Get(), Folder.c_str(), Mask);
        }
    }

    // Empties the queue; true when it held anything.
    bool Changed() {
        bool Any = false;
        alignas(inotify_event) char Buffer[4096];
        while (::read(fFd.Get(), Buffer, sizeof(Buffer)) > 0) {
            Any = true;
        }
        return Any;
    }

private:
    TUniqueFd fFd;
};

struct TCache {
    std::mutex Lock;
    TFolderWatch Watch;
    std::shared_ptr<const TPortMap> Map;
    std::string Key;
    TClock::time_point Made;
};

constexpr auto MaxAge = std::chrono::seconds(1);

// Where the map comes from; a change of any of them (a test's own folders) is a new map. Taken
// as the variables say, without touching the disk: it is asked on every call.
std::string SourceKey() {
    return PortFolder() + '\n' + Environment("LXCOMM_SYSFS_ROOT");
}

void WatchSources(TFolderWatch& Watch, const std::string& Folder) {
    const std::string Sysfs = SysfsRoot();
    for (const std::string& Watched :
         {Folder, fs::path(NumbersFile()).parent_path().string(), Sysfs + "/class/tty",
          Sysfs + "/bus/parport/devices", std::string("/dev"), std::string("/dev/pts")}) {
        Watch.Watch(Watched);
    }
}

std::shared_ptr<const TPortMap> Build(TFolderWatch& Watch) {
    auto Map = std::make_shared<TPortMap>();
    const std::string Folder = PortFolder();
    WatchSources(Watch, Folder);
    Map->Links = ReadLinks(Folder);
    for (const TPortLink& Link : Map->Links) {
        Watch.Watch(fs::path(Link.DevicePath).parent_path().string());
        Watch.Watch(fs::path(Resolved(Link.DevicePath)).parent_path().string());
    }
    Map->Devices = ScanSysfs();
    const std::string Numbers = NumbersFile();
    Map->Known = ReadNumbers(Numbers);
    if (Assign(*Map)) {
        // Numbered again under the lock, from the file as another program may just have left it.
        TNumbersLock Lock(Numbers);
        Map->Known = ReadNumbers(Numbers);
        if (Assign(*Map)) {
            WriteNumbers(Numbers, Map->Known);
        }
    }
    return Map;
}

} // namespace

std::string ConfigFolder() {
    const std::string Config = Environment("XDG_CONFIG_HOME");
    // A relative XDG_CONFIG_HOME is invalid and is ignored, as the XDG rules ask.
    if (!Config.empty() && Config.front() == '/') {
        return Config;
    }
    return HomeFolder() + "/.config";
}

std::string PortFolder() {
    const std::string Folder = Environment("LXCOMM_PORT_DIR");
    return !Folder.empty() ? Folder : ConfigFolder() + "/lxcomm/ports";
}

std::string NumbersFile() {
    std::string Folder = PortFolder();
    while (Folder.size() > 1 && Folder.back() == '/') {
        Folder.pop_back();
    }
    return Folder + ".numbers";
}

std::vector<TKnownDevice> ParseNumbers(std::string_view Text) {
    std::vector<TKnownDevice> Known;
    while (!Text.empty()) {
        const std::size_t End = Text.find('\n');
        const std::string_view Line = Text.substr(0, End);
        Text.remove_prefix(End == std::string_view::npos ? Text.size() : End + 1);
        const std::vector<std::string> Fields = SplitTabs(Line);
        const int Number = Fields.size() == 7 ? ComNumber(FromUtf8(Fields[0])) : 0;
        // Comments, torn or foreign lines, and a device or number met before are passed over.
        if (Number == 0 || Fields[1].empty() ||
            std::any_of(Known.begin(), Known.end(), [&](const TKnownDevice& Device) {
                return Device.InstanceId == FromUtf8(Fields[1]) || Device.Number == Number;
            })) {
            continue;
        }
        Known.push_back({FromUtf8(Fields[1]), Number, Fields[2], FromUtf8(Fields[3]),
                         FromUtf8(Fields[4]), FromUtf8(Fields[5]), FromUtf8(Fields[6])});
    }
    return Known;
}

std::shared_ptr<const TPortMap> CurrentPortMap() {
    // Never destroyed: other threads may list ports while the process exits.
    static TCache* const Cache = new TCache();
    std::lock_guard Lock(Cache->Lock);
    const std::string Key = SourceKey();
    const TClock::time_point Now = TClock::now();
    const bool Changed = Cache->Watch.Changed();
    if (Cache->Map && Cache->Watch.Works() && !Changed && Key == Cache->Key &&
        Now - Cache->Made < MaxAge) {
        return Cache->Map;
    }
    Cache->Map = Build(Cache->Watch);
    Cache->Key = Key;
    Cache->Made = Now;
    return Cache->Map;
}

std::vector<TPortLink> ListPortLinks() {
    return CurrentPortMap()->Links;
}

std::vector<TPortLink> ListPresentPorts() {
    return CurrentPortMap()->Present;
}

std::optional<TPortLink> FindPortLink(std::u16string_view Name) {
    const std::shared_ptr<const TPortMap> Map = CurrentPortMap();
    for (const TPortLink& Link : Map->Links) {
        if (SameName(Link.Name, Name)) {
            return Link;
        }
    }
    for (const TPortLink& Port : Map->Present) {
        if (Port.Origin != TPortOrigin::Link && SameName(Port.Name, Name)) {
            return Port;
        }
    }
    return std::nullopt;
}

} // namespace winapi::posix
