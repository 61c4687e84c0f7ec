// Event objects of CreateEventW: manual-reset events stay signalled until reset; auto-reset
// events release one waiter and fall back to not signalled.
#pragma once

#include "handletable.h"

#include <condition_variable>
#include <mutex>

namespace winapi::posix {

class TWaitEvent : public THandleObject {
public:
    TWaitEvent(bool ManualReset, bool Signalled);

    void Set();
    void Reset();
    // True when the event was signalled within Milliseconds (INFINITE: no limit); an auto-reset
    // event is then reset for the next waiter.
    bool Wait(DWORD Milliseconds);

private:
    std::mutex fLock;
    std::condition_variable fChanged;
    const bool fManualReset;
    bool fSignalled;
};

} // namespace winapi::posix
