// Runs the calling thread's Qt event loop for the tests.
#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <functional>

namespace lxtest {

// Runs the event loop until Done() holds or TimeoutMs have passed; returns Done().
inline bool RunUntil(const std::function<bool()>& Done, int TimeoutMs) {
    if (Done()) {
        return true;
    }
    QEventLoop Loop;
    QElapsedTimer Clock;
    Clock.start();
    QTimer Poll;
    Poll.setInterval(1);
    QObject::connect(&Poll, &QTimer::timeout, &Loop, [&] {
        if (Done() || Clock.elapsed() >= TimeoutMs) {
            Loop.quit();
        }
    });
    Poll.start();
    Loop.exec();
    return Done();
}

// Runs the event loop for Ms milliseconds.
inline void RunFor(int Ms) {
    RunUntil([] { return false; }, Ms);
}

} // namespace lxtest
