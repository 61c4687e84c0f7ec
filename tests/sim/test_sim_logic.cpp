// The simulator's pure parts: the register model as the panel's scaling sees it, the responder's
// bytes, the fault and option parsing, and the port-map link in private folders.
#include "SimError.h"
#include "SimOptions.h"
#include "SimPortLink.h"
#include "SimResponder.h"
#include "UnitTypesPX4610.h"
#include "UnitUtils.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace sim;

namespace {

// A catalogue command answered by the model, received into its record as the panel does.
template <typename TRecord> TRecord Fetch(TBenchModel& Model, TCommandType Command) {
    const TCommandRequest request = *CommandRequest(Command);
    const TRequestFrame frame = BuildRequestFrame(request.Slave, request.Function,
                                                  request.FirstRegister, request.RegisterCount);
    const TResponse response = Respond(Model, frame);
    TRecord record{};
    EXPECT_EQ(response.Reply.size(), sizeof record);
    std::memcpy(&record, response.Reply.data(), std::min(sizeof record, response.Reply.size()));
    return record;
}

// What the panel shows for a three-phase block: raw x ratios as a 32-bit product, then x scale.
struct TShown3AC {
    double U[3], Line[3], I[3], P[3], Q[3], S[3], PF[3], Freq;
    bool Flag[3];
};
TShown3AC Show(TRecord_3AC Record, std::uint16_t PT, std::uint16_t CT, bool CurrentSource) {
    DecodeRecord(Record);
    const double power = CurrentSource ? 0.0001 : 0.1;
    const auto scaled = [](std::uint16_t Raw, std::int32_t Ratio, double Scale) {
        return double(std::int32_t(Raw) * Ratio) * Scale;
    };
    const std::uint16_t u[] = {Record.Ua, Record.Ub, Record.Uc};
    const std::uint16_t line[] = {Record.UAB, Record.UCA, Record.UBC};
    const std::uint16_t i[] = {Record.Ia, Record.Ib, Record.Ic};
    const std::uint16_t p[] = {Record.Pa, Record.Pb, Record.Pc};
    const std::uint16_t q[] = {Record.Qa, Record.Qb, Record.Qc};
    const std::uint16_t s[] = {Record.Sa, Record.Sb, Record.Sc};
    const std::uint16_t pf[] = {Record.PFa, Record.PFb, Record.PFc};
    TShown3AC shown{};
    for (int k = 0; k < 3; ++k) {
        shown.U[k] = scaled(u[k], PT, 0.1);
        shown.Line[k] = scaled(line[k], PT, 0.1);
        shown.I[k] = scaled(i[k], CT, 0.001);
        shown.P[k] = scaled(p[k], PT * CT, power);
        shown.Q[k] = scaled(q[k], PT * CT, power);
        shown.S[k] = scaled(s[k], PT * CT, power);
        shown.PF[k] = pf[k] * 0.001;
        shown.Flag[k] = PhaseFlag(Record, std::uint8_t(k + 1));
    }
    shown.Freq = Record.Freq * 0.01;
    return shown;
}

TBenchSettings Frozen() {
    TBenchSettings settings;
    settings.Frozen = true;
    return settings;
}

std::vector<std::uint8_t> ReadFrame(std::uint8_t Slave, std::uint8_t Function, std::uint16_t First,
                                    std::uint16_t Count) {
    const TRequestFrame frame = BuildRequestFrame(Slave, Function, First, Count);
    return {frame.begin(), frame.end()};
}

} // namespace

// ---- register model ---------------------------------------------------------------------------

struct TRatioCase {
    std::uint8_t Slave;
    std::uint16_t PT, CT;
};

std::string NameOf(const TRatioCase& Case) {
    return "Slave" + std::to_string(Case.Slave) + "PT" + std::to_string(Case.PT) + "CT" +
           std::to_string(Case.CT);
}
void PrintTo(const TRatioCase& Case, std::ostream* Stream) {
    *Stream << NameOf(Case);
}

class SimModelRatios : public testing::TestWithParam<TRatioCase> {};

