// The library's thread class: a body run on its own OS thread, with a priority, a terminate
// request, a wait, free-on-terminate and a way to run a step on the main thread.
//
// Every thread is created suspended and runs from Start(). (A base constructor cannot start a body
// whose derived part is not built yet; a class that means to run from creation ends its
// constructor with Start().)
//
// The main thread is the thread of the QCoreApplication when one exists, otherwise the thread that
// first used this class.
//
// Synchronize(Step) runs Step on the main thread while the calling thread waits. The main thread
// serves such steps from its event loop (each request posts a call to the main thread's queue) and
// also while it waits in WaitFor for any thread to end. The second way is what lets a main thread
// stop a worker that is itself blocked in Synchronize: a plain blocking queued call would deadlock
// there. A main thread that runs neither an event loop nor WaitFor serves the steps by calling
// CheckSynchronize.
//
// A free-on-terminate thread deletes its object on its own thread when the body returns, possibly
// before the code that started it has looked at it again. Whoever means to stop or wait for such a
// thread takes its TThreadHandle before Start (or while the object is certainly alive) and uses
// the handle from then on: the handle keeps the shared state alive and never touches the object.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <utility>

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// What a thread shares with its handles; it outlives the thread object.
struct TThreadState;

// A reference to a thread that stays valid after the thread object is gone.
class TThreadHandle {
public:
    // A handle to no thread: Terminate does nothing and WaitFor returns at once.
    TThreadHandle() = default;

    void Terminate() const;
    bool Terminated() const;
    // True once the body has returned and, for a free-on-terminate thread, its object is deleted.
    bool Finished() const;
    // Waits until Finished and the OS thread has ended. On the main thread it serves
    // Synchronize requests while it waits. Waiting for the calling thread itself raises ElxError.
    void WaitFor() const;
    // True on the thread this handle refers to.
    bool IsCurrent() const;
    // True on the main thread while it runs a Synchronize step of this thread: the thread waits
    // for the step, so waiting for the thread to end from inside the step would never return.
    bool InStepOnMainThread() const;

private:
    friend class TThread;
    explicit TThreadHandle(std::shared_ptr<TThreadState> State) : fState(std::move(State)) {}

    std::shared_ptr<TThreadState> fState;
};

class TThread {
public:
    TThread();
    // Stops a started thread that is still running: sets the terminate flag and waits for the body.
    // A derived class whose body uses the derived part calls TerminateAndWait in its own
    // destructor, because by the time this one runs that part is already gone.
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Runs Execute on a new OS thread. Once it has been called, a free-on-terminate object may be
    // gone at any moment: Start touches nothing of the object after the thread is running.
    void Start();
    // Sets the terminate flag. A derived class whose body waits on something else wakes it here.
    virtual void Terminate();
    bool Terminated() const;
    // See TThreadHandle::WaitFor. Only for a thread that does not free itself; use the handle
    // otherwise.
    void WaitFor();
    TThreadHandle Handle() const;

    TThreadPriority Priority() const { return fPriority; }
    // The priority is applied by the thread itself when it starts, and at once when the thread
    // changes its own priority.
    void SetPriority(TThreadPriority Value);
    bool FreeOnTerminate() const { return fFreeOnTerminate; }
    void SetFreeOnTerminate(bool Value) { fFreeOnTerminate = Value; }

    // Runs Step on the main thread and returns when it has returned; an exception from Step is
    // raised again in the caller. On the main thread itself, Step runs at once.
    static void Synchronize(const std::function<void()>& Step);
    // Runs the pending Synchronize steps. Does nothing outside the main thread. Returns whether
    // any step ran.
    static bool CheckSynchronize();
    static bool IsMainThread();

protected:
    virtual void Execute() = 0;
    // Terminate (the most derived one), then wait for the body to return. Does nothing on the
    // thread itself, where a free-on-terminate object is deleted after its body has returned.
    void TerminateAndWait();

private:
    // The OS thread's whole life: it holds State, which outlives a free-on-terminate object.
    static void Run(TThread* Self, std::shared_ptr<TThreadState> State);

    std::shared_ptr<TThreadState> fState;
    std::atomic<TThreadPriority> fPriority = tpNormal;
    std::atomic<bool> fFreeOnTerminate = false;
};
