#include "lxfilelog.h"

#include <QCoreApplication>
#include <algorithm>
#include <QDateTime>
#include <QSaveFile>
#include <QSysInfo>

TlxFileLog::TlxFileLog(QObject* AOwner) : TlxCustomLogFile(AOwner) {}

QString TlxFileLog::FileName() const {
    std::lock_guard Lock(fMutex);
    return fFileName;
}

void TlxFileLog::SetFileName(const QString& Value) {
    std::lock_guard Lock(fMutex);
    fFileName = Value;
}

TDetailLevel TlxFileLog::DetailLevel() const {
    std::lock_guard Lock(fMutex);
    return fDetailLevel;
}

void TlxFileLog::SetDetailLevel(TDetailLevel Value) {
    std::lock_guard Lock(fMutex);
    fDetailLevel = Value;
}

QStringList TlxFileLog::Lines() const {
    std::lock_guard Lock(fMutex);
    return fLines;
}

int TlxFileLog::MaxLines() const {
    std::lock_guard Lock(fMutex);
    return fMaxLines;
}

void TlxFileLog::SetMaxLines(int Value) {
    std::lock_guard Lock(fMutex);
    fMaxLines = std::max(Value, 1);
    DropOverflow();
}

qint64 TlxFileLog::DroppedLines() const {
    std::lock_guard Lock(fMutex);
    return fDropped;
}

void TlxFileLog::Save() {
    QString Name;
    QByteArray Content;
    {
        std::lock_guard Lock(fMutex);
        Name = fFileName;
        if (fDropped > 0) {
            Content += QStringLiteral("(%1 earlier lines were dropped)\n").arg(fDropped).toUtf8();
        }
        for (const QString& Line : fLines) {
            Content += Line.toUtf8() + '\n';
        }
    }
    QSaveFile File(Name);
    const bool Written =
        File.open(QIODevice::WriteOnly) && File.write(Content) == Content.size() && File.commit();
    if (!Written) {
        // Reported outside the lock: a handler may well write to this log again.
        DoFatalError(1, 0,
                     QStringLiteral("Cannot save the log to %1: %2").arg(Name, File.errorString()));
    }
}

void TlxFileLog::Clear() {
    std::lock_guard Lock(fMutex);
    fLines.clear();
    fDropped = 0;
}

void TlxFileLog::Add(const QString& s) {
    Append(s);
}

void TlxFileLog::AddSysInfo() {
    Append(QStringLiteral("Application: %1 %2")
               .arg(QCoreApplication::applicationName(), QCoreApplication::applicationVersion()));
    Append(
        QStringLiteral("System: %1, kernel %2 %3")
            .arg(QSysInfo::prettyProductName(), QSysInfo::kernelType(), QSysInfo::kernelVersion()));
    Append(QStringLiteral("Processor: %1").arg(QSysInfo::currentCpuArchitecture()));
    Append(QStringLiteral("Qt: %1").arg(QString::fromLatin1(qVersion())));
}

void TlxFileLog::AddLog(TDetailLevel l, const QString& s) {
    if (Keeps(l)) {
        Append(s);
    }
}

void TlxFileLog::AddFmt(const QString& Format, const TlxArgs& Args) {
    Append(LxFormat(Format, Args));
}

void TlxFileLog::AddLogFmt(TDetailLevel l, const QString& Format, const TlxArgs& Args) {
    if (Keeps(l)) {
        Append(LxFormat(Format, Args));
    }
}

void TlxFileLog::Append(const QString& Text) {
    // The stamp is taken under the lock too: the C library's time-zone state behind local time
    // is guarded by a lock of its own that ThreadSanitizer cannot see, and this keeps the log's
    // writers from meeting there. It also keeps the lines in the order of their stamps.
    std::lock_guard Lock(fMutex);
    const QString Stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    fLines.append(Stamp + QLatin1Char(' ') + Text);
    DropOverflow();
}

// Under fMutex.
void TlxFileLog::DropOverflow() {
    const qsizetype Over = fLines.size() - fMaxLines;
    if (Over > 0) {
        fLines.remove(0, Over);
        fDropped += Over;
    }
}

bool TlxFileLog::Keeps(TDetailLevel Level) const {
    return Level <= DetailLevel();
}
