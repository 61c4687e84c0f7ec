#include "lxformat.h"

#include <algorithm>

namespace {

// A damaged format must not ask for megabytes of padding.
constexpr int MaxWidth = 1024;

struct TConversion {
    bool LeftAlign = false;
    bool ZeroPad = false;
    int Width = 0;
    QChar Type;
};

QString Pad(const QString& Body, const TConversion& Conversion) {
    const auto Missing = Conversion.Width - Body.size();
    if (Missing <= 0) {
        return Body;
    }
    const QString Fill(Missing, QLatin1Char(' '));
    return Conversion.LeftAlign ? Body + Fill : Fill + Body;
}

QString Describe(const TlxArg& Arg) {
    switch (Arg.Kind()) {
    case TlxArg::TKind::Signed:
        return QStringLiteral("int=") + QString::number(Arg.Signed());
    case TlxArg::TKind::Unsigned:
        return QStringLiteral("uint=") + QString::number(Arg.Unsigned());
    case TlxArg::TKind::Text:
        break;
    }
    return QStringLiteral("text=") + Arg.Text();
}

QString Slip(const TConversion& Conversion, const QString& What) {
    return QStringLiteral("%!") + Conversion.Type + QLatin1Char('(') + What + QLatin1Char(')');
}

// The integer as its type holds it without a sign: a negative value reads as its two's
// complement at the size it was given with.
std::uint64_t WithoutSign(const TlxArg& Arg) {
    if (Arg.Size() >= 8) {
        return Arg.Unsigned();
    }
    return Arg.Unsigned() & ((std::uint64_t{1} << (8 * Arg.Size())) - 1);
}

QString Integer(const TConversion& Conversion, const TlxArg& Arg) {
    const QChar Type = Conversion.Type;
    const bool Negative =
        Type == QLatin1Char('d') && Arg.Kind() == TlxArg::TKind::Signed && Arg.Signed() < 0;
    std::uint64_t Magnitude = Type == QLatin1Char('d') ? Arg.Unsigned() : WithoutSign(Arg);
    if (Negative) {
        Magnitude = 0 - Magnitude;
    }
    const bool Hex = Type == QLatin1Char('x') || Type == QLatin1Char('X');
    QString Digits = QString::number(Magnitude, Hex ? 16 : 10);
    if (Type == QLatin1Char('X')) {
        Digits = Digits.toUpper();
    }
    const QString Sign = Negative ? QStringLiteral("-") : QString();
    if (Conversion.ZeroPad && !Conversion.LeftAlign) {
        const auto Zeros = Conversion.Width - Sign.size() - Digits.size();
        if (Zeros > 0) {
            Digits.prepend(QString(Zeros, QLatin1Char('0')));
        }
    }
    return Pad(Sign + Digits, Conversion);
}

QString Convert(const TConversion& Conversion, const TlxArg* Arg) {
    if (Arg == nullptr) {
        return Slip(Conversion, QStringLiteral("missing"));
    }
    const bool IsText = Arg->Kind() == TlxArg::TKind::Text;
    switch (Conversion.Type.unicode()) {
    case 'd':
    case 'u':
    case 'x':
    case 'X':
        return IsText ? Slip(Conversion, Describe(*Arg)) : Integer(Conversion, *Arg);
    case 's':
        return IsText ? Pad(Arg->Text(), Conversion) : Slip(Conversion, Describe(*Arg));
    default:
        return Slip(Conversion, Describe(*Arg));
    }
}

bool IsAsciiDigit(QChar Ch) {
    return Ch >= QLatin1Char('0') && Ch <= QLatin1Char('9');
}

} // namespace

QString LxFormat(const QString& Format, const TlxArgs& Args) {
    QString Result;
    Result.reserve(Format.size() + 16 * qsizetype(Args.size()));
    std::size_t NextArg = 0;
    const qsizetype Size = Format.size();
    for (qsizetype i = 0; i < Size; ++i) {
        if (Format[i] != QLatin1Char('%')) {
            Result += Format[i];
            continue;
        }
        ++i;
        if (i < Size && Format[i] == QLatin1Char('%')) {
            Result += QLatin1Char('%');
            continue;
        }
        TConversion Conversion;
        for (; i < Size && (Format[i] == QLatin1Char('-') || Format[i] == QLatin1Char('0')); ++i) {
            (Format[i] == QLatin1Char('-') ? Conversion.LeftAlign : Conversion.ZeroPad) = true;
        }
        for (; i < Size && IsAsciiDigit(Format[i]); ++i) {
            Conversion.Width =
                std::min(Conversion.Width * 10 + (Format[i].unicode() - '0'), MaxWidth);
        }
        if (i >= Size) {
            Result += QStringLiteral("%!(incomplete)");
            break;
        }
        Conversion.Type = Format[i];
        Result += Convert(Conversion, NextArg < Args.size() ? &Args[NextArg] : nullptr);
        ++NextArg;
    }
    return Result;
}
