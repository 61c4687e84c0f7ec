#include "textcodec.h"

#include <algorithm>

namespace winapi::posix {

namespace {

constexpr char32_t Replacement = 0xFFFD;

bool IsHighSurrogate(char32_t Code) {
    return Code >= 0xD800 && Code <= 0xDBFF;
}

bool IsLowSurrogate(char32_t Code) {
    return Code >= 0xDC00 && Code <= 0xDFFF;
}

void AppendUtf8(char32_t Code, std::string& Out) {
    if (Code < 0x80) {
        Out.push_back(char(Code));
    } else if (Code < 0x800) {
        Out.push_back(char(0xC0 | (Code >> 6)));
        Out.push_back(char(0x80 | (Code & 0x3F)));
    } else if (Code < 0x10000) {
        Out.push_back(char(0xE0 | (Code >> 12)));
        Out.push_back(char(0x80 | ((Code >> 6) & 0x3F)));
        Out.push_back(char(0x80 | (Code & 0x3F)));
    } else {
        Out.push_back(char(0xF0 | (Code >> 18)));
        Out.push_back(char(0x80 | ((Code >> 12) & 0x3F)));
        Out.push_back(char(0x80 | ((Code >> 6) & 0x3F)));
        Out.push_back(char(0x80 | (Code & 0x3F)));
    }
}

void AppendUtf16(char32_t Code, std::u16string& Out) {
    if (Code < 0x10000) {
        Out.push_back(char16_t(Code));
    } else {
        Code -= 0x10000;
        Out.push_back(char16_t(0xD800 + (Code >> 10)));
        Out.push_back(char16_t(0xDC00 + (Code & 0x3FF)));
    }
}

// Decodes one sequence at Bytes[Index], advancing Index past it; malformed input yields the
// replacement character and advances by one byte.
char32_t DecodeOne(std::string_view Bytes, std::size_t& Index) {
    const auto Lead = static_cast<unsigned char>(Bytes[Index]);
    int Length = 0;
    char32_t Code = 0;
    char32_t Minimum = 0;
    if (Lead < 0x80) {
        ++Index;
        return Lead;
    } else if ((Lead & 0xE0) == 0xC0) {
        Length = 2, Code = Lead & 0x1F, Minimum = 0x80;
    } else if ((Lead & 0xF0) == 0xE0) {
        Length = 3, Code = Lead & 0x0F, Minimum = 0x800;
    } else if ((Lead & 0xF8) == 0xF0) {
        Length = 4, Code = Lead & 0x07, Minimum = 0x10000;
    } else {
        ++Index;
        return Replacement;
    }
    if (Index + std::size_t(Length) > Bytes.size()) {
        ++Index;
        return Replacement;
    }
    for (int Offset = 1; Offset < Length; ++Offset) {
        const auto Next = static_cast<unsigned char>(Bytes[Index + std::size_t(Offset)]);
        if ((Next & 0xC0) != 0x80) {
            ++Index;
            return Replacement;
        }
        Code = (Code << 6) | (Next & 0x3F);
    }
    if (Code < Minimum || Code > 0x10FFFF) {
        ++Index;
        return Replacement;
    }
    Index += std::size_t(Length);
    return Code;
}

} // namespace

std::string ToUtf8(std::u16string_view Text) {
    std::string Out;
    Out.reserve(Text.size());
    for (std::size_t Index = 0; Index < Text.size(); ++Index) {
        char32_t Code = Text[Index];
        if (IsHighSurrogate(Code) && Index + 1 < Text.size() && IsLowSurrogate(Text[Index + 1])) {
            Code = 0x10000 + ((Code - 0xD800) << 10) + (char32_t(Text[Index + 1]) - 0xDC00);
            ++Index;
        }
        AppendUtf8(Code, Out);
    }
    return Out;
}

std::u16string FromUtf8(std::string_view Bytes) {
    std::u16string Out;
    Out.reserve(Bytes.size());
    std::size_t Index = 0;
    while (Index < Bytes.size()) {
        AppendUtf16(DecodeOne(Bytes, Index), Out);
    }
    return Out;
}

char16_t FoldCase(char16_t Char) {
    return (Char >= u'a' && Char <= u'z') ? char16_t(Char - u'a' + u'A') : Char;
}

bool SameName(std::u16string_view A, std::u16string_view B) {
    return std::equal(A.begin(), A.end(), B.begin(), B.end(),
                      [](char16_t X, char16_t Y) { return FoldCase(X) == FoldCase(Y); });
}

} // namespace winapi::posix
