// The file log: time stamps, the level filter, Save and Clear on a real file, failures, threads.
#include "lxfilelog.h"
#include "qtprint.h"
#include "testio.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

// The text of a line without its time stamp, checking the stamp's form on the way.
QString Text(const QString& Line) {
    static const QRegularExpression Stamp(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} "));
    const QRegularExpressionMatch Match = Stamp.match(Line);
    EXPECT_TRUE(Match.hasMatch()) << Line.toStdString();
    return Line.mid(Match.capturedLength());
}

QStringList Texts(const QStringList& Lines) {
    QStringList Result;
    for (const QString& Line : Lines) {
        Result.append(Text(Line));
    }
    return Result;
}

TEST(LxFileLog, KeepsLinesUpToItsDetailLevel) {
    const std::pair<TDetailLevel, QStringList> Cases[] = {
        {dlSimple, {"simple", "plain", "formatted 7"}},
        {dlDetail, {"simple", "detail", "plain", "formatted 7"}},
        {dlDebug, {"simple", "detail", "debug", "plain", "formatted 7"}},
    };
    for (const auto& [Level, Expected] : Cases) {
        TlxFileLog Log;
        Log.SetDetailLevel(Level);
        Log.AddLog(dlSimple, "simple");
        Log.AddLogFmt(dlDetail, "%s", {"detail"});
        Log.AddLog(dlDebug, "debug");
        Log.Add("plain"); // no level: always kept
        Log.AddFmt("formatted %d", {7});
        EXPECT_EQ(Texts(Log.Lines()), Expected) << Level;
    }
}

TEST(LxFileLog, TakesAComponentsLinesAndTheSystemInformation) {
    TlxFileLog Log;
    lxtest::TTestIO Io;
    Io.SetLog(&Log);
    Io.LogMessage(dlSimple, "Opened");
    Io.LogMessage(dlSimple, "");
    const QStringList Lines = Texts(Log.Lines());
    ASSERT_EQ(Lines.size(), 5);
    EXPECT_EQ(Lines[0], "TTestIOOpened");
    EXPECT_TRUE(Lines[4].startsWith("Qt: 6.")) << Lines[4].toStdString();
}

TEST(LxFileLog, SaveWritesTheFileWholeAndClearEmptiesTheLog) {
    QTemporaryDir Dir;
    ASSERT_TRUE(Dir.isValid());
    const QString Name = Dir.filePath("bench.log");
    TlxFileLog Log;
    Log.SetFileName(Name);
    Log.Add("first");
    Log.Add(QString::fromUtf8("第二"));
    Log.Save();
    QFile File(Name);
    ASSERT_TRUE(File.open(QIODevice::ReadOnly));
    const QStringList Saved = QString::fromUtf8(File.readAll()).split('\n');
    File.close();
    EXPECT_EQ(Saved.size(), 3); // two lines, each ended
    EXPECT_EQ(Texts(Saved.mid(0, 2)), (QStringList{"first", QString::fromUtf8("第二")}));
    EXPECT_EQ(Saved.mid(0, 2), Log.Lines());

    Log.Clear();
    EXPECT_TRUE(Log.Lines().isEmpty());
    ASSERT_TRUE(File.open(QIODevice::ReadOnly));
    EXPECT_FALSE(File.readAll().isEmpty()); // the file follows at the next Save
    File.close();
    Log.Save();
    EXPECT_EQ(QFile(Name).size(), 0);
    // Nothing but the log itself is left behind.
    EXPECT_EQ(QDir(Dir.path()).entryList(QDir::Files), QStringList{"bench.log"});
}

// A log that runs for weeks keeps its newest lines only, and its file says how many went.
TEST(LxFileLog, KeepsTheNewestLinesUpToItsBoundAndTheFileSaysHowManyWent) {
    QTemporaryDir Dir;
    ASSERT_TRUE(Dir.isValid());
    TlxFileLog Log;
    EXPECT_EQ(Log.MaxLines(), 10000);
    Log.SetMaxLines(3);
    for (int Line = 1; Line <= 5; ++Line) {
        Log.Add(QString::number(Line));
    }
    EXPECT_EQ(Texts(Log.Lines()), (QStringList{"3", "4", "5"}));
    EXPECT_EQ(Log.DroppedLines(), 2);
    Log.SetFileName(Dir.filePath("bench.log"));
    Log.Save();
    QFile File(Dir.filePath("bench.log"));
    ASSERT_TRUE(File.open(QIODevice::ReadOnly));
    const QStringList Saved = QString::fromUtf8(File.readAll()).split('\n');
    ASSERT_EQ(Saved.size(), 5);
    EXPECT_EQ(Saved[0], "(2 earlier lines were dropped)");
    EXPECT_EQ(Saved.mid(1, 3), Log.Lines());

    // A smaller bound takes effect at once; Clear starts the count again.
    Log.SetMaxLines(1);
    EXPECT_EQ(Texts(Log.Lines()), QStringList{"5"});
    EXPECT_EQ(Log.DroppedLines(), 4);
    Log.SetMaxLines(0);
    EXPECT_EQ(Log.MaxLines(), 1);
    Log.Clear();
    EXPECT_EQ(Log.DroppedLines(), 0);
}

TEST(LxFileLog, AFileThatCannotBeWrittenIsAFatalError) {
    QTemporaryDir Dir;
    ASSERT_TRUE(Dir.isValid());
    TlxFileLog Log;
    Log.SetFileName(Dir.filePath("missing/bench.log"));
    Log.Add("line");
    try {
        Log.Save();
        ADD_FAILURE() << "nothing raised";
    } catch (const ElxError& Error) {
        EXPECT_TRUE(Error.Message().startsWith("Cannot save the log to ")) << Error.what();
    }
    struct TVetoSave {
        int Calls = 0;
        void OnFatalError(QObject*, quint32 Code, quint32, const QString&, bool& Raise) {
            EXPECT_EQ(Code, 1u);
            ++Calls;
            Raise = false;
        }
    } Veto;
    Log.SetOnFatalError(TOnFatalErrorEvent::Bind<&TVetoSave::OnFatalError>(&Veto));
    EXPECT_NO_THROW(Log.Save());
    EXPECT_EQ(Veto.Calls, 1);
    EXPECT_EQ(Log.Lines().size(), 1); // the log does not record its own failure
}

TEST(LxFileLog, ThreadsMayWriteAtOnce) {
    TlxFileLog Log;
    Log.SetDetailLevel(dlDebug);
    std::vector<std::thread> Writers;
    for (int Writer = 0; Writer < 4; ++Writer) {
        Writers.emplace_back([&Log] {
            for (int Line = 0; Line < 200; ++Line) {
                Log.AddLogFmt(dlDebug, "line %d", {Line});
            }
        });
    }
    for (std::thread& Writer : Writers) {
        Writer.join();
    }
    EXPECT_EQ(Log.Lines().size(), 800);
}

} // namespace