// Whatever the ratios, the panel's scaling must turn the registers back into the frozen values of
// each phase, give or take the rounding of one register step.
TEST_P(SimModelRatios, PanelShowsTheFrozenValuesOfEachPhase) {
    const TRatioCase c = GetParam();
    TBenchSettings settings = Frozen();
    TSourceSettings& source = settings.Sources[c.Slave - 1];
    source.PT = c.PT;
    source.CT = c.CT;
    ASSERT_FALSE(TBenchModel::Check(settings));
    TBenchModel model(settings);
    const bool currentSource = c.Slave == 2;
    const auto ratios = Fetch<TRecord_3AC_PTCT>(model, currentSource ? TCommandType::ctI3AC_PTCT
                                                                     : TCommandType::ctU3AC_PTCT);
    EXPECT_EQ(Swap16(ratios.PT), c.PT);
    EXPECT_EQ(Swap16(ratios.CT), c.CT);
    const TShown3AC shown =
        Show(Fetch<TRecord_3AC>(model, currentSource ? TCommandType::ctI3AC : TCommandType::ctU3AC),
             c.PT, c.CT, currentSource);
    const double voltStep = c.PT * 0.1, ampStep = c.CT * 0.001;
    const double powerStep = c.PT * c.CT * (currentSource ? 0.0001 : 0.1);
    // Each phase has frozen values of its own; the line voltages are those of their two phases.
    std::array<double, 3> u{}, i{}, pf{};
    for (int k = 0; k < 3; ++k) {
        u[k] = source.Voltage * (1 + FrozenVoltageOffset[k]);
        i[k] = source.Current * (1 + FrozenCurrentOffset[k]);
        pf[k] = 0.95 + FrozenPowerFactorOffset[k];
    }
    EXPECT_NE(u[1], u[2]);
    const auto line = [&](int x, int y) { return std::sqrt(u[x] * u[x] + u[y] * u[y] + u[x] * u[y]); };
    const double lines[3] = {line(0, 1), line(2, 0), line(1, 2)}; // AB, CA, BC
    for (int k = 0; k < 3; ++k) {
        const double s = u[k] * i[k] / 1000;
        EXPECT_NEAR(shown.U[k], u[k], voltStep / 2 + 1e-9);
        EXPECT_NEAR(shown.Line[k], lines[k], voltStep / 2 + 1e-9);
        EXPECT_NEAR(shown.I[k], i[k], ampStep / 2 + 1e-9);
        EXPECT_NEAR(shown.S[k], s, powerStep / 2 + 1e-9);
        EXPECT_NEAR(shown.P[k], s * pf[k], powerStep / 2 + 1e-9);
        EXPECT_NEAR(shown.Q[k], s * std::sqrt(1 - pf[k] * pf[k]), powerStep / 2 + 1e-9);
        EXPECT_NEAR(shown.PF[k], pf[k], 0.0005 + 1e-9);
        EXPECT_FALSE(shown.Flag[k]);
    }
    EXPECT_DOUBLE_EQ(shown.Freq, 50.0);
}

INSTANTIATE_TEST_SUITE_P(Sources, SimModelRatios,
                         testing::Values(TRatioCase{1, 1, 1}, TRatioCase{1, 10, 2},
                                         TRatioCase{2, 1, 10}, TRatioCase{2, 2, 40}),
                         [](const auto& Info) { return NameOf(Info.param); });

TEST(SimModel, SinglePhaseAndDCSourcesHoldTheirValuesMostSignificantFirst) {
    TBenchModel model(Frozen());
    // Packed fields are copied before they are compared: a reference to one would be misaligned.
    TRecord_1AC single = Fetch<TRecord_1AC>(model, TCommandType::ct1AC);
    DecodeRecord(single);
    EXPECT_EQ(std::uint32_t(single.U), 220000u); // 220.00 V at 0.001 per step
    EXPECT_EQ(std::uint32_t(single.I), 5000u);
    EXPECT_EQ(std::uint32_t(single.S), 1100u); // 1.100 kVA
    EXPECT_EQ(std::uint32_t(single.P), 1045u);
    EXPECT_EQ(std::uint32_t(single.Q), 343u);
    EXPECT_EQ(std::uint32_t(single.PF), 950u);
    EXPECT_EQ(std::uint32_t(single.Freq), 50000u);
    TRecord_UDC dc = Fetch<TRecord_UDC>(model, TCommandType::ctUDC);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&dc);
    EXPECT_EQ(bytes[3], 0x43); // 220.0f is 43 5C 00 00
    EXPECT_EQ(bytes[4], 0x5C);
    DecodeRecord(dc);
    EXPECT_FLOAT_EQ(float(dc.singleU), 220.0f);
}

