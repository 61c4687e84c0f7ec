#include "lxcallqueue.h"

#include <QCoreApplication>
#include <QEvent>

namespace {

QEvent::Type WakeUpType() {
    static const auto Type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return Type;
}

// The main thread's queue, a child of the application object: made with the application (on its
// thread, which a queue must live on) and gone with it.
struct TMainQueue {
    std::mutex Lock;
    TlxCallQueue* Queue = nullptr;
};

TMainQueue& MainQueue() {
    static auto* const Instance = new TMainQueue;
    return *Instance;
}

class TMainCallQueue final : public TlxCallQueue {
public:
    explicit TMainCallQueue(QObject* App) : TlxCallQueue(App) {
        const std::lock_guard Lock(MainQueue().Lock);
        MainQueue().Queue = this;
    }
    ~TMainCallQueue() override {
        const std::lock_guard Lock(MainQueue().Lock);
        if (MainQueue().Queue == this) {
            MainQueue().Queue = nullptr;
        }
    }
};

void CreateMainQueue() {
    new TMainCallQueue(QCoreApplication::instance());
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(CreateMainQueue)

TlxCallQueue::TlxCallQueue(QObject* Parent) : QObject(Parent) {}

TlxCallQueue::~TlxCallQueue() {
    // Taken before QObject drops the wake-ups still posted: they were made under this lock.
    const std::lock_guard Lock(fLock);
    fCalls.clear();
}

void TlxCallQueue::Post(std::function<void()> Call) {
    auto* const WakeUp = new QEvent(WakeUpType());
    {
        const std::lock_guard Lock(fLock);
        fCalls.push_back(std::move(Call));
    }
    // The event is not touched here again: Qt hands it to this object's thread, which deletes it.
    QCoreApplication::postEvent(this, WakeUp);
}

bool TlxCallQueue::event(QEvent* Event) {
    // The lock comes before the first look at the event: the event was made under it.
    std::unique_lock Lock(fLock);
    if (Event->type() != WakeUpType()) {
        Lock.unlock();
        return QObject::event(Event);
    }
    RunPending(Lock);
    return true;
}

void TlxCallQueue::RunPending(std::unique_lock<std::mutex>& Lock) {
    // One call per wake-up, the lock released while it runs: a call may post again, and one that
    // raises leaves the rest for their own wake-ups.
    if (fCalls.empty()) {
        return;
    }
    const std::function<void()> Call = std::move(fCalls.front());
    fCalls.pop_front();
    Lock.unlock();
    Call();
}

void LxPostToMainThread(std::function<void()> Call) {
    const std::lock_guard Lock(MainQueue().Lock);
    if (MainQueue().Queue != nullptr) {
        MainQueue().Queue->Post(std::move(Call));
    }
}
