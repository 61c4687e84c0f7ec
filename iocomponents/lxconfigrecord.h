// The stored port configuration: one binary registry value of 49 bytes, the port number's low
// byte, then the DCB and the time-outs as the platform lays them out (little-endian, as every
// system this runs on), unpadded. The value lives in a store anyone may edit, so a record is
// taken only when its line settings are ones a port can have.
#pragma once

#include "winapi.h"

#include <array>
#include <cstddef>
#include <optional>

inline constexpr std::size_t ConfigRecordSize = 49;
using TlxConfigRecord = std::array<winapi::BYTE, ConfigRecordSize>;

struct TlxStoredConfig {
    winapi::BYTE PortNo = 0;
    winapi::DCB Dcb{};
    winapi::COMMTIMEOUTS Timeouts{};
};

TlxConfigRecord EncodeConfigRecord(const TlxStoredConfig& Config);
// Null for a record with a byte size outside 5..8 or an unknown parity or stop-bit code.
std::optional<TlxStoredConfig> DecodeConfigRecord(const TlxConfigRecord& Record);
