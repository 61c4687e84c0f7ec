// The program px4610-panel as the demo runs it: against the simulator in-process on a real
// pseudo-terminal, offscreen, with its options for scripts.
#include "SimPeer.h"
#include "pty.h"

#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct TRun {
    int ExitCode = -1;
    QByteArray Errors;
};

TRun RunPanel(const QStringList& Arguments) {
    QProcess Panel;
    QProcessEnvironment Environment = QProcessEnvironment::systemEnvironment();
    Environment.insert("QT_QPA_PLATFORM", "offscreen");
    // Read only by a build with ThreadSanitizer; a later option overrides an earlier one.
    Environment.insert("TSAN_OPTIONS", Environment.value("TSAN_OPTIONS") +
                                           ":suppressions=" PX4610_PANEL_TSAN_SUPPRESSIONS);
    Panel.setProcessEnvironment(Environment);
    Panel.start(PX4610_PANEL_PROGRAM, Arguments);
    Panel.waitForFinished(60000);
    return {Panel.exitStatus() == QProcess::NormalExit ? Panel.exitCode() : -1,
            Panel.readAllStandardError()};
}

TEST(Program, ConnectsToTheChosenPortAndLeavesItsLogAndImageAtQuit) {
    lxtest::TPortFolder Folder;
    sim::TBenchSettings Bench;
    Bench.Frozen = true;
    simtest::TRunningSimulator Simulator(Bench, simtest::FastLine());
    Folder.Link("COM7", Simulator.Path());
    QTemporaryDir Work;
    const QString Log = Work.filePath("panel.log");
    const QString Shot = Work.filePath("panel.png");

    const TRun Run = RunPanel(
        {"--port", "COM7", "--connect", "--quit-after", "1", "--log", Log, "--screenshot", Shot});
    ASSERT_EQ(Run.ExitCode, 0) << Run.Errors.toStdString();
    QFile File(Log);
    ASSERT_TRUE(File.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(File.readAll()),
              "COM7 端口已打开\n三相调压变比已读\n三相调流变比已读\n");
    EXPECT_EQ(QImage(Shot).size(), QSize(1018, 689));
}

// The record of a run against a bench whose current source answers with a bad CRC: a header and
// rows in which every other source holds the values of a clean line, and the current source
// empty cells with its reason.
TEST(Program, RecordsEveryRefreshWithTheFaultySourceEmpty) {
    lxtest::TPortFolder Folder;
    sim::TBenchSettings Bench;
    Bench.Frozen = true;
    simtest::TRunningSimulator Simulator(Bench, simtest::FastLine(),
                                         simtest::PlanOf({"2:bad-crc"}));
    Folder.Link("COM7", Simulator.Path());
    QTemporaryDir Work;
    const QString Record = Work.filePath("panel.csv");

    const TRun Run = RunPanel({"--port", "COM7", "--connect", "--auto-refresh", "--quit-after",
                               "2.5", "--record", Record});
    ASSERT_EQ(Run.ExitCode, 0) << Run.Errors.toStdString();
    QFile File(Record);
    ASSERT_TRUE(File.open(QIODevice::ReadOnly));
    const QStringList Lines = QString::fromUtf8(File.readAll()).trimmed().split('\n');
    ASSERT_GE(Lines.size(), 2) << "a header and at least one row";
    const QStringList Columns = Lines[0].split(',');
    for (const QString& Line : Lines.mid(1)) {
        const QStringList Cells = Line.split(',');
        ASSERT_EQ(Cells.size(), Columns.size());
        const auto Cell = [&](const char* Column) { return Cells[Columns.indexOf(Column)]; };
        EXPECT_EQ(Cell("U_UAB"), "381.4");
        EXPECT_EQ(Cell("U_Ic"), "5.020");
        EXPECT_EQ(Cell("I_Ia"), "");
        EXPECT_EQ(Cell("I3AC_a"), "");
        EXPECT_EQ(Cell("P"), "1.045");
        EXPECT_EQ(Cell("UDC"), "220.0");
        EXPECT_EQ(Cell("U3AC_a"), "~");
        EXPECT_EQ(Cell("U3AC_status"), "ok");
        EXPECT_EQ(Cell("I3AC_status"), "crc");
        EXPECT_EQ(Cell("UDC_status"), "ok");
    }
}

TEST(Program, ARecordFileThatCannotBeOpenedEndsTheStart) {
    QTemporaryDir Work;
    const TRun Run = RunPanel({"--record", Work.filePath("missing/panel.csv")});
    EXPECT_EQ(Run.ExitCode, 1);
    EXPECT_TRUE(Run.Errors.contains("missing/panel.csv")) << Run.Errors.toStdString();
}

TEST(Program, RefusesAPortThatIsNoCOMPort) {
    const TRun Run = RunPanel({"--port", "ttyS0"});
    EXPECT_EQ(Run.ExitCode, 2);
    EXPECT_TRUE(Run.Errors.contains("--port")) << Run.Errors.toStdString();
}

} // namespace
