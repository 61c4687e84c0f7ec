// Calls handed from any thread to the thread an object lives on, run there by its event loop in
// the order they were posted.
//
// Why not a queued functor call of Qt's: such a call's storage is made on the posting thread and
// released by whichever of the two threads lets go of it last, ordered only by Qt's internal
// atomics. A thread checker cannot see that order and reports the release as a race with the
// call. Here every call and every wake-up event is made before the posting thread releases the
// queue's lock, and the receiving thread takes that lock before it touches either: an order the
// checkers see, and the one the hand-over relies on.
#pragma once

#include <QObject>
#include <deque>
#include <functional>
#include <mutex>

class QEvent;

class TlxCallQueue : public QObject {
public:
    // Lives on the creating thread; Parent, when given, must live there too.
    explicit TlxCallQueue(QObject* Parent = nullptr);
    // Calls not yet run are dropped. No thread may post while the queue is being destroyed:
    // the owner stops its threads first.
    ~TlxCallQueue() override;

    // From any thread: Call runs on the queue's thread, after the calls posted before it. On that
    // thread itself the call is queued as well, never run at once.
    void Post(std::function<void()> Call);

protected:
    bool event(QEvent* Event) override;

private:
    // Runs the first call, with fLock held on entry and released for the call.
    void RunPending(std::unique_lock<std::mutex>& Lock);

    std::mutex fLock;
    std::deque<std::function<void()>> fCalls;
};

// From any thread: Call runs on the main thread from its event loop. Dropped when there is no
// application object, and with the application when it ends first.
void LxPostToMainThread(std::function<void()> Call);
