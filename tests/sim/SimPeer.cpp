#include "SimPeer.h"

#include "SimResponder.h"

#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace simtest {

TPeer::TPeer(const std::string& Path) {
    fFd = open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fFd < 0)
        throw std::runtime_error("cannot open " + Path);
    termios settings{};
    tcgetattr(fFd, &settings);
    cfmakeraw(&settings);
    tcsetattr(fFd, TCSANOW, &settings);
}

TPeer::~TPeer() {
    close(fFd);
}

TClock::time_point TPeer::Send(std::span<const std::uint8_t> Bytes) {
    if (write(fFd, Bytes.data(), Bytes.size()) != ssize_t(Bytes.size()))
        throw std::runtime_error("short write to the simulator");
    return TClock::now();
}

TReceived TPeer::Receive(std::chrono::milliseconds FirstWithin, std::chrono::milliseconds Quiet) {
    TReceived received;
    for (;;) {
        const auto wait = received.Bytes.empty() ? FirstWithin : Quiet;
        pollfd fd{fFd, POLLIN, 0};
        if (poll(&fd, 1, int(wait.count())) == 0)
            return received;
        std::uint8_t buffer[512];
        const ssize_t count = read(fFd, buffer, sizeof buffer);
        if (count <= 0) {
            received.Hangup = true;
            return received;
        }
        received.Last = TClock::now();
        if (received.Bytes.empty())
            received.First = received.Last;
        received.Bytes.insert(received.Bytes.end(), buffer, buffer + count);
    }
}

TRunningSimulator::TRunningSimulator(const sim::TBenchSettings& Bench,
                                     const sim::TLineSettings& Line, sim::TFaultPlan Faults)
    : fSimulator(Bench, Line, std::move(Faults)),
      fEnd(std::async(std::launch::async, [this] { return fSimulator.Run(); })) {}

TRunningSimulator::~TRunningSimulator() {
    fSimulator.Stop();
    if (fEnd.valid())
        fEnd.wait();
}

bool TRunningSimulator::EndsWithin(std::chrono::milliseconds Within, sim::TRunEnd& End) {
    if (fEnd.wait_for(Within) != std::future_status::ready)
        return false;
    End = fEnd.get();
    return true;
}

sim::TLineSettings FastLine() {
    sim::TLineSettings line;
    line.Turnaround = 0ms;
    line.Pacing = false;
    return line;
}

sim::TFaultPlan PlanOf(std::initializer_list<const char*> Faults) {
    sim::TFaultPlan plan;
    for (const char* fault : Faults)
        plan.Add(sim::ParseFault(fault));
    return plan;
}

bool CRCValid(const std::vector<std::uint8_t>& Reply) {
    return sim::CRCValid(Reply);
}

} // namespace simtest
