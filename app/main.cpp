// px4610-panel: the operator panel of the PX4610KE7 bench. Without options it is the plain panel;
// the options let a script or a test drive it without a hand on the mouse.
#include "UnitApplication.h"
#include "UnitMain.h"
#include "lxcommdialog.h"

#include <QCommandLineParser>
#include <QFile>
#include <QImage>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <cstdio>
#include <optional>

namespace {

constexpr int ExitUsage = 2;
constexpr int ExitOutput = 1;

struct TPanelOptions {
    std::optional<quint16> Port;
    bool Connect = false;
    bool AutoRefresh = false;
    std::optional<int> QuitAfterMs;
    QString Screenshot;
    QString Log;
    QString Record;
};

[[noreturn]] void Refuse(const QString& Text) {
    std::fprintf(stderr, "px4610-panel: %s (see --help)\n", qPrintable(Text));
    std::exit(ExitUsage);
}

TPanelOptions ParseOptions(const QCoreApplication& App) {
    QCommandLineParser Parser;
    Parser.setApplicationDescription(QStringLiteral(
        "The operator panel of the PX4610KE7 switch energisation simulation bench."));
    Parser.addHelpOption();
    const QCommandLineOption Port(QStringLiteral("port"),
                                  QStringLiteral("Select the serial port COMn at start."),
                                  QStringLiteral("COMn"));
    const QCommandLineOption Connect(QStringLiteral("connect"),
                                     QStringLiteral("Connect at start, as the connect button "
                                                    "does."));
    const QCommandLineOption AutoRefresh(
        QStringLiteral("auto-refresh"),
        QStringLiteral("Start the automatic refresh (every 900 ms) at start."));
    const QCommandLineOption QuitAfter(QStringLiteral("quit-after"),
                                       QStringLiteral("Quit after SECONDS seconds."),
                                       QStringLiteral("SECONDS"));
    const QCommandLineOption Screenshot(
        QStringLiteral("screenshot"),
        QStringLiteral("Save an image of the window in FILE (PNG) just before quitting."),
        QStringLiteral("FILE"));
    const QCommandLineOption Log(QStringLiteral("log"),
                                 QStringLiteral("Write the log's lines to FILE (UTF-8) when "
                                                "quitting."),
                                 QStringLiteral("FILE"));
    const QCommandLineOption Record(
        QStringLiteral("record"),
        QStringLiteral("Append one CSV row per refresh to FILE (a header first when the file is "
                       "new): the time, every value as shown with '.' as decimal separator, the "
                       "phase flags and each source's status. The window's context menu starts "
                       "and stops a record too."),
        QStringLiteral("FILE"));
    Parser.addOptions({Port, Connect, AutoRefresh, QuitAfter, Screenshot, Log, Record});
    Parser.process(App);

    TPanelOptions Options;
    if (Parser.isSet(Port)) {
        static const QRegularExpression ComName(QStringLiteral("^COM([0-9]{1,3})$"),
                                                QRegularExpression::CaseInsensitiveOption);
        const QRegularExpressionMatch Match = ComName.match(Parser.value(Port));
        const int Number = Match.hasMatch() ? Match.captured(1).toInt() : 0;
        if (Number < 1 || Number > 255) {
            Refuse(
                QStringLiteral("--port wants COM1 to COM255, not \"%1\"").arg(Parser.value(Port)));
        }
        Options.Port = quint16(Number);
    }
    Options.Connect = Parser.isSet(Connect);
    Options.AutoRefresh = Parser.isSet(AutoRefresh);
    if (Parser.isSet(QuitAfter)) {
        bool Ok = false;
        const double Seconds = Parser.value(QuitAfter).toDouble(&Ok);
        if (!Ok || Seconds < 0 || Seconds > 86400) {
            Refuse(QStringLiteral("--quit-after wants seconds, not \"%1\"")
                       .arg(Parser.value(QuitAfter)));
        }
        Options.QuitAfterMs = int(Seconds * 1000);
    }
    Options.Screenshot = Parser.value(Screenshot);
    Options.Log = Parser.value(Log);
    Options.Record = Parser.value(Record);
    return Options;
}

bool WriteLog(const QString& Path, const QStringList& Lines) {
    QFile File(Path);
    if (!File.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return false;
    }
    for (const QString& Line : Lines) {
        File.write(Line.toUtf8() + '\n');
    }
    return File.flush();
}

// The window drawn into an image of the format the PNG writer takes as it is: converting a
// window-sized image from another format would hand the work to Qt's thread pool.
bool SaveImage(QWidget& Window, const QString& Path) {
    QImage Image(Window.size(), QImage::Format_RGB32);
    Window.render(&Image);
    return Image.save(Path, "PNG");
}

// What the options ask for at start; the presses go through the message loop, so that a failed
// open reaches the standard error box as it does for the operator.
void ScheduleStart(const TPanelOptions& Options, TFormMain& FormMain) {
    if (Options.Connect) {
        QTimer::singleShot(0, &FormMain, [&FormMain] { FormMain.btnOpenComPort->click(); });
    }
    if (Options.AutoRefresh) {
        QTimer::singleShot(0, &FormMain, [&FormMain] { FormMain.btnAuotRefresh->click(); });
    }
    if (Options.QuitAfterMs) {
        QTimer::singleShot(*Options.QuitAfterMs, qApp, &QCoreApplication::quit);
    }
}

} // namespace

int main(int argc, char** argv) {
    TPanelApplication App(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("px4610-panel"));
    const TPanelOptions Options = ParseOptions(App);
    LxInstallCommConfigDialog();

    TFormMain FormMain;
    QString Error;
    if (!Options.Record.isEmpty() && !FormMain.SetRecordFile(Options.Record, Error)) {
        std::fprintf(stderr, "px4610-panel: %s; choose a file in a folder you can write to\n",
                     qPrintable(Error));
        return ExitOutput;
    }
    if (Options.Port) {
        FormMain.lxComm->SetComPortNo(*Options.Port);
    }
    FormMain.show();
    ScheduleStart(Options, FormMain);
    int Result = App.exec();

    if (!Options.Screenshot.isEmpty() && !SaveImage(FormMain, Options.Screenshot)) {
        std::fprintf(stderr, "px4610-panel: cannot write %s\n", qPrintable(Options.Screenshot));
        Result = ExitOutput;
    }
    if (!Options.Log.isEmpty() && !WriteLog(Options.Log, FormMain.LogLines())) {
        std::fprintf(stderr, "px4610-panel: cannot write %s\n", qPrintable(Options.Log));
        Result = ExitOutput;
    }
    return Result;
}
