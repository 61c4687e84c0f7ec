// The one error type of the simulator: a text meant for the person who started it.
#pragma once

#include <stdexcept>
#include <string>

namespace sim {

class TSimError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace sim
