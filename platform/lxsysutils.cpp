#include "lxsysutils.h"

#include <algorithm>
#include <stdexcept>

namespace lx {

using namespace winapi;

namespace {

// Port names are ASCII; other characters are compared as they are, never folded into ASCII.
char16_t FoldCase(char16_t Char) {
    return (Char >= u'a' && Char <= u'z') ? char16_t(Char - u'a' + u'A') : Char;
}

bool SameText(std::u16string_view A, std::u16string_view B) {
    return std::equal(A.begin(), A.end(), B.begin(), B.end(),
                      [](char16_t X, char16_t Y) { return FoldCase(X) == FoldCase(Y); });
}

// System messages end in a full stop and a line break; a caller builds its own sentence around
// the text.
bool IsMessageTail(char16_t Char) {
    return Char <= 0x20 || Char == u'.';
}

} // namespace

std::u16string GetLastErrorText() {
    const DWORD Code = Api().GetLastError();
    LPWSTR Buffer = nullptr;
    const DWORD Length =
        Api().FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                 FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                             nullptr, Code, 0, reinterpret_cast<LPWSTR>(&Buffer), 0, nullptr);
    std::u16string Text;
    if (Buffer != nullptr) {
        if (Length > 0) {
            Text.assign(Buffer, Length);
        }
        Api().LocalFree(Buffer);
    }
    while (!Text.empty() && IsMessageTail(Text.back())) {
        Text.pop_back();
    }
    return Text;
}

HWND GetDialogOwner() {
    return Api().GetForegroundWindow();
}

int TPortList::IndexOf(std::u16string_view Text) const {
    for (int Index = 0; Index < Count(); ++Index) {
        if (SameText(fItems[std::size_t(Index)].Text, Text)) {
            return Index;
        }
    }
    return -1;
}

int TPortList::IndexOfName(std::u16string_view Name) const {
    for (int Index = 0; Index < Count(); ++Index) {
        const std::u16string_view Text = fItems[std::size_t(Index)].Text;
        const std::size_t Separator = Text.find(u'=');
        if (Separator != std::u16string_view::npos && SameText(Text.substr(0, Separator), Name)) {
            return Index;
        }
    }
    return -1;
}

std::u16string TPortList::Values(std::u16string_view Name) const {
    const int Index = IndexOfName(Name);
    if (Index < 0) {
        return {};
    }
    const std::u16string& Text = Strings(Index);
    return Text.substr(Text.find(u'=') + 1);
}

void TPortList::Add(std::u16string Text, int Tag) {
    fItems.push_back({std::move(Text), Tag});
}

void TPortList::Insert(int Index, std::u16string Text, int Tag) {
    if (Index < 0 || Index > Count()) {
        throw std::out_of_range("TPortList::Insert: index out of range");
    }
    fItems.insert(fItems.begin() + Index, {std::move(Text), Tag});
}

void AddPortSorted(const std::u16string& Text, int Number, TPortList& List) {
    if (List.IndexOf(Text) >= 0) {
        return;
    }
    // Ports mostly arrive in order: the common case appends without a walk.
    if (List.Count() == 0 || List.Tag(List.Count() - 1) < Number) {
        List.Add(Text, Number);
        return;
    }
    for (int Index = 0; Index < List.Count(); ++Index) {
        if (List.Tag(Index) > Number) {
            List.Insert(Index, Text, Number);
            return;
        }
    }
    List.Add(Text, Number);
}

std::u16string MultiSzToString(const WCHAR* Buffer, int Count, std::u16string_view Separator) {
    std::u16string Text;
    if (Buffer == nullptr) {
        return Text;
    }
    for (int Position = 0; Position <= Count - 2; ++Position) {
        const WCHAR Char = Buffer[Position];
        if (Char != 0) {
            Text.push_back(Char);
        } else if (Position == Count - 2) {
            break;
        } else {
            Text.append(Separator);
        }
    }
    return Text;
}

std::string ToWideApiName(std::string_view Name) {
    std::string Wide(Name);
    if (!Wide.empty()) {
        Wide.back() = 'W';
    }
    return Wide;
}

} // namespace lx
