// The native registry: the file-backed store with the Windows buffer rules, kernel key names,
// atomic replacement, and the port list made from the port folder.
#include "posix/posixapi.h"
#include "pty.h"

#include <gtest/gtest.h>

#include <cctype>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace winapi;

TWinApi& Os() {
    return NativeApi();
}

const BYTE* BytesOf(const std::u16string& Text) {
    return reinterpret_cast<const BYTE*>(Text.c_str());
}

std::u16string Wide(const std::string& Text) {
    return std::u16string(Text.begin(), Text.end());
}

DWORD SizeWithTerminator(const std::u16string& Text) {
    return DWORD((Text.size() + 1) * sizeof(char16_t));
}

// A key that is closed whatever the test's outcome.
class TKey {
public:
    TKey() = default;
    ~TKey() {
        if (fKey != nullptr) {
            Os().RegCloseKey(fKey);
        }
    }
    TKey(const TKey&) = delete;
    TKey& operator=(const TKey&) = delete;
    HKEY* Out() { return &fKey; }
    HKEY Get() const { return fKey; }

private:
    HKEY fKey = nullptr;
};

std::u16string KernelName(TWinApi& Api, HKEY Key) {
    ULONG Length = 0;
    EXPECT_EQ(Api.ZwQueryKey(Key, KeyNameInformation, nullptr, 0, &Length),
              STATUS_BUFFER_TOO_SMALL);
    std::vector<BYTE> Block(Length);
    EXPECT_EQ(Api.ZwQueryKey(Key, KeyNameInformation, Block.data(), Length, &Length),
              STATUS_SUCCESS);
    ULONG NameBytes = 0;
    std::memcpy(&NameBytes, Block.data(), sizeof(NameBytes));
    std::u16string Name(NameBytes / 2, u'\0');
    std::memcpy(Name.data(), Block.data() + 4, NameBytes);
    return Name;
}

class PosixRegistry : public ::testing::Test {
protected:
    lxtest::TPortFolder Folder;
};

