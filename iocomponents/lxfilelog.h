// A log for users of the library: lines kept in memory with their time stamps, a detail-level
// filter, and a file that Save writes.
#pragma once

#include "lxclasses.h"

#include <QString>
#include <QStringList>
#include <mutex>

// Each line reads "yyyy-MM-dd hh:mm:ss.zzz text" (local time). A line whose level is more
// detailed than DetailLevel is dropped; lines without a level (Add, AddFmt, the system
// information) are always kept. Save writes every kept line to FileName, UTF-8, one per line,
// replacing the file atomically (a reader sees the old file or the new one, never a part);
// Clear empties the log, and the file follows at the next Save. A file that cannot be written
// is reported through DoFatalError (code 1, detail 0), which raises unless OnFatalError vetoes.
// The components' I/O threads may write to it while the main thread saves. It keeps the last
// MaxLines lines (10000 unless set): a program logging for weeks must not grow without end. Save
// then begins with a line that tells how many earlier lines were dropped.
class TlxFileLog : public TlxCustomLogFile {
    Q_OBJECT
public:
    explicit TlxFileLog(QObject* AOwner = nullptr);

    QString FileName() const;
    void SetFileName(const QString& Value);
    // The most detailed level kept; dlDetail unless set.
    TDetailLevel DetailLevel() const;
    void SetDetailLevel(TDetailLevel Value);
    // The kept lines, oldest first.
    QStringList Lines() const;
    // How many lines are kept at most (at least 1), and how many were dropped since the last Clear.
    int MaxLines() const;
    void SetMaxLines(int Value);
    qint64 DroppedLines() const;

    void Save() override;
    void Clear() override;
    void Add(const QString& s) override;
    // The application, the operating system, the processor and the Qt version, one line each.
    void AddSysInfo() override;
    void AddLog(TDetailLevel l, const QString& s) override;
    void AddFmt(const QString& Format, const TlxArgs& Args) override;
    void AddLogFmt(TDetailLevel l, const QString& Format, const TlxArgs& Args) override;

private:
    void Append(const QString& Text);
    void DropOverflow();
    bool Keeps(TDetailLevel Level) const;

    mutable std::mutex fMutex;
    QString fFileName;
    TDetailLevel fDetailLevel = dlDetail;
    QStringList fLines;
    int fMaxLines = 10000;
    qint64 fDropped = 0;
};
