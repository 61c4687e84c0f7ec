// TThread and TlxThreadIO on real OS threads, with the test's main thread as the main thread.
#include "eventloop.h"
#include "fake_winapi.h"
#include "lxclasses.h"
#include "lxthread.h"
#include "testio.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <thread>
#include <utility>
#include <vector>

namespace {

using lxtest::RunUntil;

// A thread whose body is given by the test; it stops its body before its own part goes.
class TBodyThread : public TThread {
public:
    explicit TBodyThread(std::function<void(TBodyThread&)> Body) : fBody(std::move(Body)) {}
    ~TBodyThread() override { TerminateAndWait(); }

protected:
    void Execute() override { fBody(*this); }

private:
    std::function<void(TBodyThread&)> fBody;
};

// ---------------------------------------------------------------------------------------------
// Synchronize

TEST(LxThread, SynchronizeRunsTheStepOnTheMainThreadFromItsEventLoop) {
    const std::thread::id Main = std::this_thread::get_id();
    std::thread::id RanOn;
    std::atomic<bool> Returned = false;
    TBodyThread Thread([&](TBodyThread&) {
        TThread::Synchronize([&] { RanOn = std::this_thread::get_id(); });
        Returned = true;
    });
    Thread.Start();
    EXPECT_TRUE(RunUntil([&] { return Returned.load(); }, 5000));
    Thread.WaitFor();
    EXPECT_EQ(RanOn, Main);
}

TEST(LxThread, SynchronizeOnTheMainThreadRunsAtOnce) {
    bool Ran = false;
    TThread::Synchronize([&] { Ran = true; });
    EXPECT_TRUE(Ran);
    EXPECT_TRUE(TThread::IsMainThread());
}

TEST(LxThread, AnExceptionFromTheStepReachesTheCaller) {
    QString Caught;
    TBodyThread Thread([&](TBodyThread&) {
        try {
            TThread::Synchronize([] { throw ElxError("step failed"); });
        } catch (const ElxError& Error) {
            Caught = Error.Message();
        }
    });
    Thread.Start();
    Thread.WaitFor();
    EXPECT_EQ(Caught, "step failed");
}

TEST(LxThread, WaitingForAThreadThatSynchronizesDoesNotDeadlock) {
    // The main thread runs no event loop here: only its wait can serve the steps.
    for (int Round = 0; Round < 20; ++Round) {
        std::atomic<bool> Asking = false;
        std::atomic<int> Steps = 0;
        std::atomic<bool> OnMain = true;
        TBodyThread Thread([&](TBodyThread& Self) {
            while (!Self.Terminated()) {
                Asking = true;
                TThread::Synchronize([&] {
                    OnMain = OnMain && TThread::IsMainThread();
                    ++Steps;
                });
            }
        });
        Thread.Start();
        while (!Asking) {
            std::this_thread::yield();
        }
        Thread.Terminate();
        Thread.WaitFor();
        EXPECT_GE(Steps, 1);
        EXPECT_TRUE(OnMain);
    }
}

TEST(LxThread, DestroyingARunningThreadEndsItsBody) {
    std::atomic<bool> Running = false;
    std::atomic<bool> SawTerminate = false;
    {
        TBodyThread Thread([&](TBodyThread& Self) {
            Running = true;
            while (!Self.Terminated()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            SawTerminate = true;
        });
        Thread.Start();
        while (!Running) {
            std::this_thread::yield();
        }
    }
    EXPECT_TRUE(SawTerminate);
}

TEST(LxThread, AThreadCannotWaitForItself) {
    bool Raised = false;
    TBodyThread Thread([&](TBodyThread& Self) {
        try {
            Self.WaitFor();
        } catch (const ElxError&) {
            Raised = true;
        }
    });
    Thread.Start();
    Thread.WaitFor();
    EXPECT_TRUE(Raised);
}

// ---------------------------------------------------------------------------------------------
// Free-on-terminate

std::atomic<int> DestroyedThreads = 0;

class TCountedThread : public TThread {
public:
    ~TCountedThread() override { ++DestroyedThreads; }

protected:
    void Execute() override {}
};

TEST(LxThread, FreeOnTerminateDeletesTheObjectBeforeTheWaitReturns) {
    DestroyedThreads = 0;
    constexpr int Threads = 10;
    std::vector<TThreadHandle> Handles;
    for (int i = 0; i < Threads; ++i) {
        auto* Thread = new TCountedThread;
        Thread->SetFreeOnTerminate(true);
        Handles.push_back(Thread->Handle());
        Thread->Start();
    }
    for (const TThreadHandle& Handle : Handles) {
        Handle.WaitFor();
        EXPECT_TRUE(Handle.Finished());
    }
    EXPECT_EQ(DestroyedThreads, Threads);
}

TEST(LxThread, FreeOnTerminateWithoutAnyHandleStillFreesItself) {
    DestroyedThreads = 0;
    constexpr int Threads = 10;
    for (int i = 0; i < Threads; ++i) {
        auto* Thread = new TCountedThread;
        Thread->SetFreeOnTerminate(true);
        Thread->Start();
    }
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (DestroyedThreads < Threads && std::chrono::steady_clock::now() < Deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(DestroyedThreads, Threads);
}

// ---------------------------------------------------------------------------------------------
// TlxThreadIO

// A component whose I/O thread body the test chooses.
class TTestComponent : public lxtest::TTestIO {
public:
    std::function<void(TlxThreadIO*)> Body;
    std::atomic<TThreadPriority> SeenPriority = tpIdle;
    std::atomic<bool> BodyRan = false;
    std::atomic<int> Steps = 0;
    std::atomic<bool> StepsOnMain = true;

    void ThreadIOExecute(TlxThreadIO* Thread) override {
        SeenPriority = Thread->Priority();
        BodyRan = true;
        if (Body) {
            Body(Thread);
        }
    }
    // The step the body hands to Synchronize, as the receive dispatch does.
    void Step() {
        StepsOnMain = StepsOnMain && TThread::IsMainThread();
        ++Steps;
    }
};

TEST(LxThreadIO, AnEmptyBodyEndsAtOnceAndFreesItself) {
    TTestComponent Component;
    TThreadHandle Handle;
    new TlxThreadIO(&Component, tpNormal, &Handle);
    Handle.WaitFor();
    EXPECT_TRUE(Handle.Finished());
    EXPECT_TRUE(Component.BodyRan);
}

TEST(LxThreadIO, PriorityPassesThroughToTheBodyAndTheSystem) {
    const std::pair<TThreadPriority, int> Priorities[] = {
        {tpIdle, winapi::THREAD_PRIORITY_IDLE},
        {tpLowest, winapi::THREAD_PRIORITY_LOWEST},
        {tpLower, winapi::THREAD_PRIORITY_BELOW_NORMAL},
        {tpNormal, winapi::THREAD_PRIORITY_NORMAL},
        {tpHigher, winapi::THREAD_PRIORITY_ABOVE_NORMAL},
        {tpHighest, winapi::THREAD_PRIORITY_HIGHEST},
        {tpTimeCritical, winapi::THREAD_PRIORITY_TIME_CRITICAL},
    };
    for (const auto& [Priority, SystemPriority] : Priorities) {
        lxtest::TFakeApi Fake;
        lxtest::TFakeApiScope Scope(Fake);
        TTestComponent Component;
        TThreadHandle Handle;
        new TlxThreadIO(&Component, Priority, &Handle);
        Handle.WaitFor();
        EXPECT_EQ(Component.SeenPriority, Priority);
        const auto Calls = Fake.Calls("SetThreadPriority");
        if (Priority == tpNormal) {
            EXPECT_TRUE(Calls.empty()) << "a new thread already runs at normal priority";
            continue;
        }
        ASSERT_EQ(Calls.size(), 1u) << Priority;
        EXPECT_EQ(Calls[0].Args[1], std::uintptr_t(SystemPriority)) << Priority;
    }
}

TEST(LxThreadIO, ComIsInitialisedAndUninitialisedOnceOnEveryWayOut) {
    for (const bool BodyRaises : {false, true}) {
        lxtest::TFakeApi Fake;
        lxtest::TFakeApiScope Scope(Fake);
        TTestComponent Component;
        if (BodyRaises) {
            Component.Body = [](TlxThreadIO*) { throw ElxError("body failed"); };
        }
        TThreadHandle Handle;
        new TlxThreadIO(&Component, tpNormal, &Handle);
        Handle.WaitFor();
        const auto Init = Fake.Calls("CoInitializeEx");
        ASSERT_EQ(Init.size(), 1u) << BodyRaises;
        EXPECT_EQ(Init[0].Args, (std::vector<std::uintptr_t>{0, winapi::COINIT_MULTITHREADED}));
        EXPECT_EQ(Fake.CallCount("CoUninitialize"), 1) << BodyRaises;
    }
}

TEST(LxThreadIO, StoppingABodyThatSynchronizesDoesNotDeadlock) {
    // The component's own stop: set the flag, then wait, while the body keeps asking the main
    // thread for steps. First with the event loop serving, then with only the wait serving.
    TTestComponent Component;
    std::atomic<bool> Asking = false;
    Component.Body = [&](TlxThreadIO* Thread) {
        while (!Thread->Terminated()) {
            Asking = true;
            Thread->Synchronize(TThreadMethod::Bind<&TTestComponent::Step>(&Component));
        }
    };
    for (const bool WithEventLoop : {true, false}) {
        Component.Steps = 0;
        Asking = false;
        TThreadHandle Handle;
        new TlxThreadIO(&Component, tpNormal, &Handle);
        if (WithEventLoop) {
            EXPECT_TRUE(RunUntil([&] { return Component.Steps >= 3; }, 5000));
        }
        while (!Asking) {
            std::this_thread::yield();
        }
        Handle.Terminate();
        Handle.WaitFor();
        EXPECT_GE(Component.Steps, 1);
    }
    EXPECT_TRUE(Component.StepsOnMain);
}

} // namespace
