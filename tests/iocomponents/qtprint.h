// Readable Qt texts in GoogleTest's failure messages.
#pragma once

#include <QString>
#include <QStringList>
#include <ostream>

inline void PrintTo(const QString& Text, std::ostream* Out) {
    *Out << '"' << Text.toStdString() << '"';
}

inline void PrintTo(const QStringList& Texts, std::ostream* Out) {
    *Out << '{';
    for (qsizetype Index = 0; Index < Texts.size(); ++Index) {
        *Out << (Index == 0 ? "" : ", ");
        PrintTo(Texts[Index], Out);
    }
    *Out << '}';
}
