// Any 49 bytes as the stored port configuration: a record taken has line settings a port can
// have, and is given back byte for byte when stored again.
#include "lxconfigrecord.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    TlxConfigRecord Record{};
    std::copy_n(Data, std::min(Size, Record.size()), Record.begin());
    const std::optional<TlxStoredConfig> Config = DecodeConfigRecord(Record);
    if (!Config) {
        return 0;
    }
    if (Config->Dcb.ByteSize < 5 || Config->Dcb.ByteSize > 8 ||
        Config->Dcb.Parity > winapi::SPACEPARITY || Config->Dcb.StopBits > winapi::TWOSTOPBITS ||
        EncodeConfigRecord(*Config) != Record) {
        std::abort();
    }
    return 0;
}
