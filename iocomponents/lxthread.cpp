#include "lxthread.h"

#include "lxcallqueue.h"
#include "lxerror.h"
#include "winapi.h"

#include <QCoreApplication>
#include <QThread>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

struct TThreadState {
    std::atomic<bool> Started = false;
    std::atomic<bool> Terminated = false;
    // Steps of this thread the main thread is running right now (a step may nest another).
    std::atomic<int> StepsOnMainThread = 0;
    // Guarded by the Synchronize queue's mutex, whose condition also announces the end.
    bool Finished = false;
    std::mutex JoinMutex;
    std::thread Os;

    ~TThreadState() {
        if (!Os.joinable()) {
            return;
        }
        // The last reference goes on the thread itself when nobody kept a handle to a
        // free-on-terminate thread: it is past its last step and simply ends.
        if (Os.get_id() == std::this_thread::get_id()) {
            Os.detach();
        } else {
            Os.join();
        }
    }
};

namespace {

struct TSyncRequest {
    const std::function<void()>* Step;
    // The thread that waits for the step; none for a thread that is not one of ours.
    TThreadState* Requester;
    std::exception_ptr Error;
    bool Done = false;
};

struct TSyncQueue {
    std::mutex Mutex;
    // Signalled when a request arrives, when one has been served and when a thread has ended.
    std::condition_variable Changed;
    std::deque<TSyncRequest*> Pending;
};

// Never destroyed: a thread that ends while the program exits may still reach it.
TSyncQueue& Queue() {
    static auto* const Instance = new TSyncQueue;
    return *Instance;
}

// The state of the TThread running on this OS thread, if any.
thread_local TThreadState* CurrentState = nullptr;

std::thread::id FirstUser() {
    static const std::thread::id Id = std::this_thread::get_id();
    return Id;
}

int WinPriority(TThreadPriority Priority) {
    switch (Priority) {
    case tpIdle:
        return winapi::THREAD_PRIORITY_IDLE;
    case tpLowest:
        return winapi::THREAD_PRIORITY_LOWEST;
    case tpLower:
        return winapi::THREAD_PRIORITY_BELOW_NORMAL;
    case tpNormal:
        break;
    case tpHigher:
        return winapi::THREAD_PRIORITY_ABOVE_NORMAL;
    case tpHighest:
        return winapi::THREAD_PRIORITY_HIGHEST;
    case tpTimeCritical:
        return winapi::THREAD_PRIORITY_TIME_CRITICAL;
    }
    return winapi::THREAD_PRIORITY_NORMAL;
}

void ApplyPriority(TThreadPriority Priority) {
    winapi::Api().SetThreadPriority(winapi::Api().GetCurrentThread(), WinPriority(Priority));
}

void WaitState(const std::shared_ptr<TThreadState>& State) {
    if (!State || !State->Started) {
        return;
    }
    if (State.get() == CurrentState) {
        throw ElxError(QStringLiteral("A thread cannot wait for its own end"));
    }
    const bool Main = TThread::IsMainThread();
    TSyncQueue& Sync = Queue();
    {
        std::unique_lock Lock(Sync.Mutex);
        while (!State->Finished) {
            if (Main && !Sync.Pending.empty()) {
                Lock.unlock();
                TThread::CheckSynchronize();
                Lock.lock();
            } else {
                Sync.Changed.wait(Lock);
            }
        }
    }
    std::lock_guard Join(State->JoinMutex);
    if (State->Os.joinable()) {
        State->Os.join();
    }
}

} // namespace

void TThreadHandle::Terminate() const {
    if (fState) {
        fState->Terminated = true;
    }
}

bool TThreadHandle::Terminated() const {
    return fState && fState->Terminated;
}

bool TThreadHandle::Finished() const {
    if (!fState) {
        return true;
    }
    std::lock_guard Lock(Queue().Mutex);
    return fState->Finished;
}

void TThreadHandle::WaitFor() const {
    WaitState(fState);
}

bool TThreadHandle::IsCurrent() const {
    return fState && fState.get() == CurrentState;
}

