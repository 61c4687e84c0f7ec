#include "waitevent.h"

#include <chrono>

namespace winapi::posix {

TWaitEvent::TWaitEvent(bool ManualReset, bool Signalled)
    : fManualReset(ManualReset), fSignalled(Signalled) {}

void TWaitEvent::Set() {
    std::shared_ptr<TEventServer> Server;
    {
        std::lock_guard Lock(fLock);
        fSignalled = true;
        if (fManualReset) {
            fChanged.notify_all();
        } else {
            fChanged.notify_one();
        }
        Server = fServer.lock();
    }
    if (Server) {
        Server->WakeWaiter();
    }
}

void TWaitEvent::Reset() {
    std::lock_guard Lock(fLock);
    fSignalled = false;
}

bool TWaitEvent::Signalled() const {
    std::lock_guard Lock(fLock);
    return fSignalled;
}

bool TWaitEvent::Wait(DWORD Milliseconds) {
    using TClock = std::chrono::steady_clock;
    const TClock::time_point Deadline =
        Milliseconds == INFINITE ? TClock::time_point::max()
                                 : TClock::now() + std::chrono::milliseconds(Milliseconds);
    std::unique_lock Lock(fLock);
    for (;;) {
        if (!fSignalled) {
            std::shared_ptr<TEventServer> Server = fServer.lock();
            if (Server) {
                Lock.unlock();
                Server->ServeWaiter(*this, Deadline);
                Server.reset(); // never the port's last owner while our lock is held
                Lock.lock();
            } else if (Deadline == TClock::time_point::max()) {
                fChanged.wait(Lock);
            } else {
                fChanged.wait_until(Lock, Deadline);
            }
        }
        if (fSignalled) {
            if (!fManualReset) {
                fSignalled = false;
            }
            return true;
        }
        if (TClock::now() >= Deadline) {
            return false;
        }
    }
}

void TWaitEvent::Serve(std::weak_ptr<TEventServer> Server) {
    std::lock_guard Lock(fLock);
    fServer = std::move(Server);
}

void TWaitEvent::EndServe() {
    std::lock_guard Lock(fLock);
    fServer.reset();
}

} // namespace winapi::posix
