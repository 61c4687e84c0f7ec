// The simulated bench: the four slaves of the register model behind one line, with the fault
// plan between them. Run serves the line until Stop, a planned hang-up or a lost device.
#pragma once

#include "SimFaults.h"
#include "SimLine.h"
#include "SimModel.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

enum class TRunEnd { reStopped, reHungUp, reLineLost };

class TSimulator {
public:
    // Checks the settings and opens the line at once, so that its path is known before serving
    // starts; throws TSimError.
    TSimulator(const TBenchSettings& Bench, const TLineSettings& Line, TFaultPlan Faults);

    const std::string& DevicePath() const { return fLine.Path(); }

    TRunEnd Run();
    // From any thread or a signal handler; a Run in progress ends after its current step.
    void Stop() noexcept { fStop.Raise(); }

    // The registers as last served (see TBenchModel::Held); safe while Run goes on.
    std::vector<std::uint16_t> Held(std::uint8_t Slave, std::uint16_t First,
                                    std::uint16_t Count) const;

private:
    TLineSettings fLineSettings;
    mutable std::mutex fModelLock;
    TBenchModel fModel; // before the line: bad settings are refused before anything is opened
    TFaultPlan fFaults;
    TLine fLine;
    TStopSignal fStop;
};

} // namespace sim
