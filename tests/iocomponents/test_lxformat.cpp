#include "lxformat.h"

#include <QString>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <ostream>

namespace {

// Only integers and texts are arguments: anything else must not slip in through a conversion.
static_assert(!std::is_constructible_v<TlxArg, bool>);
static_assert(!std::is_constructible_v<TlxArg, double>);
static_assert(!std::is_constructible_v<TlxArg, const void*>);

struct TFormatCase {
    const char* Name;
    const char* Format;
    TlxArgs Args;
    QString Expected;
};

std::ostream& operator<<(std::ostream& Out, const TFormatCase& Case) {
    return Out << Case.Name;
}

class LxFormatTest : public ::testing::TestWithParam<TFormatCase> {};

TEST_P(LxFormatTest, Formats) {
    const TFormatCase& Case = GetParam();
    EXPECT_EQ(LxFormat(QString::fromUtf8(Case.Format), Case.Args), Case.Expected);
}

const TFormatCase Cases[] = {
    // The library's own lines.
    {"port_name", "COM%u", {3u}, "COM3"},
    {"fatal_line",
     "Fatal Error: %u, %u, %s",
     {1u, 0u, "Open failed"},
     "Fatal Error: 1, 0, Open failed"},
    {"comm_error", "Communication Error %d:%d %X", {4, 0, 0x1A}, "Communication Error 4:0 1A"},
    {"send_char", "Try to send char %2Xh ...", {0x5}, "Try to send char  5h ..."},
    {"send_char_wide", "%2Xh", {0xAB}, "ABh"},
    {"percent", "100%% done", {}, "100% done"},
    {"text_utf16", "%s!", {QString::fromUtf8("端口 Ä")}, QString::fromUtf8("端口 Ä!")},
    // Integers.
    {"negative_d", "%d", {-5}, "-5"},
    {"hex_lower", "%x", {255}, "ff"},
    {"int64_min", "%d", {std::numeric_limits<std::int64_t>::min()}, "-9223372036854775808"},
    {"uint64_max_d", "%d", {std::numeric_limits<std::uint64_t>::max()}, "18446744073709551615"},
    {"u_of_negative_int", "%u", {-1}, "4294967295"},
    {"X_of_negative_int8", "%X", {std::int8_t{-1}}, "FF"},
    {"X_of_negative_int64", "%X", {std::int64_t{-2}}, "FFFFFFFFFFFFFFFE"},
    // Width and flags.
    {"zero_pad", "%02X", {5}, "05"},
    {"zero_pad_after_sign", "%05d", {-42}, "-0042"},
    {"left_align", "%-4d|", {7}, "7   |"},
    {"left_beats_zero", "%-04d|", {7}, "7   |"},
    {"text_width", "%5s|%-5s|", {"ab", "cd"}, "   ab|cd   |"},
    {"width_capped", "%99999999999d", {1}, QString(1023, QLatin1Char(' ')) + "1"},
    // Slips show in the line.
    {"missing", "%u and %s", {1u}, "1 and %!s(missing)"},
    {"text_for_number", "%d", {"abc"}, "%!d(text=abc)"},
    {"int_for_text", "%s", {-5}, "%!s(int=-5)"},
    {"uint_for_text", "%s", {5u}, "%!s(uint=5)"},
    {"unknown_letter_takes_one", "%q|%d", {5, 6}, "%!q(int=5)|6"},
    {"ends_after_percent", "abc%", {}, "abc%!(incomplete)"},
    {"ends_in_width", "%05", {1}, "%!(incomplete)"},
    {"extra_ignored", "x", {1, 2}, "x"},
};

INSTANTIATE_TEST_SUITE_P(Cases, LxFormatTest, ::testing::ValuesIn(Cases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

} // namespace
