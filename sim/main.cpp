// px4610-sim: the bench on the other end of the line, for the panel and for the tests.
#include "SimError.h"
#include "SimOptions.h"
#include "SimPortLink.h"
#include "SimServer.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int ExitLineProblem = 1;
constexpr int ExitUsage = 2;

// Lock-free, so the signal handler may read it.
std::atomic<sim::TSimulator*> gSimulator = nullptr;
static_assert(std::atomic<sim::TSimulator*>::is_always_lock_free);

extern "C" void OnSignal(int) {
    if (sim::TSimulator* simulator = gSimulator.load())
        simulator->Stop();
}

// Points the signal handler at the simulator for as long as it lives.
struct TSignalTarget {
    explicit TSignalTarget(sim::TSimulator& Simulator) { gSimulator = &Simulator; }
    ~TSignalTarget() { gSimulator = nullptr; }
};

void StopOnSignals() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    // A reader that went away must not kill us with our link still in the port map.
    std::signal(SIGPIPE, SIG_IGN);
}

void Complain(const std::string& Text) {
    std::fprintf(stderr, "px4610-sim: %s\n", Text.c_str());
}

int Serve(sim::TSimOptions& Options) {
    if (!Options.SeedGiven)
        Options.Bench.Seed = std::random_device{}();
    sim::TFaultPlan faults;
    for (const sim::TFault& fault : Options.Faults)
        faults.Add(fault);
    sim::TSimulator simulator(Options.Bench, Options.Line, std::move(faults));
    const TSignalTarget target(simulator);
    // Before the link exists, so that a signal can never leave it behind.
    StopOnSignals();
    const sim::TPortLink link(sim::PortMapDir(), Options.ComNumber, simulator.DevicePath(),
                              Options.Line.Device.empty());
    if (!Options.Bench.Frozen)
        std::fprintf(stderr, "px4610-sim: seed %u\n", Options.Bench.Seed);
    std::printf("%s %s\n", link.ComName().c_str(), simulator.DevicePath().c_str());
    std::fflush(stdout);
    switch (simulator.Run()) {
    case sim::TRunEnd::reStopped:
        return 0;
    case sim::TRunEnd::reHungUp:
        Complain("hung up the line as planned");
        return 0;
    case sim::TRunEnd::reLineLost:
        Complain("lost " + simulator.DevicePath());
        return ExitLineProblem;
    }
    return ExitLineProblem;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    sim::TSimOptions options;
    try {
        options = sim::ParseOptions(arguments);
        if (const auto problem = sim::TBenchModel::Check(options.Bench))
            throw sim::TSimError(*problem);
    } catch (const sim::TSimError& error) {
        Complain(error.what());
        std::fprintf(stderr, "Try 'px4610-sim --help' for more information.\n");
        return ExitUsage;
    }
    if (options.Help) {
        std::fputs(sim::UsageText().c_str(), stdout);
        return 0;
    }
    try {
        return Serve(options);
    } catch (const sim::TSimError& error) {
        Complain(error.what());
        return ExitLineProblem;
    }
}
