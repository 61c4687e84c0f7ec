#include "waitevent.h"

#include <chrono>

namespace winapi::posix {

TWaitEvent::TWaitEvent(bool ManualReset, bool Signalled)
    : fManualReset(ManualReset), fSignalled(Signalled) {}

void TWaitEvent::Set() {
    std::lock_guard Lock(fLock);
    fSignalled = true;
    if (fManualReset) {
        fChanged.notify_all();
    } else {
        fChanged.notify_one();
    }
}

void TWaitEvent::Reset() {
    std::lock_guard Lock(fLock);
    fSignalled = false;
}

bool TWaitEvent::Wait(DWORD Milliseconds) {
    std::unique_lock Lock(fLock);
    const auto IsSignalled = [this] { return fSignalled; };
    if (Milliseconds == INFINITE) {
        fChanged.wait(Lock, IsSignalled);
    } else if (!fChanged.wait_for(Lock, std::chrono::milliseconds(Milliseconds), IsSignalled)) {
        return false;
    }
    if (!fManualReset) {
        fSignalled = false;
    }
    return true;
}

} // namespace winapi::posix
