// The thread message queues that carry a serial component's events between its threads, and the
// port configuration dialog that the application supplies, on the native backend.
#include "test_posix_serial.h"

#include <atomic>
#include <thread>
#include <vector>

namespace {

using namespace winapi;
using lxtest::Os;

// A thread with a message queue, running Body; Id is known once the queue exists.
class TQueueThread {
public:
    template <class TBody> explicit TQueueThread(TBody Body) {
        fThread = std::thread([this, Body] {
            MSG Message{};
            Os().PeekMessageW(&Message, nullptr, 0, 0, PM_NOREMOVE); // makes the queue
            fId = Os().GetCurrentThreadId();
            Body();
        });
        while (fId == 0) {
            std::this_thread::yield();
        }
    }
    ~TQueueThread() { Join(); }
    TQueueThread(const TQueueThread&) = delete;
    TQueueThread& operator=(const TQueueThread&) = delete;
    DWORD Id() const { return fId; }
    void Join() {
        if (fThread.joinable()) {
            fThread.join();
        }
    }

private:
    std::atomic<DWORD> fId{0};
    std::thread fThread;
};

TEST(ThreadMessages, ANameIsRegisteredOnceForTheProcess) {
    const UINT Event = Os().RegisterWindowMessageW(u"lxCommMsgComEvent");
    const UINT Quit = Os().RegisterWindowMessageW(u"lxCommMsgQuitComEvent");
    EXPECT_GE(Event, 0xC000u);
    EXPECT_LE(Event, 0xFFFFu);
    EXPECT_GE(Quit, 0xC000u);
    EXPECT_NE(Event, Quit);
    UINT FromOtherThread = 0;
    std::thread([&] {
        FromOtherThread = Os().RegisterWindowMessageW(u"LXCOMMMSGCOMEVENT");
    }).join();
    EXPECT_EQ(FromOtherThread, Event) << "the same name in any case, from any thread";
    EXPECT_EQ(Os().RegisterWindowMessageW(u""), 0u);
    EXPECT_EQ(Os().GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(ThreadMessages, MessagesCrossThreadsInOrderUntilTheQuitMessage) {
    const UINT Event = Os().RegisterWindowMessageW(u"lxCommMsgComEvent");
    std::vector<WPARAM> Got;
    BOOL Last = 1;
    TQueueThread Receiver([&] {
        MSG Message{};
        while ((Last = Os().GetMessageW(&Message, nullptr, 0xC000, 0xFFFF)) > 0) {
            EXPECT_EQ(Message.message, Event);
            EXPECT_EQ(Message.hwnd, nullptr);
            Got.push_back(Message.wParam);
        }
        EXPECT_EQ(Message.message, WM_QUIT) << "delivered whatever the filter";
    });
    std::thread Poster([&] {
        for (WPARAM Index = 0; Index < 5000; ++Index) {
            while (Os().PostThreadMessageW(Receiver.Id(), Event, Index, 0) == FALSE) {
                ASSERT_EQ(Os().GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
                Os().Sleep(0);
            }
        }
        EXPECT_EQ(Os().PostThreadMessageW(Receiver.Id(), WM_QUIT, 0, 0), TRUE);
    });
    Poster.join();
    Receiver.Join();
    EXPECT_EQ(Last, 0);
    ASSERT_EQ(Got.size(), 5000u);
    for (WPARAM Index = 0; Index < Got.size(); ++Index) {
        ASSERT_EQ(Got[Index], Index);
    }
}

TEST(ThreadMessages, AThreadWithoutAQueueCannotBePosted) {
    std::atomic<DWORD> Id{0};
    std::atomic<bool> Posted{false};
    std::thread Plain([&] {
        Id = Os().GetCurrentThreadId();
        while (!Posted) {
            std::this_thread::yield();
        }
    });
    while (Id == 0) {
        std::this_thread::yield();
    }
    EXPECT_EQ(Os().PostThreadMessageW(Id, WM_USER, 0, 0), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_INVALID_THREAD_ID);
    Posted = true;
    Plain.join();

    // A queue goes with its thread.
    DWORD Gone = 0;
    {
        TQueueThread Ended([] {});
        Gone = Ended.Id();
    }
    EXPECT_EQ(Os().PostThreadMessageW(Gone, WM_USER, 0, 0), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_INVALID_THREAD_ID);
}

TEST(ThreadMessages, AFilterLeavesOtherMessagesQueued) {
    std::atomic<bool> Posted{false};
    std::vector<UINT> Order;
    TQueueThread Receiver([&] {
        while (!Posted) {
            std::this_thread::yield();
        }
        MSG Message{};
        EXPECT_EQ(Os().GetMessageW(&Message, nullptr, 0xC000, 0xFFFF), TRUE);
        Order.push_back(Message.message);
        EXPECT_EQ(Os().PeekMessageW(&Message, nullptr, 0, 0, PM_NOREMOVE), TRUE);
        EXPECT_EQ(Message.message, WM_USER) << "left in the queue";
        while (Os().GetMessageW(&Message, nullptr, 0, 0) > 0) {
            Order.push_back(Message.message);
        }
        EXPECT_EQ(Os().PeekMessageW(&Message, nullptr, 0, 0, PM_REMOVE), FALSE);
    });
    EXPECT_EQ(Os().PostThreadMessageW(Receiver.Id(), WM_USER, 0, 0), TRUE);
    EXPECT_EQ(Os().PostThreadMessageW(Receiver.Id(), 0xC123, 0, 0), TRUE);
    EXPECT_EQ(Os().PostThreadMessageW(Receiver.Id(), WM_USER + 1, 0, 0), TRUE);
    EXPECT_EQ(Os().PostThreadMessageW(Receiver.Id(), WM_QUIT, 0, 0), TRUE);
    Posted = true;
    Receiver.Join();
    EXPECT_EQ(Order, (std::vector<UINT>{0xC123, WM_USER, WM_USER + 1}));
}

TEST(ThreadMessages, WindowsDoNotExistHere) {
    const HWND Window = reinterpret_cast<HWND>(std::uintptr_t(0x1234));
    MSG Message{};
    EXPECT_EQ(Os().GetMessageW(&Message, Window, 0, 0), -1);
    EXPECT_EQ(Os().GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(Os().GetMessageW(nullptr, nullptr, 0, 0), -1);
    Message.hwnd = nullptr;
    Message.message = WM_USER;
    EXPECT_EQ(Os().DispatchMessageW(&Message), 0) << "a thread message goes nowhere";
}

TEST(ThreadMessages, AFullQueueRefusesMore) {
    std::atomic<bool> Done{false};
    TQueueThread Receiver([&] {
        while (!Done) {
            std::this_thread::yield();
        }
    });
    int Accepted = 0;
    while (Accepted < 20000 && Os().PostThreadMessageW(Receiver.Id(), WM_USER, 0, 0) != FALSE) {
        ++Accepted;
    }
    EXPECT_EQ(Accepted, 10000);
    EXPECT_EQ(Os().GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
    Done = true;
}

// --- The port configuration dialog ----------------------------------------------------------

std::atomic<int> gDialogCalls{0};

BOOL ConfirmingDialog(LPCWSTR Name, HWND, COMMCONFIG* Config) {
    ++gDialogCalls;
    Config->dcb.BaudRate = std::u16string(Name) == u"COM9" ? 4800 : 1;
    return TRUE;
}

class CommConfigDialog : public lxtest::SerialPort {
protected:
    void SetUp() override {
        gDialogCalls = 0;
        SerialPort::SetUp();
    }
    void TearDown() override {
        SetCommConfigDialogProvider(nullptr);
        SerialPort::TearDown();
    }
};

TEST_F(CommConfigDialog, IsTheApplicationsDialogWhenItHasOne) {
    COMMCONFIG Config{};
    Config.dwSize = sizeof(Config);
    EXPECT_EQ(Os().CommConfigDialogW(u"COM9", nullptr, &Config), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_CALL_NOT_IMPLEMENTED);

    EXPECT_EQ(SetCommConfigDialogProvider(&ConfirmingDialog), nullptr);
    EXPECT_EQ(Os().CommConfigDialogW(u"COM9", nullptr, &Config), TRUE);
    EXPECT_EQ(Config.dcb.BaudRate, 4800u);
    EXPECT_EQ(gDialogCalls, 1);
    EXPECT_EQ(Os().CommConfigDialogW(u"COM7", nullptr, &Config), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_FILE_NOT_FOUND) << "no such port";
    EXPECT_EQ(gDialogCalls, 1);
}

} // namespace