// Moving values stay near their nominal values and keep S^2 = P^2 + Q^2, PF = P/S and the line
// voltages of 120-degree phasors, within one register step of rounding.
TEST(SimModel, MovingValuesStayConsistent) {
    TBenchSettings settings;
    settings.Seed = 7;
    TBenchModel model(settings);
    const TSourceSettings& source = settings.Sources[1];
    const double step = 0.001; // kW per power step of slave 2 at PT 1, CT 10
    std::set<std::uint16_t> seenUa;
    for (int read = 0; read < 200; ++read) {
        const TRecord_3AC record = Fetch<TRecord_3AC>(model, TCommandType::ctI3AC);
        const TShown3AC shown = Show(record, source.PT, source.CT, true);
        seenUa.insert(Swap16(record.Ua));
        for (int k = 0; k < 3; ++k) {
            EXPECT_NEAR(shown.U[k], 220.0, 220.0 * TBenchModel::Movement.Voltage + 0.05);
            EXPECT_NEAR(shown.I[k], 10.0, 10.0 * TBenchModel::Movement.Current + 0.005);
            EXPECT_NEAR(std::hypot(shown.P[k], shown.Q[k]), shown.S[k], 1.5 * step);
            EXPECT_NEAR(shown.P[k] / shown.S[k], shown.PF[k], 0.002);
            EXPECT_NEAR(shown.S[k], shown.U[k] * shown.I[k] / 1000, 3 * step);
            // UAB, UCA, UBC from the phases they join
            constexpr int ends[3][2] = {{0, 1}, {2, 0}, {1, 2}};
            const double x = shown.U[ends[k][0]], y = shown.U[ends[k][1]];
            EXPECT_NEAR(shown.Line[k], std::sqrt(x * x + y * y + x * y), 0.15);
        }
        EXPECT_NEAR(shown.Freq, 50.0, TBenchModel::Movement.Frequency + 0.005);
    }
    EXPECT_GT(seenUa.size(), 3u) << "the values should move from read to read";
}

TEST(SimModel, SeedMakesARunRepeatableAndFrozenKeepsValuesConstant) {
    const auto run = [](TBenchSettings Settings) {
        TBenchModel model(Settings);
        std::vector<std::uint8_t> replies;
        for (int read = 0; read < 5; ++read)
            for (TCommandType command : {TCommandType::ctU3AC, TCommandType::ct1AC,
                                         TCommandType::ctUDC, TCommandType::ctI3AC}) {
                const TCommandRequest r = *CommandRequest(command);
                const auto reply =
                    Respond(model, ReadFrame(r.Slave, r.Function, r.FirstRegister, r.RegisterCount))
                        .Reply;
                replies.insert(replies.end(), reply.begin(), reply.end());
            }
        return replies;
    };
    TBenchSettings seeded;
    seeded.Seed = 42;
    TBenchSettings otherSeed = seeded;
    otherSeed.Seed = 43;
    EXPECT_EQ(run(seeded), run(seeded));
    EXPECT_NE(run(seeded), run(otherSeed));

    TBenchModel frozen(Frozen());
    const auto first = Respond(frozen, ReadFrame(1, 4, 20, 27)).Reply;
    for (int read = 0; read < 20; ++read)
        EXPECT_EQ(Respond(frozen, ReadFrame(1, 4, 20, 27)).Reply, first);
}

TEST(SimModel, RatioReadsDoNotMoveTheValues) {
    TBenchSettings settings;
    settings.Seed = 3;
    TBenchModel model(settings);
    Respond(model, ReadFrame(2, 4, 20, 27));
    const auto held = model.Held(2, 20, 27);
    for (int read = 0; read < 5; ++read)
        Respond(model, ReadFrame(2, 4, 2, 2));
    EXPECT_EQ(model.Held(2, 20, 27), held);
    Respond(model, ReadFrame(2, 4, 25, 1)); // any read of a measurement moves them
    EXPECT_NE(model.Held(2, 20, 27), held);
}

TEST(SimModel, LeadingPhasesSetTheirSignFlags) {
    TBenchSettings settings = Frozen();
    settings.Sources[0].LeadingPhases = 0x80 | 0x20; // phases a and c
    TBenchModel model(settings);
    const TRecord_3AC record = Fetch<TRecord_3AC>(model, TCommandType::ctU3AC);
    EXPECT_EQ(record.SignHi, 0xA0);
    EXPECT_EQ(record.SignLo, 0);
    EXPECT_TRUE(PhaseFlag(record, 1));
    EXPECT_FALSE(PhaseFlag(record, 2));
    EXPECT_TRUE(PhaseFlag(record, 3));
}

