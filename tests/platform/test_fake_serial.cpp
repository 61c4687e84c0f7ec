// The fake OS's serial ports and message queues: what the serial component's tests script
// through it behaves as the real thing would.
#include "fake_winapi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace winapi;
using lxtest::TFakeApi;

constexpr std::u16string_view Path = u"\\\\?\\COM3";

class FakeSerial : public ::testing::Test {
protected:
    void SetUp() override {
        Fake.AddDevice(Path);
        Port = Fake.CreateFileW(Path.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        Wait.hEvent = Fake.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override {
        Fake.CloseHandle(Wait.hEvent);
        Fake.CloseHandle(Port);
        EXPECT_EQ(Fake.OpenHandles(), 0);
    }
    bool Signalled() { return Fake.WaitForSingleObject(Wait.hEvent, 0) == WAIT_OBJECT_0; }
    void StartWait(DWORD& Events) {
        Fake.ResetEvent(Wait.hEvent);
        ASSERT_EQ(Fake.WaitCommEvent(Port, &Events, &Wait), FALSE);
        ASSERT_EQ(Fake.GetLastError(), ERROR_IO_PENDING);
    }

    TFakeApi Fake;
    HANDLE Port = nullptr;
    OVERLAPPED Wait{};
};

TEST_F(FakeSerial, RaisedEventsEndAPendingWaitOrWaitForTheNextOne) {
    ASSERT_EQ(Fake.SetCommMask(Port, EV_RXCHAR | EV_RING), TRUE);
    DWORD Events = 0;
    StartWait(Events);
    Fake.RaiseCommEvent(Path, EV_CTS); // not in the mask: lost
    EXPECT_FALSE(Signalled());
    Fake.RaiseCommEvent(Path, EV_RING | EV_CTS);
    EXPECT_TRUE(Signalled());
    EXPECT_EQ(Events, EV_RING);

    Fake.QueueInput(Path, {1, 2, 3});
    EXPECT_EQ(Fake.WaitCommEvent(Port, &Events, &Wait), TRUE) << "kept for the next wait";
    EXPECT_EQ(Events, EV_RXCHAR);

    StartWait(Events);
    ASSERT_EQ(Fake.SetCommMask(Port, EV_RXCHAR | EV_TXEMPTY), TRUE);
    EXPECT_TRUE(Signalled());
    EXPECT_EQ(Events, 0u) << "a mask change ends the wait with no events";

    StartWait(Events);
    DWORD Written = 0;
    ASSERT_EQ(Fake.WriteFile(Port, "x", 1, &Written, nullptr), TRUE);
    EXPECT_TRUE(Signalled());
    EXPECT_EQ(Events, EV_TXEMPTY) << "a write is sent at once";

    StartWait(Events);
    const HANDLE Closing = std::exchange(Port, nullptr);
    std::thread([&] { Fake.CloseHandle(Closing); }).join();
    EXPECT_TRUE(Signalled());
    EXPECT_EQ(NTSTATUS(std::uint32_t(Wait.Internal)), STATUS_CANCELLED);
}

TEST_F(FakeSerial, ErrorsAndLinesAreReportedAsRaisedOrScripted) {
    Fake.QueueInput(Path, {1, 2, 3, 4, 5});
    Fake.RaiseCommErrors(Path, CE_RXPARITY);
    DWORD Errors = 0;
    COMSTAT Stat{};
    ASSERT_EQ(Fake.ClearCommError(Port, &Errors, &Stat), TRUE);
    EXPECT_EQ(Errors, CE_RXPARITY);
    EXPECT_EQ(Stat.cbInQue, 5u);
    ASSERT_EQ(Fake.ClearCommError(Port, &Errors, &Stat), TRUE);
    EXPECT_EQ(Errors, 0u) << "read and reset";

    Fake.ScriptNext("ClearCommError", lxtest::CommErrors(31, COMSTAT{COMSTAT_fCtsHold, 7, 2}));
    ASSERT_EQ(Fake.ClearCommError(Port, &Errors, &Stat), TRUE);
    EXPECT_EQ(Errors, 31u);
    EXPECT_EQ(Stat.Flags, COMSTAT_fCtsHold);
    EXPECT_EQ(Stat.cbOutQue, 2u);

    Fake.SetModemStatus(Path, MS_CTS_ON);
    Fake.ScriptNext("GetCommModemStatus", lxtest::ModemStatus(MS_RING_ON | MS_DSR_ON));
    Fake.ScriptNext("GetCommModemStatus", lxtest::Fail(ERROR_GEN_FAILURE));
    DWORD Lines = 0;
    EXPECT_EQ(Fake.GetCommModemStatus(Port, &Lines), TRUE);
    EXPECT_EQ(Lines, MS_RING_ON | MS_DSR_ON);
    EXPECT_EQ(Fake.GetCommModemStatus(Port, &Lines), FALSE);
    EXPECT_EQ(Fake.GetCommModemStatus(Port, &Lines), TRUE);
    EXPECT_EQ(Lines, MS_CTS_ON);

    ASSERT_EQ(Fake.SetCommMask(Port, EV_RXCHAR), TRUE);
    Fake.ScriptNext("WaitCommEvent", lxtest::Fail(ERROR_INVALID_PARAMETER));
    Fake.ScriptNext("WaitCommEvent", lxtest::CommEvent(EV_ERR));
    DWORD Events = 0;
    EXPECT_EQ(Fake.WaitCommEvent(Port, &Events, &Wait), FALSE);
    EXPECT_EQ(Fake.GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Fake.WaitCommEvent(Port, &Events, &Wait), TRUE);
    EXPECT_EQ(Events, EV_ERR);
}

TEST_F(FakeSerial, SettingsAreStoredAndTheDefaultConfigurationIsPerName) {
    DCB Settings = lxtest::DefaultCommState();
    Settings.BaudRate = 57600;
    ASSERT_EQ(Fake.SetCommState(Port, &Settings), TRUE);
    EXPECT_EQ(Fake.CommState(Path).BaudRate, 57600u);
    COMMCONFIG Config{};
    DWORD Size = sizeof(Config);
    ASSERT_EQ(Fake.GetCommConfig(Port, &Config, &Size), TRUE);
    EXPECT_EQ(Config.dcb.BaudRate, 57600u);
    ASSERT_EQ(Fake.GetDefaultCommConfigW(u"com3", &Config, &Size), TRUE);
    EXPECT_EQ(Config.dcb.BaudRate, 9600u);
    EXPECT_EQ(Fake.GetDefaultCommConfigW(u"COM1", &Config, &Size), FALSE);
    EXPECT_EQ(Fake.GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(FakeMessages, QueuesAreMadeByTheirThreadAndCarryMessagesInOrder) {
    TFakeApi Fake;
    const UINT Event = Fake.RegisterWindowMessageW(u"lxCommMsgComEvent");
    EXPECT_EQ(Fake.RegisterWindowMessageW(u"LXCOMMMSGCOMEVENT"), Event);
    EXPECT_GE(Event, 0xC000u);
    std::atomic<DWORD> Id{0};
    std::vector<WPARAM> Got;
    std::thread Receiver([&] {
        MSG Message{};
        Fake.PeekMessageW(&Message, nullptr, 0, 0, PM_NOREMOVE);
        Id = Fake.GetCurrentThreadId();
        while (Fake.GetMessageW(&Message, nullptr, 0xC000, 0xFFFF) > 0) {
            Got.push_back(Message.wParam);
        }
    });
    EXPECT_EQ(Fake.PostThreadMessageW(Fake.GetCurrentThreadId(), Event, 0, 0), FALSE);
    EXPECT_EQ(Fake.GetLastError(), ERROR_INVALID_THREAD_ID);
    while (Id == 0) {
        std::this_thread::yield();
    }
    for (WPARAM Index = 1; Index <= 3; ++Index) {
        EXPECT_EQ(Fake.PostThreadMessageW(Id, Event, Index, 0), TRUE);
    }
    EXPECT_EQ(Fake.PostThreadMessageW(Id, WM_QUIT, 0, 0), TRUE);
    Receiver.join();
    EXPECT_EQ(Got, (std::vector<WPARAM>{1, 2, 3}));
}

} // namespace
