// The platform helpers on the native backend, for real: a pseudo-terminal linked as COM9 is
// listed, opened, written, read and closed through them.
#include "lxwin32.h"
#include "posix/posixapi.h"
#include "pty.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace {

using namespace winapi;

std::u16string Wide(const std::string& Text) {
    return std::u16string(Text.begin(), Text.end());
}

std::string Narrow(const std::u16string& Text) {
    return std::string(Text.begin(), Text.end());
}

// The name the port list gives a pseudo-terminal, /dev/pts/5 as \Device\pts5.
std::u16string DeviceName(const lxtest::TPtyPair& Pty) {
    return u"\\Device\\pts" + Wide(Pty.SlavePath().substr(std::string("/dev/pts/").size()));
}

class PosixHelpers : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(&Api(), &NativeApi());
        Folder.Link("COM9", Pty.SlavePath());
    }
    void TearDown() override {
        if (fPort != INVALID_HANDLE_VALUE) {
            Api().CloseHandle(fPort);
        }
    }

    HANDLE OpenCom9() {
        fPort = lx::OpenDeviceOverlapped(u"COM9");
        return fPort;
    }

    lxtest::TPortFolder Folder;
    lxtest::TPtyPair Pty;
    HANDLE fPort = INVALID_HANDLE_VALUE;
};

TEST_F(PosixHelpers, ALinkedPseudoTerminalIsListedAndOpensAsCom9) {
    Folder.Link("COM4", "/dev/pts/no-such-terminal");
    lx::TPortList Ports;
    lx::EnumSerialPorts(Ports, true);
    ASSERT_EQ(Ports.Count(), 1);
    EXPECT_EQ(Ports.Strings(0), u"COM9=" + DeviceName(Pty));
    EXPECT_EQ(Ports.Tag(0), 9);
    lx::EnumSerialPorts(Ports, false);
    ASSERT_EQ(Ports.Count(), 1);
    EXPECT_EQ(Ports.Strings(0), u"COM9");

    EXPECT_NE(OpenCom9(), INVALID_HANDLE_VALUE) << Narrow(lx::GetLastErrorText());
}

// Programs read port list names of up to 129 characters and stop at the first longer one, so
// a port reached through a long path must still be listed under a short name, beside the others.
TEST_F(PosixHelpers, APortBehindALongPathIsListedBesideTheOthers) {
    lxtest::TPtyPair Far;
    std::string Path = Folder.Root() + "/";
    while (Path.size() < 160) {
        Path += "long-folder/";
    }
    std::filesystem::create_directories(Path);
    Path += std::string(200 - Path.size(), 'x');
    ASSERT_EQ(Path.size(), 200u);
    std::filesystem::create_symlink(Far.SlavePath(), Path);
    Folder.Link("COM2", Path);

    lx::TPortList Ports;
    lx::EnumSerialPorts(Ports, true);
    ASSERT_EQ(Ports.Count(), 2);
    EXPECT_EQ(Ports.Strings(0), u"COM2=" + DeviceName(Far));
    EXPECT_EQ(Ports.Strings(1), u"COM9=" + DeviceName(Pty));

    const HANDLE Port = lx::OpenDeviceOverlapped(u"COM2");
    ASSERT_NE(Port, INVALID_HANDLE_VALUE) << Narrow(lx::GetLastErrorText());
    Api().CloseHandle(Port);
}

// Two links to one terminal are two ports, and each keeps a value name of its own.
TEST_F(PosixHelpers, TwoLinksToOneTerminalHaveNamesOfTheirOwn) {
    Folder.Link("COM3", Pty.SlavePath());
    lx::TPortList Ports;
    lx::EnumSerialPorts(Ports, true);
    ASSERT_EQ(Ports.Count(), 2);
    EXPECT_EQ(Ports.Strings(0), u"COM3=" + DeviceName(Pty));
    EXPECT_EQ(Ports.Strings(1), u"COM9=\\Device\\Serial0");
}

TEST_F(PosixHelpers, BytesGoOutWithWriteFileWaitAndComeBackWithReadFileWait) {
    ASSERT_NE(OpenCom9(), INVALID_HANDLE_VALUE);
    const HANDLE Event = Api().CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED Overlapped{};
    Overlapped.hEvent = Event;
    const std::string Request = "\x01\x04\x00\x14\x00\x1B\xB1\xC5";
    ASSERT_TRUE(lx::WriteFileWait(fPort, Request.data(), DWORD(Request.size()), Overlapped));
    EXPECT_EQ(Pty.Read(Request.size()), Request);

    std::string Reply(59, '\0');
    for (std::size_t Index = 0; Index < Reply.size(); ++Index) {
        Reply[Index] = char(Index * 13);
    }
    std::thread Bench([&] {
        // The reply comes in pieces, as from a slow line.
        Pty.Write(Reply.substr(0, 20));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        Pty.Write(Reply.substr(20));
    });
    std::string Got(Reply.size(), '\0');
    EXPECT_TRUE(lx::ReadFileWait(fPort, Got.data(), DWORD(Got.size()), Overlapped));
    Bench.join();
    EXPECT_EQ(Got, Reply);
    EXPECT_EQ(Overlapped.hEvent, Event);
    Api().CloseHandle(Event);
}

