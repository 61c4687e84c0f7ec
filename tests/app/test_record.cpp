// The record of the refreshes: its columns, its rows and its file.
#include "UnitRecord.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

TSourceResult Passed(TSource Source, std::vector<TShownValue> Values,
                     std::array<bool, 3> Flags = {}) {
    TSourceResult Result;
    Result.Source = Source;
    Result.Status = TReplyStatus::rsOk;
    Result.Values = std::move(Values);
    Result.PhaseFlags = Flags;
    return Result;
}

TSourceResult Failed(TSource Source, TReplyStatus Status, std::uint8_t Code = 0) {
    TSourceResult Result;
    Result.Source = Source;
    Result.Status = Status;
    Result.ExceptionCode = Code;
    return Result;
}

TRefreshResult SampleRefresh() {
    TRefreshResult Refresh;
    Refresh.Time = QDateTime(QDate(2026, 12, 11), QTime(16, 5, 7, 42));
    Refresh.Sources = {
        Passed(TSource::srU3AC,
               {{"lbl_U_Ua", 220.04, 1, {}},
                {"lbl_U_UAB", 381.1, 1, {}},
                {"lbl_U_Pa", 1.05, 1, QLatin1Char('=')}},
               {true, false, false}),
        Failed(TSource::srI3AC, TReplyStatus::rsCRC),
        Failed(TSource::sr1AC, TReplyStatus::rsException, 2),
        Passed(TSource::srUDC, {{"lbl_UDC", 219.96, 1, {}}}),
    };
    return Refresh;
}

QString Cell(const QString& Row, const QString& Column) {
    return Row.split(QLatin1Char(',')).value(int(RecordColumns().indexOf(Column)));
}

TEST(Record, ColumnsFollowTheWindowThenFlagsThenStatuses) {
    const QStringList& Columns = RecordColumns();
    ASSERT_EQ(Columns.size(), 1 + 52 + 6 + 4);
    EXPECT_EQ(Columns.first(), "time");
    EXPECT_EQ(Columns.mid(1, 8),
              QStringList({"U_UAB", "U_UCA", "U_UBC", "U_Freq", "U_Ua", "U_Ub", "U_Uc", "U_Ia"}));
    EXPECT_EQ(Columns.mid(23, 7),
              QStringList({"I_Ia", "I_Ib", "I_Ic", "I_Freq", "I_Uab", "I_Uca", "I_Ubc"}));
    EXPECT_EQ(Columns.mid(45, 8), QStringList({"U", "I", "PF", "P", "Q", "S", "Freq", "UDC"}));
    EXPECT_EQ(Columns.mid(53),
              QStringList({"U3AC_a", "U3AC_b", "U3AC_c", "I3AC_a", "I3AC_b", "I3AC_c",
                           "U3AC_status", "I3AC_status", "1AC_status", "UDC_status"}));
    EXPECT_EQ(RecordHeader(), Columns.join(','));
}

// The numbers as shown, without the flag, with '.' whatever the locale; empty cells for the
// sources whose replies did not pass, and their reasons.
TEST(Record, ARowHoldsTheNumbersShownAndEachSourcesStatus) {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const QString Row = RecordRow(SampleRefresh());
    QLocale::setDefault(QLocale::c());
    EXPECT_EQ(Row.count(','), RecordColumns().size() - 1);
    EXPECT_EQ(Cell(Row, "time"), "2026-12-11T16:05:07.042");
    EXPECT_EQ(Cell(Row, "U_Ua"), "220.0");
    EXPECT_EQ(Cell(Row, "U_UAB"), "381.1");
    EXPECT_EQ(Cell(Row, "U_Pa"), "1.1") << "rounded as shown, no flag";
    EXPECT_EQ(Cell(Row, "U_Ub"), "") << "a value the reply did not carry";
    EXPECT_EQ(Cell(Row, "I_Ia"), "");
    EXPECT_EQ(Cell(Row, "UDC"), "220.0");
    EXPECT_EQ(Cell(Row, "U3AC_a"), "=");
    EXPECT_EQ(Cell(Row, "U3AC_b"), "~");
    EXPECT_EQ(Cell(Row, "I3AC_a"), "");
    EXPECT_EQ(Cell(Row, "U3AC_status"), "ok");
    EXPECT_EQ(Cell(Row, "I3AC_status"), "crc");
    EXPECT_EQ(Cell(Row, "1AC_status"), "exception 2");
    EXPECT_EQ(Cell(Row, "UDC_status"), "ok");
}

QStringList FileLines(const QString& Path) {
    QFile File(Path);
    EXPECT_TRUE(File.open(QIODevice::ReadOnly));
    QStringList Lines = QString::fromUtf8(File.readAll()).split('\n');
    EXPECT_EQ(Lines.takeLast(), "") << "every row ends with its line end";
    return Lines;
}

// A new file gets the header; a file that exists gets rows only, after what it held. Each row
// is in the file as soon as it is written.
TEST(Record, TheFileGetsOneHeaderAndEveryRowAsItIsWritten) {
    QTemporaryDir Dir;
    const QString Path = Dir.filePath("record.csv");
    const QString Row = RecordRow(SampleRefresh());
    QString Error;
    {
        TRecordFile Record;
        ASSERT_TRUE(Record.Open(Path, Error)) << Error.toStdString();
        ASSERT_TRUE(Record.Append(SampleRefresh()));
        EXPECT_EQ(FileLines(Path), QStringList({RecordHeader(), Row}));
    }
    TRecordFile Again;
    ASSERT_TRUE(Again.Open(Path, Error));
    ASSERT_TRUE(Again.Append(SampleRefresh()));
    EXPECT_EQ(FileLines(Path), QStringList({RecordHeader(), Row, Row}));
}

TEST(Record, AFileThatCannotBeOpenedIsAnErrorThatNamesIt) {
    QTemporaryDir Dir;
    const QString Path = Dir.filePath("missing/record.csv");
    TRecordFile Record;
    QString Error;
    EXPECT_FALSE(Record.Open(Path, Error));
    EXPECT_TRUE(Error.contains(Path)) << Error.toStdString();
    EXPECT_FALSE(Record.IsOpen());
    EXPECT_FALSE(Record.Append(SampleRefresh()));
}

} // namespace
