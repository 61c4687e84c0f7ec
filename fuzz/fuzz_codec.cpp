// Arbitrary bytes taken as a reply of each record kind: decoding must stay inside the record and
// the CRC must never read outside its buffer, whatever arrives on the line.
#include "UnitTypesPX4610.h"
#include "UnitUtils.h"

#include <algorithm>
#include <cstring>
#include <span>

namespace {
template <typename TRecord> void DecodeAs(const std::uint8_t* Data, std::size_t Size) {
    TRecord record{};
    std::memcpy(&record, Data, std::min(Size, sizeof(record)));
    DecodeRecord(record);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    DecodeAs<TRecord_3AC>(Data, Size);
    DecodeAs<TRecord_1AC>(Data, Size);
    DecodeAs<TRecord_UDC>(Data, Size);
    if (Size >= 2) {
        const std::span<const std::uint8_t> bytes(Data, Size);
        const std::int32_t first = Data[0] - 16;
        const std::int32_t last = std::int32_t(Size) + Data[1] - 128;
        (void)CalcCRC16(bytes, first, last);
    }
    return 0;
}
