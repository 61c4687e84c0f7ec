#include "UnitTypesPX4610.h"

#include "UnitUtils.h"

#include <cstring>

std::optional<TCommandRequest> CommandRequest(TCommandType Command) {
    switch (Command) {
    case TCommandType::ctU3AC_PTCT:
        return TCommandRequest{SlaveU3AC, FunctionReadInput, 2, 2};
    case TCommandType::ctI3AC_PTCT:
        return TCommandRequest{SlaveI3AC, FunctionReadInput, 2, 2};
    case TCommandType::ctU3AC:
        return TCommandRequest{SlaveU3AC, FunctionReadInput, 20, 27};
    case TCommandType::ctI3AC:
        return TCommandRequest{SlaveI3AC, FunctionReadInput, 20, 27};
    case TCommandType::ct1AC:
        return TCommandRequest{Slave1AC, FunctionReadHolding, 0, 14};
    case TCommandType::ctUDC:
        return TCommandRequest{SlaveUDC, FunctionReadHolding, 6, 2};
    default:
        return std::nullopt;
    }
}

TRequestFrame BuildRequestFrame(std::uint8_t Slave, std::uint8_t Function,
                                std::uint16_t FirstRegister, std::uint16_t RegisterCount) {
    TRequestFrame frame{Slave,
                        Function,
                        std::uint8_t(FirstRegister >> 8),
                        std::uint8_t(FirstRegister),
                        std::uint8_t(RegisterCount >> 8),
                        std::uint8_t(RegisterCount),
                        0,
                        0};
    const std::uint16_t crc = CalcCRC16(frame, 0, 5);
    frame[6] = std::uint8_t(crc);
    frame[7] = std::uint8_t(crc >> 8);
    return frame;
}

namespace {
// Packed fields cannot be addressed as aligned integers, so each field is reached by its offset
// and converted through memcpy: read big-endian, write back in host order.
template <typename T> void BigEndianToHost(void* Record, std::size_t Offset) {
    auto* bytes = static_cast<std::uint8_t*>(Record) + Offset;
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
        value = T((value << 8) | bytes[i]);
    std::memcpy(bytes, &value, sizeof(T));
}
} // namespace

void DecodeRecord(TRecord_3AC& Record) {
    constexpr std::size_t fields[] = {
        offsetof(TRecord_3AC, Ua),  offsetof(TRecord_3AC, Ub),  offsetof(TRecord_3AC, Uc),
        offsetof(TRecord_3AC, UAB), offsetof(TRecord_3AC, UCA), offsetof(TRecord_3AC, UBC),
        offsetof(TRecord_3AC, Ia),  offsetof(TRecord_3AC, Ib),  offsetof(TRecord_3AC, Ic),
        offsetof(TRecord_3AC, Pa),  offsetof(TRecord_3AC, Pb),  offsetof(TRecord_3AC, Pc),
        offsetof(TRecord_3AC, Qa),  offsetof(TRecord_3AC, Qb),  offsetof(TRecord_3AC, Qc),
        offsetof(TRecord_3AC, Sa),  offsetof(TRecord_3AC, Sb),  offsetof(TRecord_3AC, Sc),
        offsetof(TRecord_3AC, PFa), offsetof(TRecord_3AC, PFb), offsetof(TRecord_3AC, PFc),
        offsetof(TRecord_3AC, Freq)};
    for (std::size_t offset : fields)
        BigEndianToHost<std::uint16_t>(&Record, offset);
}

void DecodeRecord(TRecord_1AC& Record) {
    for (std::size_t offset = offsetof(TRecord_1AC, U); offset < offsetof(TRecord_1AC, CRC16);
         offset += 4)
        BigEndianToHost<std::uint32_t>(&Record, offset);
}

void DecodeRecord(TRecord_UDC& Record) {
    std::array<std::uint8_t, 4> received;
    std::memcpy(received.data(), reinterpret_cast<const std::uint8_t*>(&Record) +
                                     offsetof(TRecord_UDC, singleU),
                4);
    Record.singleU = SwapSingle(received);
}

bool PhaseFlag(const TRecord_3AC& Record, std::uint8_t Phase) {
    return GetBit(Record.SignHi, Phase, 8);
}