TEST_F(PosixHelpers, WriteFileAsyncReturnsAtOnce) {
    // More than the terminal holds while nobody reads the other end.
    const std::string Bytes(1 << 20, 'x');
    ASSERT_NE(OpenCom9(), INVALID_HANDLE_VALUE);
    OVERLAPPED Overlapped{};
    const auto Start = std::chrono::steady_clock::now();
    EXPECT_TRUE(lx::WriteFileAsync(fPort, Bytes.data(), DWORD(Bytes.size()), Overlapped));
    EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(500));
    EXPECT_EQ(Api().GetLastError(), ERROR_IO_PENDING);
    // Closing ends the write before Bytes and Overlapped go.
    EXPECT_EQ(Api().CloseHandle(fPort), TRUE);
    fPort = INVALID_HANDLE_VALUE;
}

TEST_F(PosixHelpers, ASecondOpenFailsAndTheTextSaysWhy) {
    ASSERT_NE(OpenCom9(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(lx::OpenDeviceOverlapped(u"COM9"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(lx::GetLastErrorText(),
              u"Access is denied. The port is already open in another program or handle");
}

TEST_F(PosixHelpers, APortThatDoesNotExistFailsWithAReadableText) {
    EXPECT_EQ(lx::OpenDeviceOverlapped(u"COM7"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(lx::GetLastErrorText(),
              u"The system cannot find the file specified. There is no port COM7 in the port "
              u"folder " +
                  Wide(Folder.PortDir()));
}

TEST_F(PosixHelpers, AReadFileWaitBlockedOnThePortReturnsWhenAnotherThreadCloses) {
    ASSERT_NE(OpenCom9(), INVALID_HANDLE_VALUE);
    bool Read = true;
    std::thread Reader([&] {
        OVERLAPPED Overlapped{};
        char Buffer[59];
        Read = lx::ReadFileWait(fPort, Buffer, sizeof(Buffer), Overlapped);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Api().CloseHandle(fPort), TRUE);
    Reader.join();
    fPort = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(Read);
}

TEST_F(PosixHelpers, CancelIoDynamicEndsThePendingRead) {
    ASSERT_NE(OpenCom9(), INVALID_HANDLE_VALUE);
    OVERLAPPED Overlapped{};
    char Buffer[8];
    DWORD Count = 0;
    ASSERT_EQ(Api().ReadFile(fPort, Buffer, sizeof(Buffer), &Count, &Overlapped), FALSE);
    EXPECT_TRUE(lx::CancelIoDynamic(fPort));
    DWORD ErrorCode = 0;
    EXPECT_FALSE(lx::WaitOverlappedResult(fPort, Overlapped, Count, ErrorCode));
    EXPECT_EQ(ErrorCode, ERROR_OPERATION_ABORTED);
}

TEST_F(PosixHelpers, RegistryHelpersReadTheStoreAndNameItsKeys) {
    HKEY Key = nullptr;
    ASSERT_EQ(Api().RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Lx\\Ports", 0, nullptr, 0,
                                    KEY_ALL_ACCESS, nullptr, &Key, nullptr),
              ERROR_SUCCESS);
    const std::u16string Port = u"COM3";
    ASSERT_EQ(Api().RegSetValueExW(Key, u"PortName", 0, REG_SZ,
                                   reinterpret_cast<const BYTE*>(Port.c_str()),
                                   DWORD((Port.size() + 1) * 2)),
              ERROR_SUCCESS);
    EXPECT_EQ(lx::RegReadString(HKEY_CURRENT_USER, u"software\\lx\\ports", u"PortName"), u"COM3");

    HKEY Root = nullptr;
    std::u16string Path;
    lx::GetRegistryKeyPath(Key, &Root, Path);
    EXPECT_EQ(Root, HKEY_CURRENT_USER);
    EXPECT_EQ(Path, u"Software\\Lx\\Ports");
    EXPECT_EQ(Api().RegCloseKey(Key), ERROR_SUCCESS);

    ASSERT_EQ(Api().RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                                  KEY_READ, &Key),
              ERROR_SUCCESS);
    lx::GetRegistryKeyPath(Key, &Root, Path);
    EXPECT_EQ(Root, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(Path, u"HARDWARE\\DEVICEMAP\\SERIALCOMM");
    EXPECT_EQ(Api().RegCloseKey(Key), ERROR_SUCCESS);
}

} // namespace
