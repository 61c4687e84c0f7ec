// Any bytes as a sysfs attribute: the text taken is one line of it, without surrounding blanks.
#include "posix/sysfs.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    const std::string_view Contents(reinterpret_cast<const char*>(Data), Size);
    const std::string Text = winapi::posix::AttributeText(Contents);
    const auto Blank = [](char Char) { return std::isspace(static_cast<unsigned char>(Char)); };
    if (Text.find('\n') != std::string::npos || Contents.find(Text) == std::string_view::npos ||
        (!Text.empty() && (Blank(Text.front()) || Blank(Text.back())))) {
        std::abort();
    }
    return 0;
}
