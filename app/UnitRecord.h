// The record of the refreshes: one CSV row per refresh, with the numbers the panel shows. The
// columns:
// - time: the refresh's start, ISO 8601 local time with milliseconds;
// - one column per value label, in the window's reading order (the columns of the window from
//   left to right, each from top to bottom, a band's left half before its right half), named by
//   the label's name without "lbl_": the number as shown, always with '.' as the decimal
//   separator and without the phase flag; empty where that source's reply did not pass;
// - the phase flags of the three-phase sources, "=" or "~" (U3AC_a ... I3AC_c);
// - one status column per source (U3AC_status, I3AC_status, 1AC_status, UDC_status): ok,
//   timeout, crc, address, function, length or "exception N".
#pragma once

#include "UnitReadings.h"

#include <QFile>
#include <QString>
#include <QStringList>

// The column names, in order.
const QStringList& RecordColumns();
// The header row and one row, each without the line end.
QString RecordHeader();
QString RecordRow(const TRefreshResult& Refresh);

// A record file: rows appended, a header first when the file is new or empty, every row handed
// to the system as it is written, so that a killed panel loses at most the row being written.
class TRecordFile {
public:
    // Opens Path for appending; false with a readable reason in Error.
    bool Open(const QString& Path, QString& Error);
    void Close();
    bool IsOpen() const { return fFile.isOpen(); }
    QString FileName() const { return fFile.fileName(); }
    // False when the row could not be written.
    bool Append(const TRefreshResult& Refresh);

private:
    bool WriteLine(const QString& Line);

    QFile fFile;
};
