// The master's end of the simulator's line for the tests: a raw open of the device path, and a
// simulator of the library running on its own thread with a clean stop.
#pragma once

#include "SimServer.h"

#include <chrono>
#include <cstdint>
#include <future>
#include <span>
#include <string>
#include <vector>

namespace simtest {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

struct TReceived {
    std::vector<std::uint8_t> Bytes;
    TClock::time_point First{}; // arrival of the first and of the last byte
    TClock::time_point Last{};
    bool Hangup = false; // the line ended (end of file or an error) while reading
};

class TPeer {
public:
    explicit TPeer(const std::string& Path);
    ~TPeer();
    TPeer(const TPeer&) = delete;
    TPeer& operator=(const TPeer&) = delete;

    // Writes the frame in one go; returns when it has been written.
    TClock::time_point Send(std::span<const std::uint8_t> Bytes);
    // Collects what arrives: waits up to FirstWithin for the first byte, then until Quiet passes
    // without a byte.
    TReceived Receive(std::chrono::milliseconds FirstWithin = 1000ms,
                      std::chrono::milliseconds Quiet = 40ms);

private:
    int fFd = -1;
};

// A simulator of the library serving on its own thread for the duration of a test.
class TRunningSimulator {
public:
    TRunningSimulator(const sim::TBenchSettings& Bench, const sim::TLineSettings& Line,
                      sim::TFaultPlan Faults = {});
    ~TRunningSimulator();

    sim::TSimulator& Simulator() { return fSimulator; }
    const std::string& Path() const { return fSimulator.DevicePath(); }
    // Waits at most Within for Run to end by itself; false when it is still serving.
    bool EndsWithin(std::chrono::milliseconds Within, sim::TRunEnd& End);

private:
    sim::TSimulator fSimulator;
    std::future<sim::TRunEnd> fEnd;
};

// A line without pacing and without turnaround: the fastest exchanges, for tests about content.
sim::TLineSettings FastLine();
sim::TFaultPlan PlanOf(std::initializer_list<const char*> Faults);
bool CRCValid(const std::vector<std::uint8_t>& Reply);

} // namespace simtest
