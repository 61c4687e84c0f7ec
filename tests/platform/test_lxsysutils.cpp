// The port list, its ordering, the text utilities and the error text.
#include "fake_winapi.h"
#include "lxsysutils.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

using namespace std::string_literals;
using namespace std::string_view_literals;
using lx::TPortList;

namespace {

using TEntries = std::vector<std::pair<std::u16string, int>>;

TEntries EntriesOf(const TPortList& List) {
    TEntries Entries;
    for (int Index = 0; Index < List.Count(); ++Index) {
        Entries.emplace_back(List.Strings(Index), List.Tag(Index));
    }
    return Entries;
}

} // namespace

TEST(PortList, ComparesNamesAndTextsIgnoringAsciiCase) {
    TPortList List;
    List.Add(u"COM3=\\Device\\Serial0", 3);
    List.Add(u"COM4", 4);
    List.Add(u"Ä=umlaut", 0);

    EXPECT_EQ(List.IndexOf(u"com3=\\device\\SERIAL0"), 0);
    EXPECT_EQ(List.IndexOf(u"COM3"), -1);
    EXPECT_EQ(List.IndexOfName(u"com3"), 0);
    EXPECT_EQ(List.Values(u"Com3"), u"\\Device\\Serial0");
    // An entry without "=" has no name.
    EXPECT_EQ(List.IndexOfName(u"COM4"), -1);
    EXPECT_EQ(List.Values(u"COM4"), u"");
    // Only ASCII letters fold; other characters compare as they are.
    EXPECT_EQ(List.IndexOfName(u"Ä"), 2);
    EXPECT_EQ(List.IndexOfName(u"ä"), -1);
}

TEST(PortList, InsertOutsideTheListIsRefused) {
    TPortList List;
    List.Add(u"COM1", 1);
    EXPECT_THROW(List.Insert(2, u"COM2", 2), std::out_of_range);
    EXPECT_THROW(List.Insert(-1, u"COM2", 2), std::out_of_range);
    List.Insert(1, u"COM2", 2);
    EXPECT_EQ(EntriesOf(List), (TEntries{{u"COM1", 1}, {u"COM2", 2}}));
}

struct TSortedCase {
    const char* Name;
    TEntries Arrivals;
    TEntries Expected;
};

void PrintTo(const TSortedCase& Case, std::ostream* Out) {
    *Out << Case.Name;
}

class AddPortSorted : public testing::TestWithParam<TSortedCase> {};