TEST(SimModel, CheckRefusesWhatTheRegistersCannotCarry) {
    EXPECT_FALSE(TBenchModel::Check(TBenchSettings{}));
    struct TCase {
        void (*Change)(TBenchSettings&);
        const char* Expected;
    } cases[] = {
        {[](TBenchSettings& s) { s.Sources[1].Current = 100; }, "slave 2: St"},
        {[](TBenchSettings& s) { s.Sources[0].Voltage = 7000; }, "slave 1: Ua"},
        {[](TBenchSettings& s) { s.Sources[0].CT = 0; }, "PT and CT"},
        {[](TBenchSettings& s) { s.Sources[2].PowerFactor = 1.5; }, "power factor"},
        {[](TBenchSettings& s) { s.Frequency = 0; }, "frequency"},
    };
    for (const TCase& c : cases) {
        TBenchSettings settings;
        c.Change(settings);
        const auto problem = TBenchModel::Check(settings);
        ASSERT_TRUE(problem) << c.Expected;
        EXPECT_NE(problem->find(c.Expected), std::string::npos) << *problem;
    }
    // 99.3 A on slave 2 fills St exactly at its nominal value: only a frozen source may do it.
    TBenchSettings edge;
    edge.Sources[1].Current = 65535 * 0.001 / 3 / 0.22;
    EXPECT_TRUE(TBenchModel::Check(edge));
    edge.Frozen = true;
    EXPECT_FALSE(TBenchModel::Check(edge));
}

// ---- responder --------------------------------------------------------------------------------

TEST(SimResponder, CatalogueRequestsGetRepliesOfTheirLength) {
    TBenchModel model(TBenchSettings{});
    const std::pair<TCommandType, std::size_t> catalogue[] = {
        {TCommandType::ctU3AC_PTCT, 9}, {TCommandType::ctI3AC_PTCT, 9}, {TCommandType::ctU3AC, 59},
        {TCommandType::ctI3AC, 59},     {TCommandType::ct1AC, 33},      {TCommandType::ctUDC, 9}};
    for (const auto& [command, length] : catalogue) {
        const TCommandRequest r = *CommandRequest(command);
        const auto reply =
            Respond(model, ReadFrame(r.Slave, r.Function, r.FirstRegister, r.RegisterCount)).Reply;
        ASSERT_EQ(reply.size(), length) << int(command);
        EXPECT_TRUE(CRCValid(reply));
        EXPECT_EQ(reply[0], r.Slave);
        EXPECT_EQ(reply[1], r.Function);
        EXPECT_EQ(reply[2], length - 5);
        const auto held = model.Held(r.Slave, r.FirstRegister, r.RegisterCount);
        for (std::size_t k = 0; k < held.size(); ++k)
            EXPECT_EQ((reply[3 + 2 * k] << 8) | reply[4 + 2 * k], held[k]);
    }
}

TEST(SimResponder, FramesNotForTheBenchGetNoReply) {
    TBenchModel model(TBenchSettings{});
    auto brokenCRC = ReadFrame(1, 4, 20, 27);
    brokenCRC[7] ^= 0x01;
    auto merged = ReadFrame(1, 4, 2, 2);
    const auto second = ReadFrame(2, 4, 2, 2);
    merged.insert(merged.end(), second.begin(), second.end());
    std::vector<std::uint8_t> replyHeard = ReadReply(1, 4, {1, 10});
    std::vector<std::uint8_t> exceptionHeard = ExceptionReply(1, 4, 2);
    std::vector<std::uint8_t> shortRead{1, 4, 0, 20, 0};
    AppendCRC(shortRead);
    const std::pair<const char*, std::vector<std::uint8_t>> cases[] = {
        {"slave 7", ReadFrame(7, 4, 20, 27)},
        {"broadcast", ReadFrame(0, 4, 20, 27)},
        {"broken CRC", brokenCRC},
        {"two requests without a pause", merged},
        {"a reply heard back", replyHeard},
        {"an exception heard back", exceptionHeard},
        {"a truncated read", shortRead},
        {"three bytes", {1, 4, 0}},
        {"nothing", {}},
    };
    for (const auto& [name, frame] : cases) {
        const TResponse response = Respond(model, frame);
        EXPECT_TRUE(response.Reply.empty()) << name;
        EXPECT_FALSE(response.Request) << name;
    }
}

