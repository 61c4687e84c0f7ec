// The bench protocol codec: CRC, frames, byte order and in-place decoding of the reply records.
#include "UnitTypesPX4610.h"
#include "UnitUtils.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string_view>
#include <vector>

namespace {

std::vector<std::uint8_t> Bytes(std::string_view Text) {
    return {Text.begin(), Text.end()};
}

TEST(Crc16, StandardCheckValues) {
    const auto digits = Bytes("123456789");
    EXPECT_EQ(CalcCRC16(digits, 0, 8), 0x4B37);
    const auto letters = Bytes("abc");
    EXPECT_EQ(CalcCRC16(letters, 0, 2), 0x5749);
}

TEST(Crc16, RangeRules) {
    const auto digits = Bytes("123456789");
    EXPECT_EQ(CalcCRC16(digits, 5, 4), 0xFFFF) << "Last < First";
    // A sub-range equals the CRC of the same bytes taken alone.
    const auto tail = Bytes("456");
    EXPECT_EQ(CalcCRC16(digits, 3, 5), CalcCRC16(tail, 0, 2));
    // A range running past the buffer never reads outside it.
    EXPECT_EQ(CalcCRC16(digits, 0, 1000), 0x4B37);
    EXPECT_EQ(CalcCRC16(digits, -3, 8), 0x4B37);
}

TEST(Crc16, UpdateStepsMatchWholeRun) {
    std::uint16_t crc = 0xFFFF;
    for (char c : std::string_view("123456789"))
        UpdateCRC16(crc, std::uint8_t(c));
    EXPECT_EQ(crc, 0x4B37);
}

struct FrameCase {
    TCommandType Command;
    TRequestFrame Expected;
    std::size_t ReplyBytes;
};

class RequestFrames : public testing::TestWithParam<FrameCase> {};

TEST_P(RequestFrames, CatalogueBuildsTheBenchFrames) {
    const FrameCase& c = GetParam();
    const auto request = CommandRequest(c.Command);
    ASSERT_TRUE(request.has_value());
    const TRequestFrame frame = BuildRequestFrame(request->Slave, request->Function,
                                                  request->FirstRegister, request->RegisterCount);
    EXPECT_EQ(frame, c.Expected);
    EXPECT_EQ(ReplyLength(request->RegisterCount), c.ReplyBytes);
    // A frame with its CRC appended checks to zero, the receiver's usual test.
    EXPECT_EQ(CalcCRC16(frame, 0, 7), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Codec, RequestFrames,
    testing::Values(
        FrameCase{TCommandType::ctU3AC_PTCT, {0x01, 0x04, 0x00, 0x02, 0x00, 0x02, 0xD0, 0x0B}, 9},
        FrameCase{TCommandType::ctI3AC_PTCT, {0x02, 0x04, 0x00, 0x02, 0x00, 0x02, 0xD0, 0x38}, 9},
        FrameCase{TCommandType::ctU3AC, {0x01, 0x04, 0x00, 0x14, 0x00, 0x1B, 0xF0, 0x05}, 59},
        FrameCase{TCommandType::ctI3AC, {0x02, 0x04, 0x00, 0x14, 0x00, 0x1B, 0xF0, 0x36}, 59},
        FrameCase{TCommandType::ct1AC, {0x03, 0x03, 0x00, 0x00, 0x00, 0x0E, 0xC5, 0xEC}, 33},
        FrameCase{TCommandType::ctUDC, {0x04, 0x03, 0x00, 0x06, 0x00, 0x02, 0x24, 0x5F}, 9}));

TEST(RequestFrames, DeclaredOnlyCommandsHaveNoRequest) {
    for (TCommandType c : {TCommandType::ct1AC_PTCT, TCommandType::ctU3AC_U, TCommandType::ctI3AC_I,
                           TCommandType::ct1AC_UI, TCommandType::ctTest})
        EXPECT_FALSE(CommandRequest(c).has_value()) << int(c);
    EXPECT_EQ(int(TCommandType::ctUDC), 9);
    EXPECT_EQ(int(TCommandType::ctTest), 10);
}

TEST(ByteOrder, GetBitCountsFromTheTopOfTheField) {
    struct Case {
        std::uint32_t Value;
        std::uint8_t Index, Width;
        bool Expected;
    };
    const Case cases[] = {{0xA8, 1, 8, true},       {0xA8, 2, 8, false},
                          {0xA8, 3, 8, true},       {0xA8, 8, 8, false},
                          {0x01, 8, 8, true},       {0x8000, 1, 16, true},
                          {0x80000000u, 1, 32, true}, {0xFF, 9, 8, false}};
    for (const Case& c : cases)
        EXPECT_EQ(GetBit(c.Value, c.Index, c.Width), c.Expected)
            << std::hex << c.Value << " index " << int(c.Index) << " width " << int(c.Width);
}

TEST(ByteOrder, Swaps) {
    EXPECT_EQ(Swap16(0x1234), 0x3412);
    EXPECT_EQ(Swap32(0x11223344u), 0x44332211u);
    EXPECT_FLOAT_EQ(SwapSingle({0x43, 0x5C, 0x00, 0x00}), 220.0f);
    EXPECT_FLOAT_EQ(SwapSingle({0xC2, 0xC8, 0x00, 0x00}), -100.0f);
}

// Builds a reply as it arrives on the line: header, big-endian registers, then the CRC.
std::vector<std::uint8_t> Reply(std::uint8_t Slave, std::uint8_t Function,
                                const std::vector<std::uint8_t>& Data) {
    std::vector<std::uint8_t> reply;
    reply.reserve(Data.size() + 5);
    for (std::uint8_t b : {Slave, Function, std::uint8_t(Data.size())})
        reply.push_back(b);
    for (std::uint8_t b : Data)
        reply.push_back(b);
    const std::uint16_t crc = CalcCRC16(reply, 0, std::int32_t(reply.size()) - 1);
    reply.push_back(std::uint8_t(crc));
    reply.push_back(std::uint8_t(crc >> 8));
    return reply;
}

TEST(ReplyRecords, ThreePhaseBlockDecodesInPlace) {
    std::vector<std::uint8_t> data(54);
    for (std::size_t i = 0; i < 27; ++i) { // register 20 + i holds 0x0100 * i + (20 + i)
        data[2 * i] = std::uint8_t(i);
        data[2 * i + 1] = std::uint8_t(20 + i);
    }
    data[0] = 0x08; // register 20 = 08 98
    data[1] = 0x98;
    data[18] = 0xA8; // register 29: SignHi, SignLo
    data[19] = 0x5A;
    const auto wire = Reply(1, 4, data);
    ASSERT_EQ(wire.size(), sizeof(TRecord_3AC));

    TRecord_3AC record;
    std::memcpy(&record, wire.data(), wire.size());
    DecodeRecord(record);
    // The record is packed: its fields are read by value (unary +), never bound to a reference.
    EXPECT_EQ(+record.Address, 1);
    EXPECT_EQ(+record.Command, 4);
    EXPECT_EQ(+record.NumRead, 54);
    EXPECT_EQ(+record.Ua, 2200);
    EXPECT_EQ(+record.UBC, 0x0519);
    EXPECT_EQ(+record.Ic, 0x081C);
    EXPECT_EQ(+record.Pa, 0x0A1E);
    EXPECT_EQ(+record.Sc, 0x1428);
    EXPECT_EQ(+record.PFc, 0x182C);
    EXPECT_EQ(+record.Freq, 0x1A2E);
    // Flags, totals and the CRC stay exactly as received.
    EXPECT_EQ(+record.SignHi, 0xA8);
    EXPECT_EQ(+record.SignLo, 0x5A);
    std::uint16_t pt;
    std::memcpy(&pt, wire.data() + offsetof(TRecord_3AC, Pt), 2);
    EXPECT_EQ(+record.Pt, pt);
    std::uint16_t crc;
    std::memcpy(&crc, wire.data() + 57, 2);
    EXPECT_EQ(+record.CRC16, crc);
    EXPECT_TRUE(PhaseFlag(record, 1));
    EXPECT_FALSE(PhaseFlag(record, 2));
    EXPECT_TRUE(PhaseFlag(record, 3));
}

TEST(ReplyRecords, SinglePhaseBlockSwapsEveryField) {
    std::vector<std::uint8_t> data;
    for (std::uint8_t field = 1; field <= 7; ++field)
        for (std::uint8_t b : {std::uint8_t(0x10 * field), std::uint8_t(0x22), std::uint8_t(0x33),
                               std::uint8_t(0x40 + field)})
            data.push_back(b);
    const auto wire = Reply(3, 3, data);
    ASSERT_EQ(wire.size(), sizeof(TRecord_1AC));
    TRecord_1AC record;
    std::memcpy(&record, wire.data(), wire.size());
    DecodeRecord(record);
    EXPECT_EQ(+record.U, 0x10223341u);
    EXPECT_EQ(+record.PF, 0x60223346u);
    EXPECT_EQ(+record.Freq, 0x70223347u);
    EXPECT_EQ(+record.NumRead, 28);
}

TEST(ReplyRecords, DcBlockIsABigEndianSingle) {
    const auto wire = Reply(4, 3, {0x43, 0x5C, 0x00, 0x00});
    ASSERT_EQ(wire.size(), sizeof(TRecord_UDC));
    TRecord_UDC record;
    std::memcpy(&record, wire.data(), wire.size());
    DecodeRecord(record);
    EXPECT_FLOAT_EQ(+record.singleU, 220.0f);
}

TEST(ReplyRecords, RatioRecordKeepsWireOrder) {
    const auto wire = Reply(1, 4, {0x00, 0x64, 0x01, 0xF4}); // PT 100, CT 500
    TRecord_3AC_PTCT record;
    std::memcpy(&record, wire.data(), wire.size());
    EXPECT_EQ(Swap16(+record.PT), 100);
    EXPECT_EQ(Swap16(+record.CT), 500);
}

} // namespace