bool TThreadHandle::InStepOnMainThread() const {
    return fState && TThread::IsMainThread() && fState->StepsOnMainThread > 0;
}

TThread::TThread() : fState(std::make_shared<TThreadState>()) {
    FirstUser();
}

TThread::~TThread() {
    if (fState.get() == CurrentState) {
        return; // freeing itself at the end of its body
    }
    fState->Terminated = true;
    WaitState(fState);
}

void TThread::Start() {
    const std::shared_ptr<TThreadState> State = fState;
    if (State->Started.exchange(true)) {
        return;
    }
    std::lock_guard Lock(State->JoinMutex);
    State->Os = std::thread(&TThread::Run, this, State);
}

void TThread::Run(TThread* Self, std::shared_ptr<TThreadState> State) {
    CurrentState = State.get();
    if (Self->fPriority != tpNormal) {
        ApplyPriority(Self->fPriority);
    }
    try {
        Self->Execute();
    } catch (...) {
        // A body that lets an exception escape has nobody left to report to: it just ends.
    }
    if (Self->fFreeOnTerminate) {
        delete Self;
    }
    TSyncQueue& Sync = Queue();
    {
        std::lock_guard Lock(Sync.Mutex);
        State->Finished = true;
    }
    Sync.Changed.notify_all();
}

void TThread::Terminate() {
    fState->Terminated = true;
}

bool TThread::Terminated() const {
    return fState->Terminated;
}

void TThread::WaitFor() {
    WaitState(fState);
}

void TThread::TerminateAndWait() {
    if (fState.get() == CurrentState) {
        return;
    }
    Terminate();
    WaitState(fState);
}

TThreadHandle TThread::Handle() const {
    return TThreadHandle(fState);
}

void TThread::SetPriority(TThreadPriority Value) {
    fPriority = Value;
    if (fState.get() == CurrentState) {
        ApplyPriority(Value);
    }
}

void TThread::Synchronize(const std::function<void()>& Step) {
    if (IsMainThread()) {
        Step();
        return;
    }
    TSyncRequest Request{&Step, CurrentState, nullptr, false};
    TSyncQueue& Sync = Queue();
    {
        std::lock_guard Lock(Sync.Mutex);
        Sync.Pending.push_back(&Request);
    }
    // Wakes a main thread waiting in WaitFor; the posted call wakes one idling in its event loop.
    Sync.Changed.notify_all();
    LxPostToMainThread([] { CheckSynchronize(); });
    {
        std::unique_lock Lock(Sync.Mutex);
        Sync.Changed.wait(Lock, [&Request] { return Request.Done; });
    }
    if (Request.Error) {
        std::rethrow_exception(Request.Error);
    }
}

bool TThread::CheckSynchronize() {
    if (!IsMainThread()) {
        return false;
    }
    TSyncQueue& Sync = Queue();
    bool Ran = false;
    for (;;) {
        TSyncRequest* Request;
        {
            std::lock_guard Lock(Sync.Mutex);
            if (Sync.Pending.empty()) {
                break;
            }
            Request = Sync.Pending.front();
            Sync.Pending.pop_front();
        }
        std::exception_ptr Error;
        if (Request->Requester != nullptr) {
            ++Request->Requester->StepsOnMainThread;
        }
        try {
            (*Request->Step)();
        } catch (...) {
            Error = std::current_exception();
        }
        if (Request->Requester != nullptr) {
            --Request->Requester->StepsOnMainThread;
        }
        {
            // The requester may return the moment Done is set: the request is not touched after.
            std::lock_guard Lock(Sync.Mutex);
            Request->Error = Error;
            Request->Done = true;
        }
        Sync.Changed.notify_all();
        Ran = true;
    }
    return Ran;
}

bool TThread::IsMainThread() {
    if (CurrentState != nullptr) {
        return false; // one of our own workers
    }
    if (const QCoreApplication* App = QCoreApplication::instance()) {
        return App->thread() == QThread::currentThread();
    }
    return std::this_thread::get_id() == FirstUser();
}
