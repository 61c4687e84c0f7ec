// System helpers that need no device: error texts, the dialog owner, the ordered port list and the
// small text utilities of the Plug and Play enumeration. Written once against the OS boundary.
#pragma once

#include "winapi.h"

#include <string>
#include <string_view>
#include <vector>

namespace lx {

using winapi::DWORD;
using winapi::HWND;

// Text of the calling thread's last system error, without trailing blanks, line breaks and dots;
// empty when the system has no message for the code.
std::u16string GetLastErrorText();

// The window that owns message boxes and dialogs.
HWND GetDialogOwner();

// An ordered list of port entries: a bare name (COM3) or a name/value pair (COM3=\Device\Serial0),
// each with an integer tag, the port number. All text comparisons ignore case.
class TPortList {
public:
    struct TEntry {
        std::u16string Text;
        int Tag = 0;
    };

    void Clear() { fItems.clear(); }
    int Count() const { return int(fItems.size()); }
    const TEntry& operator[](int Index) const { return fItems.at(std::size_t(Index)); }
    const std::u16string& Strings(int Index) const { return (*this)[Index].Text; }
    int Tag(int Index) const { return (*this)[Index].Tag; }

    // Index of the entry whose whole text equals Text, or -1.
    int IndexOf(std::u16string_view Text) const;
    // Index of the first entry whose name (the text before the first "=") equals Name, or -1.
    // Entries without "=" have no name.
    int IndexOfName(std::u16string_view Name) const;
    // The value part of the first entry named Name; empty when there is none.
    std::u16string Values(std::u16string_view Name) const;

    void Add(std::u16string Text, int Tag);
    void Insert(int Index, std::u16string Text, int Tag);

private:
    std::vector<TEntry> fItems;
};

// Keeps List ordered by port number; an entry whose whole text is already listed is ignored, and
// entries with equal numbers keep their arrival order.
void AddPortSorted(const std::u16string& Text, int Number, TPortList& List);

// A NUL-separated list ending in a double NUL, Count characters long in all, joined by Separator.
std::u16string MultiSzToString(const winapi::WCHAR* Buffer, int Count,
                               std::u16string_view Separator);

// The wide-character form of an entry point name: its last character replaced by "W".
std::string ToWideApiName(std::string_view Name);

} // namespace lx
