// Conversions between the UTF-16 texts of the OS boundary and the UTF-8 byte strings of Linux
// paths, and the case rule of names that Windows compares without regard to case.
#pragma once

#include <string>
#include <string_view>

namespace winapi::posix {

// Unpaired surrogates are carried over as their own three-byte forms instead of being replaced,
// so that any UTF-16 name survives the trip to a file name and back unchanged.
std::string ToUtf8(std::u16string_view Text);
// Bytes that form no character become U+FFFD.
std::u16string FromUtf8(std::string_view Bytes);

// Names of ports, keys and values are ASCII in practice; only ASCII letters are folded.
char16_t FoldCase(char16_t Char);
bool SameName(std::u16string_view A, std::u16string_view B);

} // namespace winapi::posix