TEST(SimResponder, ReadsOutsideTheCatalogueAreAnsweredFromTheMap) {
    TBenchModel model(Frozen());
    struct TCase {
        std::uint8_t Slave, Function;
        std::uint16_t First, Count;
        std::uint8_t Exception; // 0: a normal reply
    } cases[] = {
        {1, 4, 25, 3, 0},      {2, 4, 3, 1, 0},    {3, 3, 12, 2, 0},        {4, 3, 7, 1, 0},
        {1, 4, 46, 1, 0},      {1, 3, 2, 2, 0x01}, {3, 4, 0, 14, 0x01},     {4, 6, 6, 1, 0x01},
        {2, 16, 0, 1, 0x01},   {1, 4, 4, 2, 0x02}, {1, 4, 2, 3, 0x02},      {1, 4, 46, 2, 0x02},
        {3, 3, 0, 15, 0x02},   {4, 3, 0, 2, 0x02}, {2, 4, 0xFFFF, 1, 0x02}, {1, 4, 20, 0, 0x03},
        {1, 4, 20, 126, 0x03},
    };
    for (const TCase& c : cases) {
        const auto reply = Respond(model, ReadFrame(c.Slave, c.Function, c.First, c.Count)).Reply;
        SCOPED_TRACE(testing::Message()
                     << int(c.Slave) << " " << int(c.Function) << " " << c.First << "+" << c.Count);
        ASSERT_TRUE(CRCValid(reply));
        EXPECT_EQ(reply[0], c.Slave);
        if (c.Exception != 0) {
            EXPECT_EQ(reply, ExceptionReply(c.Slave, c.Function, c.Exception));
            EXPECT_EQ(reply[1], c.Function | 0x80);
            continue;
        }
        EXPECT_EQ(reply, ReadReply(c.Slave, c.Function, model.Held(c.Slave, c.First, c.Count)));
        EXPECT_EQ(reply.size(), 5u + 2 * c.Count);
    }
}

// ---- faults and options ------------------------------------------------------------------------

TEST(SimFaults, ParsesWhatTheUsageTextPromises) {
    const std::tuple<const char*, std::uint8_t, TFaultKind, std::uint32_t> good[] = {
        {"1:silent", 1, TFaultKind::fkSilent, 0},
        {"2:bad-crc", 2, TFaultKind::fkBadCRC, 0},
        {"3:short", 3, TFaultKind::fkShort, 0},
        {"4:garbage", 4, TFaultKind::fkGarbage, 4},
        {"4:garbage:9", 4, TFaultKind::fkGarbage, 9},
        {"1:wrong-address", 1, TFaultKind::fkWrongAddress, 0},
        {"2:ct-zero:3", 2, TFaultKind::fkCTZero, 3},
        {"3:slow:250", 3, TFaultKind::fkSlow, 250},
        {"1:hangup:0", 1, TFaultKind::fkHangUp, 0},
    };
    for (const auto& [text, slave, kind, amount] : good) {
        const TFault fault = ParseFault(text);
        EXPECT_EQ(fault.Slave, slave) << text;
        EXPECT_EQ(fault.Kind, kind) << text;
        EXPECT_EQ(fault.Amount, amount) << text;
    }
    const std::pair<const char*, const char*> bad[] = {
        {"silent", "S:KIND"},           {"5:silent", "1 to 4"},
        {"1:loud", "unknown kind"},     {"1:silent:3", "takes no"},
        {"1:slow", "needs a number"},   {"3:ct-zero:1", "CT ratio"},
        {"1:hangup:x", "whole number"}, {"1:hangup:-1", "whole number"},
    };
    for (const auto& [text, expected] : bad) {
        try {
            ParseFault(text);
            ADD_FAILURE() << text << " was accepted";
        } catch (const TSimError& error) {
            EXPECT_NE(std::string(error.what()).find(expected), std::string::npos) << error.what();
        }
    }
}

