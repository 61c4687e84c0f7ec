#include "SimOptions.h"

#include "SimError.h"

#include <charconv>
#include <cmath>
#include <functional>
#include <map>

namespace sim {

namespace {

template <typename T> T NumberOf(const std::string& Option, std::string_view Text, T Low, T High) {
    T value{};
    const auto [end, error] = std::from_chars(Text.data(), Text.data() + Text.size(), value);
    const bool whole = error == std::errc() && end == Text.data() + Text.size() && !Text.empty();
    if (!whole || !(value >= Low && value <= High) ||
        (std::is_floating_point_v<T> && !std::isfinite(double(value))))
        throw TSimError(Option + ": '" + std::string(Text) + "' is not a number from " +
                        std::to_string(Low) + " to " + std::to_string(High));
    return value;
}

// "S:VALUE" with S one of the slaves that have the setting.
struct TSlaveValue {
    std::uint8_t Slave;
    std::string_view Value;
};
TSlaveValue SlaveValueOf(const std::string& Option, std::string_view Text, unsigned LastSlave) {
    const auto colon = Text.find(':');
    if (colon == std::string_view::npos)
        throw TSimError(Option + ": expected S:VALUE, as in 1:" + std::string(Text));
    const auto slave = NumberOf<unsigned>(Option + " (slave)", Text.substr(0, colon), 1, LastSlave);
    return {std::uint8_t(slave), Text.substr(colon + 1)};
}

std::uint8_t PhaseBitsOf(const std::string& Option, std::string_view Phases) {
    std::uint8_t bits = 0;
    for (char phase : Phases) {
        if (phase < 'a' || phase > 'c')
            throw TSimError(Option + ": phases are letters a, b and c, as in 1:ac");
        bits |= std::uint8_t(0x80 >> (phase - 'a'));
    }
    return bits;
}

using THandler = std::function<void(TSimOptions&, const std::string& Option, std::string_view)>;

struct TOptionRule {
    bool TakesValue;
    THandler Apply;
};

TSourceSettings& Source(TSimOptions& Options, std::uint8_t Slave) {
    return Options.Bench.Sources[Slave - 1];
}

const std::map<std::string, TOptionRule, std::less<>>& Rules() {
    static const std::map<std::string, TOptionRule, std::less<>> rules{
        {"--help", {false, [](TSimOptions& o, auto&, auto) { o.Help = true; }}},
        {"--device", {true, [](TSimOptions& o, auto&, auto v) { o.Line.Device = v; }}},
        {"--com",
         {true, [](TSimOptions& o, auto& n, auto v) { o.ComNumber = NumberOf(n, v, 1u, 255u); }}},
        {"--baud",
         {true,
          [](TSimOptions& o, auto& n, auto v) {
              o.Line.Baud = NumberOf(n, v, 1200u, 115200u);
              if (!TLine::SupportsBaud(o.Line.Baud))
                  throw TSimError(n + ": " + std::string(v) + " is not a standard speed");
          }}},
        {"--turnaround",
         {true,
          [](TSimOptions& o, auto& n, auto v) {
              o.Line.Turnaround = std::chrono::milliseconds(NumberOf(n, v, 0u, 60000u));
          }}},
        {"--no-pacing", {false, [](TSimOptions& o, auto&, auto) { o.Line.Pacing = false; }}},
        {"--seed",
         {true,
          [](TSimOptions& o, auto& n, auto v) {
              o.Bench.Seed = NumberOf(n, v, 0u, 4294967295u);
              o.SeedGiven = true;
          }}},
        {"--frozen", {false, [](TSimOptions& o, auto&, auto) { o.Bench.Frozen = true; }}},
        {"--freq",
         {true, [](TSimOptions& o, auto& n,
                   auto v) { o.Bench.Frequency = NumberOf(n, v, 1.0, 1000.0); }}},
        {"--pt",
         {true,
          [](TSimOptions& o, auto& n, auto v) {
              const auto [slave, value] = SlaveValueOf(n, v, 2);
              Source(o, slave).PT = std::uint16_t(NumberOf(n, value, 1u, 65535u));
          }}},
        {"--ct",
         {true,
          [](TSimOptions& o, auto& n, auto v) {
              const auto [slave, value] = SlaveValueOf(n, v, 2);
              Source(o, slave).CT = std::uint16_t(NumberOf(n, value, 1u, 65535u));
          }}},
        {"--voltage",
         {true,
          [](TSimOptions& o, auto& n, auto v) {
              const auto [slave, value] = SlaveValueOf(n, v, 4);
              if (slave == 4)
                  o.Bench.DCVoltage = NumberOf(n, value, -100000.0, 100000.0);
              else
                  Source(o, slave).Voltage = NumberOf(n, value, 0.0, 1000000.0);
          }}},
        {"--current",
         {true,
          [](TSimOptions& o, auto& n, auto v) {
              const auto [slave, value] = SlaveValueOf(n, v, 3);
              Source(o, slave).Current = NumberOf(n, value, 0.0, 1000000.0);
          }}},
        {"--pf",
         {true,
          [](TSimOptions& o, auto& n, auto v) {
              const auto [slave, value] = SlaveValueOf(n, v, 3);
              Source(o, slave).PowerFactor = NumberOf(n, value, 0.0, 1.0);
          }}},
        {"--leading",
         {true,
          [](TSimOptions& o, auto& n, auto v) {
              const auto [slave, value] = SlaveValueOf(n, v, 2);
              Source(o, slave).LeadingPhases = PhaseBitsOf(n, value);
          }}},
        {"--fault",
         {true, [](TSimOptions& o, auto&, auto v) { o.Faults.push_back(ParseFault(v)); }}},
    };
    return rules;
}

} // namespace

TSimOptions ParseOptions(std::span<const std::string> Arguments) {
    TSimOptions options;
    for (std::size_t i = 0; i < Arguments.size(); ++i) {
        const std::string& argument = Arguments[i];
        const auto equals = argument.find('=');
        const std::string name = argument == "-h" ? "--help" : argument.substr(0, equals);
        const auto rule = Rules().find(name);
        if (rule == Rules().end())
            throw TSimError("unknown option '" + argument + "'");
        std::string_view value;
        if (!rule->second.TakesValue && equals != std::string::npos)
            throw TSimError(name + " takes no value");
        if (rule->second.TakesValue && equals != std::string::npos)
            value = std::string_view(argument).substr(equals + 1);
        else if (rule->second.TakesValue && i + 1 < Arguments.size())
            value = Arguments[++i];
        else if (rule->second.TakesValue)
            throw TSimError(name + " needs a value");
        rule->second.Apply(options, name, value);
    }
    return options;
}

std::string UsageText() {
    return R"(Usage: px4610-sim [OPTION]...
Simulates the four sources of the PX4610KE7 bench (slaves 1 to 4) on one serial line.
Opens a pseudo-terminal (or the DEVICE given), links it into the port map as a COM port,
prints "COMn PATH" on one line when ready, and serves requests until SIGINT or SIGTERM,
removing the link as it ends.

Line:
  --device PATH       serve this serial device instead of a new pseudo-terminal
  --com N             link as COMN (default: the lowest free number)
  --baud N            line speed, 8N1, 1200 to 115200 (default 9600)
  --turnaround MS     a reply leaves MS ms after the request's last byte (default 5)
  --no-pacing         write each reply at once instead of at the line's speed

Values (S is a slave number):
  --pt S:N, --ct S:N  transformer ratios of slave 1 or 2 (defaults 1 and 1; 1 and 10)
  --voltage S:V       phase voltage of slaves 1-3, output voltage of slave 4 (default 220)
  --current S:A       phase current of slaves 1-3 (defaults 5, 10 and 5)
  --pf S:X            power factor of slaves 1-3, 0 to 1 (default 0.95)
  --leading S:PHASES  phases (a, b, c) of slave 1 or 2 with a capacitive load: their flag
                      in SignHi is set (default none)
  --freq HZ           frequency of the AC sources (default 50)
  --seed N            seed of the values' movement, for a repeatable run
  --frozen            keep every value at its nominal value

Faults (repeatable, per slave S):
  --fault S:silent         no reply
  --fault S:bad-crc        replies with a wrong CRC
  --fault S:short          only the first half of each reply
  --fault S:garbage[:N]    N stray bytes (default 4) right after each reply
  --fault S:wrong-address  replies carry the next slave's address, with a matching CRC
  --fault S:ct-zero:N      CT reads as 0 in the first N ratio replies (slave 1 or 2)
  --fault S:slow:MS        replies leave MS ms after the request
  --fault S:hangup:N       answer N requests of slave S, then hang up the line and end

  -h, --help          show this text

The port map is the folder LXCOMM_PORT_DIR, else $XDG_CONFIG_HOME/lxcomm/ports,
else $HOME/.config/lxcomm/ports.
Exit status: 0 after a signal or a planned hang-up, 1 when the line cannot be opened or is
lost, 2 for bad options.
)";
}

} // namespace sim
