// Event objects of CreateEventW: manual-reset events stay signalled until reset; auto-reset
// events release one waiter and fall back to not signalled.
#pragma once

#include "handletable.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace winapi::posix {

class TWaitEvent;

// Work whose end sets an event (a pending WaitCommEvent), which a thread that waits for the event
// carries on itself: the device wakes it directly instead of waking another thread that would do
// the work and then set the event, one thread hand-off less.
class TEventServer {
public:
    virtual ~TEventServer() = default;
    // Does Event's work on the calling thread until the work has ended, the event was set or
    // Deadline has passed; it may return earlier, the waiter then looks again.
    virtual void ServeWaiter(const TWaitEvent& Event,
                             std::chrono::steady_clock::time_point Deadline) = 0;
    // The event was set: a thread in ServeWaiter returns.
    virtual void WakeWaiter() = 0;
};

class TWaitEvent : public THandleObject {
public:
    TWaitEvent(bool ManualReset, bool Signalled);

    void Set();
    void Reset();
    bool Signalled() const;
    // True when the event was signalled within Milliseconds (INFINITE: no limit); an auto-reset
    // event is then reset for the next waiter.
    bool Wait(DWORD Milliseconds);
    // Work that signals the event on its end is pending: waiters do it themselves until
    // EndServe().
    void Serve(std::weak_ptr<TEventServer> Server);
    void EndServe();

private:
    mutable std::mutex fLock;
    std::weak_ptr<TEventServer> fServer;
    std::condition_variable fChanged;
    const bool fManualReset;
    bool fSignalled;
};

} // namespace winapi::posix
