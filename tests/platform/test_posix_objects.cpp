// The native backend's process objects: handles, events, last errors and their texts, local
// memory, modules, version and time.
#include "posix/posixapi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace winapi;

TWinApi& Os() {
    return NativeApi();
}

std::u16string MessageOf(DWORD Code) {
    LPWSTR Buffer = nullptr;
    const DWORD Length = Os().FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, Code, 0, reinterpret_cast<LPWSTR>(&Buffer), 0, nullptr);
    std::u16string Text = Buffer != nullptr ? std::u16string(Buffer, Length) : std::u16string();
    Os().LocalFree(Buffer);
    return Text;
}

TEST(PosixHandles, ClosingAnInvalidOrClosedHandleFails) {
    const HANDLE Event = Os().CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(Event, nullptr);
    EXPECT_NE(Event, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Os().CloseHandle(Event), TRUE);
    for (HANDLE Bad :
         {Event, HANDLE(nullptr), INVALID_HANDLE_VALUE, HANDLE(std::uintptr_t(12345))}) {
        Os().SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(Os().CloseHandle(Bad), FALSE);
        EXPECT_EQ(Os().GetLastError(), ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(Os().SetEvent(Event), FALSE);
    EXPECT_EQ(Os().WaitForSingleObject(Event, 0), WAIT_FAILED);
}

TEST(PosixHandles, ValuesAreDistinctAndNotReusedAtOnce) {
    const HANDLE First = Os().CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(Os().CloseHandle(First), TRUE);
    const HANDLE Second = Os().CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(First, Second);
    EXPECT_EQ(Os().SetEvent(First), FALSE) << "a stale handle must not reach the new object";
    EXPECT_EQ(Os().CloseHandle(Second), TRUE);
}

TEST(PosixHandles, ConcurrentCreateUseAndCloseFromManyThreads) {
    std::vector<std::thread> Threads;
    std::atomic<int> Failures{0};
    for (int Thread = 0; Thread < 4; ++Thread) {
        Threads.emplace_back([&Failures] {
            for (int Round = 0; Round < 500; ++Round) {
                const HANDLE Event = Os().CreateEventW(nullptr, FALSE, FALSE, nullptr);
                if (Os().SetEvent(Event) == FALSE ||
                    Os().WaitForSingleObject(Event, 0) != WAIT_OBJECT_0 ||
                    Os().CloseHandle(Event) == FALSE) {
                    ++Failures;
                }
            }
        });
    }
    for (std::thread& Thread : Threads) {
        Thread.join();
    }
    EXPECT_EQ(Failures, 0);
}

TEST(PosixEvents, AutoResetReleasesOneWaitManualResetStays) {
    const HANDLE Auto = Os().CreateEventW(nullptr, FALSE, TRUE, nullptr);
    const HANDLE Manual = Os().CreateEventW(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(Os().WaitForSingleObject(Auto, 0), WAIT_OBJECT_0);
    EXPECT_EQ(Os().WaitForSingleObject(Auto, 0), WAIT_TIMEOUT);
    EXPECT_EQ(Os().WaitForSingleObject(Manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(Os().WaitForSingleObject(Manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(Os().ResetEvent(Manual), TRUE);
    EXPECT_EQ(Os().WaitForSingleObject(Manual, 0), WAIT_TIMEOUT);
    EXPECT_EQ(Os().CloseHandle(Auto), TRUE);
    EXPECT_EQ(Os().CloseHandle(Manual), TRUE);
}

TEST(PosixEvents, WaitTimesOutAfterItsTimeAndWakesOnSet) {
    const HANDLE Event = Os().CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const DWORD Start = Os().GetTickCount();
    EXPECT_EQ(Os().WaitForSingleObject(Event, 60), WAIT_TIMEOUT);
    EXPECT_GE(Os().GetTickCount() - Start, 55u);

    std::thread Setter([Event] {
        Os().Sleep(30);
        Os().SetEvent(Event);
    });
    EXPECT_EQ(Os().WaitForSingleObject(Event, INFINITE), WAIT_OBJECT_0);
    Setter.join();
    EXPECT_EQ(Os().CloseHandle(Event), TRUE);
}

TEST(PosixEvents, ManualResetReleasesEveryWaiter) {
    const HANDLE Event = Os().CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> Released{0};
    std::vector<std::thread> Waiters;
    for (int Index = 0; Index < 3; ++Index) {
        Waiters.emplace_back([&] {
            if (Os().WaitForSingleObject(Event, 5000) == WAIT_OBJECT_0) {
                ++Released;
            }
        });
    }
    Os().Sleep(20);
    Os().SetEvent(Event);
    for (std::thread& Waiter : Waiters) {
        Waiter.join();
    }
    EXPECT_EQ(Released, 3);
    EXPECT_EQ(Os().CloseHandle(Event), TRUE);
}

TEST(PosixEvents, NamedEventsAreRefused) {
    EXPECT_EQ(Os().CreateEventW(nullptr, FALSE, FALSE, u"Global\\x"), nullptr);
    EXPECT_EQ(Os().GetLastError(), ERROR_NOT_SUPPORTED);
}

TEST(PosixErrors, LastErrorBelongsToEachThread) {
    Os().SetLastError(ERROR_ACCESS_DENIED);
    std::thread Other([] {
        EXPECT_EQ(Os().GetLastError(), ERROR_SUCCESS);
        Os().SetLastError(ERROR_INVALID_HANDLE);
    });
    Other.join();
    EXPECT_EQ(Os().GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(PosixErrors, MessagesEndLikeTheSystemsAndUnknownCodesHaveNone) {
    Os().SetLastError(ERROR_SUCCESS);
    const struct {
        DWORD Code;
        const char16_t* Text;
    } Cases[] = {
        {ERROR_ACCESS_DENIED, u"Access is denied.\r\n"},
        {ERROR_FILE_NOT_FOUND, u"The system cannot find the file specified.\r\n"},
        {ERROR_INVALID_HANDLE, u"The handle is invalid.\r\n"},
        {ERROR_OPERATION_ABORTED, u"The I/O operation has been aborted because of either a "
                                  u"thread exit or an application request.\r\n"},
    };
    for (const auto& Case : Cases) {
        EXPECT_EQ(MessageOf(Case.Code), Case.Text) << Case.Code;
    }
    LPWSTR Buffer = nullptr;
    EXPECT_EQ(Os().FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM,
                                  nullptr, 4242, 0, reinterpret_cast<LPWSTR>(&Buffer), 0, nullptr),
              0u);
    EXPECT_EQ(Buffer, nullptr);
    EXPECT_EQ(Os().GetLastError(), ERROR_MR_MID_NOT_FOUND);
}

TEST(PosixErrors, CallerBufferMustHoldTheTextAndItsTerminator) {
    const std::u16string Text = MessageOf(ERROR_ACCESS_DENIED);
    std::vector<WCHAR> Buffer(Text.size() + 1, u'#');
    EXPECT_EQ(Os().FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0,
                                  Buffer.data(), DWORD(Text.size()), nullptr),
              0u);
    EXPECT_EQ(Os().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(Os().FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0,
                                  Buffer.data(), DWORD(Buffer.size()), nullptr),
              DWORD(Text.size()));
    EXPECT_EQ(std::u16string(Buffer.data()), Text);
}

TEST(PosixMemory, LocalAllocZeroesOnRequestAndRefusesMovableBlocks) {
    auto* Block = static_cast<unsigned char*>(Os().LocalAlloc(LMEM_ZEROINIT, 64));
    ASSERT_NE(Block, nullptr);
    for (int Index = 0; Index < 64; ++Index) {
        ASSERT_EQ(Block[Index], 0);
    }
    EXPECT_EQ(Os().LocalFree(Block), nullptr);
    EXPECT_EQ(Os().LocalAlloc(0x0002 /* LMEM_MOVEABLE */, 16), nullptr);
    EXPECT_EQ(Os().GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(PosixModules, KnownModulesInAnyCaseHandOutTheirEntryPoints) {
    for (const char16_t* Name :
         {u"kernel32.dll", u"KERNEL32.DLL", u"Kernel32", u"C:\\Windows\\System32\\kernel32.dll"}) {
        const HMODULE Kernel = Os().GetModuleHandleW(Name);
        ASSERT_NE(Kernel, nullptr);
        EXPECT_NE(Os().GetProcAddress(Kernel, "CancelIo"), nullptr);
    }
    const HMODULE Ntdll = Os().LoadLibraryW(u"NTDLL.dll");
    ASSERT_NE(Ntdll, nullptr);
    EXPECT_NE(Os().GetProcAddress(Ntdll, "ZwQueryKey"), nullptr);
    EXPECT_EQ(Os().GetProcAddress(Ntdll, "NoSuchEntry"), nullptr);
    EXPECT_EQ(Os().GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(Os().FreeLibrary(Ntdll), TRUE);
}

TEST(PosixModules, UnknownModulesAreNotFound) {
    EXPECT_EQ(Os().LoadLibraryW(u"user99.dll"), nullptr);
    EXPECT_EQ(Os().GetLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(Os().GetModuleHandleW(u"kernel32.dll.bak"), nullptr);
    EXPECT_NE(Os().GetModuleHandleW(nullptr), nullptr) << "the program's own module";
}

TEST(PosixSystem, ReportsTheNtFamily) {
    OSVERSIONINFOW Version{};
    Version.dwOSVersionInfoSize = sizeof(Version);
    ASSERT_EQ(Os().GetVersionExW(&Version), TRUE);
    EXPECT_EQ(Version.dwPlatformId, VER_PLATFORM_WIN32_NT);
    EXPECT_GE(Version.dwMajorVersion, 5u);

    OSVERSIONINFOW Unsized{};
    EXPECT_EQ(Os().GetVersionExW(&Unsized), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(PosixSystem, TickCountFollowsSleep) {
    const DWORD Start = Os().GetTickCount();
    Os().Sleep(50);
    const DWORD Elapsed = Os().GetTickCount() - Start;
    EXPECT_GE(Elapsed, 45u);
    EXPECT_LT(Elapsed, 2000u);
}

TEST(PosixSystem, ThreadCallsNeverFailTheCaller) {
    std::thread Worker([] {
        EXPECT_EQ(Os().SetThreadPriority(Os().GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL),
                  TRUE);
        EXPECT_EQ(Os().SetThreadPriority(Os().GetCurrentThread(), THREAD_PRIORITY_IDLE), TRUE);
        EXPECT_EQ(Os().CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        Os().CoUninitialize();
    });
    const DWORD Main = Os().GetCurrentThreadId();
    DWORD Other = Main;
    std::thread Id([&Other] { Other = Os().GetCurrentThreadId(); });
    Id.join();
    Worker.join();
    EXPECT_NE(Main, Other);
    EXPECT_EQ(Os().GetForegroundWindow(), nullptr);
}

} // namespace
