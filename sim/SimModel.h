// The register model of the bench's four sources: what each slave holds, how its values are
// scaled into registers so that the panel's scaling turns them back into volts, amps and
// kilowatts, and how the values wander a little from one read to the next.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace sim {

// Nominal values of one AC source (slaves 1 to 3). The ratios and the leading phases apply to
// the three-phase sources only.
struct TSourceSettings {
    std::uint16_t PT = 1;
    std::uint16_t CT = 1;
    double Voltage = 220.0;         // phase voltage, volts
    double Current = 5.0;           // phase current, amps
    double PowerFactor = 0.95;      // magnitude, 0 to 1
    std::uint8_t LeadingPhases = 0; // SignHi bits (7 = A, 6 = B, 5 = C) of capacitive phases
};

struct TBenchSettings {
    // Slaves 1, 2 and 3, in that order.
    std::array<TSourceSettings, 3> Sources{
        TSourceSettings{}, TSourceSettings{1, 10, 220.0, 10.0, 0.95, 0}, TSourceSettings{}};
    double Frequency = 50.0; // hertz, every AC source
    double DCVoltage = 220.0;
    std::uint32_t Seed = 0;
    bool Frozen = false; // every value stays at its nominal value
};

// A frozen bench still gives each phase values of its own, so that a value shown from the wrong
// phase or the wrong line pair stands out: phase b a little more voltage and a little less
// current than nominal, phase c the other way round, phase a the nominal values (fractions of
// the nominal value; the power factor's are absolute). Each lies inside the movement's bounds,
// and the phases' apparent powers never add up to more than at the nominal values.
inline constexpr std::array<double, 3> FrozenVoltageOffset{0.0, 0.002, -0.002};
inline constexpr std::array<double, 3> FrozenCurrentOffset{0.0, -0.004, 0.004};
inline constexpr std::array<double, 3> FrozenPowerFactorOffset{0.0, 0.004, -0.004};

inline constexpr std::uint8_t FirstSlave = 1;
inline constexpr std::uint8_t LastSlave = 4;

// The outcome of a register read: the registers, or the Modbus exception code that refuses it.
struct TReadResult {
    std::uint8_t Exception = 0;
    std::vector<std::uint16_t> Registers;
};

inline constexpr std::uint8_t ExceptionIllegalFunction = 0x01;
inline constexpr std::uint8_t ExceptionIllegalAddress = 0x02;
inline constexpr std::uint8_t ExceptionIllegalValue = 0x03;

// How far each quantity wanders from its nominal value (relative for voltages and currents,
// absolute for power factor and frequency).
struct TMovement {
    double Voltage = 0;
    double Current = 0;
    double PowerFactor = 0;
    double Frequency = 0;
};

class TBenchModel {
public:
    explicit TBenchModel(const TBenchSettings& Settings);

    static bool Serves(std::uint8_t Slave) { return Slave >= FirstSlave && Slave <= LastSlave; }
    // The one read function each slave answers: 4 (input) for slaves 1 and 2, 3 (holding) else.
    static std::uint8_t Function(std::uint8_t Slave);
    // Whether First..First+Count-1 lies inside one block of the slave's map.
    static bool Holds(std::uint8_t Slave, std::uint16_t First, std::uint16_t Count);

    // A read as a Modbus slave answers it. A read that includes measurement registers first moves
    // the source's values one step, so each refresh of the panel sees slightly new values.
    TReadResult Read(std::uint8_t Slave, std::uint8_t Function, std::uint16_t First,
                     std::uint16_t Count);
    // The registers as last served, without moving anything. Count 0 or a range outside the map
    // gives an empty list.
    std::vector<std::uint16_t> Held(std::uint8_t Slave, std::uint16_t First,
                                    std::uint16_t Count) const;

    // Why the settings cannot be served (a value that does not fit its register at the extremes
    // of its movement, a ratio of 0, ...), or nothing when they can.
    static std::optional<std::string> Check(const TBenchSettings& Settings);

    static const TMovement Movement;

private:
    struct TPhaseDeviation {
        double Voltage = 0, Current = 0, PowerFactor = 0;
    };
    struct TSourceState {
        std::array<TPhaseDeviation, 3> Phases{};
        double Frequency = 0;
    };

    void Step(std::uint8_t Slave);
    double Wander(double Deviation, double Bound);
    void Refresh(std::uint8_t Slave);

    TBenchSettings fSettings;
    std::mt19937 fRandom;
    std::array<TSourceState, 3> fState{};
    double fDCDeviation = 0;
    // Registers 0 to 46 of each slave; only the mapped blocks are ever served.
    std::array<std::array<std::uint16_t, 47>, 4> fRegisters{};
};

} // namespace sim
