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

TEST(Program, RefusesAPortThatIsNoCOMPort) {
    const TRun Run = RunPanel({"--port", "ttyS0"});
    EXPECT_EQ(Run.ExitCode, 2);
    EXPECT_TRUE(Run.Errors.contains("--port")) << Run.Errors.toStdString();
}

} // namespace