TEST_F(PosixRegistry, CreatedKeysAndValuesAreFoundAgainWithoutRegardToCase) {
    TKey Created;
    DWORD Disposition = 0;
    ASSERT_EQ(Os().RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Lx\\Bench", 0, nullptr,
                                   REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, Created.Out(),
                                   &Disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(Disposition, REG_CREATED_NEW_KEY);
    const std::u16string Port = u"COM3";
    ASSERT_EQ(Os().RegSetValueExW(Created.Get(), u"PortName", 0, REG_SZ, BytesOf(Port),
                                  SizeWithTerminator(Port)),
              ERROR_SUCCESS);

    TKey Again;
    ASSERT_EQ(Os().RegCreateKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\lx\\bench\\", 0, nullptr, 0,
                                   KEY_ALL_ACCESS, nullptr, Again.Out(), &Disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(Disposition, REG_OPENED_EXISTING_KEY);
    DWORD Type = 0;
    WCHAR Data[16] = {};
    DWORD Size = sizeof(Data);
    ASSERT_EQ(Os().RegQueryValueExW(Again.Get(), u"portname", nullptr, &Type,
                                    reinterpret_cast<BYTE*>(Data), &Size),
              ERROR_SUCCESS);
    EXPECT_EQ(Type, REG_SZ);
    EXPECT_EQ(Size, SizeWithTerminator(Port));
    EXPECT_EQ(std::u16string(Data), Port);
    // Names keep the case they were first written with.
    EXPECT_EQ(KernelName(Os(), Again.Get()), u"\\REGISTRY\\USER\\S-1-5-21-0-0-0-" +
                                                 Wide(std::to_string(::getuid())) +
                                                 u"\\Software\\Lx\\Bench");
}

TEST_F(PosixRegistry, QueriesFollowTheWindowsSizeRules) {
    TKey Key;
    ASSERT_EQ(Os().RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Lx", 0, nullptr, 0,
                                   KEY_ALL_ACCESS, nullptr, Key.Out(), nullptr),
              ERROR_SUCCESS);
    std::vector<BYTE> Record(49);
    for (std::size_t Index = 0; Index < Record.size(); ++Index) {
        Record[Index] = BYTE(Index * 5);
    }
    ASSERT_EQ(Os().RegSetValueExW(Key.Get(), u"Config", 0, REG_BINARY, Record.data(), 49),
              ERROR_SUCCESS);

    DWORD Type = 0;
    DWORD Size = 0;
    EXPECT_EQ(Os().RegQueryValueExW(Key.Get(), u"Config", nullptr, &Type, nullptr, &Size),
              ERROR_SUCCESS);
    EXPECT_EQ(Type, REG_BINARY);
    EXPECT_EQ(Size, 49u);

    std::vector<BYTE> Buffer(64, 0xEE);
    Size = 48;
    EXPECT_EQ(Os().RegQueryValueExW(Key.Get(), u"Config", nullptr, nullptr, Buffer.data(), &Size),
              ERROR_MORE_DATA);
    EXPECT_EQ(Size, 49u);
    Size = 64;
    EXPECT_EQ(Os().RegQueryValueExW(Key.Get(), u"Config", nullptr, nullptr, Buffer.data(), &Size),
              ERROR_SUCCESS);
    EXPECT_EQ(Size, 49u);
    EXPECT_TRUE(std::equal(Record.begin(), Record.end(), Buffer.begin()));

    EXPECT_EQ(Os().RegQueryValueExW(Key.Get(), u"Config", nullptr, nullptr, Buffer.data(), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Os().RegQueryValueExW(Key.Get(), u"Missing", nullptr, &Type, nullptr, &Size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(KernelName(Os(), Key.Get()), u"\\REGISTRY\\MACHINE\\SOFTWARE\\Lx");
}

TEST_F(PosixRegistry, AnyValueNameIsKeptApartAndReadBack) {
    TKey Key;
    ASSERT_EQ(Os().RegCreateKeyExW(HKEY_CURRENT_USER, u"Names", 0, nullptr, 0, KEY_ALL_ACCESS,
                                   nullptr, Key.Out(), nullptr),
              ERROR_SUCCESS);
    const std::u16string Names[] = {u"a\\b", u"a/b",  u"..",    u".hidden",      u"@",
                                    u"",     u"50%",  u"%41",   u"\u4E32\u53E3", u"tab\tname",
                                    u"a",    u"a b ", u"\xD800"};
    for (std::size_t Index = 0; Index < std::size(Names); ++Index) {
        const DWORD Data = DWORD(Index);
        ASSERT_EQ(Os().RegSetValueExW(Key.Get(), Names[Index].c_str(), 0, REG_DWORD,
                                      reinterpret_cast<const BYTE*>(&Data), sizeof(Data)),
                  ERROR_SUCCESS)
            << Index;
    }
    for (std::size_t Index = 0; Index < std::size(Names); ++Index) {
        DWORD Data = 99;
        DWORD Size = sizeof(Data);
        ASSERT_EQ(Os().RegQueryValueExW(Key.Get(), Names[Index].c_str(), nullptr, nullptr,
                                        reinterpret_cast<BYTE*>(&Data), &Size),
                  ERROR_SUCCESS)
            << Index;
        EXPECT_EQ(Data, Index);
    }
    std::set<std::u16string> Listed;
    WCHAR Name[64];
    for (DWORD Index = 0;; ++Index) {
        DWORD Chars = 64;
        const LSTATUS Status =
            Os().RegEnumValueW(Key.Get(), Index, Name, &Chars, nullptr, nullptr, nullptr, nullptr);
        if (Status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        ASSERT_EQ(Status, ERROR_SUCCESS);
        Listed.emplace(Name, Chars);
    }
    EXPECT_EQ(Listed, std::set<std::u16string>(std::begin(Names), std::end(Names)));
}

TEST_F(PosixRegistry, EnumerationFollowsTheWindowsBufferRules) {
    TKey Key;
    ASSERT_EQ(Os().RegCreateKeyExW(HKEY_CURRENT_USER, u"Enum", 0, nullptr, 0, KEY_ALL_ACCESS,
                                   nullptr, Key.Out(), nullptr),
              ERROR_SUCCESS);
    const std::u16string Data = u"0123456789";
    ASSERT_EQ(Os().RegSetValueExW(Key.Get(), u"Five5", 0, REG_SZ, BytesOf(Data),
                                  SizeWithTerminator(Data)),
              ERROR_SUCCESS);
    WCHAR Name[8];
    BYTE Buffer[64];
    DWORD Type = 0;
    const struct {
        DWORD NameChars;
        DWORD DataBytes;
        LSTATUS Status;
    } Cases[] = {
        {5, 64, ERROR_MORE_DATA}, // no room for the name's terminator
        {6, 21, ERROR_MORE_DATA}, // the data is 22 bytes
        {6, 22, ERROR_SUCCESS},
    };
    for (const auto& Case : Cases) {
        DWORD Chars = Case.NameChars;
        DWORD Bytes = Case.DataBytes;
        EXPECT_EQ(Os().RegEnumValueW(Key.Get(), 0, Name, &Chars, nullptr, &Type, Buffer, &Bytes),
                  Case.Status);
        if (Case.Status == ERROR_SUCCESS) {
            EXPECT_EQ(Chars, 5u);
            EXPECT_EQ(std::u16string(Name), u"Five5");
            EXPECT_EQ(Type, REG_SZ);
        }
        if (Case.NameChars == 6) {
            EXPECT_EQ(Bytes, 22u);
        }
    }
    DWORD Chars = 8;
    EXPECT_EQ(Os().RegEnumValueW(Key.Get(), 1, Name, &Chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
}

TEST_F(PosixRegistry, AFreshInstanceOverTheSameFolderSeesWhatWasWritten) {
    {
        TKey Key;
        ASSERT_EQ(Os().RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Shared", 0, nullptr, 0,
                                       KEY_WRITE, nullptr, Key.Out(), nullptr),
                  ERROR_SUCCESS);
        const DWORD Value = 0xC0FFEE;
        ASSERT_EQ(Os().RegSetValueExW(Key.Get(), u"Number", 0, REG_DWORD,
                                      reinterpret_cast<const BYTE*>(&Value), sizeof(Value)),
                  ERROR_SUCCESS);
    }
    posix::TPosixApi Other;
    HKEY Key = nullptr;
    ASSERT_EQ(Other.RegOpenKeyExW(HKEY_CURRENT_USER, u"software\\shared", 0, KEY_READ, &Key),
              ERROR_SUCCESS);
    DWORD Value = 0;
    DWORD Size = sizeof(Value);
    DWORD Type = 0;
    EXPECT_EQ(Other.RegQueryValueExW(Key, u"NUMBER", nullptr, &Type,
                                     reinterpret_cast<BYTE*>(&Value), &Size),
              ERROR_SUCCESS);
    EXPECT_EQ(Type, REG_DWORD);
    EXPECT_EQ(Value, 0xC0FFEEu);
    EXPECT_EQ(Other.RegCloseKey(Key), ERROR_SUCCESS);
}

TEST_F(PosixRegistry, RightsPathsAndHandlesAreChecked) {
    TKey ReadOnly;
    ASSERT_EQ(Os().RegCreateKeyExW(HKEY_CURRENT_USER, u"Rights", 0, nullptr, 0, KEY_READ, nullptr,
                                   ReadOnly.Out(), nullptr),
              ERROR_SUCCESS);
    const DWORD Value = 1;
    EXPECT_EQ(Os().RegSetValueExW(ReadOnly.Get(), u"x", 0, REG_DWORD,
                                  reinterpret_cast<const BYTE*>(&Value), sizeof(Value)),
              ERROR_ACCESS_DENIED);
    HKEY Key = nullptr;
    EXPECT_EQ(Os().RegCreateKeyExW(ReadOnly.Get(), u"Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                   &Key, nullptr),
              ERROR_ACCESS_DENIED);

    const struct {
        const char16_t* Path;
        LSTATUS Status;
    } Cases[] = {
        {u"No\\Such\\Key", ERROR_FILE_NOT_FOUND},
        {u"\\Rights", ERROR_BAD_PATHNAME},
        {u"Rights\\\\x", ERROR_BAD_PATHNAME},
    };
    for (const auto& Case : Cases) {
        EXPECT_EQ(Os().RegOpenKeyExW(HKEY_CURRENT_USER, Case.Path, 0, KEY_READ, &Key), Case.Status);
    }
    EXPECT_EQ(Os().RegOpenKeyExW(HKEY_CLASSES_ROOT, u"x", 0, KEY_READ, &Key), ERROR_INVALID_HANDLE);

    ASSERT_EQ(Os().RegOpenKeyExW(HKEY_CURRENT_USER, u"Rights", 0, KEY_READ, &Key), ERROR_SUCCESS);
    EXPECT_EQ(Os().RegCloseKey(Key), ERROR_SUCCESS);
    EXPECT_EQ(Os().RegCloseKey(Key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Os().ZwQueryKey(Key, KeyNameInformation, nullptr, 0, nullptr), STATUS_INVALID_HANDLE);
    const HANDLE Event = Os().CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(Os().RegCloseKey(reinterpret_cast<HKEY>(Event)), ERROR_INVALID_HANDLE)
        << "an event is not a key";
    EXPECT_EQ(Os().CloseHandle(Event), TRUE);
}

TEST_F(PosixRegistry, AShortNameBufferGetsWhatFitsAndTheLengthNeeded) {
    TKey Key;
    ASSERT_EQ(Os().RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\Y", 0, nullptr, 0, KEY_READ,
                                   nullptr, Key.Out(), nullptr),
              ERROR_SUCCESS);
    const std::u16string Name = u"\\REGISTRY\\MACHINE\\SYSTEM\\Y";
    const ULONG Needed = ULONG(4 + Name.size() * 2);
    std::vector<BYTE> Block(Needed, 0xEE);
    ULONG Length = 0;
    EXPECT_EQ(Os().ZwQueryKey(Key.Get(), KeyNameInformation, Block.data(), 3, &Length),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Length, Needed);
    EXPECT_EQ(Os().ZwQueryKey(Key.Get(), KeyNameInformation, Block.data(), 10, &Length),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Length, Needed);
    EXPECT_EQ(Block[10], 0xEE) << "nothing is written past the buffer";
    EXPECT_EQ(
        Os().ZwQueryKey(Key.Get(), 0 /* KeyBasicInformation */, Block.data(), Needed, &Length),
        STATUS_NOT_IMPLEMENTED);
}

// A process that is killed when the test leaves, whatever the way out.
class TChild {
public:
    explicit TChild(pid_t Pid) : fPid(Pid) {}
    ~TChild() { Kill(); }
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;
    // True when the child was still running and died of the signal.
    bool Kill() {
        if (fPid <= 0) {
            return false;
        }
        ::kill(fPid, SIGKILL);
        int Status = 0;
        ::waitpid(fPid, &Status, 0);
        fPid = -1;
        return WIFSIGNALED(Status) && WTERMSIG(Status) == SIGKILL;
    }

private:
    pid_t fPid;
};

// A writer killed at any moment leaves the old or the new value, never a mixture.
TEST_F(PosixRegistry, AReplacedValueIsNeverTornEvenWhenTheWriterIsKilled) {
    TKey Key;
    ASSERT_EQ(Os().RegCreateKeyExW(HKEY_CURRENT_USER, u"Atomic", 0, nullptr, 0, KEY_ALL_ACCESS,
                                   nullptr, Key.Out(), nullptr),
              ERROR_SUCCESS);
    const std::vector<std::vector<BYTE>> Written = {
        std::vector<BYTE>(49, 0x11), std::vector<BYTE>(4000, 0x22), std::vector<BYTE>(1, 0x33)};
    ASSERT_EQ(Os().RegSetValueExW(Key.Get(), u"Record", 0, REG_BINARY, Written[0].data(), 49),
              ERROR_SUCCESS);

    const pid_t Pid = ::fork();
    ASSERT_GE(Pid, 0);
    if (Pid == 0) {
        for (std::size_t Round = 1;; ++Round) {
            const std::vector<BYTE>& Data = Written[Round % Written.size()];
            Os().RegSetValueExW(Key.Get(), u"Record", 0, REG_BINARY, Data.data(),
                                DWORD(Data.size()));
        }
    }
    TChild Writer(Pid);
    std::set<std::size_t> Seen;
    const auto Check = [&] {
        std::vector<BYTE> Buffer(8192);
        DWORD Size = DWORD(Buffer.size());
        ASSERT_EQ(
            Os().RegQueryValueExW(Key.Get(), u"Record", nullptr, nullptr, Buffer.data(), &Size),
            ERROR_SUCCESS);
        Buffer.resize(Size);
        EXPECT_NE(std::find(Written.begin(), Written.end(), Buffer), Written.end())
            << "a torn value of " << Size << " bytes";
        Seen.insert(Size);
    };
    // Read while the writer replaces the value, until every version has been seen.
    const DWORD Start = Os().GetTickCount();
    while (Seen.size() < Written.size() && Os().GetTickCount() - Start < 5000) {
        Check();
    }
    EXPECT_EQ(Seen.size(), Written.size()) << "the writer did not get going";
    EXPECT_TRUE(Writer.Kill());
    Check();

    // What the killed writer left half done is not a value.
    WCHAR Name[16];
    DWORD Chars = 16;
    EXPECT_EQ(Os().RegEnumValueW(Key.Get(), 1, Name, &Chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
}

// \Device\pts5 for /dev/pts/5.
std::u16string DeviceName(const lxtest::TPtyPair& Pty) {
    return u"\\Device\\pts" + Wide(Pty.SlavePath().substr(std::string("/dev/pts/").size()));
}

// Name with its letters in the case that Variant picks: each process of the race spells the same
// names its own way.
std::u16string Spelled(const std::string& Name, unsigned Variant) {
    std::u16string Out;
    for (std::size_t Index = 0; Index < Name.size(); ++Index) {
        const bool Upper = (Variant >> (Index % 3) & 1) != 0;
        Out.push_back(char16_t(Upper ? std::toupper(Name[Index]) : std::tolower(Name[Index])));
    }
    return Out;
}

// Makes the keys and values of the race in one spelling; the exit status counts the failures.
int MakeSpelled(unsigned Variant, int StartFd) {
    char Go = 0;
    if (::read(StartFd, &Go, 1) != 1) {
        return 100;
    }
    int Failures = 0;
    const BYTE Data[4] = {1, 2, 3, 4};
    for (int Round = 0; Round < 5; ++Round) {
        const std::u16string Path = Spelled("software\\race\\bench" + std::to_string(Round), Variant);
        HKEY Key = nullptr;
        if (Os().RegCreateKeyExW(HKEY_CURRENT_USER, Path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                 nullptr, &Key, nullptr) != ERROR_SUCCESS) {
            ++Failures;
            continue;
        }
        Failures += Os().RegSetValueExW(Key, Spelled("record", Variant).c_str(), 0, REG_BINARY,
                                        Data, sizeof(Data)) != ERROR_SUCCESS;
        Os().RegCloseKey(Key);
    }
    return Failures;
}

// Eight programs making the same keys and values at once, each in its own letter case, make
// each of them once: later reads and writes cannot go to one copy or another.
TEST_F(PosixRegistry, ProgramsMakingOneNameInDifferentCasesAtOnceMakeItOnce) {
    constexpr unsigned Programs = 8;
    int Start[2];
    ASSERT_EQ(::pipe(Start), 0);
    std::vector<pid_t> Children;
    for (unsigned Variant = 0; Variant < Programs; ++Variant) {
        const pid_t Pid = ::fork();
        ASSERT_GE(Pid, 0);
        if (Pid == 0) {
            ::close(Start[1]);
            ::_exit(MakeSpelled(Variant, Start[0]));
        }
        Children.push_back(Pid);
    }
    ::close(Start[0]);
    // One write releases them all at once.
    const std::string Go(Programs, 'g');
    EXPECT_EQ(::write(Start[1], Go.data(), Go.size()), ssize_t(Go.size()));
    ::close(Start[1]);
    for (const pid_t Child : Children) {
        int Status = -1;
        ASSERT_EQ(::waitpid(Child, &Status, 0), Child);
        EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << "status " << Status;
    }

    namespace fs = std::filesystem;
    const auto Count = [](const fs::path& Folder, bool Folders) {
        int Found = 0;
        for (const fs::directory_entry& Entry : fs::directory_iterator(Folder)) {
            Found += Entry.is_directory() == Folders ? 1 : 0;
        }
        return Found;
    };
    const fs::path User = Folder.RegistryDir() + "/USER";
    ASSERT_EQ(Count(User, true), 1) << "one Software";
    const fs::path Software = fs::directory_iterator(User)->path();
    ASSERT_EQ(Count(Software, true), 1) << "one Race";
    const fs::path Race = fs::directory_iterator(Software)->path();
    EXPECT_EQ(Count(Race, true), 5) << "one key per round";
    for (const fs::directory_entry& Key : fs::directory_iterator(Race)) {
        EXPECT_EQ(Count(Key.path(), false), 1) << "one value in " << Key.path();
    }
}

class PosixSerialComm : public PosixRegistry {
protected:
    void SetUp() override {
        Folder.Link("COM9", First.SlavePath());
        Folder.Link("com3", Second.SlavePath());
        Folder.Link("COM5", "/dev/pts/no-such-terminal");
        std::filesystem::create_directory(Folder.PortDir() + "/not-a-link");
    }

    lxtest::TPtyPair First;
    lxtest::TPtyPair Second;
};

// Named \Device\<node> as Windows names them, so that every name fits the 129 characters a
// program reads; where the port leads is the port map's business.
TEST_F(PosixSerialComm, ListsEveryLinkedDeviceThatExistsByItsDeviceName) {
    TKey Key;
    ASSERT_EQ(Os().RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                                 KEY_QUERY_VALUE, Key.Out()),
              ERROR_SUCCESS);
    std::set<std::pair<std::u16string, std::u16string>> Listed;
    for (DWORD Index = 0;; ++Index) {
        WCHAR Name[130];
        WCHAR Data[130];
        DWORD Chars = 130;
        DWORD Bytes = sizeof(Data);
        DWORD Type = 0;
        const LSTATUS Status = Os().RegEnumValueW(Key.Get(), Index, Name, &Chars, nullptr, &Type,
                                                  reinterpret_cast<BYTE*>(Data), &Bytes);
        if (Status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        ASSERT_EQ(Status, ERROR_SUCCESS);
        EXPECT_EQ(Type, REG_SZ);
        EXPECT_EQ(Bytes, 10u) << "COMn and its terminator";
        Listed.emplace(std::u16string(Name, Chars), std::u16string(Data));
    }
    EXPECT_EQ(Listed,
              (std::set<std::pair<std::u16string, std::u16string>>{
                  {DeviceName(First), u"COM9"}, {DeviceName(Second), u"COM3"}}));

    DWORD Size = 0;
    EXPECT_EQ(Os().RegQueryValueExW(Key.Get(), DeviceName(First).c_str(), nullptr, nullptr,
                                    nullptr, &Size),
              ERROR_SUCCESS);
    EXPECT_EQ(Size, 10u);
}

TEST_F(PosixSerialComm, IsReadOnlyAndNamedAsOnWindows) {
    TKey Key;
    ASSERT_EQ(Os().RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"hardware\\devicemap\\serialcomm", 0,
                                   nullptr, 0, KEY_ALL_ACCESS, nullptr, Key.Out(), nullptr),
              ERROR_SUCCESS);
    const std::u16string Port = u"COM4";
    EXPECT_EQ(Os().RegSetValueExW(Key.Get(), u"/dev/ttyS9", 0, REG_SZ, BytesOf(Port),
                                  SizeWithTerminator(Port)),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(KernelName(Os(), Key.Get()), u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM");
    HKEY Below = nullptr;
    EXPECT_EQ(Os().RegOpenKeyExW(Key.Get(), u"Sub", 0, KEY_READ, &Below), ERROR_FILE_NOT_FOUND);
}

} // namespace
