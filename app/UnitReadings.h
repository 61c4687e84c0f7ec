// What one read of a source gives: the numbers the panel shows (as numbers, with the decimals
// and the phase flag they are shown with), the phase flags and the reply's status. The window,
// the record and any other front end format these same numbers, so they never disagree.
#pragma once

#include "UnitReply.h"

#include <QChar>
#include <QDateTime>
#include <QString>
#include <array>
#include <vector>

// The bench's four sources, in the order a refresh reads them.
enum class TSource : std::uint8_t { srU3AC, srI3AC, sr1AC, srUDC };
constexpr std::size_t SourceCount = 4;

struct TShownValue {
    QString Name; // the value label's name, "lbl_U_Ua"
    double Value; // scaled, before rounding
    int Decimals; // of the fixed-point text
    QChar Flag;   // '=' or '~' before the powers of a three-phase source, else null
};

struct TSourceResult {
    TSource Source = TSource::srU3AC;
    TReplyStatus Status = TReplyStatus::rsTimeout;
    std::uint8_t ExceptionCode = 0;
    // Empty unless Status is rsOk; in the order the labels are set.
    std::vector<TShownValue> Values;
    // Three-phase sources: the flag bit of phases a, b and c (true shows "=").
    std::array<bool, 3> PhaseFlags{};

    bool Ok() const { return Status == TReplyStatus::rsOk; }
    QString StatusText() const;
};

struct TRefreshResult {
    QDateTime Time; // the start of the refresh, local time
    std::array<TSourceResult, SourceCount> Sources;
};

// Value in fixed point with Decimals decimals, ASCII digits, no group separator, DecimalPoint
// between the integer and the fraction.
QString FormatFixed(double Value, int Decimals, QChar DecimalPoint = QLatin1Char('.'));
// The text of a label: the flag, then the number.
QString ShownText(const TShownValue& Value, QChar DecimalPoint);
