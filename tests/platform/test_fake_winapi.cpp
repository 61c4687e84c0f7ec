// The fake OS's own promises that the component tests lean on: threads wait on its events, and
// each thread keeps its own last error.
#include "fake_winapi.h"

#include <gtest/gtest.h>

#include <thread>

using namespace winapi;

TEST(FakeApi, EventsWakeWaitersOnOtherThreads) {
    lxtest::TFakeApi Fake;
    const HANDLE AutoReset = Fake.CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const HANDLE Closed = Fake.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD Signalled = 0;
    DWORD AfterClose = 0;
    std::thread Waiter([&] {
        Signalled = Fake.WaitForSingleObject(AutoReset, INFINITE);
        AfterClose = Fake.WaitForSingleObject(Closed, INFINITE);
    });
    Fake.SetEvent(AutoReset);
    // Let the waiter reach the second event; a close must end the wait either way.
    while (Fake.CallCount("WaitForSingleObject") < 2) {
        std::this_thread::yield();
    }
    Fake.CloseHandle(Closed);
    Waiter.join();

    EXPECT_EQ(Signalled, WAIT_OBJECT_0);
    EXPECT_EQ(AfterClose, WAIT_FAILED);
    // The auto-reset event was consumed by the wait.
    EXPECT_EQ(Fake.WaitForSingleObject(AutoReset, 0), WAIT_TIMEOUT);
    Fake.CloseHandle(AutoReset);
    EXPECT_EQ(Fake.OpenHandles(), 0);
}

TEST(FakeApi, LastErrorBelongsToTheCallingThread) {
    lxtest::TFakeApi Fake;
    Fake.SetLastError(ERROR_ACCESS_DENIED);
    DWORD Other = 1;
    std::thread Thread([&] {
        Other = Fake.GetLastError();
        Fake.SetLastError(ERROR_GEN_FAILURE);
    });
    Thread.join();
    EXPECT_EQ(Other, ERROR_SUCCESS);
    EXPECT_EQ(Fake.GetLastError(), ERROR_ACCESS_DENIED);
}
