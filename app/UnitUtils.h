// Bit test, byte order and the Modbus CRC-16 used on the bench line. Pure functions, no I/O.
#pragma once

#include <array>
#include <cstdint>
#include <span>

// Bit number (Width - Index) of Value: Index 1 is the most significant bit of a Width-bit field,
// Index == Width the least significant.
bool GetBit(std::uint32_t Value, std::uint8_t Index, std::uint8_t Width);

std::uint16_t Swap16(std::uint16_t Value);
std::uint32_t Swap32(std::uint32_t Value);
// The single-precision value whose bytes are Received in reverse order (the line sends the most
// significant byte first).
float SwapSingle(const std::array<std::uint8_t, 4>& Received);

// One step of the CRC: the byte is folded into Crc in place.
void UpdateCRC16(std::uint16_t& Crc, std::uint8_t Byte);
// CRC over Data[First..Last] inclusive; 0xFFFF when Last < First. Indices outside Data are
// clipped to it, so a wrong range never reads past the buffer.
std::uint16_t CalcCRC16(std::span<const std::uint8_t> Data, std::int32_t First, std::int32_t Last);
