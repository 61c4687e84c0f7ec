#include "registrystore.h"

#include "lasterror.h"
#include "portmap.h"
#include "textcodec.h"
#include "uniquefd.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace winapi::posix {

namespace {

namespace fs = std::filesystem;

constexpr char ValuePrefix = '@';
constexpr const char* TempPrefix = ".tmp-";
constexpr std::size_t TypeBytes = 4;

const std::u16string SerialCommPath[] = {u"HARDWARE", u"DEVICEMAP", u"SERIALCOMM"};

struct TValue {
    std::u16string Name;
    DWORD Type = REG_NONE;
    std::vector<BYTE> Data;
};

// A value as found in a key's folder: its name and its file, not yet read.
struct TValueFile {
    std::u16string Name;
    std::string File;
};

// ---------------------------------------------------------------------------------------------
// Names on disk

bool IsPlainByte(unsigned char Byte, std::size_t Position) {
    if (Byte < 0x20 || Byte >= 0x7F) {
        return false;
    }
    if (Position == 0 && Byte == '.') {
        return false; // no ".", "..", hidden or temporary names
    }
    return Byte != '%' && Byte != '/' && Byte != '\\' && Byte != ValuePrefix;
}

std::string EncodeName(std::u16string_view Name) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    const std::string Bytes = ToUtf8(Name);
    std::string Out;
    for (std::size_t Index = 0; Index < Bytes.size(); ++Index) {
        const auto Byte = static_cast<unsigned char>(Bytes[Index]);
        if (IsPlainByte(Byte, Index)) {
            Out.push_back(char(Byte));
        } else {
            Out += {'%', Hex[Byte >> 4], Hex[Byte & 0xF]};
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

// Null for a file name this store did not write.
std::optional<std::u16string> DecodeName(std::string_view File) {
    std::string Bytes;
    for (std::size_t Index = 0; Index < File.size(); ++Index) {
        if (File[Index] != '%') {
            Bytes.push_back(File[Index]);
            continue;
        }
        if (Index + 2 >= File.size()) {
            return std::nullopt;
        }
        const int High = HexDigit(File[Index + 1]);
        const int Low = HexDigit(File[Index + 2]);
        if (High < 0 || Low < 0) {
            return std::nullopt;
        }
        Bytes.push_back(char(High * 16 + Low));
        Index += 2;
    }
    return FromUtf8(Bytes);
}

// Null for a path with an empty component ("\A", "A\\B"); one trailing backslash is allowed.
std::optional<std::vector<std::u16string>> SplitPath(LPCWSTR SubKey) {
    std::vector<std::u16string> Names;
    if (SubKey == nullptr || *SubKey == 0) {
        return Names;
    }
    std::u16string_view Rest(SubKey);
    if (Rest.back() == u'\\') {
        Rest.remove_suffix(1);
    }
    for (;;) {
        const std::size_t Slash = Rest.find(u'\\');
        Names.emplace_back(Rest.substr(0, Slash));
        if (Names.back().empty()) {
            return std::nullopt;
        }
        if (Slash == std::u16string_view::npos) {
            return Names;
        }
        Rest.remove_prefix(Slash + 1);
    }
}

bool IsSerialCommPath(THive Hive, const std::vector<std::u16string>& Names) {
    return Hive == THive::Machine &&
           std::equal(
               Names.begin(), Names.end(), std::begin(SerialCommPath), std::end(SerialCommPath),
               [](const std::u16string& A, const std::u16string& B) { return SameName(A, B); });
}

std::string HiveFolder(THive Hive) {
    return TRegistry::StoreFolder() + (Hive == THive::Machine ? "/MACHINE" : "/USER");
}

std::string KeyFolder(const TRegistryKey& Key) {
    std::string Folder = HiveFolder(Key.Hive);
    for (const std::string& Name : Key.Folders) {
        Folder += "/" + Name;
    }
    return Folder;
}

// The subkey folder of Folder named Name without regard to case; its folder name on disk and
// its name as stored. Of case variants that an older store let two programs make, the first by
// file name is the one, so that every reader and writer goes to the same.
std::optional<std::pair<std::string, std::u16string>> FindSubKey(const std::string& Folder,
                                                                 std::u16string_view Name) {
    std::optional<std::pair<std::string, std::u16string>> Found;
    std::error_code Error;
    for (fs::directory_iterator It(Folder, Error), End; !Error && It != End; It.increment(Error)) {
        const std::string File = It->path().filename().string();
        if (File.front() == '.' || File.front() == ValuePrefix || !It->is_directory(Error) ||
            (Found && Found->first < File)) {
            continue;
        }
        std::optional<std::u16string> Stored = DecodeName(File);
        if (Stored && SameName(*Stored, Name)) {
            Found.emplace(File, std::move(*Stored));
        }
    }
    return Found;
}

// Held while a program looks for a name in a key's folder and makes it if it is missing, so that
// two programs making "Bench" and "BENCH" at once make one key (or value) between them. Without
// the lock (a folder that cannot be opened) the name is made all the same.
class TFolderLock {
public:
    explicit TFolderLock(const std::string& Folder)
        : fFd(::open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        while (fFd.IsValid() && ::flock(fFd.Get(), LOCK_EX) != 0 && errno == EINTR) {
        }
    }

private:
    TUniqueFd fFd;
};

// The subkey Name of Folder, made if missing; Made tells whether this call made it.
LSTATUS FindOrMakeSubKey(const std::string& Folder, std::u16string_view Name,
                         std::optional<std::pair<std::string, std::u16string>>& Found,
                         bool& Made) {
    std::error_code Error;
    fs::create_directories(Folder, Error);
    TFolderLock Lock(Folder);
    Found = FindSubKey(Folder, Name);
    if (Found) {
        return ERROR_SUCCESS;
    }
    const std::string File = EncodeName(Name);
    if (::mkdir((Folder + "/" + File).c_str(), 0777) != 0) {
        // A program that does not take the lock made it a moment ago.
        Found = errno == EEXIST ? FindSubKey(Folder, Name) : std::nullopt;
        return Found ? ERROR_SUCCESS : LSTATUS(ErrorFromErrno(errno));
    }
    Made = true;
    Found.emplace(File, std::u16string(Name));
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Value files

LSTATUS ListValueFiles(const TRegistryKey& Key, std::vector<TValueFile>& Files) {
    std::error_code Error;
    fs::directory_iterator It(KeyFolder(Key), Error);
    if (Error) {
        // A hive nobody has written to yet is empty; a key whose folder went away is deleted.
        return Key.Folders.empty() ? ERROR_SUCCESS : ERROR_KEY_DELETED;
    }
    for (fs::directory_iterator End; !Error && It != End; It.increment(Error)) {
        const std::string File = It->path().filename().string();
        if (File.front() != ValuePrefix || !It->is_regular_file(Error)) {
            continue;
        }
        if (std::optional<std::u16string> Name = DecodeName(File.substr(1))) {
            Files.push_back({std::move(*Name), File});
        }
    }
    std::sort(Files.begin(), Files.end(),
              [](const TValueFile& A, const TValueFile& B) { return A.File < B.File; });
    return ERROR_SUCCESS;
}

LSTATUS FindValueFile(const TRegistryKey& Key, std::u16string_view Name, TValueFile& Found) {
    std::vector<TValueFile> Files;
    if (const LSTATUS Status = ListValueFiles(Key, Files); Status != ERROR_SUCCESS) {
        return Status;
    }
    for (TValueFile& File : Files) {
        if (SameName(File.Name, Name)) {
            Found = std::move(File);
            return ERROR_SUCCESS;
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

LSTATUS ReadValueFile(const TRegistryKey& Key, const TValueFile& File, TValue& Value) {
    TUniqueFd Fd(::open((KeyFolder(Key) + "/" + File.File).c_str(), O_RDONLY | O_CLOEXEC));
    if (!Fd.IsValid()) {
        return errno == ENOENT ? ERROR_FILE_NOT_FOUND : LSTATUS(ErrorFromErrno(errno));
    }
    std::vector<BYTE> Bytes;
    BYTE Chunk[4096];
    for (;;) {
        const ssize_t Got = ::read(Fd.Get(), Chunk, sizeof(Chunk));
        if (Got < 0 && errno == EINTR) {
            continue;
        }
        if (Got < 0) {
            return ERROR_CANTREAD;
        }
        if (Got == 0) {
            break;
        }
        Bytes.insert(Bytes.end(), Chunk, Chunk + Got);
    }
    if (Bytes.size() < TypeBytes) {
        return ERROR_BADKEY;
    }
    Value.Name = File.Name;
    Value.Type =
        DWORD(Bytes[0]) | DWORD(Bytes[1]) << 8 | DWORD(Bytes[2]) << 16 | DWORD(Bytes[3]) << 24;
    Value.Data.assign(Bytes.begin() + TypeBytes, Bytes.end());
    return ERROR_SUCCESS;
}

bool WriteAll(int Fd, const BYTE* Bytes, std::size_t Count) {
    while (Count > 0) {
        const ssize_t Put = ::write(Fd, Bytes, Count);
        if (Put < 0 && errno == EINTR) {
            continue;
        }
        if (Put <= 0) {
            return false;
        }
        Bytes += Put;
        Count -= std::size_t(Put);
    }
    return true;
}

std::string TempName() {
    static std::atomic<unsigned> Counter{0};
    return TempPrefix + std::to_string(::getpid()) + "-" + std::to_string(++Counter);
}

// Writes the whole value beside its final name, then renames it into place.
LSTATUS WriteValueFile(const std::string& Folder, const std::string& File, DWORD Type,
                       const BYTE* Data, DWORD DataBytes) {
    const std::string Temp = Folder + "/" + TempName();
    TUniqueFd Fd(::open(Temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!Fd.IsValid()) {
        return errno == ENOENT ? ERROR_KEY_DELETED : LSTATUS(ErrorFromErrno(errno));
    }
    const BYTE Header[TypeBytes] = {BYTE(Type), BYTE(Type >> 8), BYTE(Type >> 16),
                                    BYTE(Type >> 24)};
    const bool Written = WriteAll(Fd.Get(), Header, TypeBytes) &&
                         WriteAll(Fd.Get(), Data, DataBytes) && ::fsync(Fd.Get()) == 0;
    Fd.Reset();
    if (!Written || ::rename(Temp.c_str(), (Folder + "/" + File).c_str()) != 0) {
        ::unlink(Temp.c_str());
        return ERROR_CANTWRITE;
    }
    // The rename itself is made durable with the folder.
    TUniqueFd Directory(::open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (Directory.IsValid()) {
        ::fsync(Directory.Get());
    }
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// The port list

std::vector<TValue> SerialCommValues() {
    std::vector<TValue> Values;
    for (const TPortLink& Link : ListPresentPorts()) {
        TValue Value{Link.ObjectName, REG_SZ, {}};
        const std::u16string Data = Link.Name + u'\0';
        const auto* Bytes = reinterpret_cast<const BYTE*>(Data.data());
        Value.Data.assign(Bytes, Bytes + Data.size() * sizeof(char16_t));
        Values.push_back(std::move(Value));
    }
    return Values;
}

LSTATUS LoadValue(const TRegistryKey& Key, std::u16string_view Name, TValue& Value) {
    if (Key.SerialComm) {
        for (TValue& Listed : SerialCommValues()) {
            if (SameName(Listed.Name, Name)) {
                Value = std::move(Listed);
                return ERROR_SUCCESS;
            }
        }
        return ERROR_FILE_NOT_FOUND;
    }
    TValueFile File;
    if (const LSTATUS Status = FindValueFile(Key, Name, File); Status != ERROR_SUCCESS) {
        return Status;
    }
    return ReadValueFile(Key, File, Value);
}

LSTATUS LoadValueAt(const TRegistryKey& Key, DWORD Index, TValue& Value) {
    if (Key.SerialComm) {
        std::vector<TValue> Values = SerialCommValues();
        if (Index >= Values.size()) {
            return ERROR_NO_MORE_ITEMS;
        }
        Value = std::move(Values[Index]);
        return ERROR_SUCCESS;
    }
    std::vector<TValueFile> Files;
    if (const LSTATUS Status = ListValueFiles(Key, Files); Status != ERROR_SUCCESS) {
        return Status;
    }
    if (Index >= Files.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    return ReadValueFile(Key, Files[Index], Value);
}

// The size rules of RegQueryValueExW and RegEnumValueW: Data may be null to ask for the size;
// a buffer too small gets nothing and ERROR_MORE_DATA with the size needed.
LSTATUS Deliver(const TValue& Value, DWORD* Type, BYTE* Data, DWORD* DataBytes) {
    if (Type != nullptr) {
        *Type = Value.Type;
    }
    if (DataBytes == nullptr) {
        return ERROR_SUCCESS;
    }
    const auto Size = DWORD(Value.Data.size());
    if (Data != nullptr && *DataBytes < Size) {
        *DataBytes = Size;
        return ERROR_MORE_DATA;
    }
    if (Data != nullptr && Size > 0) {
        std::memcpy(Data, Value.Data.data(), Size);
    }
    *DataBytes = Size;
    return ERROR_SUCCESS;
}

std::optional<THive> PredefinedHive(HKEY Key) {
    if (Key == HKEY_LOCAL_MACHINE) {
        return THive::Machine;
    }
    if (Key == HKEY_CURRENT_USER) {
        return THive::User;
    }
    return std::nullopt;
}

} // namespace

// ---------------------------------------------------------------------------------------------

std::u16string TRegistry::UserSid() {
    return FromUtf8("S-1-5-21-0-0-0-" + std::to_string(::getuid()));
}

std::string TRegistry::StoreFolder() {
    const char* Folder = std::getenv("LXCOMM_REGISTRY_DIR");
    return Folder != nullptr && *Folder != 0 ? std::string(Folder)
                                             : ConfigFolder() + "/lxcomm/registry";
}

std::shared_ptr<const TRegistryKey> TRegistry::FindKey(HKEY Key) const {
    if (const std::optional<THive> Hive = PredefinedHive(Key)) {
        return std::make_shared<TRegistryKey>(*Hive, std::vector<std::u16string>{},
                                              std::vector<std::string>{}, false, KEY_ALL_ACCESS);
    }
    return fHandles.FindAs<TRegistryKey>(reinterpret_cast<HANDLE>(Key));
}

LSTATUS TRegistry::Resolve(HKEY Parent, LPCWSTR SubKey, REGSAM Access, bool Create, HKEY* Result,
                           DWORD* Disposition) {
    if (Result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::shared_ptr<const TRegistryKey> Base = FindKey(Parent);
    if (!Base) {
        return ERROR_INVALID_HANDLE;
    }
    const std::optional<std::vector<std::u16string>> Path = SplitPath(SubKey);
    if (!Path) {
        return ERROR_BAD_PATHNAME;
    }
    if (Create && !Path->empty() && (Base->Access & KEY_CREATE_SUB_KEY) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    std::vector<std::u16string> Names = Base->Names;
    std::vector<std::string> Folders = Base->Folders;
    DWORD Opened = REG_OPENED_EXISTING_KEY;
    Names.insert(Names.end(), Path->begin(), Path->end());
    const bool SerialComm = IsSerialCommPath(Base->Hive, Names);
    if (SerialComm) {
        Names.assign(std::begin(SerialCommPath), std::end(SerialCommPath));
    } else if (Base->SerialComm) {
        // The port list has values only; nothing can be made below it.
        return Create ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    } else {
        std::string Folder = KeyFolder(*Base);
        for (std::size_t Index = Base->Names.size(); Index < Names.size(); ++Index) {
            auto Found = FindSubKey(Folder, Names[Index]);
            if (!Found && Create) {
                bool Made = false;
                if (const LSTATUS Status = FindOrMakeSubKey(Folder, Names[Index], Found, Made);
                    Status != ERROR_SUCCESS) {
                    return Status;
                }
                Opened = Made ? REG_CREATED_NEW_KEY : Opened;
            }
            if (!Found) {
                return ERROR_FILE_NOT_FOUND;
            }
            Folder += "/" + Found->first;
            Folders.push_back(std::move(Found->first));
            Names[Index] = std::move(Found->second);
        }
    }
    *Result = reinterpret_cast<HKEY>(fHandles.Insert(std::make_shared<TRegistryKey>(
        Base->Hive, std::move(Names), std::move(Folders), SerialComm, Access)));
    if (Disposition != nullptr) {
        *Disposition = Opened;
    }
    return ERROR_SUCCESS;
}

LSTATUS TRegistry::OpenKey(HKEY Parent, LPCWSTR SubKey, REGSAM Access, HKEY* Result) {
    return Resolve(Parent, SubKey, Access, false, Result, nullptr);
}

LSTATUS TRegistry::CreateKey(HKEY Parent, LPCWSTR SubKey, REGSAM Access, HKEY* Result,
                             DWORD* Disposition) {
    return Resolve(Parent, SubKey, Access, true, Result, Disposition);
}

LSTATUS TRegistry::EnumValue(HKEY Key, DWORD Index, LPWSTR Name, DWORD* NameChars, DWORD* Type,
                             BYTE* Data, DWORD* DataBytes) {
    if (Name == nullptr || NameChars == nullptr || (Data != nullptr && DataBytes == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::shared_ptr<const TRegistryKey> Found = FindKey(Key);
    if (!Found) {
        return ERROR_INVALID_HANDLE;
    }
    if ((Found->Access & KEY_QUERY_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    TValue Value;
    if (const LSTATUS Status = LoadValueAt(*Found, Index, Value); Status != ERROR_SUCCESS) {
        return Status;
    }
    // The capacity counts the terminator; the result does not.
    if (Value.Name.size() + 1 > *NameChars) {
        return ERROR_MORE_DATA;
    }
    std::copy(Value.Name.begin(), Value.Name.end(), Name);
    Name[Value.Name.size()] = 0;
    *NameChars = DWORD(Value.Name.size());
    return Deliver(Value, Type, Data, DataBytes);
}

LSTATUS TRegistry::QueryValue(HKEY Key, LPCWSTR Name, DWORD* Type, BYTE* Data, DWORD* DataBytes) {
    if (Data != nullptr && DataBytes == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::shared_ptr<const TRegistryKey> Found = FindKey(Key);
    if (!Found) {
        return ERROR_INVALID_HANDLE;
    }
    if ((Found->Access & KEY_QUERY_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    TValue Value;
    if (const LSTATUS Status = LoadValue(*Found, Name != nullptr ? Name : u"", Value);
        Status != ERROR_SUCCESS) {
        return Status;
    }
    return Deliver(Value, Type, Data, DataBytes);
}

LSTATUS TRegistry::SetValue(HKEY Key, LPCWSTR Name, DWORD Type, const BYTE* Data, DWORD DataBytes) {
    if (Data == nullptr && DataBytes > 0) {
        return ERROR_NOACCESS;
    }
    const std::shared_ptr<const TRegistryKey> Found = FindKey(Key);
    if (!Found) {
        return ERROR_INVALID_HANDLE;
    }
    if (Found->SerialComm || (Found->Access & KEY_SET_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    const std::u16string_view ValueName = Name != nullptr ? Name : u"";
    const std::string Folder = KeyFolder(*Found);
    TValueFile File;
    LSTATUS Status = FindValueFile(*Found, ValueName, File);
    if (Status != ERROR_FILE_NOT_FOUND) {
        return Status == ERROR_SUCCESS
                   ? WriteValueFile(Folder, File.File, Type, Data, DataBytes)
                   : Status;
    }
    // A new value; the name it is first written with is the one kept, unless another program
    // has just written it in another case.
    if (Found->Folders.empty()) {
        std::error_code Error;
        fs::create_directories(Folder, Error);
    }
    TFolderLock Lock(Folder);
    Status = FindValueFile(*Found, ValueName, File);
    if (Status == ERROR_FILE_NOT_FOUND) {
        File.File = ValuePrefix + EncodeName(ValueName);
    } else if (Status != ERROR_SUCCESS) {
        return Status;
    }
    return WriteValueFile(Folder, File.File, Type, Data, DataBytes);
}

LSTATUS TRegistry::CloseKey(HKEY Key) {
    if (PredefinedHive(Key)) {
        return ERROR_SUCCESS;
    }
    const HANDLE Handle = reinterpret_cast<HANDLE>(Key);
    if (!fHandles.FindAs<TRegistryKey>(Handle) || !fHandles.Remove(Handle)) {
        return ERROR_INVALID_HANDLE;
    }
    return ERROR_SUCCESS;
}

NTSTATUS TRegistry::QueryKeyName(HANDLE Key, void* Information, ULONG Length, ULONG* ResultLength) {
    const std::shared_ptr<const TRegistryKey> Found = fHandles.FindAs<TRegistryKey>(Key);
    if (!Found) {
        return STATUS_INVALID_HANDLE;
    }
    std::u16string Name =
        Found->Hive == THive::Machine ? u"\\REGISTRY\\MACHINE" : u"\\REGISTRY\\USER\\" + UserSid();
    for (const std::u16string& Part : Found->Names) {
        Name += u"\\" + Part;
    }
    const auto NameBytes = ULONG(Name.size() * sizeof(char16_t));
    const ULONG Needed = ULONG(offsetof(KEY_NAME_INFORMATION, Name)) + NameBytes;
    if (ResultLength != nullptr) {
        *ResultLength = Needed;
    }
    if (Information == nullptr || Length < offsetof(KEY_NAME_INFORMATION, Name)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    // The name is not terminated; a short buffer receives what fits.
    auto* Bytes = static_cast<BYTE*>(Information);
    std::memcpy(Bytes, &NameBytes, sizeof(NameBytes));
    const ULONG Room = Length - ULONG(offsetof(KEY_NAME_INFORMATION, Name));
    std::memcpy(Bytes + offsetof(KEY_NAME_INFORMATION, Name), Name.data(),
                std::min(Room, NameBytes));
    return Room < NameBytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

} // namespace winapi::posix