TEST(SimOptions, ParsesEveryOption) {
    const std::vector<std::string> arguments{"--device",
                                             "/dev/ttyUSB3",
                                             "--com=7",
                                             "--baud",
                                             "19200",
                                             "--turnaround",
                                             "12",
                                             "--no-pacing",
                                             "--seed",
                                             "99",
                                             "--frozen",
                                             "--freq=60",
                                             "--pt",
                                             "1:10",
                                             "--ct=2:40",
                                             "--voltage",
                                             "3:230.5",
                                             "--voltage=4:110",
                                             "--current=1:2.5",
                                             "--pf",
                                             "2:0.8",
                                             "--leading",
                                             "2:bc",
                                             "--fault",
                                             "2:slow:300",
                                             "--fault=4:silent"};
    const TSimOptions o = ParseOptions(arguments);
    EXPECT_EQ(o.Line.Device, "/dev/ttyUSB3");
    EXPECT_EQ(o.ComNumber, 7u);
    EXPECT_EQ(o.Line.Baud, 19200u);
    EXPECT_EQ(o.Line.Turnaround, std::chrono::milliseconds(12));
    EXPECT_FALSE(o.Line.Pacing);
    EXPECT_TRUE(o.SeedGiven);
    EXPECT_EQ(o.Bench.Seed, 99u);
    EXPECT_TRUE(o.Bench.Frozen);
    EXPECT_EQ(o.Bench.Frequency, 60.0);
    EXPECT_EQ(o.Bench.Sources[0].PT, 10);
    EXPECT_EQ(o.Bench.Sources[1].CT, 40);
    EXPECT_EQ(o.Bench.Sources[2].Voltage, 230.5);
    EXPECT_EQ(o.Bench.DCVoltage, 110.0);
    EXPECT_EQ(o.Bench.Sources[0].Current, 2.5);
    EXPECT_EQ(o.Bench.Sources[1].PowerFactor, 0.8);
    EXPECT_EQ(o.Bench.Sources[1].LeadingPhases, 0x40 | 0x20);
    ASSERT_EQ(o.Faults.size(), 2u);
    EXPECT_EQ(o.Faults[0].Kind, TFaultKind::fkSlow);
    EXPECT_EQ(o.Faults[1].Slave, 4);

    const TSimOptions defaults = ParseOptions({});
    EXPECT_TRUE(defaults.Line.Device.empty());
    EXPECT_EQ(defaults.Line.Baud, 9600u);
    EXPECT_EQ(defaults.Line.Turnaround, std::chrono::milliseconds(5));
    EXPECT_TRUE(defaults.Line.Pacing);
    EXPECT_FALSE(defaults.ComNumber);
    EXPECT_FALSE(defaults.SeedGiven);
    EXPECT_FALSE(defaults.Help);
    EXPECT_TRUE(ParseOptions(std::vector<std::string>{"-h"}).Help);
}

TEST(SimOptions, RefusesBadArgumentsWithAReadableText) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--com"}, "--com needs a value"},
        {{"--com", "0"}, "from 1 to 255"},
        {{"--com", "x"}, "not a number"},
        {{"--baud", "1000"}, "from 1200"},
        {{"--baud", "14400"}, "not a standard speed"},
        {{"--frozen=yes"}, "takes no value"},
        {{"--pt", "3:10"}, "(slave)"},
        {{"--pt", "10"}, "S:VALUE"},
        {{"--ct", "1:0"}, "from 1 to 65535"},
        {{"--pf", "1:1.2"}, "from 0"},
        {{"--voltage", "1:nan"}, "not a number"},
        {{"--leading", "1:ad"}, "letters a, b and c"},
        {{"--fault", "9:silent"}, "bad fault"},
    };
    for (const auto& [arguments, expected] : cases) {
        try {
            ParseOptions(arguments);
            ADD_FAILURE() << arguments[0] << " was accepted";
        } catch (const TSimError& error) {
            EXPECT_NE(std::string(error.what()).find(expected), std::string::npos) << error.what();
        }
    }
}

// ---- port map link ----------------------------------------------------------------------------

class SimPortLink : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/px4610-simlink.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        fDir = pattern;
    }
    void TearDown() override { fs::remove_all(fDir); }
    void Entry(const std::string& Name, const std::string& Target) {
        fs::create_symlink(Target, fDir / Name);
    }
    fs::path fDir;
};

