#include "lxconfigrecord.h"

#include <cstring>

namespace {

constexpr std::size_t PortOffset = 0;
constexpr std::size_t DcbOffset = 1;
constexpr std::size_t TimeoutsOffset = DcbOffset + sizeof(winapi::DCB);
static_assert(TimeoutsOffset == 29 &&
              TimeoutsOffset + sizeof(winapi::COMMTIMEOUTS) == ConfigRecordSize);

bool IsPossibleLine(const winapi::DCB& Dcb) {
    return Dcb.ByteSize >= 5 && Dcb.ByteSize <= 8 && Dcb.Parity <= winapi::SPACEPARITY &&
           Dcb.StopBits <= winapi::TWOSTOPBITS;
}

} // namespace

TlxConfigRecord EncodeConfigRecord(const TlxStoredConfig& Config) {
    TlxConfigRecord Record{};
    Record[PortOffset] = Config.PortNo;
    std::memcpy(&Record[DcbOffset], &Config.Dcb, sizeof(winapi::DCB));
    std::memcpy(&Record[TimeoutsOffset], &Config.Timeouts, sizeof(winapi::COMMTIMEOUTS));
    return Record;
}

std::optional<TlxStoredConfig> DecodeConfigRecord(const TlxConfigRecord& Record) {
    TlxStoredConfig Config;
    Config.PortNo = Record[PortOffset];
    std::memcpy(&Config.Dcb, &Record[DcbOffset], sizeof(winapi::DCB));
    std::memcpy(&Config.Timeouts, &Record[TimeoutsOffset], sizeof(winapi::COMMTIMEOUTS));
    if (!IsPossibleLine(Config.Dcb)) {
        return std::nullopt;
    }
    return Config;
}
