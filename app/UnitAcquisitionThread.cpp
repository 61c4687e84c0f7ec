#include "UnitAcquisitionThread.h"

TAcquisitionThread::TAcquisitionThread() : fThread([this] { Execute(); }) {}

TAcquisitionThread::~TAcquisitionThread() {
    {
        std::lock_guard Lock(fLock);
        fQuit = true;
    }
    fChanged.notify_all();
    fThread.join();
}

bool TAcquisitionThread::Run(std::function<void()> Job) {
    {
        std::lock_guard Lock(fLock);
        if (fBusy || fQuit) {
            return false;
        }
        fBusy = true;
        fJob = std::move(Job);
    }
    fChanged.notify_all();
    return true;
}

bool TAcquisitionThread::Busy() {
    std::lock_guard Lock(fLock);
    return fBusy;
}

void TAcquisitionThread::Execute() {
    std::unique_lock Lock(fLock);
    for (;;) {
        fChanged.wait(Lock, [this] { return fQuit || fJob; });
        if (fQuit) {
            return;
        }
        std::function<void()> Job = std::move(fJob);
        fJob = nullptr;
        Lock.unlock();
        Job();
        Lock.lock();
        fBusy = false;
    }
}
