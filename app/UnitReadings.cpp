#include "UnitReadings.h"

QString TSourceResult::StatusText() const {
    return QString::fromStdString(ReplyStatusText(Status, ExceptionCode));
}

QString FormatFixed(double Value, int Decimals, QChar DecimalPoint) {
    // QString::number ignores the locale: always '.', never a group separator.
    QString Text = QString::number(Value, 'f', Decimals);
    if (DecimalPoint != QLatin1Char('.')) {
        Text.replace(QLatin1Char('.'), DecimalPoint);
    }
    return Text;
}

QString ShownText(const TShownValue& Value, QChar DecimalPoint) {
    const QString Number = FormatFixed(Value.Value, Value.Decimals, DecimalPoint);
    return Value.Flag.isNull() ? Number : Value.Flag + Number;
}
