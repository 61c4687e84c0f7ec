// The command line of px4610-sim.
#pragma once

#include "SimFaults.h"
#include "SimLine.h"
#include "SimModel.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim {

struct TSimOptions {
    TBenchSettings Bench;
    bool SeedGiven = false; // otherwise the program picks one and tells it
    TLineSettings Line;
    std::optional<unsigned> ComNumber;
    std::vector<TFault> Faults;
    bool Help = false;
};

// Arguments without the program name. Accepts "--name value" and "--name=value"; throws
// TSimError naming the offending argument. The values are checked as far as the syntax goes;
// TBenchModel::Check judges whether they can be served.
TSimOptions ParseOptions(std::span<const std::string> Arguments);

std::string UsageText();

} // namespace sim
