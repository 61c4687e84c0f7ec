// The bench's command catalogue, its request frame and the reply records of the four sources.
// Each record's memory layout is the wire layout of its reply: a reply is read byte for byte into
// the record and then decoded in place to host order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

enum class TCommandType : std::uint8_t {
    ctU3AC_PTCT, // PT/CT ratios of the three-phase voltage source
    ctI3AC_PTCT, // PT/CT ratios of the three-phase current source
    ct1AC_PTCT,  // PT/CT ratios of the single-phase source (no request is defined for it)
    ctU3AC,      // measurements of the three-phase voltage source
    ctI3AC,      // measurements of the three-phase current source
    ct1AC,       // measurements of the single-phase source
    ctU3AC_U,
    ctI3AC_I,
    ct1AC_UI,
    ctUDC, // output voltage of the DC source
    ctTest,
};
static_assert(sizeof(TCommandType) == 1);

// Slave addresses of the bench's sources.
inline constexpr std::uint8_t SlaveU3AC = 1;
inline constexpr std::uint8_t SlaveI3AC = 2;
inline constexpr std::uint8_t Slave1AC = 3;
inline constexpr std::uint8_t SlaveUDC = 4;

inline constexpr std::uint8_t FunctionReadHolding = 3;
inline constexpr std::uint8_t FunctionReadInput = 4;

inline constexpr std::size_t RequestFrameLength = 8;
using TRequestFrame = std::array<std::uint8_t, RequestFrameLength>;

struct TCommandRequest {
    std::uint8_t Slave;
    std::uint8_t Function;
    std::uint16_t FirstRegister;
    std::uint16_t RegisterCount;
};

// Address, function, byte count, the registers, the CRC.
constexpr std::size_t ReplyLength(std::uint16_t RegisterCount) {
    return 5 + 2 * std::size_t(RegisterCount);
}

// The request a command is issued as; none for the commands that are only declared.
std::optional<TCommandRequest> CommandRequest(TCommandType Command);

// Bytes 0-5 as given (register numbers high byte first), bytes 6-7 the CRC of 0-5, low byte first.
TRequestFrame BuildRequestFrame(std::uint8_t Slave, std::uint8_t Function,
                                std::uint16_t FirstRegister, std::uint16_t RegisterCount);

#pragma pack(push, 1)

// Input registers 20 to 46 of a three-phase source.
struct TRecord_3AC {
    std::uint8_t Address;
    std::uint8_t Command;
    std::uint8_t NumRead;
    std::uint16_t Ua, Ub, Uc;
    std::uint16_t UAB, UCA, UBC;
    std::uint16_t Ia, Ib, Ic;
    std::uint8_t SignHi; // bit 7 phase A, bit 6 phase B, bit 5 phase C
    std::uint8_t SignLo;
    std::uint16_t Pa, Pb, Pc, Pt;
    std::uint16_t Qa, Qb, Qc, Qt;
    std::uint16_t Sa, Sb, Sc, St;
    std::uint16_t PFa, PFb, PFc, PFt;
    std::uint16_t Freq;
    std::uint16_t CRC16;
};

// Holding registers 0 to 13 of the single-phase source: seven 32-bit values.
struct TRecord_1AC {
    std::uint8_t Address;
    std::uint8_t Command;
    std::uint8_t NumRead;
    std::uint32_t U, I, P, Q, S, PF, Freq;
    std::uint16_t CRC16;
};

// Holding registers 6 and 7 of the DC source: the output voltage as an IEEE-754 single.
struct TRecord_UDC {
    std::uint8_t Address;
    std::uint8_t Command;
    std::uint8_t NumRead;
    float singleU;
    std::uint16_t CRC16;
};

// Input registers 2 and 3 of a three-phase source.
struct TRecord_3AC_PTCT {
    std::uint8_t Address;
    std::uint8_t Command;
    std::uint8_t NumRead;
    std::uint16_t PT;
    std::uint16_t CT;
    std::uint16_t CRC16;
};

struct TRecord_1AC_PTCT {
    std::uint8_t Address;
    std::uint8_t Command;
    std::uint8_t NumRead;
    std::uint32_t PT;
    std::uint32_t CT;
    std::uint16_t CRC16;
};

#pragma pack(pop)

static_assert(sizeof(TRecord_3AC) == 59);
static_assert(offsetof(TRecord_3AC, Ua) == 3 && offsetof(TRecord_3AC, UAB) == 9);
static_assert(offsetof(TRecord_3AC, Ia) == 15 && offsetof(TRecord_3AC, SignHi) == 21);
static_assert(offsetof(TRecord_3AC, SignLo) == 22 && offsetof(TRecord_3AC, Pa) == 23);
static_assert(offsetof(TRecord_3AC, Qa) == 31 && offsetof(TRecord_3AC, Sa) == 39);
static_assert(offsetof(TRecord_3AC, PFa) == 47 && offsetof(TRecord_3AC, PFt) == 53);
static_assert(offsetof(TRecord_3AC, Freq) == 55 && offsetof(TRecord_3AC, CRC16) == 57);
static_assert(sizeof(TRecord_1AC) == 33);
static_assert(offsetof(TRecord_1AC, U) == 3 && offsetof(TRecord_1AC, I) == 7);
static_assert(offsetof(TRecord_1AC, PF) == 23 && offsetof(TRecord_1AC, Freq) == 27);
static_assert(offsetof(TRecord_1AC, CRC16) == 31);
static_assert(sizeof(TRecord_UDC) == 9 && offsetof(TRecord_UDC, singleU) == 3);
static_assert(offsetof(TRecord_UDC, CRC16) == 7);
static_assert(sizeof(TRecord_3AC_PTCT) == 9 && offsetof(TRecord_3AC_PTCT, PT) == 3);
static_assert(offsetof(TRecord_3AC_PTCT, CT) == 5 && offsetof(TRecord_3AC_PTCT, CRC16) == 7);
static_assert(sizeof(TRecord_1AC_PTCT) == 13 && offsetof(TRecord_1AC_PTCT, CT) == 7);
static_assert(offsetof(TRecord_1AC_PTCT, CRC16) == 11);
static_assert(ReplyLength(27) == sizeof(TRecord_3AC) && ReplyLength(14) == sizeof(TRecord_1AC));

// In-place conversion of the received register data to host order. Header bytes, the CRC and the
// fields the panel does not read (the sign bytes and the totals of a three-phase block) stay as
// received. The ratio record is not converted: its readers swap PT and CT as they take them.
void DecodeRecord(TRecord_3AC& Record);
void DecodeRecord(TRecord_1AC& Record);
void DecodeRecord(TRecord_UDC& Record);

// The per-phase flags of a three-phase block (phase 1 = A, 2 = B, 3 = C).
bool PhaseFlag(const TRecord_3AC& Record, std::uint8_t Phase);