TEST_F(SimPortLink, TakesTheLowestFreeNumberAndRemovesItsLinkAtTheEnd) {
    Entry("com1", "/dev/null");
    Entry("COM2", "/dev/null"); // names are compared without case
    Entry("com4", "/dev/null");
    Entry("readme", "/dev/null");
    {
        const TPortLink link(fDir, std::nullopt, "/dev/zero", false);
        EXPECT_EQ(link.Number(), 3u);
        EXPECT_EQ(link.ComName(), "COM3");
        EXPECT_EQ(fs::read_symlink(fDir / "com3"), "/dev/zero");
        const TPortLink next(fDir, std::nullopt, "/dev/full", false);
        EXPECT_EQ(next.Number(), 5u);
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(fDir / "com3")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(fDir / "com5")));
    EXPECT_TRUE(fs::exists(fs::symlink_status(fDir / "com4")));
}

TEST_F(SimPortLink, SkipsTheNumbersOfTheSystemsOwnDevices) {
    const fs::path numbers = fDir.string() + ".numbers";
    std::ofstream(numbers) << "COM1\tPNP\\PNP0501\\00:00\t/dev/ttyS0\tCommunications Port\n"
                           << "COM2\tUSB\\VID_0403&PID_6001\\A1\t/dev/ttyUSB0\tUSB Serial Port\n";
    Entry("com3", "/dev/null");
    EXPECT_EQ(TPortLink(fDir, std::nullopt, "/dev/zero", false).Number(), 4u);
    // A number asked for is taken as asked: the link then stands in for the device.
    EXPECT_EQ(TPortLink(fDir, 1u, "/dev/zero", false).Number(), 1u);
    fs::remove(numbers);
}

TEST_F(SimPortLink, AStaleLinkIsRemovedAndItsNumberReused) {
    Entry("com1", "/dev/pts/no-such-terminal");
    const TPortLink link(fDir, std::nullopt, "/dev/zero", false);
    EXPECT_EQ(link.Number(), 1u);
    EXPECT_EQ(fs::read_symlink(fDir / "com1"), "/dev/zero");
}

// A new pseudo-terminal may get the number of one that a killed simulator had: the link left
// behind then points to the new terminal and looks alive, yet it is a leftover.
TEST_F(SimPortLink, ALeftoverLinkToAFreshTerminalIsReclaimed) {
    Entry("com1", "/dev/zero");
    EXPECT_EQ(TPortLink(fDir, std::nullopt, "/dev/zero", true).Number(), 1u);
    Entry("com1", "/dev/zero");
    EXPECT_EQ(TPortLink(fDir, std::nullopt, "/dev/zero", false).Number(), 2u);
}

TEST_F(SimPortLink, AGivenNumberMustBeFree) {
    Entry("Com9", "/dev/null");
    EXPECT_THROW(TPortLink(fDir, 9u, "/dev/zero", false), TSimError);
    const TPortLink link(fDir, 8u, "/dev/zero", false);
    EXPECT_EQ(link.ComName(), "COM8");
}

TEST_F(SimPortLink, LeavesALinkThatSomeoneElseReplaced) {
    {
        const TPortLink link(fDir, 2u, "/dev/zero", false);
        fs::remove(link.Path());
        Entry("com2", "/dev/null");
    }
    EXPECT_EQ(fs::read_symlink(fDir / "com2"), "/dev/null");
}

TEST_F(SimPortLink, CreatesAMissingFolder) {
    const fs::path nested = fDir / "a" / "ports";
    const TPortLink link(nested, std::nullopt, "/dev/zero", false);
    EXPECT_TRUE(fs::is_symlink(nested / "com1"));
}

TEST(SimPortMapDir, FollowsTheEnvironment) {
    const auto keep = [](const char* Name) -> std::optional<std::string> {
        const char* value = std::getenv(Name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    const auto portDir = keep("LXCOMM_PORT_DIR"), config = keep("XDG_CONFIG_HOME"),
               home = keep("HOME");
    setenv("LXCOMM_PORT_DIR", "/x/ports", 1);
    setenv("XDG_CONFIG_HOME", "/x/config", 1);
    setenv("HOME", "/x/home", 1);
    EXPECT_EQ(PortMapDir(), "/x/ports");
    unsetenv("LXCOMM_PORT_DIR");
    EXPECT_EQ(PortMapDir(), "/x/config/lxcomm/ports");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(PortMapDir(), "/x/home/.config/lxcomm/ports");
    const auto restore = [](const char* Name, const std::optional<std::string>& Value) {
        if (Value)
            setenv(Name, Value->c_str(), 1);
        else
            unsetenv(Name);
    };
    restore("LXCOMM_PORT_DIR", portDir);
    restore("XDG_CONFIG_HOME", config);
    restore("HOME", home);
}
