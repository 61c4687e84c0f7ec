// An independent Modbus master (libmodbus) on the simulator's pseudo-terminal, at 9600 baud with
// the line's real timing: every block of the four slaves arrives with a CRC it accepts and holds
// what the simulator says it holds; refused reads come back as the exceptions it knows.
#include "SimPeer.h"

#include <gtest/gtest.h>
#include <modbus.h>

#include <cerrno>
#include <cmath>

using namespace simtest;

namespace {

class TMaster {
public:
    explicit TMaster(const std::string& Path)
        : fContext(modbus_new_rtu(Path.c_str(), 9600, 'N', 8, 1)) {
        if (fContext == nullptr || modbus_connect(fContext) != 0)
            throw std::runtime_error("libmodbus cannot open " + Path);
        modbus_set_response_timeout(fContext, 1, 0);
    }
    ~TMaster() {
        modbus_close(fContext);
        modbus_free(fContext);
    }
    // The registers read, or the errno of a failed read.
    std::variant<std::vector<std::uint16_t>, int> Read(int Slave, int Function, int First,
                                                       int Count) {
        std::vector<std::uint16_t> registers(std::size_t(Count), 0);
        modbus_set_slave(fContext, Slave);
        const int read = Function == 4
                             ? modbus_read_input_registers(fContext, First, Count, registers.data())
                             : modbus_read_registers(fContext, First, Count, registers.data());
        if (read != Count)
            return errno;
        return registers;
    }

private:
    modbus_t* fContext;
};

} // namespace

TEST(SimModbus, AnIndependentMasterReadsEveryBlockOfTheFourSlaves) {
    sim::TBenchSettings settings;
    settings.Seed = 11; // moving values: each block must match what was held when it was read
    TRunningSimulator bench(settings, sim::TLineSettings{});
    TMaster master(bench.Path());
    struct TBlock {
        int Slave, Function, First, Count;
    } blocks[] = {
        {1, 4, 2, 2}, {2, 4, 2, 2},  {1, 4, 20, 27}, {2, 4, 20, 27}, {3, 3, 0, 14},
        {4, 3, 6, 2}, {1, 4, 25, 4}, {2, 4, 3, 1},   {3, 3, 12, 2},  {4, 3, 7, 1},
    };
    for (const TBlock& block : blocks) {
        SCOPED_TRACE(testing::Message() << block.Slave << ":" << block.First << "+" << block.Count);
        const auto result = master.Read(block.Slave, block.Function, block.First, block.Count);
        ASSERT_TRUE(std::holds_alternative<std::vector<std::uint16_t>>(result))
            << modbus_strerror(std::get<int>(result));
        const auto& registers = std::get<std::vector<std::uint16_t>>(result);
        EXPECT_EQ(registers,
                  bench.Simulator().Held(std::uint8_t(block.Slave), std::uint16_t(block.First),
                                         std::uint16_t(block.Count)));
        if (block.Slave == 3 && block.First == 0) { // U, most significant word first
            const double volts = double((std::uint32_t(registers[0]) << 16) | registers[1]) / 1000;
            EXPECT_NEAR(volts, 220.0, 1.0);
        }
        if (block.Slave == 4 && block.Count == 2) { // an IEEE single, most significant byte first
            EXPECT_NEAR(modbus_get_float_abcd(registers.data()), 220.0f, 1.0f);
        }
        if (block.Slave == 2 && block.First == 2) {
            EXPECT_EQ(registers, (std::vector<std::uint16_t>{1, 10}));
        }
    }
}

TEST(SimModbus, RefusedReadsComeBackAsModbusExceptions) {
    TRunningSimulator bench(sim::TBenchSettings{}, FastLine());
    TMaster master(bench.Path());
    struct TCase {
        int Slave, Function, First, Count, Error;
    } cases[] = {
        {1, 3, 2, 2, EMBXILFUN},  // the voltage source has input registers only
        {3, 4, 0, 14, EMBXILFUN}, // the single-phase source holding registers only
        {1, 4, 4, 2, EMBXILADD},  // between the ratio and the measurement blocks
        {2, 4, 20, 28, EMBXILADD}, {4, 3, 0, 2, EMBXILADD},
    };
    for (const TCase& c : cases) {
        const auto result = master.Read(c.Slave, c.Function, c.First, c.Count);
        ASSERT_TRUE(std::holds_alternative<int>(result)) << c.Slave << ":" << c.First;
        EXPECT_EQ(std::get<int>(result), c.Error) << modbus_strerror(std::get<int>(result));
    }
}
