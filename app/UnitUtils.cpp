#include "UnitUtils.h"

#include <algorithm>
#include <bit>

bool GetBit(std::uint32_t Value, std::uint8_t Index, std::uint8_t Width) {
    const int bit = int(Width) - int(Index);
    if (bit < 0 || bit > 31)
        return false;
    return ((Value >> bit) & 1u) != 0;
}

std::uint16_t Swap16(std::uint16_t Value) {
    return std::uint16_t((Value >> 8) | (Value << 8));
}

std::uint32_t Swap32(std::uint32_t Value) {
    return (Value >> 24) | ((Value >> 8) & 0x0000FF00u) | ((Value << 8) & 0x00FF0000u) |
           (Value << 24);
}

float SwapSingle(const std::array<std::uint8_t, 4>& Received) {
    // Reversing the bytes on a little-endian host is reading them as a big-endian value; doing the
    // latter directly gives the same float on any host.
    const std::uint32_t bits = (std::uint32_t(Received[0]) << 24) |
                               (std::uint32_t(Received[1]) << 16) |
                               (std::uint32_t(Received[2]) << 8) | std::uint32_t(Received[3]);
    return std::bit_cast<float>(bits);
}

void UpdateCRC16(std::uint16_t& Crc, std::uint8_t Byte) {
    Crc ^= Byte;
    for (int i = 0; i < 8; ++i) {
        const bool low = (Crc & 1u) != 0;
        Crc >>= 1;
        if (low)
            Crc ^= 0xA001;
    }
}

std::uint16_t CalcCRC16(std::span<const std::uint8_t> Data, std::int32_t First, std::int32_t Last) {
    std::uint16_t crc = 0xFFFF;
    const std::int64_t first = std::max<std::int64_t>(First, 0);
    const std::int64_t last = std::min<std::int64_t>(Last, std::int64_t(Data.size()) - 1);
    for (std::int64_t i = first; i <= last; ++i)
        UpdateCRC16(crc, Data[std::size_t(i)]);
    return crc;
}
