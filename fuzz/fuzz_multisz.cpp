// Any characters and any count as a NUL-separated list: the text joined stays inside the buffer
// and is what the plain walk over the list gives.
#include "lxsysutils.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Position by position, as the list is defined: a character is kept, the last-but-one NUL ends
// it, every other NUL stands for the separator.
std::u16string Walked(const std::vector<winapi::WCHAR>& Buffer, int Count, std::u16string_view Separator) {
    std::u16string Text;
    for (int Index = 0; Index + 2 <= Count; ++Index) {
        if (Buffer[std::size_t(Index)] != 0) {
            Text.push_back(Buffer[std::size_t(Index)]);
        } else if (Index == Count - 2) {
            break;
        } else {
            Text += Separator;
        }
    }
    return Text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size < 3) {
        return 0;
    }
    // The first byte picks the count, at most the buffer's length and sometimes below 2.
    std::vector<winapi::WCHAR> Buffer((Size - 1) / 2);
    std::memcpy(Buffer.data(), Data + 1, Buffer.size() * 2);
    const int Count = int(Data[0] % (Buffer.size() + 1));
    const std::u16string Separator = Data[0] & 0x80 ? u";" : u", ";
    if (lx::MultiSzToString(Buffer.data(), Count, Separator) != Walked(Buffer, Count, Separator)) {
        std::abort();
    }
    return 0;
}
