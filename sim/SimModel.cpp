#include "SimModel.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>

namespace sim {

const TMovement TBenchModel::Movement{0.003, 0.005, 0.005, 0.02};

namespace {

// Register blocks of each slave's map: (first register, count).
struct TBlock {
    std::uint16_t First;
    std::uint16_t Count;
};
constexpr TBlock RatioBlock{2, 2};
constexpr TBlock ThreePhaseBlock{20, 27};
constexpr TBlock SinglePhaseBlock{0, 14};
constexpr TBlock DCBlock{6, 2};

std::vector<TBlock> Blocks(std::uint8_t Slave) {
    switch (Slave) {
    case 1:
    case 2:
        return {RatioBlock, ThreePhaseBlock};
    case 3:
        return {SinglePhaseBlock};
    case 4:
        return {DCBlock};
    default:
        return {};
    }
}

bool Inside(const TBlock& Block, std::uint32_t First, std::uint32_t Count) {
    return First >= Block.First && First + Count <= std::uint32_t(Block.First) + Block.Count;
}

// One value before it is rounded into its register(s), with a name for the error messages.
struct TRawValue {
    std::uint16_t Register;
    const char* Name;
    double Value;
    bool Wide; // two registers, most significant first
};

struct TPhase {
    double Voltage, Current, PowerFactor;
    bool Leading;
};

// kVA, kW and kvar of a phase: S = U I, P = S PF, Q = S sin(phi), negative when leading.
struct TPower {
    double S, P, Q;
};
TPower PowerOf(const TPhase& Phase) {
    const double s = Phase.Voltage * Phase.Current / 1000.0;
    const double q = s * std::sqrt(std::max(0.0, 1.0 - Phase.PowerFactor * Phase.PowerFactor));
    return {s, s * Phase.PowerFactor, Phase.Leading ? -q : q};
}

// The phasors of a balanced system stand 120 degrees apart, so the line voltage between two
// phases is |Ux - Uy| = sqrt(Ux^2 + Uy^2 + Ux Uy): 220 V phases give 381 V lines.
double LineVoltage(double X, double Y) {
    return std::sqrt(X * X + Y * Y + X * Y);
}

constexpr std::uint8_t PhaseBit(int Phase) {
    return std::uint8_t(0x80 >> Phase);
}

// The panel shows voltage register x PT x 0.1 V, current register x CT x 0.001 A, and power
// register x PT x CT x 0.1 (slave 1) or x 0.0001 (slave 2) in kW, kvar and kVA; power factor
// x 0.001 and frequency x 0.01 Hz without ratio. Each register here is that display value
// divided by its factor.
std::vector<TRawValue> ThreePhaseValues(std::uint8_t Slave, const TSourceSettings& Source,
                                        const std::array<TPhase, 3>& Phases, double Frequency) {
    const double voltageUnit = Source.PT * 0.1;
    const double currentUnit = Source.CT * 0.001;
    const double powerUnit = Source.PT * Source.CT * (Slave == 1 ? 0.1 : 0.0001);
    std::array<TPower, 3> power{};
    double totalP = 0, totalQ = 0, totalS = 0;
    for (int i = 0; i < 3; ++i) {
        power[i] = PowerOf(Phases[i]);
        totalP += power[i].P;
        totalQ += power[i].Q;
        totalS += power[i].S;
    }
    std::uint8_t signHi = 0;
    for (int i = 0; i < 3; ++i)
        if (Phases[i].Leading)
            signHi |= PhaseBit(i);
    const auto& [a, b, c] = Phases;
    return {
        {2, "PT", double(Source.PT), false},
        {3, "CT", double(Source.CT), false},
        {20, "Ua", a.Voltage / voltageUnit, false},
        {21, "Ub", b.Voltage / voltageUnit, false},
        {22, "Uc", c.Voltage / voltageUnit, false},
        {23, "UAB", LineVoltage(a.Voltage, b.Voltage) / voltageUnit, false},
        {24, "UCA", LineVoltage(c.Voltage, a.Voltage) / voltageUnit, false},
        {25, "UBC", LineVoltage(b.Voltage, c.Voltage) / voltageUnit, false},
        {26, "Ia", a.Current / currentUnit, false},
        {27, "Ib", b.Current / currentUnit, false},
        {28, "Ic", c.Current / currentUnit, false},
        {29, "SignHi/SignLo", double(signHi << 8), false},
        {30, "Pa", power[0].P / powerUnit, false},
        {31, "Pb", power[1].P / powerUnit, false},
        {32, "Pc", power[2].P / powerUnit, false},
        {33, "Pt", totalP / powerUnit, false},
        {34, "Qa", std::abs(power[0].Q) / powerUnit, false},
        {35, "Qb", std::abs(power[1].Q) / powerUnit, false},
        {36, "Qc", std::abs(power[2].Q) / powerUnit, false},
        {37, "Qt", std::abs(totalQ) / powerUnit, false},
        {38, "Sa", power[0].S / powerUnit, false},
        {39, "Sb", power[1].S / powerUnit, false},
        {40, "Sc", power[2].S / powerUnit, false},
        {41, "St", totalS / powerUnit, false},
        {42, "PFa", a.PowerFactor / 0.001, false},
        {43, "PFb", b.PowerFactor / 0.001, false},
        {44, "PFc", c.PowerFactor / 0.001, false},
        {45, "PFt", (totalS > 0 ? totalP / totalS : 1.0) / 0.001, false},
        {46, "Freq", Frequency / 0.01, false},
    };
}

// The single-phase source's registers hold value / 0.001 (kW for the powers) in 32 bits.
std::vector<TRawValue> SinglePhaseValues(const TPhase& Phase, double Frequency) {
    const TPower power = PowerOf(Phase);
    return {
        {0, "U", Phase.Voltage / 0.001, true}, {2, "I", Phase.Current / 0.001, true},
        {4, "P", power.P / 0.001, true},       {6, "Q", std::abs(power.Q) / 0.001, true},
        {8, "S", power.S / 0.001, true},       {10, "PF", Phase.PowerFactor / 0.001, true},
        {12, "Freq", Frequency / 0.001, true},
    };
}

double Limit(const TRawValue& Value) {
    return Value.Wide ? 4294967295.0 : 65535.0;
}

bool Fits(const TRawValue& Value) {
    const double rounded = std::round(Value.Value);
    return std::isfinite(rounded) && rounded >= 0 && rounded <= Limit(Value);
}

template <std::size_t N>
void Store(std::array<std::uint16_t, N>& Registers, const std::vector<TRawValue>& Values) {
    for (const TRawValue& value : Values) {
        const auto raw = std::uint32_t(std::clamp(std::round(value.Value), 0.0, Limit(value)));
        if (value.Wide) {
            Registers[value.Register] = std::uint16_t(raw >> 16);
            Registers[value.Register + 1] = std::uint16_t(raw);
        } else {
            Registers[value.Register] = std::uint16_t(raw);
        }
    }
}

std::array<TPhase, 3> PhasesOf(const TSourceSettings& Source,
                               const std::array<double, 3>& VoltageDeviation,
                               const std::array<double, 3>& CurrentDeviation,
                               const std::array<double, 3>& PowerFactorDeviation) {
    std::array<TPhase, 3> phases{};
    for (int i = 0; i < 3; ++i)
        phases[i] = {Source.Voltage * (1 + VoltageDeviation[i]),
                     Source.Current * (1 + CurrentDeviation[i]),
                     std::clamp(Source.PowerFactor + PowerFactorDeviation[i], 0.0, 1.0),
                     (Source.LeadingPhases & PhaseBit(i)) != 0};
    return phases;
}

std::string Describe(std::uint8_t Slave, const TRawValue& Value) {
    char text[200];
    std::snprintf(text, sizeof text, "slave %u: %s would need %.0f, more than its register holds%s",
                  Slave, Value.Name, std::round(Value.Value),
                  Slave <= 2 ? "; choose larger PT/CT ratios or smaller nominal values" : "");
    return text;
}

} // namespace

TBenchModel::TBenchModel(const TBenchSettings& Settings)
    : fSettings(Settings), fRandom(Settings.Seed) {
    if (Settings.Frozen)
        for (TSourceState& state : fState)
            for (int i = 0; i < 3; ++i)
                state.Phases[i] = {FrozenVoltageOffset[i], FrozenCurrentOffset[i],
                                   FrozenPowerFactorOffset[i]};
    for (std::uint8_t slave = FirstSlave; slave <= LastSlave; ++slave)
        Refresh(slave);
}

std::uint8_t TBenchModel::Function(std::uint8_t Slave) {
    return Slave <= 2 ? 4 : 3;
}

bool TBenchModel::Holds(std::uint8_t Slave, std::uint16_t First, std::uint16_t Count) {
    const auto blocks = Blocks(Slave);
    return Count > 0 && std::any_of(blocks.begin(), blocks.end(), [&](const TBlock& block) {
               return Inside(block, First, Count);
           });
}

TReadResult TBenchModel::Read(std::uint8_t Slave, std::uint8_t Function, std::uint16_t First,
                              std::uint16_t Count) {
    if (Function != TBenchModel::Function(Slave))
        return {ExceptionIllegalFunction, {}};
    // A read request carries at most 125 registers: the reply's byte count is one byte.
    if (Count == 0 || Count > 125)
        return {ExceptionIllegalValue, {}};
    if (!Holds(Slave, First, Count))
        return {ExceptionIllegalAddress, {}};
    const bool ratiosOnly = Slave <= 2 && Inside(RatioBlock, First, Count);
    if (!ratiosOnly) {
        Step(Slave);
        Refresh(Slave);
    }
    return {0, Held(Slave, First, Count)};
}

std::vector<std::uint16_t> TBenchModel::Held(std::uint8_t Slave, std::uint16_t First,
                                             std::uint16_t Count) const {
    if (!Serves(Slave) || !Holds(Slave, First, Count))
        return {};
    const auto& registers = fRegisters[Slave - 1];
    return {registers.begin() + First, registers.begin() + First + Count};
}

double TBenchModel::Wander(double Deviation, double Bound) {
    const double uniform = double(fRandom()) / 4294967296.0; // [0, 1)
    return std::clamp(0.5 * Deviation + 0.75 * Bound * (2 * uniform - 1), -Bound, Bound);
}

void TBenchModel::Step(std::uint8_t Slave) {
    if (fSettings.Frozen)
        return;
    if (Slave == 4) {
        fDCDeviation = Wander(fDCDeviation, Movement.Voltage);
        return;
    }
    TSourceState& state = fState[Slave - 1];
    for (TPhaseDeviation& phase : state.Phases) {
        phase.Voltage = Wander(phase.Voltage, Movement.Voltage);
        phase.Current = Wander(phase.Current, Movement.Current);
        phase.PowerFactor = Wander(phase.PowerFactor, Movement.PowerFactor);
    }
    state.Frequency = Wander(state.Frequency, Movement.Frequency);
}

void TBenchModel::Refresh(std::uint8_t Slave) {
    auto& registers = fRegisters[Slave - 1];
    if (Slave == 4) {
        // An IEEE-754 single, most significant word (and byte) first.
        const auto bits =
            std::bit_cast<std::uint32_t>(float(fSettings.DCVoltage * (1 + fDCDeviation)));
        registers[6] = std::uint16_t(bits >> 16);
        registers[7] = std::uint16_t(bits);
        return;
    }
    const TSourceSettings& source = fSettings.Sources[Slave - 1];
    const TSourceState& state = fState[Slave - 1];
    std::array<double, 3> voltage{}, current{}, powerFactor{};
    for (int i = 0; i < 3; ++i) {
        voltage[i] = state.Phases[i].Voltage;
        current[i] = state.Phases[i].Current;
        powerFactor[i] = state.Phases[i].PowerFactor;
    }
    const auto phases = PhasesOf(source, voltage, current, powerFactor);
    const double frequency = fSettings.Frequency + state.Frequency;
    if (Slave == 3)
        Store(registers, SinglePhaseValues(phases[0], frequency));
    else
        Store(registers, ThreePhaseValues(Slave, source, phases, frequency));
}

std::optional<std::string> TBenchModel::Check(const TBenchSettings& Settings) {
    if (!(Settings.Frequency > 0) || !std::isfinite(Settings.Frequency))
        return "the frequency must be above 0 Hz";
    if (!std::isfinite(Settings.DCVoltage) || std::abs(Settings.DCVoltage) > 1e6)
        return "the DC voltage must be a number of volts";
    for (std::uint8_t slave = 1; slave <= 3; ++slave) {
        const TSourceSettings& source = Settings.Sources[slave - 1];
        const std::string name = "slave " + std::to_string(slave) + ": ";
        if (slave <= 2 && (source.PT == 0 || source.CT == 0))
            return name + "PT and CT must be at least 1";
        if (!(source.Voltage >= 0) || !(source.Current >= 0))
            return name + "voltage and current must be 0 or more";
        if (!(source.PowerFactor >= 0 && source.PowerFactor <= 1))
            return name + "the power factor must lie between 0 and 1";
        // The registers must hold every value the movement can reach: try its extremes, or the
        // frozen values of each phase.
        using TDeviations = std::array<double, 3>;
        std::vector<std::array<TDeviations, 3>> extremes;
        if (Settings.Frozen)
            extremes.push_back({FrozenVoltageOffset, FrozenCurrentOffset, FrozenPowerFactorOffset});
        for (int corner = 0; corner < 8 && !Settings.Frozen; ++corner) {
            const auto sign = [&](int bit) { return (corner >> bit) & 1 ? 1.0 : -1.0; };
            const double v = sign(0) * Movement.Voltage, i = sign(1) * Movement.Current,
                         pf = sign(2) * Movement.PowerFactor;
            extremes.push_back({TDeviations{v, v, v}, TDeviations{i, i, i}, TDeviations{pf, pf, pf}});
        }
        const double frequency =
            Settings.Frequency + (Settings.Frozen ? 0.0 : Movement.Frequency);
        for (const auto& [v, i, pf] : extremes) {
            const auto phases = PhasesOf(source, v, i, pf);
            const auto values = slave == 3 ? SinglePhaseValues(phases[0], frequency)
                                           : ThreePhaseValues(slave, source, phases, frequency);
            for (const TRawValue& value : values)
                if (!Fits(value))
                    return Describe(slave, value);
        }
    }
    return std::nullopt;
}

} // namespace sim
