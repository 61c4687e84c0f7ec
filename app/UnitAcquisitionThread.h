// The thread the window's exchanges run on, so that the window never waits for the line: one job
// at a time (a connect's ratio reads or a refresh), handed over by the window's thread. A job
// handed over while one runs is refused, so no second refresh starts while one runs.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class TAcquisitionThread {
public:
    TAcquisitionThread();
    // Waits for the running job to end: the owner stops it first (closing the port ends a read).
    ~TAcquisitionThread();
    TAcquisitionThread(const TAcquisitionThread&) = delete;
    TAcquisitionThread& operator=(const TAcquisitionThread&) = delete;

    // Starts Job on the thread; false, and nothing started, while a job runs.
    bool Run(std::function<void()> Job);
    bool Busy();

private:
    void Execute();

    std::mutex fLock;
    std::condition_variable fChanged;
    std::function<void()> fJob;
    bool fBusy = false;
    bool fQuit = false;
    std::thread fThread;
};
