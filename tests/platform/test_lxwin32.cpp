// Overlapped transfers, the registered serial ports, run-time binding and the registry helpers,
// against the scripted fake OS.
#include "fake_winapi.h"
#include "lxwin32.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

using namespace std::string_literals;
using namespace std::string_view_literals;
using namespace winapi;
using lxtest::Fail;
using lxtest::Pending;
using lxtest::Succeed;
using lxtest::TFakeCall;
using lxtest::TFakeResult;

namespace {

class FakeOs : public testing::Test {
protected:
    lxtest::TFakeApi Fake;
    lxtest::TFakeApiScope Scope{Fake};
};

std::uintptr_t Arg(const void* Pointer) {
    return reinterpret_cast<std::uintptr_t>(Pointer);
}

using TEntries = std::vector<std::pair<std::u16string, int>>;

TEntries EntriesOf(const lx::TPortList& List) {
    TEntries Entries;
    for (int Index = 0; Index < List.Count(); ++Index) {
        Entries.emplace_back(List.Strings(Index), List.Tag(Index));
    }
    return Entries;
}

} // namespace

// --- Opening a device --------------------------------------------------------------------------

TEST_F(FakeOs, OpenDeviceOverlappedOpensTheDevicePathExclusively) {
    Fake.AddDevice(u"\\\\?\\COM3");
    const HANDLE Port = lx::OpenDeviceOverlapped(u"COM3");
    EXPECT_NE(Port, INVALID_HANDLE_VALUE);

    const auto Calls = Fake.Calls("CreateFileW");
    ASSERT_EQ(Calls.size(), 1u);
    EXPECT_EQ(Calls[0].Text, u"\\\\?\\COM3");
    const std::vector<std::uintptr_t> Args = {GENERIC_READ | GENERIC_WRITE, 0, 0, OPEN_EXISTING,
                                              FILE_FLAG_OVERLAPPED,         0};
    EXPECT_EQ(Calls[0].Args, Args);
    EXPECT_EQ(Fake.CloseHandle(Port), TRUE);
}