TEST_P(AddPortSorted, KeepsThePortOrder) {
    TPortList List;
    for (const auto& [Text, Number] : GetParam().Arrivals) {
        lx::AddPortSorted(Text, Number, List);
    }
    EXPECT_EQ(EntriesOf(List), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AddPortSorted,
    testing::Values(TSortedCase{"RepeatedTextIgnored",
                                {{u"COM10", 10}, {u"COM2", 2}, {u"COM2", 2}, {u"COM1", 1}},
                                {{u"COM1", 1}, {u"COM2", 2}, {u"COM10", 10}}},
                    TSortedCase{"TextComparedIgnoringCase",
                                {{u"COM3=\\Device\\A", 3}, {u"com3=\\device\\a", 3}},
                                {{u"COM3=\\Device\\A", 3}}},
                    TSortedCase{"EqualNumbersAtTheEndKeepArrivalOrder",
                                {{u"COM1", 1}, {u"COM5=A", 5}, {u"COM5=B", 5}, {u"COM5=C", 5}},
                                {{u"COM1", 1}, {u"COM5=A", 5}, {u"COM5=B", 5}, {u"COM5=C", 5}}},
                    TSortedCase{"EqualNumbersInsideKeepArrivalOrder",
                                {{u"COM9", 9}, {u"COM1", 1}, {u"COM5=A", 5}, {u"COM5=B", 5}},
                                {{u"COM1", 1}, {u"COM5=A", 5}, {u"COM5=B", 5}, {u"COM9", 9}}},
                    TSortedCase{"DescendingArrivals",
                                {{u"COM3", 3}, {u"COM2", 2}, {u"COM1", 1}},
                                {{u"COM1", 1}, {u"COM2", 2}, {u"COM3", 3}}}),
    [](const auto& Info) { return std::string(Info.param.Name); });

struct TMultiSzCase {
    const char* Name;
    std::u16string Buffer;
    int Count;
    std::u16string Separator;
    std::u16string Expected;
};

void PrintTo(const TMultiSzCase& Case, std::ostream* Out) {
    *Out << Case.Name;
}

class MultiSzToString : public testing::TestWithParam<TMultiSzCase> {};

TEST_P(MultiSzToString, JoinsTheTexts) {
    const TMultiSzCase& Case = GetParam();
    EXPECT_EQ(lx::MultiSzToString(Case.Buffer.data(), Case.Count, Case.Separator), Case.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MultiSzToString,
    testing::Values(TMultiSzCase{"TwoTexts", u"A\0B\0\0"s, 5, u";", u"A;B"},
                    TMultiSzCase{"LongerTextsAndSeparator", u"USB\\1\0PCI\\2\0\0"s, 13, u", ",
                                 u"USB\\1, PCI\\2"},
                    TMultiSzCase{"OneText", u"A\0\0"s, 3, u";", u"A"},
                    TMultiSzCase{"EmptyList", u"\0\0"s, 2, u";", u""},
                    TMultiSzCase{"EmptyTextInside", u"A\0\0B\0\0"s, 6, u";", u"A;;B"},
                    TMultiSzCase{"CountEndsEarly", u"A\0B\0\0"s, 3, u";", u"A"},
                    TMultiSzCase{"CountOne", u"A\0"s, 1, u";", u""},
                    TMultiSzCase{"CountZero", u"A\0"s, 0, u";", u""},
                    TMultiSzCase{"CountNegative", u"A\0"s, -4, u";", u""}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST(MultiSzToString, NoBufferGivesEmptyText) {
    EXPECT_EQ(lx::MultiSzToString(nullptr, 5, u";"), u"");
}

TEST(ToWideApiName, ReplacesTheLastLetter) {
    const std::vector<std::pair<std::string, std::string>> Cases = {
        {"SetupDiGetClassDevsA", "SetupDiGetClassDevsW"},
        {"CM_Get_Device_ID_ListA", "CM_Get_Device_ID_ListW"},
        {"A", "W"},
        {"", ""}};
    for (const auto& [Name, Wide] : Cases) {
        EXPECT_EQ(lx::ToWideApiName(Name), Wide) << Name;
    }
}

struct TErrorTextCase {
    const char* Name;
    std::optional<std::u16string> Message;
    std::u16string Expected;
};

void PrintTo(const TErrorTextCase& Case, std::ostream* Out) {
    *Out << Case.Name;
}

class GetLastErrorText : public testing::TestWithParam<TErrorTextCase> {
protected:
    lxtest::TFakeApi Fake;
    lxtest::TFakeApiScope Scope{Fake};
};

TEST_P(GetLastErrorText, TrimsTheSystemMessage) {
    constexpr winapi::DWORD Code = 1234;
    if (GetParam().Message) {
        Fake.SetMessage(Code, *GetParam().Message);
    }
    Fake.SetLastError(Code);

    EXPECT_EQ(lx::GetLastErrorText(), GetParam().Expected);

    const auto Calls = Fake.Calls("FormatMessageW");
    ASSERT_EQ(Calls.size(), 1u);
    const std::vector<std::uintptr_t> Args = {
        winapi::FORMAT_MESSAGE_ALLOCATE_BUFFER | winapi::FORMAT_MESSAGE_IGNORE_INSERTS |
            winapi::FORMAT_MESSAGE_FROM_SYSTEM | winapi::FORMAT_MESSAGE_ARGUMENT_ARRAY,
        Code, 0, 0};
    EXPECT_EQ(Calls[0].Args, Args);
    EXPECT_EQ(Fake.LiveLocalAllocs(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GetLastErrorText,
    testing::Values(TErrorTextCase{"DotAndLineBreak", u"Access is denied.\r\n",
                                   u"Access is denied"},
                    TErrorTextCase{"BlanksDotsAndNul", u"The device is not ready. . \t\r\n\0"s,
                                   u"The device is not ready"},
                    TErrorTextCase{"InnerDotsAndLeadingBlanksKept", u"  Version 1.2 of x.y failed",
                                   u"  Version 1.2 of x.y failed"},
                    TErrorTextCase{"NothingButTail", u"...\r\n", u""},
                    TErrorTextCase{"NoMessage", std::nullopt, u""}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST(GetDialogOwner, IsTheForegroundWindow) {
    lxtest::TFakeApi Fake;
    lxtest::TFakeApiScope Scope(Fake);
    const auto Window = reinterpret_cast<winapi::HWND>(std::uintptr_t(0x4242));
    Fake.SetForegroundWindow(Window);
    EXPECT_EQ(lx::GetDialogOwner(), Window);
}