TEST_F(FakeOs, OpenDeviceOverlappedLeavesTheReasonOfAFailure) {
    Fake.SetMessage(ERROR_ACCESS_DENIED, u"Access is denied.\r\n");
    Fake.ScriptNext("CreateFileW", Fail(ERROR_ACCESS_DENIED, -1));
    EXPECT_EQ(lx::OpenDeviceOverlapped(u"COM3"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(lx::GetLastErrorText(), u"Access is denied");

    EXPECT_EQ(lx::OpenDeviceOverlapped(u"COM77"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Fake.GetLastError(), ERROR_FILE_NOT_FOUND);
}

// --- Overlapped transfers ----------------------------------------------------------------------

enum class TTransfer { WriteWait, ReadWait, WriteAsync };

struct TTransferCase {
    const char* Name;
    TTransfer Transfer;
    TFakeResult Start;                     // what ReadFile or WriteFile does
    std::optional<TFakeResult> Completion; // what GetOverlappedResult does, if it is asked
    bool Expected;
};

void PrintTo(const TTransferCase& Case, std::ostream* Out) {
    *Out << Case.Name;
}

class Transfers : public FakeOs, public testing::WithParamInterface<TTransferCase> {
protected:
    bool Run(TTransfer Transfer, OVERLAPPED& Overlapped) {
        switch (Transfer) {
        case TTransfer::WriteWait:
            return lx::WriteFileWait(Port, Bytes, sizeof(Bytes), Overlapped);
        case TTransfer::ReadWait:
            return lx::ReadFileWait(Port, Bytes, sizeof(Bytes), Overlapped);
        case TTransfer::WriteAsync:
            return lx::WriteFileAsync(Port, Bytes, sizeof(Bytes), Overlapped);
        }
        return false;
    }
    static const char* Operation(TTransfer Transfer) {
        return Transfer == TTransfer::ReadWait ? "ReadFile" : "WriteFile";
    }

    const HANDLE Port = reinterpret_cast<HANDLE>(std::uintptr_t(0x2000));
    BYTE Bytes[5] = {1, 2, 3, 4, 5};
};

TEST_P(Transfers, ClearTheRecordKeepTheEventAndWaitOnlyWhenPending) {
    const TTransferCase& Case = GetParam();
    const HANDLE Event = reinterpret_cast<HANDLE>(std::uintptr_t(0xE0E0));
    OVERLAPPED Overlapped{111, 222, 333, 444, Event};
    Fake.ScriptNext(Operation(Case.Transfer), Case.Start);
    if (Case.Completion) {
        Fake.ScriptNext("GetOverlappedResult", *Case.Completion);
    }

    EXPECT_EQ(Run(Case.Transfer, Overlapped), Case.Expected);

    const auto Starts = Fake.Calls(Operation(Case.Transfer));
    ASSERT_EQ(Starts.size(), 1u);
    EXPECT_EQ(Starts[0].Args, (std::vector<std::uintptr_t>{Arg(Port), 5, Arg(&Overlapped)}));
    const OVERLAPPED& Seen = *Starts[0].Overlapped;
    EXPECT_EQ(Seen.Internal, 0u);
    EXPECT_EQ(Seen.InternalHigh, 0u);
    EXPECT_EQ(Seen.Offset, 0u);
    EXPECT_EQ(Seen.OffsetHigh, 0u);
    EXPECT_EQ(Seen.hEvent, Event);
    EXPECT_EQ(Overlapped.hEvent, Event);

    const auto Waits = Fake.Calls("GetOverlappedResult");
    ASSERT_EQ(Waits.size(), Case.Completion ? 1u : 0u);
    if (Case.Completion) {
        EXPECT_EQ(Waits[0].Args,
                  (std::vector<std::uintptr_t>{Arg(Port), Arg(&Overlapped), std::uintptr_t(TRUE)}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Transfers,
    testing::Values(
        TTransferCase{"WriteWaitAtOnce", TTransfer::WriteWait, Succeed(TRUE, 5), {}, true},
        TTransferCase{"WriteWaitPendingThenDone", TTransfer::WriteWait, Pending(), Succeed(TRUE, 5),
                      true},
        TTransferCase{"WriteWaitPendingThenFails", TTransfer::WriteWait, Pending(),
                      Fail(ERROR_OPERATION_ABORTED), false},
        TTransferCase{
            "WriteWaitFails", TTransfer::WriteWait, Fail(ERROR_INVALID_HANDLE), {}, false},
        TTransferCase{"ReadWaitAtOnce", TTransfer::ReadWait, Succeed(TRUE, 5), {}, true},
        TTransferCase{"ReadWaitPendingThenDone", TTransfer::ReadWait, Pending(), Succeed(TRUE, 5),
                      true},
        TTransferCase{"ReadWaitPendingThenFails", TTransfer::ReadWait, Pending(),
                      Fail(ERROR_DEVICE_NOT_CONNECTED), false},
        TTransferCase{"ReadWaitFails", TTransfer::ReadWait, Fail(ERROR_INVALID_HANDLE), {}, false},
        TTransferCase{"WriteAsyncAtOnce", TTransfer::WriteAsync, Succeed(TRUE, 5), {}, true},
        TTransferCase{"WriteAsyncPending", TTransfer::WriteAsync, Pending(), {}, true},
        TTransferCase{
            "WriteAsyncFails", TTransfer::WriteAsync, Fail(ERROR_GEN_FAILURE), {}, false}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(FakeOs, TransfersCarryTheBytesBothWays) {
    Fake.AddDevice(u"\\\\?\\COM3");
    Fake.QueueInput(u"\\\\?\\COM3", {9, 8, 7});
    const HANDLE Port = lx::OpenDeviceOverlapped(u"COM3");
    OVERLAPPED Overlapped{};
    const BYTE Out[] = {1, 2, 3, 4};
    BYTE In[3] = {};

    EXPECT_TRUE(lx::WriteFileWait(Port, Out, sizeof(Out), Overlapped));
    EXPECT_TRUE(lx::WriteFileAsync(Port, Out, 2, Overlapped));
    EXPECT_TRUE(lx::ReadFileWait(Port, In, sizeof(In), Overlapped));

    EXPECT_EQ(Fake.Output(u"\\\\?\\COM3"), (std::vector<BYTE>{1, 2, 3, 4, 1, 2}));
    EXPECT_EQ(std::vector<BYTE>(In, In + 3), (std::vector<BYTE>{9, 8, 7}));
    Fake.CloseHandle(Port);
}

TEST_F(FakeOs, WaitOverlappedResultReportsCountAndError) {
    const HANDLE Port = reinterpret_cast<HANDLE>(std::uintptr_t(0x2000));
    OVERLAPPED Overlapped{};
    DWORD Transferred = 0;
    DWORD ErrorCode = 0;

    Fake.SetLastError(ERROR_INVALID_HANDLE);
    EXPECT_FALSE(lx::WaitOverlappedResult(Port, Overlapped, Transferred, ErrorCode));
    EXPECT_EQ(ErrorCode, ERROR_INVALID_HANDLE);
    EXPECT_EQ(Fake.CallCount("GetOverlappedResult"), 0);

    Fake.SetLastError(ERROR_IO_PENDING);
    Fake.ScriptNext("GetOverlappedResult", Succeed(TRUE, 59));
    EXPECT_TRUE(lx::WaitOverlappedResult(Port, Overlapped, Transferred, ErrorCode));
    EXPECT_EQ(Transferred, 59u);
    EXPECT_EQ(ErrorCode, ERROR_IO_PENDING);

    Fake.SetLastError(ERROR_IO_PENDING);
    Fake.ScriptNext("GetOverlappedResult", Fail(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(lx::WaitOverlappedResult(Port, Overlapped, Transferred, ErrorCode));
    EXPECT_EQ(ErrorCode, ERROR_OPERATION_ABORTED);
}

// --- Registered serial ports -------------------------------------------------------------------

class EnumSerialPorts : public FakeOs {
protected:
    TEntries Enum(bool WithDeviceNames) {
        lx::TPortList List;
        List.Add(u"stale", 99);
        lx::EnumSerialPorts(List, WithDeviceNames);
        EXPECT_EQ(Fake.OpenKeys(), 0);
        return EntriesOf(List);
    }
    void AddRaw(std::u16string_view Name, std::u16string_view Data) {
        Fake.SetValue(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\SERIALCOMM", Name, REG_SZ,
                      lxtest::TextBytes(Data));
    }
};

TEST_F(EnumSerialPorts, ParsesTrimsSkipsAndOrders) {
    Fake.AddSerialComm(u"\\Device\\VCP0", u"COM10");
    Fake.AddSerialComm(u"\\Device\\Serial1", u"  com4 ");
    Fake.AddSerialComm(u"\\Device\\Odd", u"COMX");
    Fake.AddSerialComm(u"\\Device\\Printer", u"LPT1");
    Fake.AddSerialComm(u"\\Device\\Serial0", u"COM1");
    Fake.AddSerialComm(u"\\Device\\Again", u"Com1");
    for (const auto* NotANumber : {u"COM", u"COM-2", u"COM 5", u"COM+6", u"COM99999999999"}) {
        Fake.AddSerialComm(std::u16string(u"\\Device\\Bad") + NotANumber, NotANumber);
    }
    // The value's type is not examined.
    Fake.SetValue(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\SERIALCOMM", u"\\Device\\Bin",
                  REG_BINARY, lxtest::TextBytes(u"COM7\0"sv));

    EXPECT_EQ(Enum(true), (TEntries{{u"COM1=\\Device\\Serial0", 1},
                                    {u"COM4=\\Device\\Serial1", 4},
                                    {u"COM7=\\Device\\Bin", 7},
                                    {u"COM10=\\Device\\VCP0", 10}}));
    EXPECT_EQ(Enum(false), (TEntries{{u"COM1", 1}, {u"COM4", 4}, {u"COM7", 7}, {u"COM10", 10}}));
}

TEST_F(EnumSerialPorts, NoSerialCommKeyGivesAnEmptyList) {
    EXPECT_EQ(Enum(true), TEntries{});
    const auto Opens = Fake.Calls("RegOpenKeyExW");
    ASSERT_EQ(Opens.size(), 1u);
    EXPECT_EQ(Opens[0].Text, u"HARDWARE\\DEVICEMAP\\SERIALCOMM");
    EXPECT_EQ(Opens[0].Args,
              (std::vector<std::uintptr_t>{Arg(HKEY_LOCAL_MACHINE), 0, KEY_QUERY_VALUE}));
}

TEST_F(EnumSerialPorts, UsesFixedBuffersOf260Bytes) {
    Fake.AddSerialComm(u"\\Device\\Serial1", u"COM1");
    Fake.AddSerialComm(std::u16string(129, u'N'), u"COM2");
    // 260 bytes of data with no room for a terminator: read no further than the data.
    AddRaw(u"\\Device\\Full", u"COM3" + std::u16string(126, u' '));
    Fake.AddSerialComm(u"\\Device\\Serial4", u"COM4");

    EXPECT_EQ(Enum(true), (TEntries{{u"COM1=\\Device\\Serial1", 1},
                                    {u"COM2=" + std::u16string(129, u'N'), 2},
                                    {u"COM3=\\Device\\Full", 3},
                                    {u"COM4=\\Device\\Serial4", 4}}));
    // Capacities: the name in characters with its terminator, the data in bytes; no type asked.
    const auto Reads = Fake.Calls("RegEnumValueW");
    ASSERT_EQ(Reads.size(), 5u);
    EXPECT_EQ(Reads[4].Args, (std::vector<std::uintptr_t>{Reads[4].Args[0], 4, 130, 260, 0}));
}

TEST_F(EnumSerialPorts, AValueThatDoesNotFitEndsTheWalk) {
    struct TCase {
        const char* Name;
        std::u16string ValueName;
        std::u16string Data;
    };
    const TCase Cases[] = {{"NameTooLong", std::u16string(130, u'N'), u"COM2"s},
                           {"DataTooLong", u"\\Device\\Long", u"COM2" + std::u16string(127, u' ')}};
    for (const TCase& Case : Cases) {
        lxtest::TFakeApi Own;
        lxtest::TFakeApiScope OwnScope(Own);
        Own.AddSerialComm(u"\\Device\\Serial1", u"COM1");
        Own.SetValue(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\SERIALCOMM", Case.ValueName, REG_SZ,
                     lxtest::TextBytes(Case.Data));
        Own.AddSerialComm(u"\\Device\\Serial3", u"COM3");

        lx::TPortList List;
        lx::EnumSerialPorts(List, false);
        EXPECT_EQ(EntriesOf(List), (TEntries{{u"COM1", 1}})) << Case.Name;
        EXPECT_EQ(Own.OpenKeys(), 0) << Case.Name;
    }
}

TEST_F(EnumSerialPorts, StopsAtTheFirstFailingRead) {
    Fake.AddSerialComm(u"\\Device\\Serial1", u"COM1");
    Fake.AddSerialComm(u"\\Device\\Serial2", u"COM2");
    Fake.ScriptNext("RegEnumValueW", lxtest::AsUsual());
    Fake.ScriptNext("RegEnumValueW", lxtest::Returns(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Enum(false), (TEntries{{u"COM1", 1}}));
    EXPECT_EQ(Fake.CallCount("RegEnumValueW"), 2);
}

TEST_F(EnumSerialPorts, LegacyFamilyAsksTheSpooler) {
    Fake.SetPlatformId(VER_PLATFORM_WIN32_WINDOWS);
    Fake.SetSpoolerPorts({u"COM5:", u"LPT1:", u"COM1:", u"COMX:", u"FILE:", u"COM5:", u"COM12"});
    Fake.AddSerialComm(u"\\Device\\Serial9", u"COM9");

    for (const bool WithDeviceNames : {true, false}) {
        EXPECT_EQ(Enum(WithDeviceNames), (TEntries{{u"COM1=", 1}, {u"COM5=", 5}, {u"COM12=", 12}}));
    }
    EXPECT_EQ(Fake.CallCount("RegOpenKeyExW"), 0);
    const auto Calls = Fake.Calls("EnumPortsW");
    ASSERT_EQ(Calls.size(), 4u);
    EXPECT_EQ(Calls[0].Args, (std::vector<std::uintptr_t>{1, 0, 0}));
    EXPECT_EQ(Calls[1].Args[0], 1u);
}

TEST_F(EnumSerialPorts, LegacyFamilyWithoutABufferRequestGivesAnEmptyList) {
    Fake.SetPlatformId(VER_PLATFORM_WIN32_WINDOWS);
    Fake.SetSpoolerPorts({u"COM1:"});

    // Only "buffer too small" leads to the second call.
    Fake.ScriptNext("EnumPortsW", Fail(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Enum(true), TEntries{});
    EXPECT_EQ(Fake.CallCount("EnumPortsW"), 1);

    Fake.ClearCalls();
    Fake.ScriptNext("EnumPortsW", Succeed());
    EXPECT_EQ(Enum(true), TEntries{});
    EXPECT_EQ(Fake.CallCount("EnumPortsW"), 1);

    Fake.ClearCalls();
    Fake.ScriptNext("EnumPortsW", lxtest::AsUsual());
    Fake.ScriptNext("EnumPortsW", Fail(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(Enum(true), TEntries{});
    EXPECT_EQ(Fake.CallCount("EnumPortsW"), 2);
}

// --- Cancelling I/O ----------------------------------------------------------------------------

TEST_F(FakeOs, CancelIoDynamicBindsOnEveryCall) {
    Fake.AddDevice(u"\\\\?\\COM3");
    const HANDLE Port = lx::OpenDeviceOverlapped(u"COM3");

    EXPECT_TRUE(lx::CancelIoDynamic(Port));
    EXPECT_TRUE(lx::CancelIoDynamic(Port));
    EXPECT_EQ(Fake.CallCount("GetModuleHandleW"), 2);
    EXPECT_EQ(Fake.Calls("GetModuleHandleW")[0].Text, u"kernel32.dll");
    EXPECT_EQ(Fake.Calls("GetProcAddress")[0].Text, u"CancelIo");
    const auto Cancels = Fake.Calls("CancelIo");
    ASSERT_EQ(Cancels.size(), 2u);
    EXPECT_EQ(Cancels[0].Args[0], Arg(Port));

    Fake.CloseHandle(Port);
    EXPECT_FALSE(lx::CancelIoDynamic(Port));
}

TEST_F(FakeOs, CancelIoDynamicWithoutTheEntryPointFails) {
    Fake.SetExport(u"kernel32.dll", "CancelIo", nullptr);
    EXPECT_FALSE(lx::CancelIoDynamic(INVALID_HANDLE_VALUE));
    EXPECT_EQ(Fake.CallCount("GetProcAddress"), 1);

    Fake.SetModulePresent(u"kernel32.dll", false);
    EXPECT_FALSE(lx::CancelIoDynamic(INVALID_HANDLE_VALUE));
    EXPECT_EQ(Fake.CallCount("GetProcAddress"), 1);
    EXPECT_EQ(Fake.CallCount("CancelIo"), 0);
}

// --- Registry key paths ------------------------------------------------------------------------

struct TKeyPathCase {
    const char* Name;
    std::u16string KernelName;
    bool WithRoot;
    HKEY ExpectedRoot;
    std::u16string ExpectedPath;
};

void PrintTo(const TKeyPathCase& Case, std::ostream* Out) {
    *Out << Case.Name;
}

class GetRegistryKeyPath : public FakeOs, public testing::WithParamInterface<TKeyPathCase> {};

TEST_P(GetRegistryKeyPath, SplitsTheKernelPath) {
    const TKeyPathCase& Case = GetParam();
    Fake.SetKernelName(HKEY_LOCAL_MACHINE, u"SYSTEM\\Probe", Case.KernelName);
    HKEY Key = nullptr;
    ASSERT_EQ(Fake.RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\Probe", 0, KEY_READ, &Key),
              LSTATUS(ERROR_SUCCESS));
    const HKEY Unset = reinterpret_cast<HKEY>(std::uintptr_t(0x5A5A));
    HKEY Root = Unset;
    std::u16string Path = u"previous";

    lx::GetRegistryKeyPath(Key, Case.WithRoot ? &Root : nullptr, Path);

    EXPECT_EQ(Path, Case.ExpectedPath);
    EXPECT_EQ(Root, Case.WithRoot ? Case.ExpectedRoot : Unset);
    const auto Allocs = Fake.Calls("LocalAlloc");
    ASSERT_EQ(Allocs.size(), 1u);
    const std::size_t NameBytes = Case.KernelName.size() * 2;
    EXPECT_EQ(Allocs[0].Args, (std::vector<std::uintptr_t>{LMEM_ZEROINIT, 4 + NameBytes + 2}));
    EXPECT_EQ(Fake.LiveLocalAllocs(), 0);
    EXPECT_EQ(Fake.LoadedLibraries(), 0);
    EXPECT_EQ(Fake.Calls("LoadLibraryW")[0].Text, u"ntdll.dll");
    Fake.RegCloseKey(Key);
}

const HKEY NoRoot = nullptr;

INSTANTIATE_TEST_SUITE_P(
    Cases, GetRegistryKeyPath,
    testing::Values(TKeyPathCase{"User", u"\\REGISTRY\\USER\\S-1-5-21-1\\Software\\X", true,
                                 HKEY_CURRENT_USER, u"Software\\X"},
                    TKeyPathCase{"UserWithoutPathAfterTheSid", u"\\REGISTRY\\USER\\S-1-5-21-1",
                                 true, HKEY_CURRENT_USER, u"S-1-5-21-1"},
                    TKeyPathCase{"Machine", u"\\REGISTRY\\MACHINE\\SYSTEM\\Y", true,
                                 HKEY_LOCAL_MACHINE, u"SYSTEM\\Y"},
                    TKeyPathCase{"UnknownRoot", u"\\REGISTRY\\USERS\\S-1-5-18\\Z", true, NoRoot,
                                 u"\\REGISTRY\\USERS\\S-1-5-18\\Z"},
                    TKeyPathCase{"RootNameElsewhere", u"\\REGISTRY\\A\\MACHINE\\B", true, NoRoot,
                                 u"\\REGISTRY\\A\\MACHINE\\B"},
                    TKeyPathCase{"WithoutRootTheKernelPathStays", u"\\REGISTRY\\MACHINE\\SYSTEM\\Y",
                                 false, NoRoot, u"\\REGISTRY\\MACHINE\\SYSTEM\\Y"}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(FakeOs, GetRegistryKeyPathWithoutANameLeavesRootAlone) {
    HKEY Open = nullptr;
    Fake.AddKey(HKEY_LOCAL_MACHINE, u"SYSTEM\\Y");
    ASSERT_EQ(Fake.RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\Y", 0, KEY_READ, &Open),
              LSTATUS(ERROR_SUCCESS));
    const HKEY Unset = reinterpret_cast<HKEY>(std::uintptr_t(0x5A5A));
    const HKEY NotAKey = reinterpret_cast<HKEY>(std::uintptr_t(0x7777));
    struct TCase {
        const char* Name;
        HKEY Key;
        std::function<void()> Arrange;
    };
    const TCase Cases[] = {
        {"InvalidHandleValue", static_cast<HKEY>(INVALID_HANDLE_VALUE), [] {}},
        {"NotAKey", NotAKey, [] {}},
        {"NoNtdll", Open, [&] { Fake.SetModulePresent(u"ntdll.dll", false); }},
        {"NoZwQueryKey", Open,
         [&] {
             Fake.SetModulePresent(u"ntdll.dll", true);
             Fake.SetExport(u"ntdll.dll", "ZwQueryKey", nullptr);
         }},
    };
    for (const TCase& Case : Cases) {
        Case.Arrange();
        HKEY Root = Unset;
        std::u16string Path = u"previous";
        lx::GetRegistryKeyPath(Case.Key, &Root, Path);
        EXPECT_EQ(Path, u"") << Case.Name;
        EXPECT_EQ(Root, Unset) << Case.Name;
        EXPECT_EQ(Fake.LiveLocalAllocs(), 0) << Case.Name;
        EXPECT_EQ(Fake.LoadedLibraries(), 0) << Case.Name;
    }
    EXPECT_EQ(Fake.CallCount("FreeLibrary"), 2);
    Fake.RegCloseKey(Open);
}

// --- Reading a text value ----------------------------------------------------------------------

struct TReadCase {
    const char* Name;
    DWORD Type;
    std::vector<BYTE> Data;
    std::u16string Expected;
};

void PrintTo(const TReadCase& Case, std::ostream* Out) {
    *Out << Case.Name;
}

class RegReadString : public FakeOs, public testing::WithParamInterface<TReadCase> {};

TEST_P(RegReadString, AppliesTheLengthRule) {
    const TReadCase& Case = GetParam();
    Fake.SetValue(HKEY_LOCAL_MACHINE, u"SYSTEM\\Ports\\P1", u"PortName", Case.Type, Case.Data);
    EXPECT_EQ(lx::RegReadString(HKEY_LOCAL_MACHINE, u"SYSTEM\\Ports\\P1", u"PortName"),
              Case.Expected);
    EXPECT_EQ(Fake.OpenKeys(), 0);
    EXPECT_EQ(Fake.Calls("RegOpenKeyExW")[0].Args,
              (std::vector<std::uintptr_t>{Arg(HKEY_LOCAL_MACHINE), 0, KEY_READ}));
}

std::vector<BYTE> OddBytes() {
    std::vector<BYTE> Bytes = lxtest::TextBytes(u"COM3");
    Bytes.push_back('X');
    return Bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegReadString,
    testing::Values(TReadCase{"TerminatedText", REG_SZ, lxtest::TextBytes(u"COM3\0"sv), u"COM3"},
                    TReadCase{"UnterminatedText", REG_SZ, lxtest::TextBytes(u"COM3"), u"COM3"},
                    TReadCase{"OnlyOneTerminatorDropped", REG_SZ, lxtest::TextBytes(u"A\0\0"sv),
                              u"A\0"s},
                    TReadCase{"OddByteCountRoundsDown", REG_SZ, OddBytes(), u"COM3"},
                    TReadCase{"EmptyText", REG_SZ, {}, u""},
                    TReadCase{"ExpandTextKeepsTerminator", REG_EXPAND_SZ,
                              lxtest::TextBytes(u"COM3\0"sv), u"COM3\0"s},
                    TReadCase{"MultiTextKeepsFullLength", REG_MULTI_SZ,
                              lxtest::TextBytes(u"A\0B\0\0"sv), u"A\0B\0\0"s}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(FakeOs, RegReadStringFailuresGiveEmptyTextAndCloseWhatWasOpened) {
    Fake.SetValue(HKEY_LOCAL_MACHINE, u"SYSTEM\\P", u"PortName", REG_SZ,
                  lxtest::TextBytes(u"COM3\0"sv));

    EXPECT_EQ(lx::RegReadString(HKEY_LOCAL_MACHINE, u"SYSTEM\\Missing", u"PortName"), u"");
    EXPECT_EQ(Fake.CallCount("RegCloseKey"), 0);

    EXPECT_EQ(lx::RegReadString(HKEY_LOCAL_MACHINE, u"SYSTEM\\P", u"Missing"), u"");
    EXPECT_EQ(Fake.CallCount("RegCloseKey"), 1);

    Fake.ScriptNext("RegQueryValueExW", lxtest::AsUsual());
    Fake.ScriptNext("RegQueryValueExW", lxtest::Returns(ERROR_MORE_DATA));
    EXPECT_EQ(lx::RegReadString(HKEY_LOCAL_MACHINE, u"SYSTEM\\P", u"PortName"), u"");
    EXPECT_EQ(Fake.CallCount("RegCloseKey"), 2);
    EXPECT_EQ(Fake.OpenKeys(), 0);

    EXPECT_EQ(lx::RegReadString(HKEY_LOCAL_MACHINE, u"system\\p", u"portname"), u"COM3");
}
